// vellicor-tag's command line, black-box: usage errors end with 64 and the
// usage text, the option checks and messages are the filter's, -h prints
// the usage text on standard output.
#include <gtest/gtest.h>
#include <sysexits.h>

#include <string>
#include <vector>

#include "tests/tagtool/tool.h"

namespace {

using namespace tagtool_test;

const std::string usage_start = "vellicor-tag: usage: vellicor-tag [options] sign address\n";

TEST(tool_command_line, UsageErrors) {
    blackbox::temp_dir dir;
    blackbox::write_file(dir.file("key"), "secret\n", 0600);
    blackbox::write_file(dir.file("vellicor.conf"), expand("KeyFile {dir}/key\n", dir.path()));

    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::string message;  // the line before the usage text, or all of standard error
        bool usage = true;
    };
    const case_ cases[] = {
        {"key version too large",
         {"-k", "{dir}/key", "-v", "10", "sign", "a@b"},
         "vellicor-tag: invalid key version `10'\n",
         false},
        {"key version not a number",
         {"-k", "{dir}/key", "-v", "x", "check", "a@b"},
         "vellicor-tag: invalid key version `x'\n",
         false},
        {"TTL negative",
         {"-k", "{dir}/key", "-t", "-1", "sign", "a@b"},
         "vellicor-tag: invalid signature TTL `-1'\n",
         false},
        {"TTL past 32 bits",
         {"-k", "{dir}/key", "-t", "4294967296", "-c", "{dir}/vellicor.conf", "config"},
         "vellicor-tag: invalid signature TTL `4294967296'\n",
         false},
        {"key file twice",
         {"-k", "{dir}/key", "-k", "{dir}/key", "sign", "a@b"},
         "vellicor-tag: multiple use of -k not allowed\n",
         false},
        {"unknown option", {"-p", "x", "sign", "a@b"}, "vellicor-tag: invalid option -- 'p'\n"},
        {"no command", {"-k", "{dir}/key"}, "vellicor-tag: no command given\n"},
        {"unknown command",
         {"-k", "{dir}/key", "verify", "a@b"},
         "vellicor-tag: unknown command `verify'\n"},
        {"sign without an address",
         {"-k", "{dir}/key", "sign"},
         "vellicor-tag: sign takes one address\n"},
        {"check with two addresses",
         {"-k", "{dir}/key", "check", "a@b", "c@d"},
         "vellicor-tag: check takes one address\n"},
        {"options after the command",
         {"sign", "-k", "{dir}/key", "a@b"},
         "vellicor-tag: sign takes one address\n"},
        {"config with an argument",
         {"-c", "{dir}/vellicor.conf", "config", "x"},
         "vellicor-tag: config takes no arguments\n"},
        {"config without a file",
         {"-k", "{dir}/key", "config"},
         "vellicor-tag: config needs a configuration file (-c)\n"},
        {"no key file", {"sign", "a@b"}, "vellicor-tag: no key file given (-k or KeyFile)\n"},
        {"no key file in the file either",
         {"-c", "{dir}/empty.conf", "check", "a@b"},
         "vellicor-tag: no key file given (-k or KeyFile)\n"},
    };
    blackbox::write_file(dir.file("empty.conf"), "# nothing\n");
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const blackbox::outcome r = run_tool(expand(c.args, dir.path()));
        EXPECT_EQ(blackbox::describe(r.exit), exit_status(EX_USAGE));
        EXPECT_EQ(r.out, "");
        if (c.usage) {
            EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << r.err;
            EXPECT_EQ(r.err.substr(c.message.size(), usage_start.size()), usage_start) << r.err;
        } else {
            EXPECT_EQ(r.err, c.message);
        }
    }
}

TEST(tool_command_line, HelpPrintsTheUsageTextOnStandardOutput) {
    const blackbox::outcome help = run_tool({"-h"});
    EXPECT_EQ(blackbox::describe(help.exit), exit_status(0));
    EXPECT_EQ(help.err, "");
    EXPECT_TRUE(help.out.starts_with(usage_start)) << help.out;

    // The same text as after a usage error, and one line for each option.
    const blackbox::outcome error = run_tool({});
    EXPECT_EQ(error.err, "vellicor-tag: no command given\n" + help.out);
    for (const char* option : {"-c conffile", "-h", "-k keyfile", "-t ttl", "-v version", "-x"}) {
        EXPECT_NE(help.out.find(std::string("\t") + option + " "), std::string::npos) << option;
    }
}

}  // namespace
