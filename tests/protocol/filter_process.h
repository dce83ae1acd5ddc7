// Runs a milter binary (the daemon, or the benchmark's no-op filter) in a
// private temporary directory with its own UNIX-domain socket and key file,
// waits until it serves, and stops it again. Sanitizer reports of the child
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

struct options {
    std::string binary;
    // The arguments after the program name. "{socket}", "{keyfile}" and
    // "{dir}" in them are replaced by the socket path, the key file's path
    // and the temporary directory.
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
};

// The arguments the daemon needs to run in the foreground on the private
// socket with the private key, followed by extra.
std::vector<std::string> daemon_args(const std::vector<std::string>& extra = {});

class running_filter {
  public:
    explicit running_filter(const options& opts);
    ~running_filter();
    running_filter(const running_filter&) = delete;
    running_filter& operator=(const running_filter&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    const std::string& socket_path() const { return socket_path_; }
    std::string socket_spec() const { return "unix:" + socket_path_; }
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
    pid_t pid_ = -1;
    std::string dir_;
    std::string socket_path_;
    std::string key_;
    std::optional<int> status_;
};

// A random key of 32 hexadecimal digits.
std::string random_key();

// Blocks until a UNIX-domain socket accepts a connection or timeout passes.
bool wait_for_socket(const std::string& path, std::chrono::milliseconds timeout);

}  // namespace filter_process
