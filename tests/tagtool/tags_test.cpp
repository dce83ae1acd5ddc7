// vellicor-tag sign and check, black-box: signed tags recomputed with the
// oracle, and a check line for every verdict, with tags the oracle makes
// for chosen days. The key number, the form and the TTL come from options,
// from a configuration file, or from both (the option wins); retired keys
// from a KeyList.
#include <gtest/gtest.h>
#include <sysexits.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/tagtool/tool.h"

namespace {

using namespace tagtool_test;

const std::string plain = "alice@example.org";

class tag_tool : public ::testing::Test {
  protected:
    void SetUp() override {
        blackbox::write_file(dir.file("key"), "current-secret\n", 0600);
        blackbox::write_file(dir.file("old.key"), "old-secret\n", 0600);
        blackbox::write_file(dir.file("other.key"), "other-secret\n", 0600);
        blackbox::write_file(dir.file("keylist"), expand("# retired\n3 {dir}/old.key\n", root));
        blackbox::write_file(dir.file("retired.conf"),
                             expand("KeyFile {dir}/key\nKeyList {dir}/keylist\n", root));
        blackbox::write_file(dir.file("file.conf"),
                             expand("BaseDirectory {dir}\nKeyFile other.key\nKeyVersion 2\n"
                                    "SignatureTTL 5\nSendmailFormat yes\n",
                                    root));
    }

    // The tool's outcome, or nothing when the day changed while it ran: the
    // expected texts name days counted from the day the test started on.
    std::optional<blackbox::outcome> run_on(unsigned day, const std::vector<std::string>& args) {
        blackbox::outcome result = run_tool(expand(args, root));
        if (today() != day) {
            return std::nullopt;
        }
        return result;
    }

    blackbox::temp_dir dir;
    std::string root = dir.path();
};

std::string repeated(char c, std::size_t n) {
    return std::string(n, c);
}

// A plain address of n characters.
std::string address_of_length(std::size_t n) {
    const std::string domain = "@example.org";
    return repeated('a', n - domain.size()) + domain;
}

TEST_F(tag_tool, SignMakesTheTagTheOracleMakes) {
    struct case_ {
        const char* name;
        std::vector<std::string> options;
        bool sendmail;
        int key_number;
        unsigned ttl;
        const char* secret;
        std::string address = plain;
    };
    const case_ cases[] = {
        {"standard form", {"-k", "{dir}/key"}, false, 0, 7, "current-secret"},
        {"sendmail form", {"-x", "-k", "{dir}/key"}, true, 0, 7, "current-secret"},
        {"key number and TTL",
         {"-k", "{dir}/key", "-v", "3", "-t", "10"},
         false,
         3,
         10,
         "current-secret"},
        {"TTL past the cycle", {"-k", "{dir}/key", "-t", "1234"}, false, 0, 1234, "current-secret"},
        {"longest address that fits",
         {"-k", "{dir}/key"},
         false,
         0,
         7,
         "current-secret",
         address_of_length(496)},
        {"the file's key below BaseDirectory, number, TTL and form",
         {"-c", "{dir}/file.conf"},
         true,
         2,
         5,
         "other-secret"},
        {"options over the file",
         {"-c", "{dir}/file.conf", "-k", "{dir}/key", "-v", "4", "-t", "9"},
         true,
         4,
         9,
         "current-secret"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned day = today();
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"sign", c.address});
        const std::optional<blackbox::outcome> r = run_on(day, args);
        if (!r) {
            GTEST_SKIP() << "the day changed while the test ran";
        }
        const unsigned expiry = static_cast<unsigned>((day + std::uint64_t{c.ttl}) % 1000);
        const std::string expected =
            c.sendmail ? prvs_oracle::sendmail_address(c.key_number, expiry, c.address, c.secret)
                       : prvs_oracle::standard_address(c.key_number, expiry, c.address, c.secret);
        EXPECT_EQ(r->out, expected + "\n");
        EXPECT_EQ(r->err, "");
        EXPECT_EQ(blackbox::describe(r->exit), exit_status(0));
    }
}

