// The built binary with -A: the supervisor's PID file, detaching, the
// termination signals it passes on, restarts, their limits and the clean-up
// of the milter socket before each worker, observed through /proc, the
// files it leaves and a private system log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/process/daemon.h"
#include "tests/supervisor/process_tree.h"
#include "tests/support/blackbox.h"
#include "tests/support/syslog_capture.h"

namespace {

using supervisor_test::children_of;
using supervisor_test::read_proc_stat;
using supervisor_test::wait_for_child;
using vellicor_test::filter_dir;
using vellicor_test::vellicor;

const std::string startup_prefix = "Vellicor v0.5.0 starting (";
const std::string killed_line = "terminated with signal 9, restarting";
const std::string failed_line = "exited with status 69, restarting";
const std::string count_line = "maximum restart count exceeded";
const std::string rate_line = "maximum restart rate exceeded";

constexpr std::uint64_t signal_bit(int sig) {
    return std::uint64_t{1} << (sig - 1);
}

// A socket bound at path; listening or, once closed, left behind as a
// stale socket file.
struct unix_socket {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unix_socket(const std::string& path, bool listening) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(),
                    std::min(path.size(), sizeof address.sun_path - 1));
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (listening) {
            listen(fd, 16);
        }
    }
    ~unix_socket() { close(fd); }
    unix_socket(const unix_socket&) = delete;
    unix_socket& operator=(const unix_socket&) = delete;
};

// A TCP port on loopback that was free a moment ago.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool tcp_connectable(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool wait_for_tcp(int port) {
    const auto deadline = std::chrono::steady_clock::now() + blackbox::default_timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (tcp_connectable(port)) {
            return true;
        }
        std::this_thread::sleep_for(blackbox::milliseconds{20});
    }
    return false;
}

std::string ended(const std::optional<blackbox::exit_info>& info) {
    return info ? blackbox::describe(*info) : "still running";
}

// The supervisor and its workers with their own system log. Workers that
// outlive a test are killed by the sweeper.
class Supervised : public testing::Test {
  protected:
    void SetUp() override {
        if (!blackbox::running_as_root()) {
            GTEST_SKIP() << "a private /dev/log needs root";
        }
    }

    // -A -f -l with the directory's socket, key and PID file, then extra.
    blackbox::command supervised(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"-A", "-f", "-l"};
        args.insert(args.end(), extra.begin(), extra.end());
        return logged(f.args(args));
    }
    // The same with another socket specification.
    blackbox::command supervised_on(const std::string& spec,
                                    std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"-A", "-f",  "-l", "-p",      spec,
                                         "-k", f.key, "-P", f.pid_file};
        args.insert(args.end(), extra.begin(), extra.end());
        return logged(args);
    }
    blackbox::command logged(std::vector<std::string> args) const {
        blackbox::command cmd = vellicor(std::move(args));
        cmd.dev_log = capture.socket_path();
        return cmd;
    }
    // A configuration file with the given lines; its -c arguments.
    std::vector<std::string> config(const std::string& text) const {
        const std::string path = f.dir.file("vellicor.conf");
        blackbox::write_file(path, text);
        return {"-c", path};
    }
    // A socket specification whose socket the worker cannot create, although
    // the supervisor finds nothing to clean up there.
    std::string unopenable_spec() const { return "unix:" + f.dir.file("missing/milter.sock"); }

    // Every message logged so far by pid, in order.
    std::vector<std::string> messages_of(pid_t pid) {
        capture.drain();
        std::vector<std::string> messages;
        for (const blackbox::syslog_line& line : capture.lines()) {
            if (line.pid == pid) {
                messages.push_back(line.message);
            }
        }
        return messages;
    }
    // How many lines with this message came from processes other than pid.
    int count_from_others(pid_t pid, const std::string& message) {
        capture.drain();
        int count = 0;
        for (const blackbox::syslog_line& line : capture.lines()) {
            count += line.pid != pid && line.message == message ? 1 : 0;
        }
        return count;
    }
    int startup_lines() {
        capture.drain();
        int count = 0;
        for (const blackbox::syslog_line& line : capture.lines()) {
            count += line.message.rfind(startup_prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }
    // Waits for the end of p while reading its log lines: a datagram
    // socket queues only a few of them, and a full queue would block the
    // logging process.
    std::optional<blackbox::exit_info> wait_reading_log(blackbox::process& p) {
        const auto deadline = std::chrono::steady_clock::now() + blackbox::default_timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (std::optional<blackbox::exit_info> end = p.wait(blackbox::milliseconds{0})) {
                capture.drain();
                return end;
            }
            capture.next(blackbox::milliseconds{50});
        }
        return p.wait(blackbox::milliseconds{0});
    }
    // Waits for the line from pid.
    std::optional<blackbox::syslog_line> wait_for_line(pid_t pid, const std::string& message) {
        return capture.wait_for([&](const blackbox::syslog_line& line) {
            return line.pid == pid && line.message == message;
        });
    }

    filter_dir f;
    blackbox::syslog_capture capture{f.dir.path()};
    // Last, so that it runs first: no daemon outlives its directory.
    blackbox::child_sweeper sweeper;
};

