// Runs a milter binary (the daemon, or the benchmark's no-op filter) in a
// private temporary directory with its own key file and its own socket (a
// UNIX-domain one in that directory, or a free TCP port on the loopback
// address), waits until it serves, and stops it again. Sanitizer reports of the child
// go to files in that directory, since the daemon sends its standard error
// to /dev/null once it serves.
//
// Failures to start throw std::runtime_error with what the child printed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace filter_process {

// Where the filter listens.
enum class transport {
    unix_socket,  // "unix:DIR/milter.sock"
    inet,         // "inet:PORT@127.0.0.1"
    inet6,        // "inet6:PORT@[::1]"
};

struct options {
    std::string binary;
    // The arguments after the program name. "{spec}", "{socket}",
    // "{keyfile}" and "{dir}" in them are replaced by the socket
    // address (the -p value), the UNIX-domain socket's path (empty over TCP), the
    // key file's path and the temporary directory. "unix:{socket}" stands
    // for that socket address too, so that arguments written for the
    // UNIX-domain socket serve any transport.
    std::vector<std::string> args;
    // Files (name, content) written into the temporary directory before the
    // start; "{dir}" in a content is replaced as in args.
    std::vector<std::pair<std::string, std::string>> files;
    // The key file's first line; a random key when empty.
    std::string key;
    // A ThreadSanitizer suppressions file for the child, or empty.
    std::string tsan_suppressions;
    // How long the child may take to start serving.
    std::chrono::milliseconds start_timeout = std::chrono::seconds(60);
    // The socket the child is given in "{spec}". A TCP port is chosen free
    // just before the start; should another process take it first, so that
    // the child ends without serving, the start is tried again on another.
    transport socket = transport::unix_socket;
};

// The arguments the daemon needs to run in the foreground on the private
// socket ("unix:{socket}", whatever the transport) with the private key,
// followed by extra.
std::vector<std::string> daemon_args(const std::vector<std::string>& extra = {});

class running_filter {
  public:
    explicit running_filter(const options& opts);
    ~running_filter();
    running_filter(const running_filter&) = delete;
    running_filter& operator=(const running_filter&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    // The UNIX-domain socket's path; empty over TCP.
    const std::string& socket_path() const { return socket_path_; }
    // What the child was given as its socket: "unix:PATH", "inet:PORT@HOST"
    // or "inet6:PORT@[HOST]", which milter_connection and miltertest take.
    const std::string& socket_spec() const { return spec_; }
    // The TCP port; 0 on a UNIX-domain socket.
    unsigned short port() const { return port_; }
    const std::string& key() const { return key_; }

    // True while the child has not ended (reaps it when it has).
    bool alive();
    // How the child ended, once alive() found it gone: a waitpid status.
    std::optional<int> exit_status() const { return status_; }
    // SIGKILL and reap.
    void kill();
    // SIGTERM, then wait up to timeout for the child to end; the waitpid
    // status, or nothing when it had to be killed.
    std::optional<int> terminate(std::chrono::milliseconds timeout);
    // The child's resident set size in KiB (VmRSS), or -1.
    long rss_kib() const;
    // The CPU time (user and system, all threads, ended ones included) the
    // child has used so far, in seconds, or -1.
    double cpu_seconds() const;
    // The content of every sanitizer report the child wrote.
    std::string sanitizer_reports() const;

  private:
    // Starts the child on the socket chosen last; empty when it serves,
    // otherwise why not (the child is reaped then).
    std::string start(const options& opts, const std::string& keyfile);

    pid_t pid_ = -1;
    std::string dir_;
    std::string socket_path_;
    std::string spec_;
    unsigned short port_ = 0;
    std::string key_;
    std::optional<int> status_;
};

// A random key of 32 hexadecimal digits.
std::string random_key();

// Blocks until a UNIX-domain socket accepts a connection or timeout passes.
bool wait_for_socket(const std::string& path, std::chrono::milliseconds timeout);

// The same for any socket address milter_connection takes ("inet:PORT@HOST"
// included).
bool wait_for_spec(const std::string& spec, std::chrono::milliseconds timeout);

// A TCP port on the loopback address of the family (AF_INET or AF_INET6)
// that nothing is bound to at the moment; 0 when none could be had.
unsigned short free_loopback_port(int family);

}  // namespace filter_process