TEST_F(tag_tool, SignRefusesWhatTheFilterDoesNotSign) {
    const std::string tagged = prvs_oracle::standard_address(0, 0, plain, "current-secret");
    const std::string too_long_tag = address_of_length(497);
    struct case_ {
        const char* name;
        std::string address;
        std::string message;
    };
    const case_ cases[] = {
        {"longer than the filter takes", address_of_length(513),
         "vellicor-tag: address longer than 512 characters\n"},
        {"no domain", "alice",
         "vellicor-tag: `alice': no `@'; the filter signs only addresses with a domain\n"},
        {"tagged already", tagged,
         "vellicor-tag: `" + tagged + "' is tagged already; the filter leaves it as it is\n"},
        {"tag too long", too_long_tag,
         "vellicor-tag: `" + too_long_tag + "': the tagged address would exceed 512 characters\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const blackbox::outcome r = run_tool({"-k", dir.file("key"), "sign", c.address});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(blackbox::describe(r.exit), exit_status(EX_DATAERR));
    }
}

TEST_F(tag_tool, CheckSaysWhatTheFilterWouldDecide) {
    const unsigned day = today();
    // A standard-form tag of key number k for plain that expires days from
    // today.
    auto tag = [&](int k, int days, const char* secret = "current-secret",
                   const std::string& address = plain) {
        return prvs_oracle::standard_address(k, day_from_today(day, days), address, secret);
    };
    const std::string fresh = tag(0, 7);
    std::string forged = fresh;
    forged[14] = forged[14] == '0' ? '1' : '0';  // the last hash digit
    const std::string retired = tag(3, 7, "old-secret");
    const std::string longest = tag(0, 7, "current-secret", address_of_length(496));
    const std::string cut = tag(0, 7, "current-secret", address_of_length(497));
    const std::vector<std::string> key = {"-k", "{dir}/key"};
    const std::vector<std::string> key_list = {"-c", "{dir}/retired.conf"};

    struct case_ {
        const char* name;
        std::vector<std::string> options;
        std::string address;
        std::string line;
    };
    const case_ cases[] = {
        {"fresh", key, fresh, "valid: alice@example.org, key 0, expires in 7 days"},
        {"fresh, sendmail form",
         {"-x", "-k", "{dir}/key"},
         prvs_oracle::sendmail_address(0, day_from_today(day, 7), plain, "current-secret"),
         "valid: alice@example.org, key 0, expires in 7 days"},
        {"expires tomorrow", key, tag(0, 1), "valid: alice@example.org, key 0, expires in 1 day"},
        {"last day", key, tag(0, 0), "valid: alice@example.org, key 0, expires in 0 days"},
        {"within a longer TTL",
         {"-k", "{dir}/key", "-t", "30"},
         tag(0, 30),
         "valid: alice@example.org, key 0, expires in 30 days"},
        {"further ahead than the TTL", key, tag(0, 30),
         "expired: alice@example.org: expired 970 days ago"},
        {"expired",
         {"-k", "{dir}/key", "-t", "1"},
         tag(0, -3),
         "expired: alice@example.org: expired 3 days ago"},
        {"expired yesterday", key, tag(0, -1), "expired: alice@example.org: expired 1 day ago"},
        {"one hash digit changed", key, forged, "forged: alice@example.org: signature mismatch"},
        {"another key's hash", key, tag(0, 7, "other-secret"),
         "forged: alice@example.org: signature mismatch"},
        {"forged and expired", key, tag(0, -3, "other-secret"),
         "forged: alice@example.org: signature mismatch"},
        {"unknown key number", key, tag(4, 7), "unknown key number 4: " + tag(4, 7)},
        {"retired key of the KeyList", key_list, retired,
         "valid: alice@example.org, key 3, expires in 7 days"},
        {"current key beside a KeyList", key_list, fresh,
         "valid: alice@example.org, key 0, expires in 7 days"},
        {"retired number with the current key's hash", key_list, tag(3, 7),
         "forged: alice@example.org: signature mismatch"},
        {"retired key without the KeyList", key, retired, "unknown key number 3: " + retired},
        {"syntax error", key, "prvs=0ABC123456=alice@example.org",
         "syntax error: prvs=0ABC123456=alice@example.org"},
        {"sendmail form without a domain",
         {"-x", "-k", "{dir}/key"},
         "alice+prvs=0123ABCDEF",
         "syntax error: alice+prvs=0123ABCDEF"},
        {"not tagged", key, plain, "not a tagged address: alice@example.org"},
        {"standard form when the sendmail form is set",
         {"-x", "-k", "{dir}/key"},
         fresh,
         "not a tagged address: " + fresh},
        {"cut to 512 characters", key, repeated('a', 600),
         "not a tagged address: " + repeated('a', 512)},
        {"longest tag", key, longest,
         "valid: " + address_of_length(496) + ", key 0, expires in 7 days"},
        {"a tag one character too long is cut", key, cut,
         "forged: " + address_of_length(497).substr(0, 496) + ": signature mismatch"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"check", c.address});
        const std::optional<blackbox::outcome> r = run_on(day, args);
        if (!r) {
            GTEST_SKIP() << "the day changed while the test ran";
        }
        EXPECT_EQ(r->out, c.line + "\n");
        EXPECT_EQ(r->err, "");
        const bool valid = c.line.starts_with("valid: ");
        EXPECT_EQ(blackbox::describe(r->exit), exit_status(valid ? 0 : 1));
    }
}

TEST_F(tag_tool, CheckTakesWhatSignMakes) {
    // The key and the standard form from an option; a key number, a TTL
    // and the sendmail form from the file.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-k", "{dir}/key"}, {"-c", "{dir}/file.conf"}}) {
        SCOPED_TRACE(options[0]);
        const unsigned day = today();
        std::vector<std::string> args = options;
        args.insert(args.end(), {"sign", plain});
        const std::optional<blackbox::outcome> signed_ = run_on(day, args);
        if (!signed_) {
            GTEST_SKIP() << "the day changed while the test ran";
        }
        ASSERT_EQ(blackbox::describe(signed_->exit), exit_status(0)) << signed_->err;
        ASSERT_FALSE(signed_->out.empty());
        args = options;
        args.insert(args.end(), {"check", signed_->out.substr(0, signed_->out.size() - 1)});
        const std::optional<blackbox::outcome> checked = run_on(day, args);
        if (!checked) {
            GTEST_SKIP() << "the day changed while the test ran";
        }
        const std::string key_number = options[0] == "-k" ? "0" : "2";
        const std::string days = options[0] == "-k" ? "7" : "5";
        EXPECT_EQ(checked->out, "valid: alice@example.org, key " + key_number + ", expires in " +
                                    days + " days\n");
        EXPECT_EQ(blackbox::describe(checked->exit), exit_status(0));
    }
}

}  // namespace
