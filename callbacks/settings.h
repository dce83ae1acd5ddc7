// The process-wide settings record. Start-up (process/) fills it from the
// command line, the configuration file and the defaults, then builds the key
// and the lists into it; from the moment the milter library starts its
// threads it is only read, by every thread, without locks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lists/lists.h"

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
    int LogWhy = 0;
    int Mode = 3;
    int Quarantine = 0;
    int SendmailFormat = 0;
    int SetReplies = 0;
    std::int64_t SignatureTTL = -1;  // -1 until set; an unsigned 32-bit count afterwards
    int Syslog = 0;
    int TestMode = 0;
    int XHeader = 0;  // the X-Header key

    std::string key_text;
    std::string hostname;  // at most max_host_length characters
    std::string progname;

    // Sources of the lists as the option or key gave them.
    std::optional<std::string> DontSignMailTo;  // -a
    std::optional<std::string> InternalHosts;   // -i
    std::optional<std::string> Domain;          // -d
    std::optional<std::string> MTA;             // -m
    std::optional<std::string> MacroList;       // -M

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
    int MilterDebug = -1;
    std::optional<std::string> PidFile;
    std::optional<std::string> Socket;
    std::optional<std::string> SyslogFacility;
    std::optional<std::string> UserID;
};

// Lives until the process ends; never destroyed.
extern settings_record& settings;
