// RCPT TO: which recipients are examined, every outcome in normal, header and
// test mode, the entries left for the end of the message and the replies.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "callbacks/callbacks.h"
#include "tests/callbacks/alloc_failure.h"
#include "tests/callbacks/fixture.h"

namespace {

const std::string plain = "user@example.org";

std::string reply(const char* text) {
    return fake_describe("smfi_setreply", {"550", "5.7.1", text});
}

class envrcpt_test : public callbacks_test {
  protected:
    void SetUp() override {
        callbacks_test::SetUp();
        settings.LogWhy = 0;
        settings.SetReplies = 1;
    }
};

enum mode { normal, header, test };

void set_mode(mode m) {
    settings.AddAuthenticationResults = m == header ? 1 : 0;
    settings.TestMode = m == test ? 1 : 0;
}

TEST_F(envrcpt_test, outcomes_in_each_mode) {
    struct outcome {
        sfsistat verdict;
        std::vector<std::string> changes;
        int badversion;
        bool replaced;  // rcpt_new holds the plain address
        std::vector<log_line> logs;
    };
    struct case_ {
        const char* name;
        const char* sender;
        int all_senders;
        std::string recipient;
        int tagged, valid;
        outcome by_mode[3];  // normal, header, test
    };
    const std::string valid = tagged(plain);
    const std::string expired = tagged(plain, today - 5);
    const log_line missing = err("Q9: BATV signature not present in `" + plain + "'");
    const auto line = [](const char* what, const std::string& recipient) {
        return err(std::string("Q9: BATV ") + what + " in `" + recipient + "'");
    };
    const std::string syntax = "prvs=3X82ABCDEF=" + plain;
    const std::string no_second_equals = "prvs=3682ABCDEF" + plain;
    const std::string other_key = tagged(plain, expiry_today, 4);
    const std::string bad_hash = forged(valid);
    const std::string bad_hash_expired = forged(expired);
    const std::string lower_case = "prvs=" + valid.substr(5, 4) + "abcdef=" + plain;

    const case_ cases[] = {
        {"untagged bounce",
         "<>",
         1,
         plain,
         0,
         0,
         {{SMFIS_CONTINUE, {reply("BATV signature missing")}, 0, false, {missing}},
          {SMFIS_CONTINUE, {}, 0, false, {missing}},
          {SMFIS_CONTINUE, {}, 0, false, {missing}}}},
        {"untagged, ordinary mail, AllSenders on",
         "<a@example.com>",
         1,
         plain,
         0,
         0,
         {{SMFIS_CONTINUE, {}, 0, false, {}},
          {SMFIS_CONTINUE, {}, 0, false, {}},
          {SMFIS_CONTINUE, {}, 0, false, {}}}},
        {"untagged, ordinary mail, AllSenders off",
         "<a@example.com>",
         0,
         plain,
         0,
         0,
         {{SMFIS_CONTINUE, {reply("BATV signature missing")}, 0, false, {missing}},
          {SMFIS_CONTINUE, {}, 0, false, {missing}},
          {SMFIS_CONTINUE, {}, 0, false, {missing}}}},
        {"syntax error",
         "<>",
         1,
         syntax,
         1,
         0,
         {{SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", syntax)}},
          {SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", syntax)}},
          {SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", syntax)}}}},
        {"no '=' after the tag",
         "<>",
         1,
         no_second_equals,
         1,
         0,
         {{SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", no_second_equals)}},
          {SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", no_second_equals)}},
          {SMFIS_TEMPFAIL, {}, 0, false, {line("syntax error", no_second_equals)}}}},
        {"version mismatch",
         "<>",
         1,
         other_key,
         1,
         1,
         {{SMFIS_TEMPFAIL, {}, 0, false, {line("version mismatch", other_key)}},
          {SMFIS_CONTINUE, {}, 1, false, {line("version mismatch", other_key)}},
          {SMFIS_TEMPFAIL, {}, 0, false, {line("version mismatch", other_key)}}}},
        {"hash mismatch",
         "<>",
         1,
         bad_hash,
         1,
         0,
         {{SMFIS_REJECT,
           {reply("BATV signature validation failed")},
           0,
           false,
           {line("validation failed", bad_hash)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("validation failed", bad_hash)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("validation failed", bad_hash)}}}},
        {"lower-case hash digits",
         "<>",
         1,
         lower_case,
         1,
         0,
         {{SMFIS_REJECT,
           {reply("BATV signature validation failed")},
           0,
           false,
           {line("validation failed", lower_case)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("validation failed", lower_case)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("validation failed", lower_case)}}}},
        {"expired",
         "<>",
         1,
         expired,
         1,
         0,
         {{SMFIS_REJECT,
           {reply("BATV signature expired")},
           0,
           false,
           {line("signature expired", expired)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("signature expired", expired)}},
          {SMFIS_CONTINUE, {}, 0, true, {line("signature expired", expired)}}}},
        {"hash mismatch and expired",
         "<>",
         1,
         bad_hash_expired,
         1,
         0,
         {{SMFIS_REJECT,
           {reply("BATV signature validation failed")},
           0,
           false,
           {line("validation failed", bad_hash_expired)}},
          {SMFIS_CONTINUE,
           {},
           0,
           true,
           {line("validation failed", bad_hash_expired),
            line("signature expired", bad_hash_expired)}},
          {SMFIS_CONTINUE,
           {},
           0,
           true,
           {line("validation failed", bad_hash_expired),
            line("signature expired", bad_hash_expired)}}}},
        {"valid",
         "<>",
         1,
         valid,
         1,
         1,
         {{SMFIS_CONTINUE, {}, 0, true, {}},
          {SMFIS_CONTINUE, {}, 0, true, {}},
          {SMFIS_CONTINUE, {}, 0, true, {}}}},
        {"valid, ordinary mail",
         "<a@example.com>",
         1,
         valid,
         1,
         1,
         {{SMFIS_CONTINUE, {}, 0, true, {}},
          {SMFIS_CONTINUE, {}, 0, true, {}},
          {SMFIS_CONTINUE, {}, 0, true, {}}}},
    };
    const char* mode_names[] = {"normal", "header", "test"};
    for (const case_& c : cases) {
        for (mode m : {normal, header, test}) {
            SCOPED_TRACE(std::string(c.name) + ", " + mode_names[m] + " mode");
            const outcome& o = c.by_mode[m];
            set_mode(m);
            settings.AllSenders = c.all_senders;
            open_outside();
            fake.macros["i"] = "Q9";
            ASSERT_EQ(envfrom({c.sender}), SMFIS_CONTINUE);
            take_logs();
            fake.clear_calls();

            EXPECT_EQ(envrcpt("<" + c.recipient + ">"), o.verdict);
            EXPECT_EQ(fake.changes(), o.changes);
            EXPECT_EQ(take_logs(), o.logs);
            const std::vector<rcpt_entry> entries = rcpts();
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].rcpt_orig, c.recipient);
            EXPECT_EQ(entries[0].rcpt_tagged, c.tagged);
            EXPECT_EQ(entries[0].rcpt_valid, c.valid);
            EXPECT_EQ(entries[0].rcpt_badversion, o.badversion);
            EXPECT_EQ(entries[0].rcpt_new,
                      o.replaced ? std::optional<std::string>(plain) : std::nullopt);
            EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        }
    }
}

TEST_F(envrcpt_test, header_and_test_mode_together_act_as_header_mode_for_versions) {
    settings.AddAuthenticationResults = 1;
    settings.TestMode = 1;
    open_bounce();
    EXPECT_EQ(envrcpt(tagged(plain, expiry_today, 4)), SMFIS_CONTINUE);
    EXPECT_EQ(rcpts().at(0).rcpt_badversion, 1);
    EXPECT_EQ(envrcpt(forged(tagged(plain))), SMFIS_CONTINUE);
    EXPECT_EQ(rcpts().at(0).rcpt_new, plain);
    EXPECT_EQ(fake.changes(), std::vector<std::string>{});
}

TEST_F(envrcpt_test, replies_only_with_setreplies) {
    settings.SetReplies = 0;
    open_bounce();
    EXPECT_EQ(envrcpt(plain), SMFIS_CONTINUE);
    EXPECT_EQ(envrcpt(forged(tagged(plain))), SMFIS_REJECT);
    EXPECT_EQ(envrcpt(tagged(plain, today - 1)), SMFIS_REJECT);
    EXPECT_EQ(fake.changes(), std::vector<std::string>{});
    EXPECT_EQ(take_logs().size(), 3u);
}

TEST_F(envrcpt_test, failed_reply_is_logged_and_changes_nothing) {
    fake.fail("smfi_setreply");
    open_bounce();
    const std::string bad = forged(tagged(plain));
    EXPECT_EQ(envrcpt(bad), SMFIS_REJECT);
    EXPECT_EQ(envrcpt(plain), SMFIS_CONTINUE);
    EXPECT_EQ(take_logs(),
              (std::vector<log_line>{err("Q9: BATV validation failed in `" + bad + "'"),
                                     err("Q9: smfi_setreply() failed"),
                                     err("Q9: BATV signature not present in `" + plain + "'"),
                                     err("Q9: smfi_setreply() failed")}));
    EXPECT_EQ(
        fake.changes(),
        (std::vector<std::string>{
            fake_describe("smfi_setreply", {"550", "5.7.1", "BATV signature validation failed"},
                          true),
            fake_describe("smfi_setreply", {"550", "5.7.1", "BATV signature missing"}, true)}));
    settings.Syslog = 0;
    EXPECT_EQ(envrcpt(plain), SMFIS_CONTINUE);
    EXPECT_EQ(take_logs(), std::vector<log_line>{});
}

TEST_F(envrcpt_test, sendmail_form) {
    settings.SendmailFormat = 1;
    open_bounce();
    const std::string valid = tagged(plain, expiry_today, test_key_version, tag_form::sendmail);
    EXPECT_EQ(envrcpt("<" + valid + ">"), SMFIS_CONTINUE);
    // A tag in the standard form is no tag here.
    const std::string standard = tagged(plain);
    EXPECT_EQ(envrcpt("<" + standard + ">"), SMFIS_CONTINUE);
    const std::vector<rcpt_entry> entries = rcpts();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].rcpt_orig, valid);
    EXPECT_EQ(entries[1].rcpt_valid, 1);
    EXPECT_EQ(entries[1].rcpt_new, plain);
    EXPECT_EQ(entries[0].rcpt_orig, standard);
    EXPECT_EQ(entries[0].rcpt_tagged, 0);
    EXPECT_EQ(take_logs(),
              std::vector<log_line>{err("Q9: BATV signature not present in `" + standard + "'")});
}

TEST_F(envrcpt_test, expiry_day_is_good_through_its_end) {
    struct case_ {
        int days_later;
        sfsistat verdict;
    };
    const case_ cases[] = {{0, SMFIS_CONTINUE}, {7, SMFIS_CONTINUE}, {8, SMFIS_REJECT}};
    const std::string address = tagged(plain);
    for (const case_& c : cases) {
        SCOPED_TRACE(c.days_later);
        test_now = fixed_time + c.days_later * 86400;
        open_bounce();
        EXPECT_EQ(envrcpt(address), c.verdict);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, skipped_recipients_make_no_entry) {
    struct case_ {
        const char* name;
        std::string recipient;
        const char* allow_pattern;
        const char* domain;
        int mode;
    };
    const std::string valid = tagged(plain);
    const case_ cases[] = {
        {"no domain", "<postmaster>", nullptr, nullptr, 3},
        {"allow-listed", "<" + valid + ">", "^prvs=.*@example\\.org$", nullptr, 3},
        {"not selected", "<" + valid + ">", nullptr, "other.org", 3},
        {"verify bit clear", "<" + valid + ">", nullptr, nullptr, 1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.allow_list.clear();
        if (c.allow_pattern != nullptr) {
            settings.allow_list.push_back(allow(c.allow_pattern));
        }
        settings.domain_list.clear();
        if (c.domain != nullptr) {
            settings.domain_list.push_back({c.domain});
        }
        settings.Mode = c.mode;
        open_bounce();
        EXPECT_EQ(envrcpt(c.recipient), SMFIS_CONTINUE);
        EXPECT_TRUE(msg().msg_rcpts.empty());
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(fake.changes(), std::vector<std::string>{});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, internal_and_authenticated_clients_are_not_verified) {
    settings.LogWhy = 1;
    const std::vector<log_line> expected = {
        info("Q9 verifying for all domains; message will be verified"),
        info("Q9 client internal or authenticated; verification skipped")};

    open_internal();
    fake.macros["i"] = "Q9";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    take_logs();
    EXPECT_EQ(envrcpt(forged(tagged(plain))), SMFIS_CONTINUE);
    EXPECT_TRUE(msg().msg_rcpts.empty());
    EXPECT_EQ(take_logs(), expected);
    EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);

    settings.internal_hosts.clear();
    settings.IgnoreAuthenticatedClients = 1;
    open_outside();
    fake.macros["i"] = "Q9";
    fake.macros["{auth_authen}"] = "alice";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    take_logs();
    EXPECT_EQ(envrcpt(forged(tagged(plain))), SMFIS_CONTINUE);
    EXPECT_TRUE(msg().msg_rcpts.empty());
    EXPECT_EQ(take_logs(), expected);
}

TEST_F(envrcpt_test, entries_run_newest_first_and_repeat) {
    open_bounce();
    const std::string valid = tagged(plain);
    EXPECT_EQ(envrcpt("<a@example.org>"), SMFIS_CONTINUE);
    EXPECT_EQ(envrcpt("<" + valid + ">"), SMFIS_CONTINUE);
    EXPECT_EQ(envrcpt("<a@example.org>"), SMFIS_CONTINUE);
    std::vector<std::string> order;
    for (const rcpt_entry& entry : rcpts()) {
        order.push_back(entry.rcpt_orig);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"a@example.org", valid, "a@example.org"}));
}

TEST_F(envrcpt_test, lone_leading_bracket_is_kept) {
    open_bounce();
    const std::string address = "<" + tagged(plain);
    EXPECT_EQ(envrcpt(address), SMFIS_CONTINUE);
    ASSERT_EQ(rcpts().size(), 1u);
    EXPECT_EQ(rcpts()[0].rcpt_orig, address);
    EXPECT_EQ(rcpts()[0].rcpt_tagged, 0);
    EXPECT_EQ(take_logs(),
              std::vector<log_line>{err("Q9: BATV signature not present in `" + address + "'")});
}

TEST_F(envrcpt_test, recipient_cut_at_512_characters_is_never_replaced) {
    // The first 512 characters form a valid tagged address; the recipient
    // the client gave is longer.
    const std::string local = std::string(496 - 12, 'r');
    const std::string valid = tagged(local + "@example.org");
    ASSERT_EQ(valid.size(), 512u);
    struct case_ {
        const char* name;
        std::string recipient;
        mode m;
        sfsistat verdict;
        int valid;
    };
    const case_ cases[] = {
        {"valid prefix, normal mode", valid + "x", normal, SMFIS_CONTINUE, 1},
        {"valid prefix, header mode", valid + ".example.net", header, SMFIS_CONTINUE, 1},
        {"valid prefix, test mode", valid + "x", test, SMFIS_CONTINUE, 1},
        {"forged prefix, header mode", forged(valid) + "x", header, SMFIS_CONTINUE, 0},
        {"forged prefix, test mode", forged(valid) + "x", test, SMFIS_CONTINUE, 0},
        {"forged prefix, normal mode", forged(valid) + "x", normal, SMFIS_REJECT, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        set_mode(c.m);
        open_bounce();
        EXPECT_EQ(envrcpt(c.recipient), c.verdict);
        ASSERT_EQ(rcpts().size(), 1u);
        EXPECT_EQ(rcpts()[0].rcpt_orig, c.recipient.substr(0, 512));
        EXPECT_EQ(rcpts()[0].rcpt_tagged, 1);
        EXPECT_EQ(rcpts()[0].rcpt_valid, c.valid);
        EXPECT_EQ(rcpts()[0].rcpt_new, std::nullopt);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, recipient_of_512_characters_is_replaced) {
    const std::string valid = tagged(std::string(496 - 12, 'r') + "@example.org");
    ASSERT_EQ(valid.size(), 512u);
    open_bounce();
    EXPECT_EQ(envrcpt(valid), SMFIS_CONTINUE);
    EXPECT_EQ(rcpts().at(0).rcpt_new, valid.substr(16));
}

// Signing makes tagged senders of up to 512 characters; a bounce brings
// them back in angle brackets, which do not count against the limit.
TEST_F(envrcpt_test, longest_tagged_recipients_in_brackets_are_replaced) {
    struct case_ {
        const char* name;
        std::size_t plain_length;
        tag_form form;
        const char* open;
        const char* close;
    };
    const case_ cases[] = {
        {"511 characters", 495, tag_form::standard, "<", ">"},
        {"512 characters", 496, tag_form::standard, "<", ">"},
        {"512 characters, sendmail form", 496, tag_form::sendmail, "<", ">"},
        {"512 characters in two pairs", 496, tag_form::standard, "<<", ">>"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.SendmailFormat = c.form == tag_form::sendmail ? 1 : 0;
        const std::string plain = std::string(c.plain_length - 12, 'r') + "@example.org";
        const std::string address = tagged(plain, expiry_today, test_key_version, c.form);
        ASSERT_EQ(address.size(), c.plain_length + 16);
        open_bounce();
        EXPECT_EQ(envrcpt(c.open + address + c.close), SMFIS_CONTINUE);
        ASSERT_EQ(rcpts().size(), 1u);
        EXPECT_EQ(rcpts()[0].rcpt_orig, address);
        EXPECT_EQ(rcpts()[0].rcpt_tagged, 1);
        EXPECT_EQ(rcpts()[0].rcpt_valid, 1);
        EXPECT_EQ(rcpts()[0].rcpt_new, plain);
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        EXPECT_EQ(fake.changes(),
                  (std::vector<std::string>{fake_describe("smfi_delrcpt", {c.open + address + c.close}),
                                            fake_describe("smfi_addrcpt", {plain})}));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, recipient_in_brackets_cut_at_512_characters_is_never_replaced) {
    settings.AddAuthenticationResults = 1;
    const std::string valid = tagged(std::string(496 - 12, 'r') + "@example.org");
    ASSERT_EQ(valid.size(), 512u);
    open_bounce();
    // Without its brackets the recipient is one character too long.
    EXPECT_EQ(envrcpt("<" + valid + "x>"), SMFIS_CONTINUE);
    ASSERT_EQ(rcpts().size(), 1u);
    EXPECT_EQ(rcpts()[0].rcpt_orig, valid);
    EXPECT_EQ(rcpts()[0].rcpt_valid, 1);
    EXPECT_EQ(rcpts()[0].rcpt_new, std::nullopt);
}

// Log lines carry the recipient with its control bytes escaped.
TEST_F(envrcpt_test, control_bytes_of_a_recipient_are_escaped_in_log_lines) {
    open_bounce();
    EXPECT_EQ(envrcpt("<us\r\ner@example.org>"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpts().at(0).rcpt_orig, "us\r\ner@example.org");
    EXPECT_EQ(take_logs(), std::vector<log_line>{
                               err("Q9: BATV signature not present in `us\\r\\ner@example.org'")});
}

TEST_F(envrcpt_test, takes_the_job_id_once_the_mta_has_one) {
    settings.LogWhy = 1;
    open_outside();
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    EXPECT_EQ(take_logs(),
              std::vector<log_line>{info("unknown-jobid no domain found in sender; skipping")});
    EXPECT_EQ(envrcpt("<postmaster>"), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_jobid, "unknown-jobid");
    fake.macros["i"] = "Q77";
    EXPECT_EQ(envrcpt("<postmaster>"), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_jobid, "Q77");
    fake.macros["i"] = "Q78";
    EXPECT_EQ(envrcpt("<postmaster>"), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_jobid, "Q77");
    EXPECT_EQ(take_logs(),
              (std::vector<log_line>{info("unknown-jobid no domain found in recipient; skipping"),
                                     info("Q77 no domain found in recipient; skipping"),
                                     info("Q77 no domain found in recipient; skipping")}));
}

// A tag that comes back re-cased by a remote MTA is the tag that was
// signed; a re-cased address part is not, since the hash covers it.
TEST_F(envrcpt_test, recased_tags_verify_recased_addresses_do_not) {
    struct case_ {
        const char* name;
        int sendmail_format;
        std::string recipient;
        sfsistat verdict;
        int valid;
    };
    const std::string valid = tagged(plain);
    std::string lower_hash = valid;
    for (std::size_t i = 9; i < 15; ++i) {
        lower_hash[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower_hash[i])));
    }
    const std::string sendmail = tagged(plain, expiry_today, test_key_version, tag_form::sendmail);
    const case_ cases[] = {
        {"lower-case hash digits", 0, lower_hash, SMFIS_CONTINUE, 1},
        {"marker in capitals", 0, "PRVS=" + valid.substr(5), SMFIS_CONTINUE, 1},
        {"sendmail marker in capitals", 1, "user+PRVS=" + sendmail.substr(10), SMFIS_CONTINUE, 1},
        {"address part re-cased", 0, valid.substr(0, 16) + "User@example.org", SMFIS_REJECT, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.SendmailFormat = c.sendmail_format;
        open_bounce();
        EXPECT_EQ(envrcpt("<" + c.recipient + ">"), c.verdict);
        ASSERT_EQ(rcpts().size(), 1u);
        EXPECT_EQ(rcpts()[0].rcpt_tagged, 1);
        EXPECT_EQ(rcpts()[0].rcpt_valid, c.valid);
        EXPECT_EQ(rcpts()[0].rcpt_new, c.valid ? std::optional<std::string>(plain) : std::nullopt);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// ---- result lines (LogResults)

log_line verify_line(const std::string& recipient, const char* result) {
    return info("action=verify job=Q9 client=mx.outside.example addr=192.0.2.10 rcpt=" + recipient +
                " result=" + result);
}

TEST_F(envrcpt_test, result_line_for_each_outcome) {
    settings.LogResults = 1;
    // A retired key, as the KeyList gives it, beside the current one.
    constexpr int retired_number = 1;
    settings.verify_keys[retired_number] = "an older secret";
    struct case_ {
        const char* name;
        mode m;
        const char* sender;
        int all_senders;
        std::string recipient;
        std::vector<log_line> logs;
    };
    const std::string valid = tagged(plain);
    const std::string retired =
        batv_tag_address(plain, retired_number, expiry_today, "an older secret", tag_form::standard)
            .value();
    const std::string bad_hash = forged(valid);
    const std::string expired = tagged(plain, today - 5);
    const std::string bad_hash_expired = forged(expired);
    const std::string other_key = tagged(plain, expiry_today, 5);
    const std::string syntax = "prvs=3X82ABCDEF=" + plain;
    const auto failure = [](const char* what, const std::string& recipient) {
        return err(std::string("Q9: BATV ") + what + " in `" + recipient + "'");
    };
    const case_ cases[] = {
        {"pass", normal, "<>", 1, valid, {verify_line(valid, "pass")}},
        {"pass, ordinary mail", normal, "<a@example.com>", 1, valid, {verify_line(valid, "pass")}},
        {"pass with a retired key", normal, "<>", 1, retired, {verify_line(retired, "pass")}},
        {"forged",
         normal,
         "<>",
         1,
         bad_hash,
         {failure("validation failed", bad_hash), verify_line(bad_hash, "forged")}},
        // Both checks fail and both lines say so; the one outcome is the
        // hash.
        {"forged and expired, header mode",
         header,
         "<>",
         1,
         bad_hash_expired,
         {failure("validation failed", bad_hash_expired),
          failure("signature expired", bad_hash_expired), verify_line(bad_hash_expired, "forged")}},
        {"expired",
         normal,
         "<>",
         1,
         expired,
         {failure("signature expired", expired), verify_line(expired, "expired")}},
        {"expired, test mode",
         test,
         "<>",
         1,
         expired,
         {failure("signature expired", expired), verify_line(expired, "expired")}},
        {"version mismatch",
         normal,
         "<>",
         1,
         other_key,
         {failure("version mismatch", other_key), verify_line(other_key, "version-mismatch")}},
        {"syntax error",
         normal,
         "<>",
         1,
         syntax,
         {failure("syntax error", syntax), verify_line(syntax, "syntax-error")}},
        {"not signed: bounce",
         normal,
         "<>",
         1,
         plain,
         {err("Q9: BATV signature not present in `" + plain + "'"),
          verify_line(plain, "not-signed")}},
        {"not signed: ordinary mail, AllSenders off",
         normal,
         "<a@example.com>",
         0,
         plain,
         {err("Q9: BATV signature not present in `" + plain + "'"),
          verify_line(plain, "not-signed")}},
        // Ordinary mail needs no tag: nothing was verified.
        {"untagged ordinary mail, AllSenders on", normal, "<a@example.com>", 1, plain, {}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        set_mode(c.m);
        settings.AllSenders = c.all_senders;
        open_outside();
        fake.macros["i"] = "Q9";
        ASSERT_EQ(envfrom({c.sender}), SMFIS_CONTINUE);
        take_logs();
        envrcpt("<" + c.recipient + ">");
        EXPECT_EQ(take_logs(), c.logs);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, result_line_fields) {
    settings.LogResults = 1;
    struct case_ {
        const char* name;
        const char* host;
        std::optional<client_address> address;
        std::string recipient;
        std::string fields;  // after action=verify job=Q9
    };
    const case_ cases[] = {
        {"IPv4 client", "mx.outside.example", ipv4("192.0.2.10"), plain,
         "client=mx.outside.example addr=192.0.2.10 rcpt=user@example.org"},
        {"IPv6 client", "mx6.outside.example", ipv6("2001:db8::25"), plain,
         "client=mx6.outside.example addr=2001:db8::25 rcpt=user@example.org"},
        {"IPv4-mapped client", "mx.outside.example", ipv6("::ffff:192.0.2.10"), plain,
         "client=mx.outside.example addr=::ffff:192.0.2.10 rcpt=user@example.org"},
        {"no address", "mx.outside.example", std::nullopt, plain,
         "client=mx.outside.example addr=unknown rcpt=user@example.org"},
        {"no host name", nullptr, ipv4("192.0.2.10"), plain,
         R"(client="" addr=192.0.2.10 rcpt=user@example.org)"},
        // The MTA's name for a client without reverse DNS needs no quotes.
        {"address literal host", "[192.0.2.10]", ipv4("192.0.2.10"), plain,
         "client=[192.0.2.10] addr=192.0.2.10 rcpt=user@example.org"},
        {"blank and quotes", "mx.outside.example", ipv4("192.0.2.10"), R"("john doe"@example.org)",
         R"(client=mx.outside.example addr=192.0.2.10 rcpt="\"john doe\"@example.org")"},
        {"backslash", "mx.outside.example", ipv4("192.0.2.10"), R"(john\doe@example.org)",
         R"(client=mx.outside.example addr=192.0.2.10 rcpt="john\\doe@example.org")"},
        // Control bytes are escaped by the log itself, inside the quotes.
        {"tab", "mx.outside.example", ipv4("192.0.2.10"), "john\tdoe@example.org",
         R"(client=mx.outside.example addr=192.0.2.10 rcpt="john\tdoe@example.org")"},
    };
    for (case_ c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        ASSERT_EQ(connect(c.host, c.address ? c.address->get() : nullptr), SMFIS_CONTINUE);
        fake.macros["i"] = "Q9";
        ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
        take_logs();
        EXPECT_EQ(envrcpt("<" + c.recipient + ">"), SMFIS_CONTINUE);
        const std::vector<log_line> logs = take_logs();
        ASSERT_EQ(logs.size(), 2u);
        EXPECT_EQ(logs[1], info("action=verify job=Q9 " + c.fields + " result=not-signed"));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(envrcpt_test, result_lines_need_log_results_and_syslog) {
    struct case_ {
        int log_results;
        int syslog;
        std::vector<log_line> logs;
    };
    const std::string valid = tagged(plain);
    const std::string bad_hash = forged(valid);
    const case_ cases[] = {
        // Off by default: the lines are those of before.
        {0, 1, {err("Q9: BATV validation failed in `" + bad_hash + "'")}},
        {1, 0, {}},
        {1,
         1,
         {verify_line(valid, "pass"), err("Q9: BATV validation failed in `" + bad_hash + "'"),
          verify_line(bad_hash, "forged")}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(std::to_string(c.log_results) + " " + std::to_string(c.syslog));
        settings.LogResults = c.log_results;
        settings.Syslog = c.syslog;
        open_bounce();
        EXPECT_EQ(envrcpt(valid), SMFIS_CONTINUE);
        EXPECT_EQ(envrcpt(bad_hash), SMFIS_REJECT);
        EXPECT_EQ(take_logs(), c.logs);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// The line is made last; without memory for it the decision stands and
// the failure is logged instead.
TEST_F(envrcpt_test, result_line_without_memory_leaves_the_decision) {
    settings.LogResults = 1;
    const std::string valid = tagged(plain);
    int allocations = 0;
    for (int n = 1;; ++n) {
        open_bounce();
        alloc_failure_arm(n);
        envrcpt(valid);
        const bool failed = alloc_failure_disarm();
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        take_logs();
        if (!failed) {
            allocations = n - 1;
            break;
        }
    }
    ASSERT_GT(allocations, 0);
    open_bounce();
    alloc_failure_arm(allocations);
    EXPECT_EQ(envrcpt(valid), SMFIS_CONTINUE);
    EXPECT_TRUE(alloc_failure_disarm());
    EXPECT_EQ(take_logs(),
              std::vector<log_line>{err("malloc(): " + std::string(strerror(ENOMEM)))});
    ASSERT_EQ(rcpts().size(), 1u);
    EXPECT_EQ(rcpts()[0].rcpt_valid, 1);
    EXPECT_EQ(rcpts()[0].rcpt_new, plain);
}

}  // namespace
