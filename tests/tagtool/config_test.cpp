// vellicor-tag config, black-box: the settings report (defaults, the
// lists with their entry counts, the retired keys, never a secret), options
// over the file, and start-up failures that end with the filter's own
// messages and exit statuses, compared with the filter run on the same
// files.
#include <gtest/gtest.h>
#include <sysexits.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/tagtool/tool.h"

namespace {

using namespace tagtool_test;

class config_command : public ::testing::Test {
  protected:
    void SetUp() override {
        blackbox::write_file(dir.file("key"), "current-secret\n", 0600);
        blackbox::write_file(dir.file("old.key"), "old-secret\n", 0600);
        blackbox::write_file(dir.file("keylist"), expand("3 {dir}/old.key\n", root), 0600);
        blackbox::write_file(dir.file("peers"), "mx.example.net\n!192.0.2.1\n");
    }

    void write_config(const std::string& text) { blackbox::write_file(conf, expand(text, root)); }

    // The lines of text.
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find('\n', at);
            out.push_back(text.substr(at, end - at));
            at = end == std::string::npos ? text.size() : end + 1;
        }
        return out;
    }

    static bool has_line(const std::string& text, const std::string& line) {
        for (const std::string& l : lines(text)) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }

    blackbox::temp_dir dir;
    std::string root = dir.path();
    std::string conf = dir.file("vellicor.conf");
};

TEST_F(config_command, PrintsTheSettingsWithoutSecrets) {
    write_config(
        "Socket unix:{dir}/milter.sock\nKeyFile {dir}/key\nKeyList {dir}/keylist\n"
        "Domain a.example,.b.example\nPeerList {dir}/peers\nSyslogFacility local3\n"
        "SignatureTTL 12\nMode v\n");
    const blackbox::outcome r = run_tool({"-c", conf, "config"});
    EXPECT_EQ(blackbox::describe(r.exit), exit_status(0));
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> expected = {
        "AllSenders yes",
        "# AuthservID not set: the MTA's host name (macro j)",
        "Domain a.example,.b.example # 2 entries",
        "# DontSignMailTo not set",
        "# InternalHosts not set: the built-in list, 1 entry",
        "KeyFile " + dir.file("key"),
        "KeyList " + dir.file("keylist") + " # 1 retired key",
        "# KeyList key 3 " + dir.file("old.key"),
        "KeyVersion 0",
        "MilterDebug -1",
        "Mode v",
        "PeerList " + dir.file("peers") + " # 2 entries",
        "SendmailFormat no",
        "SignatureTTL 12",
        "Socket unix:" + dir.file("milter.sock"),
        "SyslogFacility local3",
        "X-Header no",
    };
    for (const std::string& line : expected) {
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    }
    // Every line a setting or a comment.
    for (const std::string& line : lines(r.out)) {
        EXPECT_TRUE(line.starts_with("# ") || (!line.empty() && line[0] >= 'A' && line[0] <= 'Z' &&
                                               line.find(' ') != std::string::npos))
            << line;
    }
    EXPECT_EQ(r.out.find("current-secret"), std::string::npos);
    EXPECT_EQ(r.out.find("old-secret"), std::string::npos);
}

TEST_F(config_command, OptionsWinOverTheFile) {
    blackbox::write_file(dir.file("other.key"), "other-secret\n", 0600);
    write_config(
        "Socket unix:{dir}/milter.sock\nKeyFile {dir}/key\nKeyVersion 2\nSignatureTTL 5\n"
        "SendmailFormat no\n");
    const blackbox::outcome r =
        run_tool({"-c", conf, "-k", dir.file("other.key"), "-v", "4", "-t", "9", "-x", "config"});
    EXPECT_EQ(blackbox::describe(r.exit), exit_status(0)) << r.err;
    for (const std::string& line :
         {"KeyFile " + dir.file("other.key"), std::string("KeyVersion 4"),
          std::string("SignatureTTL 9"), std::string("SendmailFormat yes")}) {
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    }
}

TEST_F(config_command, FailsAsTheFilterWould) {
    blackbox::child_sweeper sweeper;  // should the filter ever get as far as serving
    blackbox::write_file(dir.file("bad-keylist"), expand("x {dir}/old.key\n", root), 0600);
    const std::string serve = "Socket unix:{dir}/milter.sock\nBackground no\n";
    struct case_ {
        const char* name;
        std::string config;  // none: no configuration file at all
        int status;
        std::string fragment;  // of the message
    };
    const case_ cases[] = {
        {"missing key file", serve + "KeyFile {dir}/missing.key\n", EX_UNAVAILABLE,
         "missing.key: fopen(): No such file or directory"},
        {"bad KeyList line", serve + "KeyFile {dir}/key\nKeyList {dir}/bad-keylist\n", EX_CONFIG,
         "bad-keylist: line 1: expected a key number 0-9 and a key file"},
        {"unknown SyslogFacility", serve + "KeyFile {dir}/key\nSyslogFacility bogus\n", EX_CONFIG,
         "unknown syslog facility `bogus'"},
        {"missing configuration file", "", EX_CONFIG, "configuration error at line 0"},
        {"bad KeyVersion", serve + "KeyFile {dir}/key\nKeyVersion 12\n", EX_CONFIG,
         "invalid key version"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(conf);
        if (!c.config.empty()) {
            write_config(c.config);
        }
        const blackbox::outcome tool = run_tool({"-c", conf, "config"});
        blackbox::command filter_cmd;
        filter_cmd.program = VELLICOR_BINARY;
        filter_cmd.argv0 = "vellicor";
        filter_cmd.args = {"-c", conf};
        const blackbox::outcome filter = blackbox::run(filter_cmd);

        EXPECT_EQ(blackbox::describe(tool.exit), exit_status(c.status)) << tool.err;
        EXPECT_EQ(blackbox::describe(filter.exit), exit_status(c.status)) << filter.err;
        EXPECT_EQ(tool.out, "");
        EXPECT_NE(tool.err.find(c.fragment), std::string::npos) << tool.err;
        ASSERT_TRUE(filter.err.starts_with("vellicor: ")) << filter.err;
        EXPECT_EQ(tool.err, "vellicor-tag: " + filter.err.substr(std::string("vellicor: ").size()));
    }
}

TEST_F(config_command, RequiresWhatTheFilterRequires) {
    struct case_ {
        const char* name;
        std::string config;
        std::string message;
    };
    const case_ cases[] = {
        {"no Socket", "KeyFile {dir}/key\n",
         "vellicor-tag: " + conf + ": no Socket given; the filter would not start\n"},
        {"no KeyFile", "Socket unix:{dir}/milter.sock\n",
         "vellicor-tag: " + conf + ": no KeyFile given; the filter would not start\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        write_config(c.config);
        const blackbox::outcome r = run_tool({"-c", conf, "config"});
        EXPECT_EQ(blackbox::describe(r.exit), exit_status(EX_USAGE));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message);
    }
}

}  // namespace
