// The auto-restart supervisor. It runs on the main thread before anything
// has started a thread, so fork leaves the worker a complete copy of the
// settings, the key and the lists; the worker then registers with the milter
// library as the single process would.
#include "process/supervisor.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "callbacks/settings.h"
#include "logging/log.h"
#include "process/socket.h"
#include "process/startup.h"

volatile sig_atomic_t shutdown_requested = 0;
volatile sig_atomic_t shutdown_signal = 0;

namespace {

constexpr int termination_signals[] = {SIGHUP, SIGINT, SIGTERM};

// A worker that ends sooner than this after its start is restarted only
// after a pause.
constexpr auto quick_death = std::chrono::seconds(1);

// The signals the supervisor waits for. They stay blocked in the supervisor
// from its start to its end and are taken with sigtimedwait, so that none
// can slip in between a test of a flag and the wait that follows it.
sigset_t supervisor_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : termination_signals) {
        sigaddset(&set, sig);
    }
    sigaddset(&set, SIGCHLD);
    return set;
}

// The worker a reload request is passed on to; 0 while none runs.
pid_t running_worker = 0;

// What the supervisor waits for: its own signals and SIGUSR1, which asks
// the worker to reload. SIGUSR1 is blocked from the start of the filter in
// every process, and stays blocked in the worker, where a thread of its
// own takes it.
sigset_t waited_signals() {
    sigset_t set = supervisor_signals();
    sigaddset(&set, SIGUSR1);
    return set;
}

// Installs handler for the three termination signals, in order, stopping at
// the first failure; the error number of that failure, or 0.
int set_termination_handlers(void (*handler)(int), bool block_all_three) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (block_all_three) {
        for (int sig : termination_signals) {
            sigaddset(&action.sa_mask, sig);
        }
    }
    action.sa_flags = 0;
    for (int sig : termination_signals) {
        if (sigaction(sig, &action, nullptr) != 0) {
            return errno;
        }
    }
    return 0;
}

void log_error(const char* format, const char* text) {
    if (settings.Syslog) {
        batv_log(LOG_ERR, format, text);
    }
}

// The count limit, tested by the worker and by the supervisor with the
// number of workers started before this pass.
bool count_exceeded(int restart_count) {
    if (settings.AutoRestartCount > 0 && restart_count >= settings.AutoRestartCount) {
        if (settings.Syslog) {
            batv_log(LOG_ERR, "maximum restart count exceeded");
        }
        return true;
    }
    return false;
}

// What woke the supervisor: a termination signal (recorded through
// batv_sighandler), a child's change of state, or the end of the timeout.
enum class wakeup { termination, child, timeout, error };

// Waits for one of the supervisor's signals, at most timeout when one is
// given. The signals are blocked, so one that came while the supervisor was
// busy is pending and taken here at once.
// A reload request is passed on to the worker and the wait goes on.
wakeup next_signal(const std::optional<std::chrono::nanoseconds>& timeout) {
    const sigset_t set = waited_signals();
    const auto deadline = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::nanoseconds{});
    for (;;) {
        timespec limit{};
        if (timeout) {
            const auto left = std::max(std::chrono::nanoseconds::zero(),
                                       std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           deadline - std::chrono::steady_clock::now()));
            limit.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            limit.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        }
        const int sig = sigtimedwait(&set, nullptr, timeout ? &limit : nullptr);
        if (sig == SIGCHLD) {
            return wakeup::child;
        }
        if (sig == SIGUSR1) {
            if (running_worker > 0) {
                batv_killchild(running_worker, SIGUSR1);
            }
            continue;
        }
        if (sig > 0) {
            batv_sighandler(sig);
            return wakeup::termination;
        }
        if (errno == EAGAIN) {
            return wakeup::timeout;
        }
        if (errno != EINTR) {
            return wakeup::error;
        }
    }
}

// Reaps every child that has ended; true when the worker was among them,
// with its wait status in status.
bool reap(pid_t worker, int& status) {
    bool found = false;
    for (;;) {
        int child_status = 0;
        const pid_t pid = waitpid(-1, &child_status, WNOHANG);
        if (pid <= 0) {
            // No child left at all means the worker is gone too.
            if (pid < 0 && errno == ECHILD && !found) {
                status = 0;
                return worker > 0;
            }
            return found;
        }
        if (pid == worker) {
            status = child_status;
            found = true;
        }
    }
}

