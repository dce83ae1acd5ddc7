// The command line of the built binary: messages, usage text, version line
// and exit statuses of the option stage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/process/daemon.h"
#include "tests/support/blackbox.h"

namespace {

using vellicor_test::vellicor;

const std::string usage =
    "vellicor: usage: vellicor -p socketfile -k key [options]\n"
    "\t-a allowaddrs         \tfile containing addresses to pass\n"
    "\t-A                    \tenable auto-restart\n"
    "\t-c conffile           \tconfiguration file\n"
    "\t-d domainlist         \tdomain(s) to verify\n"
    "\t-D debuglevel         \tset milter debug level\n"
    "\t-f                    \tdon't fork-and-exit\n"
    "\t-i internallist       \tinternal host list\n"
    "\t-l                    \tlog activity to system log\n"
    "\t-m mtalist            \tMTA name(s) for which to sign\n"
    "\t-M macro[=value][,...]\tmacro tests for signing\n"
    "\t-n                    \tdon't actually do any filtering\n"
    "\t-P pidfile            \tfile to which to write pid\n"
    "\t-q                    \tquarantine messages that fail verification\n"
    "\t-r                    \tadd header instead of filtering\n"
    "\t-s                    \tskip mail from authenticated clients\n"
    "\t-S                    \trequest meaningful SMTP replies when rejecting\n"
    "\t-t ttl                \tsignature time-to-live (days)\n"
    "\t-u userid             \tchange to specified userid\n"
    "\t-v version            \tkey version\n"
    "\t-V                    \tprint version and terminate\n"
    "\t-x                    \texperimental sendmail mode\n";

const std::string version = "vellicor: Vellicor v0.5.0\n";

struct case_ {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out;
};

void check(const std::vector<case_>& cases) {
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        blackbox::outcome r = blackbox::run(vellicor(c.args));
        ASSERT_TRUE(r.exit.exited) << blackbox::describe(r.exit);
        EXPECT_EQ(r.exit.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(CommandLine, GetoptDiagnosticThenUsage) {
    check({
        {{"-z"}, 64, "vellicor: invalid option -- 'z'\n" + usage, ""},
        {{"-f", "-9", "-V"}, 64, "vellicor: invalid option -- '9'\n" + usage, ""},
        {{"-p"}, 64, "vellicor: option requires an argument -- 'p'\n" + usage, ""},
        {{"-k", "key", "-t"}, 64, "vellicor: option requires an argument -- 't'\n" + usage, ""},
        // An invalid option before -V wins.
        {{"-z", "-V"}, 64, "vellicor: invalid option -- 'z'\n" + usage, ""},
    });
}

TEST(CommandLine, RefusedRepetitions) {
    std::vector<case_> cases;
    for (char option : std::string("acdikpPu")) {
        std::string flag = std::string("-") + option;
        cases.push_back({{flag, "first", flag, "second"},
                         64,
                         std::string("vellicor: multiple use of -") + option + " not allowed\n",
                         ""});
    }
    // The message comes when the repetition is seen, before any later error.
    cases.push_back({{"-p", "unix:/a", "-p", "unix:/b", "-z"},
                     64,
                     "vellicor: multiple use of -p not allowed\n",
                     ""});
    check(cases);
}

TEST(CommandLine, InvalidNumbers) {
    check({
        {{"-D", "3x"}, 64, "vellicor: invalid debug level `3x'\n", ""},
        {{"-D", "debug"}, 64, "vellicor: invalid debug level `debug'\n", ""},
        {{"-t", "7days"}, 64, "vellicor: invalid signature TTL `7days'\n", ""},
        {{"-t", "-1"}, 64, "vellicor: invalid signature TTL `-1'\n", ""},
        {{"-t", "4294967296"}, 64, "vellicor: invalid signature TTL `4294967296'\n", ""},
        {{"-t", "99999999999999999999999"},
         64,
         "vellicor: invalid signature TTL `99999999999999999999999'\n",
         ""},
        {{"-v", "10"}, 64, "vellicor: invalid key version `10'\n", ""},
        {{"-v", "1a"}, 64, "vellicor: invalid key version `1a'\n", ""},
        {{"-v", "-1"}, 64, "vellicor: invalid key version `-1'\n", ""},
        {{"-v", "99999999999999999999999"},
         64,
         "vellicor: invalid key version `99999999999999999999999'\n",
         ""},
    });
}

// -V ends the options at once, so what comes before it was accepted.
TEST(CommandLine, AcceptedOptionsBeforeVersion) {
    check({
        {{"-V"}, 0, "", version},
        {{"-v", "9", "-V"}, 0, "", version},
        {{"-v", "0", "-t", "0", "-V"}, 0, "", version},
        {{"-t", "4294967295", "-V"}, 0, "", version},
        {{"-D", "2", "-D", "-1", "-V"}, 0, "", version},
        // Not in the usage text, but accepted.
        {{"-b", "-h", "-V"}, 0, "", version},
        {{"-m", "one", "-m", "two", "-M", "a", "-M", "b=c", "-t", "1", "-t", "2", "-V"},
         0,
         "",
         version},
        {{"-A", "-A", "-f", "-l", "-n", "-q", "-r", "-s", "-S", "-x", "-V"}, 0, "", version},
        // Neither -p nor -k is needed, and nothing after -V is looked at.
        {{"-V", "-z", "-p"}, 0, "", version},
        {{"-V", "-V"}, 0, "", version},
    });
}

TEST(CommandLine, MissingSocketOrKeyGivesUsage) {
    check({
        {{}, 64, usage, ""},
        {{"-k", "key"}, 64, usage, ""},
        {{"-p", "unix:/tmp/x.sock"}, 64, usage, ""},
        {{"-f", "-l"}, 64, usage, ""},
    });
}

TEST(CommandLine, FirstNonOptionEndsParsing) {
    check({
        // Neither the later options nor the word itself are looked at.
        {{"-f", "word", "-V"}, 64, usage, ""},
        {{"-k", "key", "word", "-z"}, 64, usage, ""},
        {{"--", "-V"}, 64, usage, ""},
    });
}

TEST(CommandLine, ProgramNameIsTheLastPathComponent) {
    blackbox::command cmd = vellicor({"-V"});
    cmd.argv0 = "/opt/mail/bin/batvd";
    blackbox::outcome r = blackbox::run(cmd);
    EXPECT_EQ(r.exit.status, 0);
    EXPECT_EQ(r.out, "batvd: Vellicor v0.5.0\n");

    cmd.args = {"-k", "key"};
    r = blackbox::run(cmd);
    EXPECT_EQ(r.exit.status, 64);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "batvd: usage: batvd -p socketfile -k key [options]\n");
}

}  // namespace
