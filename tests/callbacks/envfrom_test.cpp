// MAIL FROM: the message context, the signing decision and the kept ESMTP
// arguments.
#include <string>
#include <vector>

#include "callbacks/callbacks.h"
#include "tests/callbacks/fixture.h"

namespace {

using envfrom_test = callbacks_test;

const log_line all_domains = info("Q1 signing for all domains; message will be signed");

TEST_F(envfrom_test, signs_senders_of_internal_and_authenticated_clients) {
    struct case_ {
        const char* name;
        bool internal;
        int ignore_authenticated;
        std::optional<std::string> auth_authen;
        int sendmail_format;
        std::vector<std::string> args;
        std::optional<std::string> newsender;  // expected
        std::optional<std::string> esmtpargs;
        int auth;
        std::vector<log_line> logs;
    };
    const std::string plain = "user@example.com";
    const case_ cases[] = {
        {"internal",
         true,
         0,
         std::nullopt,
         0,
         {"<user@example.com>"},
         tagged(plain),
         std::nullopt,
         0,
         {all_domains}},
        {"internal with ESMTP arguments",
         true,
         0,
         std::nullopt,
         0,
         {"<user@example.com>", "SIZE=1000", "BODY=8BITMIME"},
         tagged(plain),
         "SIZE=1000 BODY=8BITMIME",
         0,
         {all_domains}},
        {"sender without brackets",
         true,
         0,
         std::nullopt,
         0,
         {"user@example.com"},
         tagged(plain),
         std::nullopt,
         0,
         {all_domains}},
        {"outside",
         false,
         0,
         std::nullopt,
         0,
         {"<user@example.com>", "SIZE=1000"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains, info("Q1 client not internal and not authenticated; signing skipped")}},
        {"authenticated, counted",
         false,
         1,
         "alice",
         0,
         {"<user@example.com>", "SIZE=1"},
         tagged(plain),
         "SIZE=1",
         1,
         {all_domains}},
        {"authenticated with empty name",
         false,
         1,
         "",
         0,
         {"<user@example.com>"},
         tagged(plain),
         std::nullopt,
         1,
         {all_domains}},
        {"authenticated, not counted",
         false,
         0,
         "alice",
         0,
         {"<user@example.com>"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains, info("Q1 client not internal and not authenticated; signing skipped")}},
        {"already tagged",
         true,
         0,
         std::nullopt,
         0,
         {"<prvs=3682ABCDEF=user@example.com>"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains}},
        // Verification takes the marker in any case, so such a sender
        // carries a tag already.
        {"already tagged, marker in capitals",
         true,
         0,
         std::nullopt,
         0,
         {"<PRVS=3682ABCDEF=user@example.com>"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains}},
        {"sendmail form",
         true,
         0,
         std::nullopt,
         1,
         {"<user@example.com>"},
         tagged(plain, expiry_today, test_key_version, tag_form::sendmail),
         std::nullopt,
         0,
         {all_domains}},
        {"sendmail form, already tagged",
         true,
         0,
         std::nullopt,
         1,
         {"<user+prvs=3682ABCDEF@example.com>"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains}},
        {"sendmail form, already tagged, marker in another case",
         true,
         0,
         std::nullopt,
         1,
         {"<user+Prvs=3682abcdef@example.com>"},
         std::nullopt,
         std::nullopt,
         0,
         {all_domains}},
        {"sendmail form ignores the standard marker",
         true,
         0,
         std::nullopt,
         1,
         {"<prvs=3682ABCDEF=user@example.com>"},
         tagged("prvs=3682ABCDEF=user@example.com", expiry_today, test_key_version,
                tag_form::sendmail),
         std::nullopt,
         0,
         {all_domains}},
        {"null sender",
         true,
         0,
         std::nullopt,
         0,
         {"<>", "SIZE=1"},
         std::nullopt,
         std::nullopt,
         0,
         {info("Q1 no domain found in sender; skipping")}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.IgnoreAuthenticatedClients = c.ignore_authenticated;
        settings.SendmailFormat = c.sendmail_format;
        if (c.internal) {
            open_internal();
        } else {
            open_outside();
        }
        fake.macros.clear();
        fake.macros["i"] = "Q1";
        if (c.auth_authen) {
            fake.macros["{auth_authen}"] = *c.auth_authen;
        }
        EXPECT_EQ(envfrom(c.args), SMFIS_CONTINUE);
        EXPECT_EQ(msg().msg_jobid, "Q1");
        EXPECT_EQ(msg().msg_auth, c.auth);
        EXPECT_EQ(msg().msg_newsender, c.newsender);
        EXPECT_EQ(msg().msg_esmtpargs, c.esmtpargs);
        EXPECT_TRUE(msg().msg_rcpts.empty());
        EXPECT_EQ(take_logs(), c.logs);
        // Nothing is changed before the end of the message.
        EXPECT_EQ(fake.changes(), std::vector<std::string>{});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        settings.internal_hosts.clear();
    }
}

TEST_F(envfrom_test, keeps_the_normalised_sender) {
    open_internal();
    fake.macros["i"] = "Q1";
    ASSERT_EQ(envfrom({"<<user@example.com>>"}), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_sender, "user@example.com");
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_sender, "");
    // The sender itself has no length limit.
    const std::string long_sender = std::string(1000, 'u') + "@example.com";
    settings.Mode = 2;
    ASSERT_EQ(envfrom({"<" + long_sender + ">"}), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_sender, long_sender);
}

TEST_F(envfrom_test, job_id_without_macro_i) {
    open_outside();
    // An empty macro "i" is no job id either.
    for (const bool empty_macro : {false, true}) {
        SCOPED_TRACE(empty_macro ? "empty macro i" : "no macro i");
        if (empty_macro) {
            fake.macros["i"] = "";
        }
        EXPECT_EQ(envfrom({"<user@example.com>"}), SMFIS_CONTINUE);
        EXPECT_EQ(msg().msg_jobid, "unknown-jobid");
        EXPECT_EQ(take_logs(),
                  (std::vector<log_line>{
                      info("unknown-jobid signing for all domains; message will be signed"),
                      info("unknown-jobid client not internal and not authenticated; signing "
                           "skipped")}));
    }
}

// The arguments go back to the MTA with the new sender, so each must stay
// whole; the MTA has bounded the length of the command already.
TEST_F(envfrom_test, esmtp_arguments_are_joined_whole) {
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::optional<std::string> joined;
    };
    const std::string a300(300, 'a');
    const std::string b300(300, 'b');
    const std::string c512(512, 'c');
    const std::string envid = "ENVID=" + std::string(600, 'e');
    const case_ cases[] = {
        {"two long arguments", {a300, b300}, a300 + " " + b300},
        {"exactly full", {std::string(511, 'd')}, std::string(511, 'd')},
        {"no blank falls off", {c512, "X=1"}, c512 + " X=1"},
        {"one too long", {c512 + "e"}, c512 + "e"},
        {"a long ENVID keeps the argument after it",
         {envid, "BODY=8BITMIME"},
         envid + " BODY=8BITMIME"},
        {"empty arguments", {"", ""}, std::nullopt},
        {"empty arguments leave no blanks",
         {"", "SIZE=1", "", "", "BODY=8BITMIME", ""},
         "SIZE=1 BODY=8BITMIME"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        open_internal();
        fake.macros["i"] = "Q1";
        std::vector<std::string> args = {"<user@example.com>"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(envfrom(args), SMFIS_CONTINUE);
        EXPECT_TRUE(msg().msg_newsender);
        EXPECT_EQ(msg().msg_esmtpargs, c.joined);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        settings.internal_hosts.clear();
    }
}

TEST_F(envfrom_test, sender_whose_tagged_form_is_too_long_is_not_signed) {
    // The standard form adds 16 characters.
    const std::string fits = std::string(496 - 12, 'u') + "@example.com";
    const std::string too_long = "v" + fits;
    ASSERT_EQ(fits.size(), 496u);
    struct case_ {
        const std::string& sender;
        int syslog;
        bool signed_;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {fits, 1, true, {}},
        {too_long,
         1,
         false,
         {err("Q1: tagged sender for `" + too_long +
              "' would exceed 512 characters; signing skipped")}},
        {too_long, 0, false, {}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.sender.size());
        settings.LogWhy = 0;
        settings.Syslog = c.syslog;
        open_internal();
        fake.macros["i"] = "Q1";
        EXPECT_EQ(envfrom({"<" + c.sender + ">", "SIZE=1"}), SMFIS_CONTINUE);
        if (c.signed_) {
            ASSERT_TRUE(msg().msg_newsender);
            EXPECT_EQ(msg().msg_newsender->size(), 512u);
            EXPECT_EQ(*msg().msg_newsender, tagged(c.sender));
            EXPECT_EQ(msg().msg_esmtpargs, "SIZE=1");
        } else {
            EXPECT_EQ(msg().msg_newsender, std::nullopt);
            EXPECT_EQ(msg().msg_esmtpargs, std::nullopt);
        }
        EXPECT_EQ(take_logs(), c.logs);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        settings.internal_hosts.clear();
    }
}

TEST_F(envfrom_test, expiry_follows_the_clock_and_ttl) {
    settings.SignatureTTL = 400;
    test_now = fixed_time + 3 * 86400;  // day number 678
    open_internal();
    fake.macros["i"] = "Q1";
    ASSERT_EQ(envfrom({"<user@example.com>"}), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_newsender, tagged("user@example.com", (678 + 400) % 1000));
}

TEST_F(envfrom_test, next_mail_from_replaces_the_message_context) {
    open_outside();
    fake.macros["i"] = "Q1";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<a@example.org>"), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<b@example.org>"), SMFIS_CONTINUE);
    ASSERT_EQ(rcpts().size(), 2u);
    fake.macros["i"] = "Q2";
    EXPECT_EQ(envfrom({"<x@example.com>"}), SMFIS_CONTINUE);
    EXPECT_EQ(msg().msg_jobid, "Q2");
    EXPECT_TRUE(msg().msg_rcpts.empty());
    EXPECT_EQ(msg().msg_sender, "x@example.com");
}

