// The checks on a UNIX-domain milter socket before a filter process opens
// it: a socket another filter is serving is never taken over, a stale one
// is removed, and nothing that is not a socket is ever touched.
#pragma once

#include <optional>
#include <string>

// Why the socket cannot be used: the message that follows "progname: " on
// standard error (no newline) and the exit status start-up ends with.
struct socket_failure {
    std::string message;
    int status;
};

// The path of a UNIX-domain socket specification ("/path", "unix:/path",
// "local:/path", the prefixes in any case), or nothing for the other forms,
// whose sockets leave nothing in the file system. An empty path after the
// prefix is returned as it is.
std::optional<std::string> batv_socket_path(const std::string& spec);

// Checks the socket that spec names and removes it when it is stale (a
// socket nobody accepts on). Fails when the path is empty or too long for a
// socket address, when something other than a socket is there (a symbolic
// link included: the link is not followed), and when a process accepts
// connections on it. Nothing there, or a specification of another kind,
// passes.
std::optional<socket_failure> batv_socket_cleanup(const std::string& spec);

// The check at start-up: a failure is reported on standard error and, with
// Syslog, in the system log; returns the exit status then.
std::optional<int> batv_check_socket(const std::string& spec);
