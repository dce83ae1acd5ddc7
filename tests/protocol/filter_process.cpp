// Starting, watching and stopping a milter binary in a temporary directory.
#include "tests/protocol/filter_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/protocol/milter_client.h"

extern char** environ;

namespace filter_process {

namespace {

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The sanitizer option variables with log_path pointing into dir, keeping
// whatever options the caller's environment already sets.
std::vector<std::string> child_environment(const std::string& dir,
                                           const std::string& tsan_suppressions) {
    std::vector<std::string> env;
    const char* const sanitizer_vars[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS",
                                          "LSAN_OPTIONS"};
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        bool ours = false;
        for (const char* var : sanitizer_vars) {
            if (entry.starts_with(std::string(var) + "=")) {
                ours = true;
            }
        }
        if (!ours) {
            env.emplace_back(entry);
        }
    }
    for (const char* var : sanitizer_vars) {
        const char* old = std::getenv(var);
        std::string value = old != nullptr ? std::string(old) + ":" : std::string();
        value += "log_path=" + dir + "/sanitizer";
        if (std::string_view(var) == "TSAN_OPTIONS" && !tsan_suppressions.empty()) {
            value += ":suppressions=" + tsan_suppressions;
        }
        env.push_back(std::string(var) + "=" + value);
    }
    return env;
}

}  // namespace

std::vector<std::string> daemon_args(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-f", "-p", "unix:{socket}", "-k", "{keyfile}"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string random_key() {
    std::random_device rd;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string key;
    for (int i = 0; i < 32; ++i) {
        key.push_back("0123456789abcdef"[digit(rd)]);
    }
    return key;
}

bool wait_for_socket(const std::string& path, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::close(fd);
        if (rc == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool wait_for_spec(const std::string& spec, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            milter_client::milter_connection probe(spec, milter_client::acks::delayed);
            return true;
        } catch (const milter_client::milter_error&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

unsigned short free_loopback_port(int family) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    }
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    ::close(fd);
    return port;
}

running_filter::running_filter(const options& opts) {
    std::string templ = (std::filesystem::temp_directory_path() / "vellicor-proto-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp(): ") + std::strerror(errno));
    }
    dir_ = templ;
    key_ = opts.key.empty() ? random_key() : opts.key;
    const std::string keyfile = dir_ + "/key";
    {
        std::ofstream out(keyfile);
        out << key_ << "\n";
    }
    // Only the filter's own user may read a key.
    chmod(keyfile.c_str(), 0600);

    // A port found free may be taken by someone else before the child
    // binds it; a UNIX-domain socket in the private directory cannot be.
    const int attempts = opts.socket == transport::unix_socket ? 1 : 3;
    std::string failure;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        switch (opts.socket) {
            case transport::unix_socket:
                socket_path_ = dir_ + "/milter.sock";
                spec_ = "unix:" + socket_path_;
                break;
            case transport::inet:
                port_ = free_loopback_port(AF_INET);
                spec_ = "inet:" + std::to_string(port_) + "@127.0.0.1";
                break;
            case transport::inet6:
                port_ = free_loopback_port(AF_INET6);
                spec_ = "inet6:" + std::to_string(port_) + "@[::1]";
                break;
        }
        if (opts.socket != transport::unix_socket && port_ == 0) {
            failure = std::string("no free loopback port: ") + std::strerror(errno);
            break;
        }
        failure = start(opts, keyfile);
        if (failure.empty()) {
            return;
        }
        // Only a child that gave up by itself may have lost its port; one
        // that was still trying when the time ran out is not tried again.
        if (!status_ || !WIFEXITED(*status_)) {
            break;
        }
    }
    std::filesystem::remove_all(dir_);
    throw std::runtime_error(failure);
}

std::string running_filter::start(const options& opts, const std::string& keyfile) {
    auto expand = [&](std::string text) {
        for (const char* spec : {"unix:{socket}", "{spec}"}) {
            text = replace_all(std::move(text), spec, spec_);
        }
        return replace_all(replace_all(replace_all(std::move(text), "{socket}", socket_path_),
                                       "{keyfile}", keyfile),
                           "{dir}", dir_);
    };
    for (const auto& [name, content] : opts.files) {
        std::ofstream out(dir_ + "/" + name);
        out << expand(content);
    }
    std::vector<std::string> args = {opts.binary};
    for (const auto& a : opts.args) {
        args.push_back(expand(a));
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(dir_, opts.tsan_suppressions);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const std::string errfile = dir_ + "/stderr";
    int errfd = ::open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int nullfd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    status_.reset();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec. The child
        // dies with the test, even when the test is killed before it could
        // stop the child itself.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (nullfd >= 0) {
            ::dup2(nullfd, 0);
        }
        if (errfd >= 0) {
            ::dup2(errfd, 1);
            ::dup2(errfd, 2);
        }
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int fork_errno = errno;
    if (errfd >= 0) {
        ::close(errfd);
    }
    if (nullfd >= 0) {
        ::close(nullfd);
    }
    if (pid_ < 0) {
        return std::string("fork(): ") + std::strerror(fork_errno);
    }

    auto deadline = std::chrono::steady_clock::now() + opts.start_timeout;
    auto serving = [&] {
        return opts.socket == transport::unix_socket
                   ? wait_for_socket(socket_path_, std::chrono::milliseconds(200))
                   : wait_for_spec(spec_, std::chrono::milliseconds(200));
    };
    while (!serving()) {
        if (!alive() || std::chrono::steady_clock::now() > deadline) {
            std::string what = opts.binary + " did not start serving on " + spec_;
            if (status_) {
                what += " (exit status " +
                        std::to_string(WIFEXITED(*status_) ? WEXITSTATUS(*status_)
                                                           : 128 + WTERMSIG(*status_)) +
                        ")";
            }
            what += "; it printed: " + read_file(errfile) + sanitizer_reports();
            kill();
            return what;
        }
    }
    return "";
}

running_filter::~running_filter() {
    kill();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool running_filter::alive() {
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return true;
}

void running_filter::kill() {
    if (pid_ < 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    pid_ = -1;
}

std::optional<int> running_filter::terminate(std::chrono::milliseconds timeout) {
    if (pid_ < 0) {
        return status_;
    }
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!alive()) {
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill();
    return std::nullopt;
}

long running_filter::rss_kib() const {
    if (pid_ < 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

double running_filter::cpu_seconds() const {
    if (pid_ < 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name in parentheses may hold blanks; the fields after it
    // are plain numbers, utime and stime the 12th and 13th of them.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string running_filter::sanitizer_reports() const {
    std::string out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
        if (entry.path().filename().string().starts_with("sanitizer")) {
            out += "==== " + entry.path().filename().string() + "\n" + read_file(entry.path());
        }
    }
    return out;
}

}  // namespace filter_process