// Passes the termination signal on, waits for the worker and ends the
// supervisor: the only end that removes the PID file. A further termination
// signal while the worker shuts down is passed on as well. worker is 0 when
// none is running (during a pause between two workers).
int shut_down(pid_t worker, bool own_pidfile) {
    if (worker > 0) {
        batv_killchild(worker, shutdown_signal);
        int status = 0;
        while (!reap(worker, status)) {
            const wakeup woken = next_signal(std::nullopt);
            if (woken == wakeup::termination) {
                batv_killchild(worker, shutdown_signal);
            } else if (woken == wakeup::error) {
                log_error("[parent] sigtimedwait(): %s", std::strerror(errno));
                break;
            }
        }
    }
    if (own_pidfile) {
        unlink(settings.PidFile->c_str());
    }
    return EX_OK;
}

// The wait for the worker of this pass: the worker's wait status, or the
// exit status of the supervisor when it is to end instead.
struct wait_result {
    int wait_status = 0;
    std::optional<int> exit_status;
};

wait_result wait_for_worker(pid_t worker, bool own_pidfile) {
    wait_result result;
    for (;;) {
        if (shutdown_requested) {
            result.exit_status = shut_down(worker, own_pidfile);
            return result;
        }
        if (reap(worker, result.wait_status)) {
            return result;
        }
        if (next_signal(std::nullopt) == wakeup::error) {
            log_error("[parent] sigtimedwait(): %s", std::strerror(errno));
            result.exit_status = EX_OSERR;
            return result;
        }
    }
}

// The pause before the next worker, cut short by a termination signal: the
// exit status then.
std::optional<int> pause_before_restart(std::chrono::nanoseconds pause, bool own_pidfile) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!shutdown_requested) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) {
            return std::nullopt;
        }
        if (next_signal(left) == wakeup::error) {
            log_error("[parent] sigtimedwait(): %s", std::strerror(errno));
            return EX_OSERR;
        }
        int status = 0;
        reap(0, status);  // children other than a worker
    }
    return shut_down(0, own_pidfile);
}

void log_worker_end(int wait_status) {
    if (!settings.Syslog) {
        return;
    }
    if (WIFSIGNALED(wait_status)) {
        batv_log(LOG_NOTICE, "terminated with signal %d, restarting", WTERMSIG(wait_status));
    } else if (WIFEXITED(wait_status)) {
        batv_log(LOG_NOTICE, "exited with status %d, restarting", WEXITSTATUS(wait_status));
    }
}

// The start: the socket check, fork-and-exit and detach with Background,
// the PID file, the signals. Returns the exit status when this process is to
// end here.
std::optional<int> start_supervisor(bool& own_pidfile) {
    // A socket another filter serves ends start-up here, before this
    // process detaches or writes the PID file the other one owns.
    if (auto status = batv_check_socket(*settings.Socket)) {
        return status;
    }

    // A starting process that left SIGCHLD ignored would make the kernel
    // reap the workers itself, and every wait would fail.
    struct sigaction child_action {};
    child_action.sa_handler = SIG_DFL;
    sigemptyset(&child_action.sa_mask);
    sigaction(SIGCHLD, &child_action, nullptr);

    if (settings.Background) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid < 0) {
            int error = errno;
            log_error("fork(): %s", std::strerror(error));
            std::fprintf(stderr, "%s: fork(): %s\n", settings.progname.c_str(),
                         std::strerror(error));
            return EX_OSERR;
        }
        if (pid > 0) {
            return EX_OK;
        }
        batv_detach();
    }

    const sigset_t blocked = supervisor_signals();
    if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        log_error("[parent] sigprocmask(): %s", std::strerror(errno));
    }
    if (int error = set_termination_handlers(batv_sighandler, true); error != 0) {
        log_error("[parent] sigaction(): %s", std::strerror(error));
    }

    if (settings.PidFile) {
        own_pidfile = batv_write_pidfile(*settings.PidFile);
    }
    return std::nullopt;
}

// In a freshly forked worker, before it does anything else: the handlers
// back to their defaults, then the signals unblocked, so that a termination
// signal the supervisor passed on at once ends the worker instead of being
// swallowed by the supervisor's handler. The worker also ends when the
// supervisor dies, however it dies.
void become_worker(pid_t supervisor) {
    if (int error = set_termination_handlers(SIG_DFL, false); error != 0) {
        log_error("[child] sigaction(): %s", std::strerror(error));
    }
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        log_error("[child] prctl(): %s", std::strerror(errno));
    } else if (getppid() != supervisor) {
        // The supervisor died before the request took effect.
        kill(getpid(), SIGTERM);
    }
    const sigset_t blocked = supervisor_signals();
    if (sigprocmask(SIG_UNBLOCK, &blocked, nullptr) != 0) {
        log_error("[child] sigprocmask(): %s", std::strerror(errno));
    }
}

}  // namespace

