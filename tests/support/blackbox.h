// Helpers for black-box tests that run the built vellicor binary (or any
// other program): temporary directories and files, starting a program with
// its own arguments, directory, environment and user, capturing what it
// prints and how it ends, guards that kill whatever a test started, waiting
// for sockets and files, and reading /proc.
//
// A test process that starts programs becomes a child subreaper, so a
// daemon that forks and lets its parent exit stays the test's child: the
// test can wait for it, see its exit status, and no daemon outlives a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace blackbox {

using std::chrono::milliseconds;

// Generous defaults for a loaded machine.
inline constexpr milliseconds default_timeout{60'000};

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes. mode is applied to the directory itself, e.g. 0755
// or 01777 when a program that switched user must reach or write into it.
class temp_dir {
  public:
    explicit temp_dir(mode_t mode = 0700);
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(std::string_view name) const;

  private:
    std::string path_;
};

// Writes content to path (created or truncated) and sets its mode.
void write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
// The whole content, or nothing when the file cannot be read.
std::optional<std::string> read_file(const std::string& path);
bool path_exists(const std::string& path);

// What to run and how.
struct command {
    std::string program;                     // a path, or a name looked up in PATH
    std::vector<std::string> args;           // after argv[0]
    std::optional<std::string> argv0;        // argv[0]; the program by default
    std::optional<std::string> cwd;          // working directory; inherited by default
    std::map<std::string, std::string> env;  // variables set on top of the test's own
    std::vector<std::string> unset_env;      // variables removed
    std::optional<uid_t> uid;  // run as this user (with gid and no supplementary groups)
    std::optional<gid_t> gid;
    // Run inside a private mount namespace whose /dev is a fresh tmpfs with
    // the usual device nodes and with /dev/log leading to this socket path
    // (see syslog_capture). The host's /dev is never touched. Needs root.
    std::optional<std::string> dev_log;
};

// How a process ended.
struct exit_info {
    bool exited = false;  // normal exit; status holds the exit status
    int status = -1;
    int signal = 0;  // the signal that ended it, when not exited
};
std::string describe(const exit_info& info);

// A started program with its standard output and error captured in files
// (standard input is /dev/null). The files stay readable after the program
// ended and while a daemon forked off it still writes to them. Destroying
// the object kills the program (SIGKILL) and reaps it if it still runs.
class process {
  public:
    static process start(const command& cmd);
    ~process();
    process(process&& other) noexcept;
    process& operator=(process&&) = delete;
    process(const process&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the end; nothing when it is still running at the timeout.
    std::optional<exit_info> wait(milliseconds timeout = default_timeout);
    bool running();
    // Sends a signal (no effect once it has been reaped).
    void signal(int sig);
    std::string out() const;
    std::string err() const;

  private:
    process() = default;
    pid_t pid_ = -1;
    std::optional<exit_info> ended_;
    std::string out_path_;
    std::string err_path_;
    std::string capture_dir_;
};

// Result of running a program to its end.
struct outcome {
    exit_info exit;
    bool timed_out = false;  // killed at the timeout
    std::string out;
    std::string err;
};
outcome run(const command& cmd, milliseconds timeout = default_timeout);

// Owns a process that is not a process object of the test: for example the
// serving child of a daemon that forked, identified by its PID file. On
// destruction the process is killed with SIGKILL and reaped.
class pid_guard {
  public:
    explicit pid_guard(pid_t pid) : pid_(pid) {}
    ~pid_guard();
    pid_guard(const pid_guard&) = delete;
    pid_guard& operator=(const pid_guard&) = delete;

    pid_t pid() const { return pid_; }
    std::optional<exit_info> wait(milliseconds timeout = default_timeout);
    void signal(int sig);

  private:
    pid_t pid_;
    std::optional<exit_info> ended_;
};

// Kills and reaps, on destruction, every child the test process still has,
// including daemons that were orphaned into it. A last line of defence for
// tests that start daemons.
class child_sweeper {
  public:
    child_sweeper() = default;
    ~child_sweeper();
    child_sweeper(const child_sweeper&) = delete;
    child_sweeper& operator=(const child_sweeper&) = delete;
};
// The PIDs of the test process's children, read from /proc.
std::vector<pid_t> child_pids();

// Polls until the path exists.
bool wait_for_path(const std::string& path, milliseconds timeout = default_timeout);
// Polls until a UNIX-domain stream socket at path accepts a connection.
bool wait_for_connectable(const std::string& path, milliseconds timeout = default_timeout);
// Polls until a milter listening at the UNIX-domain socket path answers an
// option negotiation, which shows that its main loop is serving.
bool wait_for_milter(const std::string& path, milliseconds timeout = default_timeout);
// Reads a PID file holding a decimal number and a newline, once it is complete.
std::optional<pid_t> wait_for_pid_file(const std::string& path,
                                       milliseconds timeout = default_timeout);

// The fields of /proc/PID/status ("Uid" -> "0\t0\t0\t0"); empty when gone.
std::map<std::string, std::string> proc_status(pid_t pid);
// The numbers of a field such as Uid, Gid or Groups.
std::vector<long> proc_status_numbers(pid_t pid, const std::string& field);
// Where /proc/PID/fd/N points, or nothing.
std::optional<std::string> proc_fd_target(pid_t pid, int fd);

bool running_as_root();

}  // namespace blackbox