// Each termination signal reaches the serving worker as itself. The worker
// is held stopped meanwhile, so that the signal stays pending where /proc
// shows it; once it runs again, the milter library stops it gracefully and
// the supervisor removes the PID file and exits 0 without a word.
TEST_F(Supervised, TerminationSignalsArePassedOnAsThemselves) {
    const int signals[] = {SIGHUP, SIGINT, SIGTERM};
    for (int sig : signals) {
        SCOPED_TRACE(strsignal(sig));
        capture.clear();
        blackbox::process p = blackbox::process::start(supervised());
        std::optional<pid_t> pid = blackbox::wait_for_pid_file(f.pid_file);
        ASSERT_EQ(pid, p.pid()) << p.err();
        std::optional<pid_t> worker = wait_for_child(p.pid());
        ASSERT_TRUE(worker);
        ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();

        ASSERT_EQ(kill(*worker, SIGSTOP), 0);
        ASSERT_TRUE(supervisor_test::wait_for_state(*worker, 'T'));
        p.signal(sig);
        EXPECT_TRUE(supervisor_test::wait_for_pending(*worker, signal_bit(sig)));
        EXPECT_EQ(supervisor_test::shared_pending(*worker), signal_bit(sig));
        EXPECT_TRUE(p.running()) << "the supervisor waits for its worker";
        kill(*worker, SIGCONT);

        std::optional<blackbox::exit_info> end = wait_reading_log(p);
        ASSERT_TRUE(end && end->exited) << ended(end);
        EXPECT_EQ(end->status, 0);
        EXPECT_FALSE(blackbox::path_exists(f.pid_file));
        EXPECT_FALSE(read_proc_stat(*worker)) << "the worker was waited for";
        EXPECT_EQ(messages_of(p.pid()), std::vector<std::string>{});
        EXPECT_EQ(p.err(), "");
    }
}

TEST_F(Supervised, KilledWorkerIsRestartedAtOnce) {
    blackbox::process p = blackbox::process::start(supervised());
    std::optional<pid_t> first = wait_for_child(p.pid());
    ASSERT_TRUE(first);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();

    kill(*first, SIGKILL);
    std::optional<blackbox::syslog_line> line = wait_for_line(p.pid(), killed_line);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->priority, LOG_MAIL | LOG_NOTICE);
    EXPECT_EQ(line->ident, "vellicor");

    // The dead worker's socket is cleaned away and the next worker serves.
    std::optional<pid_t> second = wait_for_child(p.pid(), first);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    EXPECT_TRUE(p.running());
    EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(p.pid()) + "\n");
    EXPECT_EQ(messages_of(p.pid()), std::vector<std::string>{killed_line});
    EXPECT_EQ(startup_lines(), 2);
}

// Workers that fail at once: each one's exit status is logged and the next
// one starts, up to the count limit. The worker of the pass at the limit
// stops before it serves, and the supervisor ends with 69 and leaves its
// PID file.
TEST_F(Supervised, WorkerThatCannotOpenItsSocketWithinACountLimit) {
    std::vector<std::string> extra = config("AutoRestartCount 3\n");
    blackbox::process p = blackbox::process::start(supervised_on(unopenable_spec(), extra));
    std::optional<blackbox::exit_info> end = wait_reading_log(p);
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 69);

    const std::vector<std::string> expected = {failed_line, failed_line, failed_line, failed_line,
                                               count_line};
    EXPECT_EQ(messages_of(p.pid()), expected);
    EXPECT_EQ(count_from_others(p.pid(), count_line), 1) << "the last worker's own count test";
    const std::string failure =
        unopenable_spec() + ": smfi_opensocket() failed: No such file or directory";
    EXPECT_EQ(count_from_others(p.pid(), failure), 3);
    EXPECT_EQ(p.err(), "vellicor: " + failure + "\n" + "vellicor: " + failure + "\n" +
                           "vellicor: " + failure + "\n");
    EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(p.pid()) + "\n");
    EXPECT_EQ(startup_lines(), 0);
}

