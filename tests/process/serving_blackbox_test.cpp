// The running daemon: what it writes to the system log at start-up, a
// session with a real milter client, and the end on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "tests/process/daemon.h"
#include "tests/support/blackbox.h"
#include "tests/support/miltertest.h"
#include "tests/support/syslog_capture.h"

namespace {

using vellicor_test::filter_dir;
using vellicor_test::vellicor;

const std::string startup_prefix = "Vellicor v0.5.0 starting (";

// The argument text as the start-up line shows it.
std::string shown(const std::vector<std::string>& args) {
    std::string text;
    for (std::size_t i = 0; i < args.size(); ++i) {
        text += i == 0 ? "args:" : "";
        text += args[i].find(' ') != std::string::npos ? " \"" + args[i] + "\"" : " " + args[i];
    }
    return text;
}

class SyslogTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!blackbox::running_as_root()) {
            GTEST_SKIP() << "a private /dev/log needs root";
        }
    }
    // The filter with /dev/log leading to the capture.
    blackbox::command logged(std::vector<std::string> args) {
        blackbox::command cmd = vellicor(std::move(args));
        cmd.dev_log = capture.socket_path();
        return cmd;
    }

    filter_dir f;
    blackbox::syslog_capture capture{f.dir.path()};
    // Last, so that it runs first: no daemon outlives its directory.
    blackbox::child_sweeper sweeper;
};

TEST_F(SyslogTest, StartupLineShowsTheArguments) {
    struct case_ {
        std::vector<std::string> extra;
    };
    const case_ cases[] = {
        {{}},
        // Arguments after the options are ignored but still shown; those
        // with a blank in double quotes.
        {{"--", "two words", "plain"}},
        {{"-m", "mta1,mta2", "-t", "3"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.extra));
        std::vector<std::string> args = f.args({"-f", "-l"});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        blackbox::process p = blackbox::process::start(logged(args));
        std::optional<blackbox::syslog_line> line = capture.wait_for_prefix(startup_prefix);
        ASSERT_TRUE(line) << p.err();
        EXPECT_EQ(line->message, startup_prefix + shown(args) + ")");
        EXPECT_EQ(line->priority, LOG_MAIL | LOG_INFO);
        EXPECT_EQ(line->ident, "vellicor");
        EXPECT_EQ(line->pid, p.pid());
        EXPECT_TRUE(blackbox::wait_for_milter(f.socket));
        // A normal start logs nothing else.
        capture.drain();
        EXPECT_EQ(capture.lines().size(), 1u);
        p.signal(SIGKILL);
        p.wait();
        capture.clear();
    }
}

TEST_F(SyslogTest, LongArgumentTextIsCut) {
    std::vector<std::string> args =
        f.args({"-f", "-l", "--", std::string(1500, 'x'), "a b", std::string(1500, 'y')});
    blackbox::process p = blackbox::process::start(logged(args));
    std::optional<blackbox::syslog_line> line = capture.wait_for_prefix(startup_prefix);
    ASSERT_TRUE(line) << p.err();
    const std::string text = shown(args).substr(0, 2047);
    EXPECT_EQ(line->message, startup_prefix + text + ")");
    EXPECT_EQ(line->message.size(), startup_prefix.size() + 2047 + 1);
}

// In the background the line comes from the child that serves.
TEST_F(SyslogTest, StartupLineComesFromTheServingChild) {
    blackbox::process starter = blackbox::process::start(logged(f.args({"-l"})));
    ASSERT_TRUE(starter.wait());
    std::optional<pid_t> pid = blackbox::wait_for_pid_file(f.pid_file);
    ASSERT_TRUE(pid);
    blackbox::pid_guard serving(*pid);
    std::optional<blackbox::syslog_line> line = capture.wait_for_prefix(startup_prefix);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->pid, *pid);
}

TEST_F(SyslogTest, NothingIsLoggedWithoutMinusL) {
    blackbox::process p = blackbox::process::start(logged(f.args({"-f"})));
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();
    // Absence can only be shown by waiting a while.
    EXPECT_FALSE(capture.next(blackbox::milliseconds{1000}));
}

TEST_F(SyslogTest, SocketFailureIsLoggedAndPrinted) {
    const std::string spec = "unix:" + f.dir.file("missing/milter.sock");
    blackbox::outcome r = blackbox::run(logged({"-p", spec, "-k", f.key, "-l", "-P", f.pid_file}));
    EXPECT_EQ(r.exit.status, 69);
    const std::string text = spec + ": smfi_opensocket() failed: No such file or directory";
    EXPECT_EQ(r.err, "vellicor: " + text + "\n");
    // libmilter logs the cause in lines of its own as well.
    std::optional<blackbox::syslog_line> line =
        capture.wait_for([&](const blackbox::syslog_line& l) { return l.message == text; });
    ASSERT_TRUE(line);
    EXPECT_EQ(line->priority, LOG_MAIL | LOG_ERR);
    EXPECT_EQ(line->ident, "vellicor");
    capture.drain();
    for (const blackbox::syslog_line& l : capture.lines()) {
        EXPECT_NE(l.message.rfind(startup_prefix, 0), 0u) << "start-up line logged";
    }
}

TEST_F(SyslogTest, PidFileFailureIsOnlyLogged) {
    const std::string pid_file = f.dir.file("missing/vellicor.pid");
    blackbox::process p = blackbox::process::start(
        logged({"-p", f.socket_spec(), "-k", f.key, "-l", "-f", "-P", pid_file}));
    std::optional<blackbox::syslog_line> line = capture.next();
    ASSERT_TRUE(line) << p.err();
    EXPECT_EQ(line->message, "can't write pid to " + pid_file + ": No such file or directory");
    EXPECT_EQ(line->priority, LOG_MAIL | LOG_ERR);
    // Start-up goes on.
    EXPECT_TRUE(capture.wait_for_prefix(startup_prefix));
    EXPECT_TRUE(blackbox::wait_for_milter(f.socket));
    EXPECT_TRUE(p.running());
}

TEST_F(SyslogTest, SwitchedUserStillLogs) {
    blackbox::process p = blackbox::process::start(logged(f.args({"-f", "-l", "-u", "nobody"})));
    std::optional<blackbox::syslog_line> line = capture.wait_for_prefix(startup_prefix);
    ASSERT_TRUE(line) << p.err();
    EXPECT_EQ(line->pid, p.pid());
}

// miltertest plays the MTA for one whole session; SIGTERM then ends the
// library's main loop, the process exits 0 and removes its PID file.
TEST(Serving, MiltertestSessionThenSigterm) {
    blackbox::child_sweeper sweeper;
    filter_dir f;
    blackbox::process p = blackbox::process::start(vellicor(f.args({"-f"})));
    ASSERT_TRUE(blackbox::wait_for_milter(f.socket)) << p.err();

    blackbox::outcome session =
        blackbox::run_miltertest(SESSION_SCRIPT, {{"socket", f.socket_spec()}});
    EXPECT_EQ(session.exit.status, 0) << session.out << session.err;
    EXPECT_NE(session.out.find("session complete"), std::string::npos) << session.out;

    ASSERT_TRUE(p.running());
    ASSERT_TRUE(blackbox::path_exists(f.pid_file));
    p.signal(SIGTERM);
    std::optional<blackbox::exit_info> ended = p.wait();
    ASSERT_TRUE(ended && ended->exited) << (ended ? blackbox::describe(*ended) : "still running");
    EXPECT_EQ(ended->status, 0);
    EXPECT_FALSE(blackbox::path_exists(f.pid_file));
}

}  // namespace
