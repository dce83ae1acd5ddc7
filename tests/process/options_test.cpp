// The option stage in process: what each option does to the settings
// record, repetition, the end of option parsing and completion. Messages
// and exit statuses seen from outside are covered by the black-box tests.
#include "process/options.h"

#include <gtest/gtest.h>
#include <sysexits.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "callbacks/settings.h"

namespace {

// Parses args (after the program name) into a fresh settings record.
std::optional<int> parse(std::vector<std::string> args) {
    settings = settings_record{};
    batv_init_settings("vellicor");
    args.insert(args.begin(), "vellicor");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::optional<int> status = batv_parse_options(static_cast<int>(args.size()), argv.data());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return status;
}

TEST(Options, FlagsSetTheirSetting) {
    struct case_ {
        const char* option;
        int settings_record::*field;
        int expected;
    };
    const case_ cases[] = {
        {"-A", &settings_record::AutoRestart, 1},
        {"-b", &settings_record::AllSenders, 0},
        {"-f", &settings_record::Background, 0},
        {"-h", &settings_record::XHeader, 1},
        {"-l", &settings_record::Syslog, 1},
        {"-n", &settings_record::TestMode, 1},
        {"-q", &settings_record::Quarantine, 1},
        {"-r", &settings_record::AddAuthenticationResults, 1},
        {"-s", &settings_record::IgnoreAuthenticatedClients, 1},
        {"-S", &settings_record::SetReplies, 1},
        {"-x", &settings_record::SendmailFormat, 1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.option);
        EXPECT_EQ(parse({}), std::nullopt);
        EXPECT_NE(settings.*c.field, c.expected) << "initial value";
        // Given twice, a flag is simply set again.
        EXPECT_EQ(parse({c.option, c.option}), std::nullopt);
        EXPECT_EQ(settings.*c.field, c.expected);
    }
}

TEST(Options, TextOptionsRecordTheirArgument) {
    struct case_ {
        std::vector<std::string> args;
        std::optional<std::string> settings_record::*field;
        std::optional<std::string> expected;
    };
    const case_ cases[] = {
        {{"-a", "allow"}, &settings_record::DontSignMailTo, "allow"},
        {{"-c", "conf"}, &settings_record::config_file, "conf"},
        {{"-d", "example.com,example.net"}, &settings_record::Domain, "example.com,example.net"},
        {{"-i", "internal"}, &settings_record::InternalHosts, "internal"},
        {{"-k", "keyfile"}, &settings_record::KeyFile, "keyfile"},
        {{"-p", "unix:/s"}, &settings_record::Socket, "unix:/s"},
        {{"-P", "pidfile"}, &settings_record::PidFile, "pidfile"},
        {{"-u", "nobody"}, &settings_record::UserID, "nobody"},
        {{"-m", "mta1"}, &settings_record::MTA, "mta1"},
        {{"-M", "a=b,c"}, &settings_record::MacroList, "a=b,c"},
        // The last -m and -M count.
        {{"-m", "first", "-m", "second"}, &settings_record::MTA, "second"},
        {{"-M", "x", "-M", "y=z"}, &settings_record::MacroList, "y=z"},
        // The first argument that is no option ends parsing; later options
        // are ignored.
        {{"-k", "key", "word", "-p", "unix:/s"}, &settings_record::Socket, std::nullopt},
        {{"--", "-p", "unix:/s"}, &settings_record::Socket, std::nullopt},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), std::nullopt);
        EXPECT_EQ(settings.*c.field, c.expected);
    }
}

TEST(Options, RefusedRepetitionEndsWithUsageStatus) {
    for (const char* option : {"-a", "-c", "-d", "-i", "-k", "-p", "-P", "-u"}) {
        SCOPED_TRACE(option);
        EXPECT_EQ(parse({option, "one", option, "two"}), EX_USAGE);
    }
}