// Without a limit the restarts go on until a termination signal ends them,
// whatever the supervisor is doing when it arrives.
TEST_F(Supervised, FailingWorkersRestartUntilShutdown) {
    blackbox::process p = blackbox::process::start(supervised_on(unopenable_spec()));
    int seen = 0;
    ASSERT_TRUE(capture.wait_for([&](const blackbox::syslog_line& line) {
        seen += line.pid == p.pid() && line.message == failed_line ? 1 : 0;
        return seen == 5;
    })) << p.err();
    p.signal(SIGTERM);
    std::optional<blackbox::exit_info> end = wait_reading_log(p);
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 0);
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
    for (const std::string& message : messages_of(p.pid())) {
        EXPECT_EQ(message, failed_line);
    }
}

// Without a limit, a worker that dies at once is restarted after pauses of
// 100 ms, 200 ms, 400 ms and so on, not thousands of times a second; a
// termination signal during a pause ends the supervisor at once.
TEST_F(Supervised, CrashLoopWithoutLimitsIsPaced) {
    blackbox::process p = blackbox::process::start(supervised_on(unopenable_spec()));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        capture.next(blackbox::milliseconds{50});
    }
    // Starts at about 0, 0.1, 0.3, 0.7 and 1.5 seconds.
    const std::vector<std::string> failures = messages_of(p.pid());
    EXPECT_GE(failures.size(), 3u);
    EXPECT_LE(failures.size(), 6u);
    for (const std::string& message : failures) {
        EXPECT_EQ(message, failed_line);
    }

    // The next pause is 1.6 seconds long: the signal arrives within it.
    p.signal(SIGTERM);
    std::optional<blackbox::exit_info> end = p.wait(blackbox::milliseconds{1000});
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 0);
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
}

// A SIGTERM that reaches the supervisor while it replaces a worker that was
// just killed must still end it: passed on to the new worker before that
// one has reset its handlers, it used to be swallowed.
TEST_F(Supervised, StopsWhenTerminatedRightAfterAWorkerDied) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        capture.clear();
        blackbox::process p = blackbox::process::start(supervised());
        std::optional<pid_t> worker = wait_for_child(p.pid());
        ASSERT_TRUE(worker);
        ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();

        kill(*worker, SIGKILL);
        // A little later each round, to meet the supervisor at different
        // points of its restart.
        std::this_thread::sleep_for(std::chrono::microseconds(250 * (round % 8)));
        p.signal(SIGTERM);
        std::optional<blackbox::exit_info> end = wait_reading_log(p);
        ASSERT_TRUE(end && end->exited) << ended(end);
        EXPECT_EQ(end->status, 0);
        EXPECT_FALSE(blackbox::path_exists(f.pid_file));
    }
}

// A second termination signal while the worker shuts down is passed on
// again: the worker, stopped meanwhile, has both pending.
TEST_F(Supervised, SecondSignalDuringShutdownIsPassedOn) {
    blackbox::process p = blackbox::process::start(supervised());
    std::optional<pid_t> worker = wait_for_child(p.pid());
    ASSERT_TRUE(worker);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    ASSERT_EQ(kill(*worker, SIGSTOP), 0);
    ASSERT_TRUE(supervisor_test::wait_for_state(*worker, 'T'));
    p.signal(SIGTERM);
    EXPECT_TRUE(supervisor_test::wait_for_pending(*worker, signal_bit(SIGTERM)));
    p.signal(SIGINT);
    EXPECT_TRUE(
        supervisor_test::wait_for_pending(*worker, signal_bit(SIGTERM) | signal_bit(SIGINT)));
    kill(*worker, SIGCONT);
    std::optional<blackbox::exit_info> end = wait_reading_log(p);
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 0);
}

