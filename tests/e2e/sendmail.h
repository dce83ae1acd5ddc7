// A private Sendmail for the end-to-end tests, run by
// scripts/sendmail-instance.sh, and the reading of its queue and of the
// mailboxes of its local users.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// Why a private Sendmail cannot run on this machine, or nothing.
std::optional<std::string> sendmail_unavailable();

// The instance: mx.batv.test on 127.0.0.1:port, local users alice and bob,
// every other domain queued; stopped at the end.
class sendmail_instance {
  public:
    sendmail_instance() = default;
    ~sendmail_instance();
    sendmail_instance(const sendmail_instance&) = delete;
    sendmail_instance& operator=(const sendmail_instance&) = delete;

    // Starts it in dir (created; no directory above it may be group or
    // world writable) with the filter at the UNIX-domain socket given.
    std::optional<std::string> start(const std::filesystem::path& dir, int port,
                                     const std::filesystem::path& socket);
    void stop();
    int port() const { return port_; }
    const std::filesystem::path& dir() const { return dir_; }
    // What Sendmail logged.
    std::string log() const;

  private:
    std::filesystem::path dir_;
    int port_ = 0;
};

// The envelope of a queued message, from its queue file qfID.
struct sendmail_envelope {
    std::string sender;                   // without angle brackets
    std::vector<std::string> recipients;  // without angle brackets
};

std::optional<std::string> read_sendmail_envelope(const sendmail_instance& mta,
                                                  const std::string& queue_id,
                                                  sendmail_envelope& envelope);

// Waits until Sendmail is done with a message, that is until its queue
// file is gone: every delivery has been made or has failed for good.
std::optional<std::string> wait_until_done(const sendmail_instance& mta,
                                           const std::string& queue_id);

// Every message delivered so far, by local user, each as its full text.
std::map<std::string, std::vector<std::string>> delivered(const sendmail_instance& mta);

// The values of a message's header fields of that name, continuation lines
// joined, in order.
std::vector<std::string> header_values(const std::string& message, const std::string& name);

}  // namespace e2e
