// The settings record. Start-up (process/) fills the process-wide one from
// the command line, the configuration file and the defaults, then builds the
// key and the lists into it. A reload builds a whole new record the same way
// and publishes it; a published record is never changed again, so every
// thread reads it without locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "lists/lists.h"
#include "tags/tags.h"

inline constexpr const char* product_name = "Vellicor";
inline constexpr const char* product_version = "0.5.0";

// Mode bits.
inline constexpr int mode_sign = 1;
inline constexpr int mode_verify = 2;

// Longest host name and authserv-id.
inline constexpr std::size_t max_host_length = 256;

struct settings_record {
    // Run-time settings, read by the callbacks.
    int AddAuthenticationResults = 0;
    int AllSenders = 1;
    std::optional<std::string> AuthservID;
    int AuthservIDWithJobID = 0;
    int IgnoreAuthenticatedClients = 0;
    int KeyVersion = -1;
    int LogResults = 0;
    int LogWhy = 0;
    int Mode = 3;
    int Quarantine = 0;
    int SendmailFormat = 0;
    int SetReplies = 0;
    std::int64_t SignatureTTL = -1;  // -1 until set; an unsigned 32-bit count afterwards
    int Syslog = 0;
    int TestMode = 0;
    int XHeader = 0;  // the X-Header key

    std::string key_text;  // the secret of KeyFile: signs, and verifies KeyVersion
    // The secrets a tag may be verified with, by key number: key_text under
    // KeyVersion and the retired keys of the KeyList.
    key_table verify_keys;
    // The key file of each retired key, by number, as the KeyList names it.
    std::array<std::optional<std::string>, 10> retired_key_files;
    std::string hostname;  // at most max_host_length characters
    std::string progname;

    // Sources of the lists as the option or key gave them.
    std::optional<std::string> DontSignMailTo;  // -a
    std::optional<std::string> InternalHosts;   // -i
    std::optional<std::string> Domain;          // -d
    std::optional<std::string> MTA;             // -m
    std::optional<std::string> MacroList;       // -M
    std::optional<std::string> PeerList;        // loaded at once by the configuration stage

    // The lists built from them.
    peer_list_t peer_list;
    allow_list_t allow_list;
    internal_hosts_t internal_hosts;
    domain_list_t domain_list;
    mta_list_t mta_list;
    macro_list_t macro_list;

    // Start-up settings.
    std::optional<std::string> config_file;  // -c
    int AutoRestart = 0;
    int AutoRestartCount = 0;
    int AutoRestartRateCount = 0;             // n of AutoRestartRate
    std::uint32_t AutoRestartRateInterval = 0;  // t of AutoRestartRate, seconds
    int Background = 1;
    std::optional<std::string> BaseDirectory;
    int EnableCoredumps = 0;
    std::optional<std::string> KeyFile;
    std::optional<std::string> KeyList;
    int MilterDebug = -1;
    std::optional<std::string> PidFile;
    std::optional<std::string> Socket;
    std::optional<std::string> SyslogFacility;
    std::optional<std::string> UserID;
};

// The record start-up fills. Lives until the process ends; never destroyed.
extern settings_record& settings;

// Publishing. Until a record is published, the process-wide one is in force.
// A published record stays alive as long as a callback still holds it.
std::shared_ptr<const settings_record> batv_published_settings();
void batv_publish_settings(std::shared_ptr<const settings_record> record);

// The record in force for the code running on this thread: the one pinned by
// the callback it runs in, else the one published last. Unpinned, the
// reference stays good only while nothing else is published: it serves
// start-up and the reload thread, the one thread that publishes.
const settings_record& current_settings();

// Holds the record in force at its construction for the callback running on
// this thread: everything the callback reads comes from it, whatever is
// published meanwhile.
class settings_pin {
  public:
    settings_pin() noexcept;
    ~settings_pin();
    settings_pin(const settings_pin&) = delete;
    settings_pin& operator=(const settings_pin&) = delete;

  private:
    std::shared_ptr<const settings_record> held_;
    const settings_record* previous_;
};
