// Process, file and /proc helpers for black-box tests.
#include "tests/support/blackbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace blackbox {
namespace {

using clock_type = std::chrono::steady_clock;

constexpr milliseconds poll_interval{10};

std::string temp_base() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string make_temp_dir(const char* stem) {
    std::string pattern = temp_base() + "/" + stem + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp(" + pattern + "): " + std::strerror(errno));
    }
    return pattern;
}

exit_info decode(int wait_status) {
    exit_info info;
    if (WIFEXITED(wait_status)) {
        info.exited = true;
        info.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        info.signal = WTERMSIG(wait_status);
    }
    return info;
}

// Waits for a child; nothing at the timeout. A process that is not (or no
// longer) a child is waited for until it disappears, with an unknown status.
std::optional<exit_info> wait_pid(pid_t pid, milliseconds timeout) {
    const auto deadline = clock_type::now() + timeout;
    for (;;) {
        int wait_status = 0;
        pid_t r = waitpid(pid, &wait_status, WNOHANG);
        if (r == pid) {
            return decode(wait_status);
        }
        if (r < 0 && errno == ECHILD && kill(pid, 0) != 0 && errno == ESRCH) {
            return exit_info{};
        }
        if (r < 0 && errno != EINTR && errno != ECHILD) {
            return exit_info{};
        }
        if (clock_type::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

void kill_and_reap(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGKILL);
    wait_pid(pid, milliseconds{30'000});
}

std::string find_program(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return program;
}

// Writes a message on descriptor 2 of a freshly forked child and ends it.
[[noreturn]] void child_fail(const char* what) {
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "blackbox child: %s: %s\n", what, std::strerror(errno));
    if (n > 0) {
        ssize_t ignored = write(2, buf, static_cast<std::size_t>(n));
        (void)ignored;
    }
    _exit(127);
}

// Runs in the child between fork and exec: system calls only.
void make_private_dev(const char* log_target) {
    if (unshare(CLONE_NEWNS) != 0) {
        child_fail("unshare(CLONE_NEWNS)");
    }
    // Nothing mounted below may reach the host's mount table.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        child_fail("mount(MS_PRIVATE)");
    }
    if (mount("none", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        child_fail("mount(tmpfs, /dev)");
    }
    struct node {
        const char* path;
        unsigned major;
        unsigned minor;
    };
    static const node nodes[] = {
        {"/dev/null", 1, 3},   {"/dev/zero", 1, 5},    {"/dev/full", 1, 7},
        {"/dev/random", 1, 8}, {"/dev/urandom", 1, 9}, {"/dev/tty", 5, 0},
    };
    for (const node& n : nodes) {
        if (mknod(n.path, S_IFCHR | 0666, makedev(n.major, n.minor)) != 0 ||
            chmod(n.path, 0666) != 0) {
            child_fail(n.path);
        }
    }
    if (symlink("/proc/self/fd", "/dev/fd") != 0 || symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
        symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
        symlink("/proc/self/fd/2", "/dev/stderr") != 0) {
        child_fail("symlink(/dev/fd)");
    }
    if (mkdir("/dev/shm", 01777) != 0 || chmod("/dev/shm", 01777) != 0) {
        child_fail("mkdir(/dev/shm)");
    }
    if (symlink(log_target, "/dev/log") != 0) {
        child_fail("symlink(/dev/log)");
    }
}

}  // namespace

// ---- files

temp_dir::temp_dir(mode_t mode) : path_(make_temp_dir("vellicor-test")) {
    chmod(path_.c_str(), mode);
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    chmod(path.c_str(), mode);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// ---- processes

std::string describe(const exit_info& info) {
    if (info.exited) {
        return "exit status " + std::to_string(info.status);
    }
    if (info.signal != 0) {
        return std::string("killed by signal ") + strsignal(info.signal);
    }
    return "unknown end";
}

process process::start(const command& cmd) {
    // Daemons that detach stay children of the test.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    process p;
    p.capture_dir_ = make_temp_dir("vellicor-capture");
    p.out_path_ = p.capture_dir_ + "/stdout";
    p.err_path_ = p.capture_dir_ + "/stderr";

    // Everything the child needs is prepared here: after fork it makes
    // system calls only.
    const std::string program = find_program(cmd.program);
    std::vector<std::string> arg_strings;
    arg_strings.push_back(cmd.argv0.value_or(cmd.program));
    arg_strings.insert(arg_strings.end(), cmd.args.begin(), cmd.args.end());
    std::vector<char*> argv;
    for (std::string& a : arg_strings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        std::string name(entry.substr(0, entry.find('=')));
        bool removed = cmd.env.count(name) != 0;
        for (const std::string& u : cmd.unset_env) {
            removed = removed || u == name;
        }
        if (!removed) {
            env_strings.emplace_back(entry);
        }
    }
    for (const auto& [name, value] : cmd.env) {
        env_strings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out_fd = open(p.out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(p.err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) {
        throw std::runtime_error(std::string("open capture files: ") + std::strerror(errno));
    }
    const char* cwd = cmd.cwd ? cmd.cwd->c_str() : nullptr;
    const char* dev_log = cmd.dev_log ? cmd.dev_log->c_str() : nullptr;

    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) {
            _exit(127);
        }
        syscall(SYS_close_range, 3U, ~0U, 0U);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (dev_log != nullptr) {
            make_private_dev(dev_log);
        }
        if (cmd.gid || cmd.uid) {
            if (setgroups(0, nullptr) != 0) {
                child_fail("setgroups");
            }
        }
        if (cmd.gid && setgid(*cmd.gid) != 0) {
            child_fail("setgid");
        }
        if (cmd.uid && setuid(*cmd.uid) != 0) {
            child_fail("setuid");
        }
        if (cwd != nullptr && chdir(cwd) != 0) {
            child_fail("chdir");
        }
        execve(program.c_str(), argv.data(), envp.data());
        child_fail("execve");
    }
    close(in_fd);
    close(out_fd);
    close(err_fd);
    p.pid_ = pid;
    return p;
}

process::process(process&& other) noexcept
    : pid_(other.pid_),
      ended_(other.ended_),
      out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_)),
      capture_dir_(std::move(other.capture_dir_)) {
    other.pid_ = -1;
    other.capture_dir_.clear();
}

process::~process() {
    if (pid_ > 0 && !ended_) {
        kill_and_reap(pid_);
    }
    if (!capture_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(capture_dir_, ignored);
    }
}

std::optional<exit_info> process::wait(milliseconds timeout) {
    if (!ended_) {
        ended_ = wait_pid(pid_, timeout);
    }
    return ended_;
}

bool process::running() {
    return !wait(milliseconds{0});
}

void process::signal(int sig) {
    if (!ended_ && pid_ > 0) {
        kill(pid_, sig);
    }
}

std::string process::out() const {
    return read_file(out_path_).value_or("");
}
std::string process::err() const {
    return read_file(err_path_).value_or("");
}

outcome run(const command& cmd, milliseconds timeout) {
    process p = process::start(cmd);
    outcome result;
    std::optional<exit_info> ended = p.wait(timeout);
    if (!ended) {
        result.timed_out = true;
        p.signal(SIGKILL);
        ended = p.wait(milliseconds{30'000});
    }
    result.exit = ended.value_or(exit_info{});
    result.out = p.out();
    result.err = p.err();
    return result;
}

pid_guard::~pid_guard() {
    if (!ended_) {
        kill_and_reap(pid_);
    }
}

std::optional<exit_info> pid_guard::wait(milliseconds timeout) {
    if (!ended_) {
        ended_ = wait_pid(pid_, timeout);
    }
    return ended_;
}

void pid_guard::signal(int sig) {
    if (!ended_) {
        kill(pid_, sig);
    }
}

std::vector<pid_t> child_pids() {
    std::vector<pid_t> children;
    const pid_t self = getpid();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::optional<std::string> stat = read_file("/proc/" + name + "/stat");
        if (!stat) {
            continue;
        }
        // "pid (comm) state ppid ...": comm may hold anything, so look
        // after its last parenthesis.
        std::size_t close = stat->rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat->c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == self) {
            children.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return children;
}

child_sweeper::~child_sweeper() {
    for (pid_t pid : child_pids()) {
        kill_and_reap(pid);
    }
}

// ---- waiting

namespace {

template <typename Probe>
bool poll_until(milliseconds timeout, Probe probe) {
    const auto deadline = clock_type::now() + timeout;
    for (;;) {
        if (probe()) {
            return true;
        }
        if (clock_type::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

// A connected UNIX-domain stream socket, or -1.
int connect_unix(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void put32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// One option negotiation as an MTA would start it; true when the milter
// answers with its own negotiation packet.
bool milter_negotiates(const std::string& path) {
    int fd = connect_unix(path);
    if (fd < 0) {
        return false;
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    unsigned char packet[17];
    put32(packet, 13);
    packet[4] = 'O';
    put32(packet + 5, 6);          // protocol version
    put32(packet + 9, 0x1ff);      // every action
    put32(packet + 13, 0x1fffff);  // every protocol step
    unsigned char reply[5];
    bool ok = write_all(fd, packet, sizeof packet) && read_all(fd, reply, sizeof reply) &&
              reply[4] == 'O';
    if (ok) {
        unsigned char quit[5];
        put32(quit, 1);
        quit[4] = 'Q';
        write_all(fd, quit, sizeof quit);
    }
    close(fd);
    return ok;
}

}  // namespace

bool wait_for_path(const std::string& path, milliseconds timeout) {
    return poll_until(timeout, [&] { return path_exists(path); });
}

bool wait_for_connectable(const std::string& path, milliseconds timeout) {
    return poll_until(timeout, [&] {
        int fd = connect_unix(path);
        if (fd < 0) {
            return false;
        }
        close(fd);
        return true;
    });
}

bool wait_for_milter(const std::string& path, milliseconds timeout) {
    return poll_until(timeout, [&] { return milter_negotiates(path); });
}

std::optional<pid_t> wait_for_pid_file(const std::string& path, milliseconds timeout) {
    std::optional<pid_t> pid;
    poll_until(timeout, [&] {
        std::optional<std::string> content = read_file(path);
        if (!content || content->empty() || content->back() != '\n') {
            return false;
        }
        pid = static_cast<pid_t>(std::strtol(content->c_str(), nullptr, 10));
        return true;
    });
    return pid;
}

// ---- /proc

std::map<std::string, std::string> proc_status(pid_t pid) {
    std::map<std::string, std::string> fields;
    std::optional<std::string> content = read_file("/proc/" + std::to_string(pid) + "/status");
    if (!content) {
        return fields;
    }
    std::istringstream lines(*content);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::size_t value = line.find_first_not_of(" \t", colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

std::vector<long> proc_status_numbers(pid_t pid, const std::string& field) {
    std::vector<long> numbers;
    std::map<std::string, std::string> fields = proc_status(pid);
    auto it = fields.find(field);
    if (it == fields.end()) {
        return numbers;
    }
    std::istringstream values(it->second);
    long n = 0;
    while (values >> n) {
        numbers.push_back(n);
    }
    return numbers;
}

std::optional<std::string> proc_fd_target(pid_t pid, int fd) {
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(target, static_cast<std::size_t>(n));
}

bool running_as_root() {
    return geteuid() == 0;
}

}  // namespace blackbox
