// A private system log for black-box tests. The capture binds a datagram
// socket in a directory of the test; a program started with
// command::dev_log set to socket_path() runs in a mount namespace of its own
// where /dev/log leads to that socket, so everything it hands to syslog(3)
// arrives here and the host's /dev/log is left alone.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/blackbox.h"

namespace blackbox {

// One received line: "<PRI>Mmm dd hh:mm:ss ident[pid]: message".
struct syslog_line {
    int priority = -1;  // facility | severity
    std::string ident;
    std::optional<long> pid;
    std::string message;
    std::string raw;

    int facility() const { return priority & ~7; }
    int severity() const { return priority & 7; }
};

// Parses the datagram format of the C library's syslog().
std::optional<syslog_line> parse_syslog_line(const std::string& datagram);

class syslog_capture {
  public:
    // Binds "<directory>/log.sock", reachable by every user (a program that
    // switched to an unprivileged user still logs).
    explicit syslog_capture(const std::string& directory);
    ~syslog_capture();
    syslog_capture(const syslog_capture&) = delete;
    syslog_capture& operator=(const syslog_capture&) = delete;

    const std::string& socket_path() const { return path_; }

    // The next line, waiting at most timeout.
    std::optional<syslog_line> next(milliseconds timeout = default_timeout);
    // Reads lines until one satisfies the predicate; every line read is kept
    // in lines().
    std::optional<syslog_line> wait_for(const std::function<bool(const syslog_line&)>& match,
                                        milliseconds timeout = default_timeout);
    // The first line whose message begins with prefix.
    std::optional<syslog_line> wait_for_prefix(const std::string& prefix,
                                               milliseconds timeout = default_timeout);
    // Lines already waiting, without blocking.
    void drain();
    const std::vector<syslog_line>& lines() const { return lines_; }
    // Forgets the lines kept so far.
    void clear() { lines_.clear(); }

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<syslog_line> lines_;
};

}  // namespace blackbox