void batv_sighandler(int sig) {
    switch (sig) {
        case SIGHUP:
        case SIGINT:
        case SIGTERM:
            shutdown_signal = sig;
            shutdown_requested = 1;
            break;
        default:
            break;
    }
}

void batv_killchild(pid_t pid, int sig) {
    if (kill(pid, sig) != 0 && settings.Syslog) {
        batv_log(LOG_ERR, "kill(%d, %d): %s", static_cast<int>(pid), sig, std::strerror(errno));
    }
}

void batv_detach() {
    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        if (fd >= 3) {
            close(fd);
        }
    }
    setsid();
}

restart_window::restart_window(int count, std::chrono::seconds interval)
    : count_(count > 0 ? static_cast<std::size_t>(count) : 0), interval_(interval) {}

bool restart_window::would_exceed(clock::time_point now) const {
    if (!in_force() || starts_.size() < count_) {
        return false;
    }
    return now - starts_.front() < interval_;
}

void restart_window::record(clock::time_point now) {
    if (!in_force()) {
        return;
    }
    starts_.push_back(now);
    while (starts_.size() > count_) {
        starts_.pop_front();
    }
}

restart_pacing::clock::duration restart_pacing::next_pause(clock::duration ran) {
    if (ran >= steady_run) {
        pause_ = clock::duration::zero();
        return pause_;
    }
    if (ran >= quick_death) {
        return clock::duration::zero();
    }
    pause_ = pause_ == clock::duration::zero() ? first_pause : std::min(pause_ * 2, longest_pause);
    return pause_;
}

std::optional<int> batv_supervise() {
    bool own_pidfile = false;
    if (auto status = start_supervisor(own_pidfile)) {
        return status;
    }

    // The clock is monotonic so that setting the system time neither
    // triggers nor defeats the rate limit.
    restart_window rate(settings.AutoRestartRateCount,
                        std::chrono::seconds(settings.AutoRestartRateInterval));
    // With a limit in force the limit decides how a crash loop ends; without
    // one, quick deaths are paced so that a worker that cannot start does
    // not fork thousands of times a second.
    const bool paced = settings.AutoRestartCount <= 0 && !rate.in_force();
    restart_pacing pacing;
    const std::string& socket_spec = *settings.Socket;
    const pid_t supervisor = getpid();

    for (int restart_count = 0;; ++restart_count) {
        // The first worker's socket was checked at the start; each later
        // one removes what the dead worker left behind.
        if (restart_count > 0) {
            if (auto failure = batv_socket_cleanup(socket_spec)) {
                log_error("[parent] socket cleanup failed: %s", failure->message.c_str());
                return failure->status;
            }
        }

        // Nothing buffered may be written twice, by both processes.
        std::fflush(nullptr);
        pid_t worker = fork();
        if (worker < 0) {
            log_error("fork(): %s", std::strerror(errno));
            return EX_OSERR;
        }
        if (worker == 0) {
            become_worker(supervisor);
            if (count_exceeded(restart_count)) {
                return EX_UNAVAILABLE;
            }
            return std::nullopt;
        }
        const auto started = restart_window::clock::now();
        rate.record(started);

        running_worker = worker;
        wait_result ended = wait_for_worker(worker, own_pidfile);
        running_worker = 0;
        if (ended.exit_status) {
            return ended.exit_status;
        }
        log_worker_end(ended.wait_status);

        if (count_exceeded(restart_count)) {
            return EX_UNAVAILABLE;
        }
        if (rate.would_exceed(restart_window::clock::now())) {
            if (settings.Syslog) {
                batv_log(LOG_ERR, "maximum restart rate exceeded");
            }
            return EX_UNAVAILABLE;
        }
        if (paced) {
            const auto pause = pacing.next_pause(restart_window::clock::now() - started);
            if (pause > restart_pacing::clock::duration::zero()) {
                if (auto status = pause_before_restart(pause, own_pidfile)) {
                    return status;
                }
            }
        }
    }
}