// ---- result lines (LogResults)

TEST_F(envfrom_test, result_line_for_each_signed_sender) {
    struct case_ {
        const char* name;
        bool internal;
        int sendmail_format;
        std::string sender;  // as given at MAIL FROM
        std::vector<log_line> logs;
    };
    const std::string head = "action=sign job=Q1 client=localhost addr=127.0.0.1 ";
    const std::string quoted = "\"a b\"@example.com";
    const case_ cases[] = {
        {"signed",
         true,
         0,
         "<user@example.com>",
         {all_domains,
          info(head + "sender=user@example.com tagged=" + tagged("user@example.com"))}},
        {"sendmail form",
         true,
         1,
         "<user@example.com>",
         {all_domains,
          info(head + "sender=user@example.com tagged=" +
               tagged("user@example.com", expiry_today, test_key_version, tag_form::sendmail))}},
        // A quoted local part holds a blank and double quotes.
        {"value with a blank",
         true,
         0,
         "<" + quoted + ">",
         {all_domains, info(head + R"(sender="\"a b\"@example.com" tagged="prvs=)" +
                            tagged(quoted).substr(5, 11) + R"(\"a b\"@example.com")")}},
        {"not signed: outside client",
         false,
         0,
         "<user@example.com>",
         {all_domains, info("Q1 client not internal and not authenticated; signing skipped")}},
        {"not signed: already tagged",
         true,
         0,
         "<prvs=3682ABCDEF=user@example.com>",
         {all_domains}},
        {"not signed: null sender",
         true,
         0,
         "<>",
         {info("Q1 no domain found in sender; skipping")}},
    };
    settings.LogResults = 1;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.SendmailFormat = c.sendmail_format;
        if (c.internal) {
            open_internal();
        } else {
            open_outside();
        }
        fake.macros["i"] = "Q1";
        EXPECT_EQ(envfrom({c.sender}), SMFIS_CONTINUE);
        EXPECT_EQ(take_logs(), c.logs);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        settings.internal_hosts.clear();
    }
}

TEST_F(envfrom_test, no_result_line_without_log_results_or_syslog) {
    struct case_ {
        int log_results;
        int syslog;
    };
    for (const case_ c : {case_{0, 1}, case_{1, 0}}) {
        SCOPED_TRACE(c.log_results);
        settings.LogWhy = 0;
        settings.LogResults = c.log_results;
        settings.Syslog = c.syslog;
        open_internal();
        fake.macros["i"] = "Q1";
        EXPECT_EQ(envfrom({"<user@example.com>"}), SMFIS_CONTINUE);
        EXPECT_TRUE(msg().msg_newsender);
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        settings.internal_hosts.clear();
    }
}

}  // namespace