// Killing the supervisor outright takes its worker down too: the worker is
// sent SIGTERM when its parent dies, and the milter library stops it.
TEST_F(Supervised, WorkerDoesNotOutliveItsSupervisor) {
    blackbox::process p = blackbox::process::start(supervised());
    std::optional<pid_t> worker = wait_for_child(p.pid());
    ASSERT_TRUE(worker);
    blackbox::pid_guard worker_guard(*worker);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    p.signal(SIGKILL);
    ASSERT_TRUE(p.wait());
    const auto deadline = std::chrono::steady_clock::now() + blackbox::default_timeout;
    auto alive = [&] {
        const std::optional<supervisor_test::proc_stat> st = read_proc_stat(*worker);
        return st && st->state != 'Z';
    };
    while (alive() && std::chrono::steady_clock::now() < deadline) {
        capture.next(blackbox::milliseconds{50});
    }
    EXPECT_FALSE(alive()) << "the worker still serves";
}

// Serving workers killed one after the other until a limit ends the
// supervisor. At the count limit a last worker is started and stops on its
// own count test; at the rate limit none is started.
TEST_F(Supervised, LimitsWithServingWorkers) {
    struct case_ {
        std::string config;
        std::vector<std::string> supervisor_lines;
        int worker_count_lines;
    };
    const case_ cases[] = {
        {"AutoRestartCount 2\n", {killed_line, killed_line, failed_line, count_line}, 1},
        {"AutoRestartRate 2/1h\n", {killed_line, killed_line, rate_line}, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.config);
        capture.clear();
        blackbox::process p = blackbox::process::start(supervised(config(c.config)));
        std::optional<pid_t> previous;
        for (int served = 0; served < 2; ++served) {
            std::optional<pid_t> worker = wait_for_child(p.pid(), previous);
            ASSERT_TRUE(worker);
            ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
            kill(*worker, SIGKILL);
            previous = worker;
        }
        std::optional<blackbox::exit_info> end = wait_reading_log(p);
        ASSERT_TRUE(end && end->exited) << ended(end);
        EXPECT_EQ(end->status, 69);
        EXPECT_EQ(messages_of(p.pid()), c.supervisor_lines);
        EXPECT_EQ(count_from_others(p.pid(), count_line), c.worker_count_lines);
        EXPECT_EQ(startup_lines(), 2);
        EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(p.pid()) + "\n");
        capture.drain();
        for (const blackbox::syslog_line& line : capture.lines()) {
            if (line.message == rate_line || line.message == count_line) {
                EXPECT_EQ(line.priority, LOG_MAIL | LOG_ERR);
            }
        }
    }
}

// The rate limit counts the starts of the most recent workers: n starts
// within the interval are allowed, the next one is not. A count of 0 turns
// it off.
TEST_F(Supervised, RateLimitWithFailingWorkers) {
    struct case_ {
        std::string config;
        int failed_workers;
        std::string last_line;
    };
    const case_ cases[] = {
        {"AutoRestartRate 3/1h\n", 3, rate_line},
        {"AutoRestartRate 1/10m\n", 1, rate_line},
        {"AutoRestartRate 2/1d\nAutoRestartCount 5\n", 2, rate_line},
        // The count limit comes first when both are reached in one pass.
        {"AutoRestartRate 3/1h\nAutoRestartCount 2\n", 3, count_line},
        {"AutoRestartRate /10\nAutoRestartCount 4\n", 5, count_line},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.config);
        capture.clear();
        blackbox::process p =
            blackbox::process::start(supervised_on(unopenable_spec(), config(c.config)));
        std::optional<blackbox::exit_info> end = wait_reading_log(p);
        ASSERT_TRUE(end && end->exited) << ended(end);
        EXPECT_EQ(end->status, 69);
        std::vector<std::string> expected(static_cast<std::size_t>(c.failed_workers), failed_line);
        expected.push_back(c.last_line);
        EXPECT_EQ(messages_of(p.pid()), expected);
    }
}

