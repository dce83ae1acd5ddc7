// The auto-restart supervisor. It runs on the main thread before anything
// has started a thread, so fork leaves the worker a complete copy of the
// settings, the key and the lists; the worker then registers with the milter
// library as the single process would.
#include "process/supervisor.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

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
    // No SA_RESTART: a termination signal has to interrupt the wait.
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

// Waits until the worker has ended after it was sent the termination
// signal; a wait that fails other than by an interruption gives up.
void wait_for_shutdown(pid_t worker) {
    for (;;) {
        int status = 0;
        pid_t pid = wait(&status);
        if (pid == worker) {
            return;
        }
        if (pid < 0 && errno != EINTR) {
            return;
        }
    }
}

// Passes the termination signal on, waits for the worker and ends the
// supervisor: the only end that removes the PID file.
int shut_down(pid_t worker) {
    batv_killchild(worker, shutdown_signal);
    wait_for_shutdown(worker);
    if (settings.PidFile) {
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

wait_result wait_for_worker(pid_t worker) {
    wait_result result;
    for (;;) {
        // A signal that came while the supervisor was busy cleaning up or
        // forking interrupted nothing; act on it before blocking.
        if (shutdown_requested) {
            result.exit_status = shut_down(worker);
            return result;
        }
        pid_t pid = wait(&result.wait_status);
        if (pid == worker) {
            return result;
        }
        if (pid >= 0) {
            continue;  // a child that is not the worker
        }
        if (errno == EINTR) {
            continue;  // the flag is examined above
        }
        log_error("[parent] wait(): %s", std::strerror(errno));
        result.exit_status = EX_OSERR;
        return result;
    }
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

// The start: fork-and-exit and detach with Background, the PID file, the
// handlers. Returns the exit status when this process is to end here.
std::optional<int> start_supervisor() {
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

    if (settings.PidFile) {
        batv_write_pidfile(*settings.PidFile);
    }

    if (int error = set_termination_handlers(batv_sighandler, true); error != 0) {
        log_error("[parent] sigaction(): %s", std::strerror(error));
    }

    return std::nullopt;
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

std::optional<int> batv_supervise() {
    if (auto status = start_supervisor()) {
        return status;
    }

    // The clock is monotonic so that setting the system time neither
    // triggers nor defeats the rate limit.
    restart_window rate(settings.AutoRestartRateCount,
                        std::chrono::seconds(settings.AutoRestartRateInterval));
    const std::string& socket_spec = *settings.Socket;

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
            if (int error = set_termination_handlers(SIG_DFL, false); error != 0) {
                log_error("[child] sigaction(): %s", std::strerror(error));
            }
            if (count_exceeded(restart_count)) {
                return EX_UNAVAILABLE;
            }
            return std::nullopt;
        }
        rate.record(restart_window::clock::now());

        wait_result ended = wait_for_worker(worker);
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
    }
}
