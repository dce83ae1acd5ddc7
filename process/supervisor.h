// The auto-restart supervisor: with AutoRestart the starting process becomes
// a small single-threaded parent that owns the PID file, starts the filter
// in one worker process at a time, removes the socket a dead worker left
// behind, restarts workers within the configured limits and passes SIGHUP,
// SIGINT and SIGTERM on to the worker before it ends.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

// Written only by batv_sighandler, read only by the supervisor's loop.
extern volatile sig_atomic_t shutdown_requested;
extern volatile sig_atomic_t shutdown_signal;

// Records SIGHUP, SIGINT and SIGTERM; ignores every other signal number.
void batv_sighandler(int sig);

// Sends sig to pid; a failure is logged (when Syslog is on) and nothing else.
void batv_killchild(pid_t pid, int sig);

// Points standard input, output and error at /dev/null and starts a new
// session. Reports nothing.
void batv_detach();

// Runs the supervisor. Returns the exit status when the process is to end
// (0 after a shutdown on a signal or in the parent of the fork-and-exit, 69
// at a limit or a socket clean-up failure, 71 when a fork or a wait fails),
// or nothing inside a freshly started worker, which goes on to register
// with the milter library.
std::optional<int> batv_supervise();

// The rate limit: at most count worker starts within interval. The window
// keeps the start times of the most recent count workers.
class restart_window {
  public:
    using clock = std::chrono::steady_clock;

    restart_window(int count, std::chrono::seconds interval);

    // True when count and interval are both above zero.
    bool in_force() const { return count_ > 0 && interval_.count() > 0; }
    // True when one more start at now would make more than count starts
    // within interval.
    bool would_exceed(clock::time_point now) const;
    void record(clock::time_point now);

  private:
    std::size_t count_;
    std::chrono::seconds interval_;
    std::deque<clock::time_point> starts_;
};

// The pause before restarting a worker that died soon after its start: it
// doubles with each quick death from first_pause up to longest_pause, and
// starts over once a worker has run for steady_run. A worker that ran for
// at least a second is restarted at once.
class restart_pacing {
  public:
    using clock = std::chrono::steady_clock;
    static constexpr clock::duration first_pause = std::chrono::milliseconds(100);
    static constexpr clock::duration longest_pause = std::chrono::seconds(10);
    static constexpr clock::duration steady_run = std::chrono::minutes(1);

    // The pause before the next start, given how long the worker that just
    // ended ran.
    clock::duration next_pause(clock::duration ran);

  private:
    clock::duration pause_ = clock::duration::zero();
};