// Before each worker the supervisor removes a socket file that nobody
// listens on and refuses to start a worker where a filter still listens.
TEST_F(Supervised, SocketCleanupBeforeTheWorker) {
    enum class there { nothing, stale_socket, listener, plain_file, fifo, link_to_stale };
    struct case_ {
        std::string name;
        std::string spec_prefix;  // before the path; "local:" with no path at all
        bool with_path;
        there before;
        std::string failure;  // after the path; empty when a worker is to serve
    };
    const case_ cases[] = {
        {"stale socket, unix:", "unix:", true, there::stale_socket, ""},
        {"stale socket, bare path", "", true, there::stale_socket, ""},
        {"stale socket, LOCAL:", "LOCAL:", true, there::stale_socket, ""},
        {"nothing there, local:", "local:", true, there::nothing, ""},
        {"live listener, local:", "local:", true, there::listener,
         ": socket in use by another process"},
        {"live listener, bare path", "", true, there::listener,
         ": socket in use by another process"},
        {"plain file", "local:", true, there::plain_file, ": not a socket; left untouched"},
        {"FIFO", "unix:", true, there::fifo, ": not a socket; left untouched"},
        {"link to a stale socket", "", true, there::link_to_stale,
         ": not a socket; left untouched"},
        {"local: alone", "local:", false, there::nothing, "local:: no socket path"},
    };
    int n = 0;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        capture.clear();
        const std::string path = f.dir.file("case" + std::to_string(n++) + ".sock");
        std::optional<unix_socket> listener;
        switch (c.before) {
            case there::nothing:
                break;
            case there::stale_socket: {
                unix_socket stale(path, false);
                break;
            }
            case there::listener:
                listener.emplace(path, true);
                break;
            case there::plain_file:
                blackbox::write_file(path, "precious\n");
                break;
            case there::fifo:
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
                break;
            case there::link_to_stale: {
                unix_socket stale(path + ".target", false);
                ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
                break;
            }
        }
        // A supervisor killed in an earlier case left its PID file.
        unlink(f.pid_file.c_str());
        const std::optional<ino_t> inode_before = supervisor_test::inode_of(path);
        ASSERT_EQ(inode_before.has_value(), c.before != there::nothing);
        const std::string spec = c.spec_prefix + (c.with_path ? path : "");

        blackbox::process p = blackbox::process::start(supervised_on(spec));
        if (c.failure.empty()) {
            std::optional<pid_t> worker = wait_for_child(p.pid());
            ASSERT_TRUE(worker);
            blackbox::pid_guard worker_guard(*worker);
            EXPECT_TRUE(blackbox::wait_for_milter(path)) << p.err();
            EXPECT_EQ(messages_of(p.pid()), std::vector<std::string>{});
            // The supervisor first, or it would start another worker.
            p.signal(SIGKILL);
            wait_reading_log(p);
        } else {
            const std::string message = (c.with_path ? path : "") + c.failure;
            std::optional<blackbox::exit_info> end = wait_reading_log(p);
            ASSERT_TRUE(end && end->exited) << ended(end);
            EXPECT_EQ(end->status, 69);
            EXPECT_EQ(p.err(), "vellicor: " + message + "\n");
            EXPECT_EQ(messages_of(p.pid()), std::vector<std::string>{message});
            EXPECT_EQ(startup_lines(), 0) << "no worker was started";
            EXPECT_EQ(supervisor_test::inode_of(path), inode_before);
            if (listener) {
                EXPECT_TRUE(blackbox::wait_for_connectable(path, blackbox::milliseconds{0}));
            }
            if (c.before == there::plain_file) {
                EXPECT_EQ(blackbox::read_file(path), "precious\n");
            }
            EXPECT_FALSE(blackbox::path_exists(f.pid_file))
                << "the PID file is written only once the socket may be used";
        }
    }
}

TEST_F(Supervised, InetSocketNeedsNoCleanup) {
    const int port = free_port();
    blackbox::process p =
        blackbox::process::start(supervised_on("inet:" + std::to_string(port) + "@127.0.0.1"));
    std::optional<pid_t> worker = wait_for_child(p.pid());
    ASSERT_TRUE(worker);
    EXPECT_TRUE(wait_for_tcp(port)) << p.err();
    EXPECT_TRUE(capture.wait_for_prefix(startup_prefix));
    EXPECT_EQ(messages_of(p.pid()), std::vector<std::string>{});
}

