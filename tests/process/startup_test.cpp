// Start-up helpers that are plain functions: the argument text of the
// start-up line, the syslog facility table and reading the key file.
#include "process/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "callbacks/settings.h"
#include "logging/log.h"
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
        {std::string("ab\0cd\n", 6), "ab"},
        {"with blank \r\n", "with blank \r"},
    };
    blackbox::temp_dir dir;
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.content));
        settings = settings_record{};
        settings.key_text = "stale";
        blackbox::write_file(dir.file("key"), c.content, 0600);
        EXPECT_EQ(batv_load_key(dir.file("key")), std::nullopt);
        EXPECT_EQ(settings.key_text, c.key);
    }
}

TEST(KeyFile, FailuresEndStartUp) {
    blackbox::temp_dir dir;
    const std::string empty = dir.file("empty");
    blackbox::write_file(empty, "", 0600);
    const std::string missing = dir.file("missing");
    const std::string empty_line = dir.file("empty-line");
    blackbox::write_file(empty_line, "\nthe key above is empty\n", 0600);
    const std::string leading_nul = dir.file("leading-nul");
    blackbox::write_file(leading_nul, std::string("\0secret\n", 8), 0600);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct case_ {
        std::string path;
        std::string message;  // after "progname: path: "
    };
    const case_ cases[] = {
        {missing, "fopen(): No such file or directory"},
        {empty, "empty file"},
        {empty_line, "empty key"},
        {leading_nul, "empty key"},
        {dir.path(), "not a regular file"},
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
    };
    settings = settings_record{};
    settings.progname = "vellicor";
    for (const case_& c : cases) {
        SCOPED_TRACE(c.path);
        settings.key_text = "stale";
        testing::internal::CaptureStderr();
        EXPECT_EQ(batv_load_key(c.path), EX_UNAVAILABLE);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "vellicor: " + c.path + ": " + c.message + "\n");
        EXPECT_EQ(settings.key_text, "stale");
    }
}

std::vector<std::string> warning_lines;
void record_warning(int priority, const char* line) {
    if (priority == LOG_WARNING) {
        warning_lines.push_back(line);
    }
}

// A key that others may read or write, or that is reached through a
// symbolic link, is used but named in a warning on standard error and, once
// the system log is open, in the log.
TEST(KeyFile, UnsafeKeyFilesDrawWarnings) {
    blackbox::temp_dir dir;
    const std::string target = dir.file("real-key");
    blackbox::write_file(target, "secret\n", 0600);
    const std::string link = dir.file("linked-key");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string shared = dir.file("shared-key");
    const std::string group_writable = dir.file("group-writable-key");
    const std::string others = " key file can be read or written by other users";
    struct case_ {
        std::string path;
        mode_t mode;
        std::vector<std::string> warnings;
    };
    const case_ cases[] = {
        {target, 0600, {}},
        {target, 0400, {}},
        {link, 0600, {link + ": key file is a symbolic link"}},
        {shared, 0644, {shared + ":" + others}},
        {group_writable, 0620, {group_writable + ":" + others}},
        {shared, 0604, {shared + ":" + others}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path != link) {
            blackbox::write_file(c.path, "secret\n", c.mode);
        }
        settings = settings_record{};
        settings.progname = "vellicor";
        testing::internal::CaptureStderr();
        EXPECT_EQ(batv_load_key(c.path), std::nullopt);
        std::string expected;
        for (const std::string& w : c.warnings) {
            expected += "vellicor: " + w + "\n";
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
        EXPECT_EQ(settings.key_text, "secret");

        warning_lines.clear();
        batv_set_log_sink(record_warning);
        settings.Syslog = 1;
        batv_log_startup_warnings();
        batv_set_log_sink(nullptr);
        EXPECT_EQ(warning_lines, c.warnings);
    }
}

}  // namespace
