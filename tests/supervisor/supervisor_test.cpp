// The supervisor's pieces that can be tested in this process: the signal
// handler's flags, the kill helper's log line, detaching, and the window of
// recent worker starts behind the rate limit.
#include "process/supervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "callbacks/settings.h"
#include "logging/log.h"
#include "tests/support/blackbox.h"

namespace {

struct logged_line {
    int priority;
    std::string text;
};
std::vector<logged_line> logged;

void capture(int priority, const char* line) {
    logged.push_back({priority, line});
}

class LogCapture : public testing::Test {
  protected:
    void SetUp() override {
        logged.clear();
        batv_set_log_sink(capture);
        saved_syslog_ = settings.Syslog;
    }
    void TearDown() override {
        batv_set_log_sink(nullptr);
        settings.Syslog = saved_syslog_;
    }

  private:
    int saved_syslog_ = 0;
};

TEST(BatvSighandler, RecordsOnlyTerminationSignals) {
    struct case_ {
        int sig;
        bool recorded;
    };
    const case_ cases[] = {
        {SIGHUP, true},   {SIGINT, true},   {SIGTERM, true},  {SIGUSR1, false},
        {SIGCHLD, false}, {SIGPIPE, false}, {SIGQUIT, false}, {0, false},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.sig);
        shutdown_requested = 0;
        shutdown_signal = 0;
        batv_sighandler(c.sig);
        EXPECT_EQ(shutdown_requested, c.recorded ? 1 : 0);
        EXPECT_EQ(shutdown_signal, c.recorded ? c.sig : 0);
    }
    // A later signal replaces the number of an earlier one.
    batv_sighandler(SIGTERM);
    batv_sighandler(SIGHUP);
    EXPECT_EQ(shutdown_signal, SIGHUP);
    shutdown_requested = 0;
    shutdown_signal = 0;
}

TEST_F(LogCapture, KillchildLogsAFailureOnlyWithSyslog) {
    // An invalid signal number makes kill fail without touching any process.
    const pid_t self = getpid();
    settings.Syslog = 1;
    batv_killchild(self, 12345);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, LOG_ERR);
    EXPECT_EQ(logged[0].text, "kill(" + std::to_string(self) + ", 12345): Invalid argument");

    logged.clear();
    settings.Syslog = 0;
    batv_killchild(self, 12345);
    EXPECT_TRUE(logged.empty());

    // A successful kill says nothing.
    settings.Syslog = 1;
    batv_killchild(self, 0);
    EXPECT_TRUE(logged.empty());
}

// In a child: the standard descriptors lead to /dev/null and the child
// leads a new session.
TEST(BatvDetach, RedirectsAndStartsASession) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        batv_detach();
        int failures = 0;
        for (int fd = 0; fd <= 2; ++fd) {
            if (blackbox::proc_fd_target(getpid(), fd) != "/dev/null") {
                failures |= 1 << fd;
            }
        }
        if (getsid(0) != getpid()) {
            failures |= 8;
        }
        // The descriptor that was opened is closed again.
        if (blackbox::proc_fd_target(getpid(), 3) == "/dev/null") {
            failures |= 16;
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit 0-2: descriptor not /dev/null, 3: no session, "
                                         "4: descriptor left open";
}

TEST(RestartWindow, CountsTheMostRecentStarts) {
    using std::chrono::seconds;
    struct case_ {
        const char* name;
        int count;
        int interval;
        std::vector<int> starts;  // seconds after an origin
        int now;
        bool exceeded;
    };
    const case_ cases[] = {
        {"off without a count", 0, 60, {0, 0, 0}, 0, false},
        {"off without an interval", 2, 0, {0, 0, 0}, 0, false},
        {"first start", 2, 60, {}, 0, false},
        {"room for one more", 2, 60, {0}, 1, false},
        {"one too many", 2, 60, {0, 1}, 2, true},
        {"just inside the interval", 2, 60, {0, 1}, 59, true},
        {"oldest start has left the interval", 2, 60, {0, 1}, 60, false},
        {"a single start allowed", 1, 10, {0}, 9, true},
        {"a single start, later", 1, 10, {0}, 10, false},
        {"only the most recent count", 2, 60, {0, 100, 101}, 102, true},
        {"old starts forgotten", 3, 60, {0, 100, 101}, 102, false},
    };
    const auto origin = restart_window::clock::now();
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        restart_window window(c.count, seconds(c.interval));
        EXPECT_EQ(window.in_force(), c.count > 0 && c.interval > 0);
        for (int start : c.starts) {
            window.record(origin + seconds(start));
        }
        EXPECT_EQ(window.would_exceed(origin + seconds(c.now)), c.exceeded);
    }
}

TEST(RestartPacing, DoublesForQuickDeathsAndStartsOverAfterASteadyRun) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    struct case_ {
        restart_pacing::clock::duration ran;
        restart_pacing::clock::duration pause;
    };
    // One pacing object through a worker's life: quick deaths, a worker that
    // ran for a while, the ceiling, a steady run.
    const case_ steps[] = {
        {milliseconds(5), milliseconds(100)},  {milliseconds(999), milliseconds(200)},
        {milliseconds(10), milliseconds(400)}, {seconds(1), milliseconds(0)},
        {seconds(59), milliseconds(0)},        {milliseconds(1), milliseconds(800)},
        {milliseconds(1), milliseconds(1600)}, {milliseconds(1), milliseconds(3200)},
        {milliseconds(1), milliseconds(6400)}, {milliseconds(1), seconds(10)},
        {milliseconds(1), seconds(10)},        {seconds(60), milliseconds(0)},
        {milliseconds(1), milliseconds(100)},
    };
    restart_pacing pacing;
    int n = 0;
    for (const case_& step : steps) {
        SCOPED_TRACE(n++);
        EXPECT_EQ(pacing.next_pause(step.ran), step.pause);
    }
}

}  // namespace