TEST(Options, Numbers) {
    struct case_ {
        std::vector<std::string> args;
        std::optional<int> status;
        std::int64_t ttl;
        int version;
        int debug;
    };
    const case_ cases[] = {
        {{"-t", "0"}, std::nullopt, 0, -1, -1},
        {{"-t", "4294967295"}, std::nullopt, 4294967295, -1, -1},
        {{"-t", "3", "-t", "30"}, std::nullopt, 30, -1, -1},
        {{"-t", "4294967296"}, EX_USAGE, -1, -1, -1},
        {{"-t", "-1"}, EX_USAGE, -1, -1, -1},
        {{"-t", "7d"}, EX_USAGE, -1, -1, -1},
        {{"-v", "0"}, std::nullopt, -1, 0, -1},
        {{"-v", "9"}, std::nullopt, -1, 9, -1},
        {{"-v", "2", "-v", "5"}, std::nullopt, -1, 5, -1},
        {{"-v", "10"}, EX_USAGE, -1, -1, -1},
        {{"-v", "4294967305"}, EX_USAGE, -1, -1, -1},
        {{"-D", "4"}, std::nullopt, -1, -1, 4},
        {{"-D", "-2"}, std::nullopt, -1, -1, -2},
        {{"-D", "1", "-D", "6"}, std::nullopt, -1, -1, 6},
        {{"-D", "1x"}, EX_USAGE, -1, -1, -1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parse(c.args), c.status);
        EXPECT_EQ(settings.SignatureTTL, c.ttl);
        EXPECT_EQ(settings.KeyVersion, c.version);
        EXPECT_EQ(settings.MilterDebug, c.debug);
    }
}

// -D counts as given whatever level it names: -1 is a level like any other,
// not the absence of the option.
TEST(Options, DebugLevelCountsAsGiven) {
    struct case_ {
        std::vector<std::string> args;
        bool given;
        int debug;
    };
    const case_ cases[] = {
        {{}, false, -1},
        {{"-f"}, false, -1},
        {{"-D", "-1"}, true, -1},
        {{"-D", "0"}, true, 0},
        {{"-D", "3", "-D", "-1"}, true, -1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        command_line.milter_debug_given = !c.given;  // a stale value from before
        EXPECT_EQ(parse(c.args), std::nullopt);
        EXPECT_EQ(command_line.milter_debug_given, c.given);
        EXPECT_EQ(settings.MilterDebug, c.debug);
    }
}

TEST(Options, VersionEndsParsingAtOnce) {
    EXPECT_EQ(parse({"-f", "-V", "-l", "-z"}), EX_OK);
    EXPECT_EQ(settings.Background, 0);
    EXPECT_EQ(settings.Syslog, 0);
    EXPECT_EQ(parse({"-z", "-V"}), EX_USAGE);
}

TEST(Options, ParsingLeavesNoPosixlyCorrectBehind) {
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(parse({"-f"}), std::nullopt);
    EXPECT_EQ(getenv("POSIXLY_CORRECT"), nullptr);
}

TEST(Completion, RequiresSocketAndKeyFileAndFillsDefaults) {
    struct case_ {
        std::vector<std::string> args;
        std::optional<int> status;
        int version;
        std::int64_t ttl;
    };
    const case_ cases[] = {
        {{"-p", "unix:/s", "-k", "key"}, std::nullopt, 0, 7},
        {{"-p", "unix:/s", "-k", "key", "-v", "3", "-t", "0"}, std::nullopt, 3, 0},
        {{"-k", "key"}, EX_USAGE, -1, -1},
        {{"-p", "unix:/s"}, EX_USAGE, -1, -1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        ASSERT_EQ(parse(c.args), std::nullopt);
        testing::internal::CaptureStderr();
        EXPECT_EQ(batv_complete_settings(), c.status);
        testing::internal::GetCapturedStderr();
        if (!c.status) {
            EXPECT_EQ(settings.KeyVersion, c.version);
            EXPECT_EQ(settings.SignatureTTL, c.ttl);
        }
    }
}

TEST(InitSettings, ProgramNameAndHostName) {
    struct case_ {
        const char* argv0;
        const char* progname;
    };
    const case_ cases[] = {
        {"vellicor", "vellicor"},
        {"/usr/sbin/vellicor", "vellicor"},
        {"./bin/filter", "filter"},
    };
    char host[257] = {};
    ASSERT_EQ(gethostname(host, 256), 0);
    for (const case_& c : cases) {
        SCOPED_TRACE(c.argv0);
        settings = settings_record{};
        batv_init_settings(c.argv0);
        EXPECT_EQ(settings.progname, c.progname);
        EXPECT_EQ(settings.hostname, host);
    }
}

}  // namespace
