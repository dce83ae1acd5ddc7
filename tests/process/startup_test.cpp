// Start-up helpers that are plain functions: the argument text of the
// start-up line, the syslog facility table and reading the key file.
#include "process/startup.h"

#include <gtest/gtest.h>
#include <sysexits.h>
#include <syslog.h>

#include <optional>
#include <string>
#include <vector>

#include "callbacks/settings.h"
#include "tests/support/blackbox.h"

namespace {

std::string argument_text(std::vector<std::string> args) {
    args.insert(args.begin(), "vellicor");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return batv_argument_text(static_cast<int>(args.size()), argv.data());
}

TEST(ArgumentText, FormsAndQuotes) {
    struct case_ {
        std::vector<std::string> args;
        std::string expected;
    };
    const case_ cases[] = {
        {{}, ""},
        {{"-f"}, "args: -f"},
        {{"-p", "unix:/run/v.sock", "-k", "key"}, "args: -p unix:/run/v.sock -k key"},
        {{"-M", "a b"}, "args: -M \"a b\""},
        {{"two words"}, "args: \"two words\""},
        // Only the blank counts, not other white space.
        {{"tab\there"}, "args: tab\there"},
        {{""}, "args: "},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(argument_text(c.args), c.expected);
    }
}

TEST(ArgumentText, CutAtTheLimit) {
    struct case_ {
        std::vector<std::string> args;
    };
    // "args: " is 6 characters, each later piece one more than its argument.
    const case_ cases[] = {
        {{std::string(2041, 'a')}},              // exactly 2047
        {{std::string(2042, 'a')}},              // one over
        {{std::string(3000, 'b'), "-f"}},        // the first argument is cut
        {{"-f", std::string(2038, 'c'), "-l"}},  // 2047 after two pieces
        {{"-f", std::string(2037, 'c'), "-l"}},  // the third piece is cut
        {{"x y", std::string(5000, 'd')}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.args.size());
        std::string full = "args:";
        for (const std::string& a : c.args) {
            full += a.find(' ') != std::string::npos ? " \"" + a + "\"" : " " + a;
        }
        std::string text = argument_text(c.args);
        EXPECT_EQ(text, full.substr(0, argument_text_limit));
        EXPECT_LE(text.size(), 2047u);
    }
}

TEST(SyslogFacility, TableLookup) {
    struct case_ {
        const char* name;
        std::optional<int> facility;
    };
    const case_ cases[] = {
        {"auth", LOG_AUTH},       {"cron", LOG_CRON},      {"daemon", LOG_DAEMON},
        {"kern", LOG_KERN},       {"lpr", LOG_LPR},        {"mail", LOG_MAIL},
        {"news", LOG_NEWS},       {"security", LOG_AUTH},  {"syslog", LOG_SYSLOG},
        {"user", LOG_USER},       {"uucp", LOG_UUCP},      {"local0", LOG_LOCAL0},
        {"local1", LOG_LOCAL1},   {"local2", LOG_LOCAL2},  {"LOCAL3", LOG_LOCAL3},
        {"Local4", LOG_LOCAL4},   {"local5", LOG_LOCAL5},  {"local6", LOG_LOCAL6},
        {"local7", LOG_LOCAL7},   {"MAIL", LOG_MAIL},      {"SeCuRiTy", LOG_AUTH},
        {"local8", std::nullopt}, {"", std::nullopt},      {"mail ", std::nullopt},
        {"mai", std::nullopt},    {"mails", std::nullopt},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(batv_syslog_facility(c.name), c.facility);
    }
}

TEST(SyslogFacility, UnknownNameLeavesTheLogAlone) {
    EXPECT_FALSE(batv_openlog(std::string("nosuch")));
}

TEST(KeyFile, KeyIsTheFirstLine) {
    struct case_ {
        std::string content;
        std::string key;
    };
    const case_ cases[] = {
        {"secret", "secret"},
        {"secret\n", "secret"},
        {"secret\nsecond line\nthird\n", "secret"},
        {"\nlater", ""},
        {std::string("ab\0cd\n", 6), "ab"},
        {"with blank \r\n", "with blank \r"},
    };
    blackbox::temp_dir dir;
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.content));
        settings = settings_record{};
        settings.key_text = "stale";
        blackbox::write_file(dir.file("key"), c.content);
        EXPECT_EQ(batv_load_key(dir.file("key")), std::nullopt);
        EXPECT_EQ(settings.key_text, c.key);
    }
}

TEST(KeyFile, FailuresEndStartUp) {
    blackbox::temp_dir dir;
    blackbox::write_file(dir.file("empty"), "");
    for (const std::string& path : {dir.file("missing"), dir.file("empty"), dir.path()}) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStderr();
        EXPECT_EQ(batv_load_key(path), EX_UNAVAILABLE);
        EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    }
}

}  // namespace