// -A without -f: the starting process exits 0 after its fork; the
// supervisor detaches and its ID is in the PID file, which no worker
// writes or removes, even one that ends on its own.
TEST(SupervisorStart, InTheBackground) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::process starter = blackbox::process::start(vellicor(f.args({"-A"})));
    std::optional<blackbox::exit_info> end = starter.wait();
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 0);
    EXPECT_EQ(starter.err(), "");

    std::optional<pid_t> supervisor = blackbox::wait_for_pid_file(f.pid_file);
    ASSERT_TRUE(supervisor);
    blackbox::pid_guard guard(*supervisor);
    EXPECT_NE(*supervisor, starter.pid());
    std::optional<supervisor_test::proc_stat> st = read_proc_stat(*supervisor);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->session, *supervisor) << "the supervisor leads a session of its own";
    for (int fd = 0; fd <= 2; ++fd) {
        EXPECT_EQ(blackbox::proc_fd_target(*supervisor, fd), "/dev/null") << "descriptor " << fd;
    }

    std::optional<pid_t> first = wait_for_child(*supervisor);
    ASSERT_TRUE(first);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket));
    std::optional<supervisor_test::proc_stat> worker_st = read_proc_stat(*first);
    ASSERT_TRUE(worker_st);
    EXPECT_EQ(worker_st->session, *first);

    // A worker that stops gracefully leaves the PID file alone.
    kill(*first, SIGTERM);
    std::optional<pid_t> second = wait_for_child(*supervisor, first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(blackbox::wait_for_milter(f.socket));
    EXPECT_EQ(blackbox::read_file(f.pid_file), std::to_string(*supervisor) + "\n");

    guard.signal(SIGTERM);
    std::optional<blackbox::exit_info> supervisor_end = guard.wait();
    ASSERT_TRUE(supervisor_end && supervisor_end->exited) << ended(supervisor_end);
    EXPECT_EQ(supervisor_end->status, 0);
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
}

// -A with -f: no fork-and-exit and no detaching for the supervisor; each
// worker still starts a session of its own and keeps the descriptors.
TEST(SupervisorStart, InTheForeground) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::process p = blackbox::process::start(vellicor(f.args({"-A", "-f"})));
    EXPECT_EQ(blackbox::wait_for_pid_file(f.pid_file), p.pid());
    std::optional<pid_t> worker = wait_for_child(p.pid());
    ASSERT_TRUE(worker);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();

    std::optional<supervisor_test::proc_stat> st = read_proc_stat(p.pid());
    std::optional<supervisor_test::proc_stat> worker_st = read_proc_stat(*worker);
    ASSERT_TRUE(st && worker_st);
    EXPECT_EQ(st->session, getsid(0)) << "the supervisor stays in the test's session";
    EXPECT_EQ(worker_st->session, *worker);
    const std::optional<std::string> err_target = blackbox::proc_fd_target(p.pid(), 2);
    ASSERT_TRUE(err_target);
    EXPECT_NE(*err_target, "/dev/null");
    EXPECT_EQ(blackbox::proc_fd_target(*worker, 2), err_target);

    p.signal(SIGTERM);
    std::optional<blackbox::exit_info> end = p.wait();
    ASSERT_TRUE(end && end->exited) << ended(end);
    EXPECT_EQ(end->status, 0);
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
}

// A starting process that ignores SIGCHLD passes that on across exec; the
// supervisor must still see its workers end.
TEST(SupervisorStart, InheritedIgnoredSigchld) {
    blackbox::command probe;
    probe.program = "env";
    probe.args = {"--ignore-signal=CHLD", "grep", "^SigIgn:", "/proc/self/status"};
    blackbox::outcome r = blackbox::run(probe);
    unsigned long long ignored = 0;
    if (r.exit.status != 0 || std::sscanf(r.out.c_str(), "SigIgn: %llx", &ignored) != 1 ||
        (ignored & signal_bit(SIGCHLD)) == 0) {
        GTEST_SKIP() << "env cannot start a program with SIGCHLD ignored: " << r.err;
    }

    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::command cmd;
    cmd.program = "env";
    cmd.args = {"--ignore-signal=CHLD", vellicor_test::binary};
    for (const std::string& arg : f.args({"-A", "-f"})) {
        cmd.args.push_back(arg);
    }
    blackbox::process p = blackbox::process::start(cmd);
    std::optional<pid_t> first = wait_for_child(p.pid());
    ASSERT_TRUE(first);
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    kill(*first, SIGKILL);
    std::optional<pid_t> second = wait_for_child(p.pid(), first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    EXPECT_TRUE(p.running());
}

}  // namespace
