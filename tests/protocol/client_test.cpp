// The running daemon seen through the project's own milter client: the
// negotiated flags, the sender change with its ESMTP arguments, the reply
// texts at RCPT TO, and the exact sequence of changes at end of message,
// which miltertest cannot show.
#include <libmilter/mfdef.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tests/protocol/fixture.h"
#include "tests/protocol/prvs_oracle.h"

namespace {

using milter_client::client_info;
using milter_client::eom_result;
using milter_client::macro_list;
using milter_client::message;
using milter_client::milter_connection;
using milter_client::milter_error;
using protocol_test::expect_healthy;
using protocol_test::form;
using protocol_test::format_changes;
using protocol_test::internal_client;
using protocol_test::outside_client;
using protocol_test::session;
using protocol_test::start_daemon;

const std::string xbatv_prefix = "Vellicor v0.5.0 " + protocol_test::host_name() + " ";

// ---- negotiation

TEST(Negotiation, RequestsItsActionsAndLeavesOutUnusedSteps) {
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::uint32_t offered_actions, offered_steps;
        std::uint32_t actions, steps;
    } cases[] = {
        {"what Postfix offers", {}, 0x1ff, 0x1fffff, 0x4d, 0x100372},
        {"quarantine asked for with -q", {"-q"}, 0x1ff, 0x1fffff, 0x6d, 0x100372},
        {"no leading space offered", {}, 0x1ff, 0x0fffff, 0x4d, 0x372},
        {"only unknown commands may be left out", {}, 0x1ff, 0x100, 0x4d, 0x100},
        {"exactly the actions needed", {}, 0x4d, 0x1fffff, 0x4d, 0x100372},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start_daemon(c.args);
        milter_connection conn(daemon->socket_path());
        milter_client::negotiated n = conn.negotiate(c.offered_actions, c.offered_steps);
        EXPECT_EQ(n.version, 6u);
        EXPECT_EQ(n.actions, c.actions);
        EXPECT_EQ(n.steps, c.steps);
        EXPECT_EQ(conn.connect(outside_client()).code, SMFIR_CONTINUE);
        conn.quit();
        expect_healthy(*daemon);
    }
}

TEST(Negotiation, RefusesAnMtaWithoutTheNeededActions) {
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::uint32_t offered_actions;
    } cases[] = {
        {"no sender change", {}, 0x0f},
        {"no quarantine with -q", {"-q"}, 0x4d},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start_daemon(c.args);
        milter_connection refused(daemon->socket_path());
        EXPECT_THROW(refused.negotiate(c.offered_actions), milter_error);
        // The refusal ends that connection only.
        milter_connection next = session(*daemon, outside_client());
        auto r = milter_client::send_message(next, {{}, {"<>"}, {{"<postmaster>"}}, {}, {}, {}});
        ASSERT_TRUE(r.eom);
        EXPECT_EQ(r.eom->final.code, SMFIR_CONTINUE);
        expect_healthy(*daemon);
    }
}

// ---- signing

// Checks a sender change against a tag computed from its definition: the
// key number, an expiry day that signing at some moment between before
// and after gives, and the hash over them, the plain sender and the key.
void expect_signed(const milter_client::modification& change, const std::string& plain,
                   const std::string& esmtp, int k, unsigned ttl, form f, const std::string& key,
                   std::time_t before, std::time_t after) {
    ASSERT_EQ(change.code, SMFIR_CHGFROM);
    ASSERT_FALSE(change.args.empty());
    const std::string& sender = change.args[0];
    std::vector<std::string> acceptable;
    for (std::time_t t : {before, after}) {
        unsigned day = (prvs_oracle::day_of(t) + ttl) % 1000;
        acceptable.push_back(protocol_test::tagged(plain, k, day, key, f));
    }
    EXPECT_TRUE(sender == acceptable[0] || sender == acceptable[1])
        << "sender " << sender << ", expected " << acceptable[0];
    if (esmtp.empty()) {
        EXPECT_EQ(change.args.size(), 1u) << "ESMTP arguments where none were given";
    } else {
        ASSERT_EQ(change.args.size(), 2u);
        EXPECT_EQ(change.args[1], esmtp);
    }
}

TEST(Signing, TagsTheSenderOfInternalClients) {
    const std::string long_local(496 - 12, 'l');  // with "@example.com": 496 characters
    const std::string long_envid = "ENVID=" + std::string(600, 'e');
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> files;
        client_info client;
        macro_list mail_macros;
        std::vector<std::string> mail;  // sender, ESMTP arguments
        bool is_signed;
        std::string plain = "";  // the sender to be tagged
        std::string esmtp = "";  // the ESMTP arguments handed back
        int k = 0;
        unsigned ttl = 7;
        form f = form::standard;
    } cases[] = {
        {"ESMTP arguments handed back with the tagged sender",
         {},
         {},
         internal_client(),
         {},
         {"<user@example.com>", "SIZE=1000", "BODY=8BITMIME"},
         true,
         "user@example.com",
         "SIZE=1000 BODY=8BITMIME"},
        {"no ESMTP arguments",
         {},
         {},
         internal_client(),
         {},
         {"<user@example.com>"},
         true,
         "user@example.com",
         ""},
        {"a long ENVID handed back whole, empty arguments left out",
         {},
         {},
         internal_client(),
         {},
         {"<user@example.com>", long_envid, "", "BODY=8BITMIME"},
         true,
         "user@example.com",
         long_envid + " BODY=8BITMIME"},
        {"internal by name, any case",
         {},
         {},
         {"LocalHost", '4', 1, "192.0.2.1"},
         {},
         {"<user@example.com>"},
         true,
         "user@example.com",
         ""},
        {"outside client", {}, {}, outside_client(), {}, {"<user@example.com>", "SIZE=10"}, false},
        {"null sender", {}, {}, internal_client(), {}, {"<>"}, false},
        {"already tagged",
         {},
         {},
         internal_client(),
         {},
         {"<prvs=0123ABCDEF=user@example.com>"},
         false},
        {"already tagged, the marker in capitals",
         {},
         {},
         internal_client(),
         {},
         {"<PRVS=0123ABCDEF=user@example.com>"},
         false},
        {"sender without brackets",
         {},
         {},
         internal_client(),
         {},
         {"user@example.com"},
         true,
         "user@example.com",
         ""},
        {"sendmail form",
         {"-x"},
         {},
         internal_client(),
         {},
         {"<user@example.com>", "SIZE=1"},
         true,
         "user@example.com",
         "SIZE=1",
         0,
         7,
         form::sendmail},
        {"key version and lifetime",
         {"-v", "3", "-t", "30"},
         {},
         internal_client(),
         {},
         {"<user@example.com>"},
         true,
         "user@example.com",
         "",
         3,
         30},
        {"internal network from -i",
         {"-i", "{dir}/internal"},
         {{"internal", "10.0.0.0/8\n"}},
         {"relay.example.net", '4', 1, "10.1.2.3"},
         {},
         {"<user@example.com>"},
         true,
         "user@example.com",
         ""},
        {"-i replaces the built-in localhost entry",
         {"-i", "{dir}/internal"},
         {{"internal", "10.0.0.0/8\n"}},
         internal_client(),
         {},
         {"<user@example.com>"},
         false},
        {"authenticated outside client with -s",
         {"-s"},
         {},
         outside_client(),
         {{"{auth_authen}", "alice"}},
         {"<user@example.com>"},
         true,
         "user@example.com",
         ""},
        {"authenticated outside client without -s",
         {},
         {},
         outside_client(),
         {{"{auth_authen}", "alice"}},
         {"<user@example.com>"},
         false},
        {"test mode changes nothing",
         {"-n"},
         {},
         internal_client(),
         {},
         {"<user@example.com>"},
         false},
        {"tagged sender of 512 characters",
         {},
         {},
         internal_client(),
         {},
         {"<" + long_local + "@example.com>"},
         true,
         long_local + "@example.com",
         ""},
        {"tagged sender would exceed 512 characters",
         {},
         {},
         internal_client(),
         {},
         {"<" + long_local + "x@example.com>"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start_daemon(c.args, c.files);
        milter_connection conn = session(*daemon, c.client);
        message msg;
        msg.mail_macros = c.mail_macros;
        msg.mail_macros.push_back({"i", "JOB1"});
        msg.mail_args = c.mail;
        msg.rcpts = {{"<someone@example.net>"}};
        std::time_t before = std::time(nullptr);
        auto r = milter_client::send_message(conn, msg);
        std::time_t after = std::time(nullptr);
        EXPECT_EQ(r.mail.code, SMFIR_CONTINUE);
        ASSERT_EQ(r.rcpts.size(), 1u);
        EXPECT_EQ(r.rcpts[0].code, SMFIR_CONTINUE);
        ASSERT_TRUE(r.eom);
        EXPECT_EQ(r.eom->final.code, SMFIR_CONTINUE);
        if (c.is_signed) {
            ASSERT_EQ(r.eom->changes.size(), 1u) << milter_client::describe(*r.eom);
            expect_signed(r.eom->changes[0], c.plain, c.esmtp, c.k, c.ttl, c.f, daemon->key(),
                          before, after);
        } else {
            EXPECT_TRUE(r.eom->changes.empty()) << milter_client::describe(*r.eom);
        }
        conn.quit();
        expect_healthy(*daemon);
    }
}

// A signed sender comes back as a valid tag: the daemon accepts a bounce
// to the address it made and puts the plain sender in its place, also for
// the longest senders it signs, whose tagged form has 512 characters
// without the angle brackets of the bounce.
TEST(Signing, ABounceToTheTaggedSenderIsAccepted) {
    auto daemon = start_daemon();
    for (const std::string& sender :
         {std::string("user@example.com"), std::string(496 - 12, 'l') + "@example.com"}) {
        SCOPED_TRACE(sender.size());
        milter_connection out = session(*daemon, internal_client());
        auto sent = milter_client::send_message(
            out, {{}, {"<" + sender + ">"}, {{"<someone@example.net>"}}, {}, {}, {}});
        ASSERT_TRUE(sent.eom);
        ASSERT_EQ(sent.eom->changes.size(), 1u);
        const std::string tagged_sender = sent.eom->changes[0].args.at(0);
        EXPECT_EQ(tagged_sender.size(), sender.size() + 16);
        out.quit();

        milter_connection in = session(*daemon, outside_client());
        auto bounce = milter_client::send_message(
            in, {{}, {"<>"}, {{"<" + tagged_sender + ">"}}, {}, {}, {}});
        ASSERT_EQ(bounce.rcpts.size(), 1u);
        EXPECT_EQ(bounce.rcpts[0].code, SMFIR_CONTINUE);
        ASSERT_TRUE(bounce.eom);
        EXPECT_EQ(format_changes(*bounce.eom),
                  (std::vector<std::string>{"delrcpt <" + tagged_sender + ">", "addrcpt " + sender}));
        in.quit();
    }
    expect_healthy(*daemon);
}

// ---- verification: verdicts and reply texts at RCPT TO

TEST(Verification, AnswersEachRecipientAtRcpt) {
    enum kind { valid, forged, expired, syntax, badversion, untagged };
    struct expectation {
        kind rcpt;
        char code;
        std::string text;  // for SMFIR_REPLYCODE
    };
    const std::string failed = "550 5.7.1 BATV signature validation failed";
    const std::string expired_text = "550 5.7.1 BATV signature expired";
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        form f;
        std::vector<expectation> rcpts;
    } cases[] = {
        {"normal mode with replies",
         {"-S"},
         form::standard,
         {{valid, SMFIR_CONTINUE, ""},
          {forged, SMFIR_REPLYCODE, failed},
          {expired, SMFIR_REPLYCODE, expired_text},
          {syntax, SMFIR_TEMPFAIL, ""},
          {badversion, SMFIR_TEMPFAIL, ""},
          // The reply "BATV signature missing" goes with a CONTINUE, which
          // libmilter sends without a text.
          {untagged, SMFIR_CONTINUE, ""}}},
        {"normal mode without replies",
         {},
         form::standard,
         {{valid, SMFIR_CONTINUE, ""},
          {forged, SMFIR_REJECT, ""},
          {expired, SMFIR_REJECT, ""},
          {syntax, SMFIR_TEMPFAIL, ""},
          {badversion, SMFIR_TEMPFAIL, ""},
          {untagged, SMFIR_CONTINUE, ""}}},
        {"sendmail form with replies",
         {"-S", "-x"},
         form::sendmail,
         {{valid, SMFIR_CONTINUE, ""},
          {forged, SMFIR_REPLYCODE, failed},
          {expired, SMFIR_REPLYCODE, expired_text},
          {syntax, SMFIR_TEMPFAIL, ""},
          {badversion, SMFIR_TEMPFAIL, ""},
          {untagged, SMFIR_CONTINUE, ""}}},
        {"header mode",
         {"-S", "-r"},
         form::standard,
         {{valid, SMFIR_CONTINUE, ""},
          {forged, SMFIR_CONTINUE, ""},
          {expired, SMFIR_CONTINUE, ""},
          {syntax, SMFIR_TEMPFAIL, ""},
          {badversion, SMFIR_CONTINUE, ""},
          {untagged, SMFIR_CONTINUE, ""}}},
        {"test mode",
         {"-S", "-n"},
         form::standard,
         {{valid, SMFIR_CONTINUE, ""},
          {forged, SMFIR_CONTINUE, ""},
          {expired, SMFIR_CONTINUE, ""},
          {syntax, SMFIR_TEMPFAIL, ""},
          {badversion, SMFIR_TEMPFAIL, ""},
          {untagged, SMFIR_CONTINUE, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start_daemon(c.args);
        auto tags = protocol_test::make_tags("user@example.com", daemon->key(), c.f);
        const std::string address[] = {tags.valid,  tags.forged,     tags.expired,
                                       tags.syntax, tags.badversion, tags.plain};
        for (const auto& e : c.rcpts) {
            SCOPED_TRACE(address[e.rcpt]);
            // One transaction per recipient, so that a reply left over from
            // one recipient cannot show at another.
            milter_connection conn = session(*daemon, outside_client());
            EXPECT_EQ(conn.mail({"<>"}).code, SMFIR_CONTINUE);
            milter_client::response r = conn.rcpt({"<" + address[e.rcpt] + ">"});
            EXPECT_EQ(r.code, e.code) << milter_client::describe(r);
            EXPECT_EQ(r.text, e.text);
            if (r.code == SMFIR_REPLYCODE) {
                auto parsed = milter_client::parse_reply(r.text);
                ASSERT_TRUE(parsed);
                EXPECT_EQ(parsed->code, 550);
                EXPECT_EQ(parsed->extended, "5.7.1");
            }
            conn.abort();
            conn.quit();
        }
        expect_healthy(*daemon);
    }
}

// ---- end of message: the changes and their order

TEST(EndOfMessage, MakesItsChangesInOrder) {
    const std::string key = "a fixed key for this test";
    auto t1 = protocol_test::make_tags("one@example.com", key);
    auto t2 = protocol_test::make_tags("two@example.com", key);
    auto t3 = protocol_test::make_tags("three@example.com", key);
    auto t4 = protocol_test::make_tags("four@example.com", key);
    auto t5 = protocol_test::make_tags("five@example.com", key);
    const std::string ar = "insheader 1 Authentication-Results: mx.test.example; x-batv=";
    const std::string xbatv = "insheader 1 X-BATV: " + xbatv_prefix + "JOB9";
    const std::string quarantine = "quarantine quarantined by Vellicor";
    // Recipients in the order sent: valid, forged, untagged, key version 1,
    // syntax error. The entries are walked newest first.
    const std::vector<std::string> rcpts = {t1.valid, t2.forged, t3.plain, t4.badversion,
                                            t5.syntax};
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::vector<char> verdicts;
        std::vector<std::string> changes;
    } cases[] = {
        {"header mode, X-BATV and quarantine",
         {"-r", "-h", "-q"},
         {SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_TEMPFAIL},
         {ar + "fail (verification failed) smtp.rcpt=" + t5.syntax,
          ar + "fail (version mismatch) smtp.rcpt=" + t4.badversion,
          ar + "fail (not signed) smtp.rcpt=" + t3.plain,
          ar + "fail (verification failed) smtp.rcpt=" + t2.forged, "delrcpt <" + t2.forged + ">",
          "addrcpt " + t2.plain, ar + "pass smtp.rcpt=" + t1.valid, "delrcpt <" + t1.valid + ">",
          "addrcpt " + t1.plain, xbatv, quarantine}},
        {"header and test mode: headers and quarantine, no recipient changes",
         {"-r", "-n", "-h", "-q"},
         {SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_TEMPFAIL},
         {ar + "fail (verification failed) smtp.rcpt=" + t5.syntax,
          ar + "fail (version mismatch) smtp.rcpt=" + t4.badversion,
          ar + "fail (not signed) smtp.rcpt=" + t3.plain,
          ar + "fail (verification failed) smtp.rcpt=" + t2.forged,
          ar + "pass smtp.rcpt=" + t1.valid, xbatv, quarantine}},
        {"normal mode: the refused recipients still make the message a quarantine candidate",
         {"-h", "-q"},
         {SMFIR_CONTINUE, SMFIR_REJECT, SMFIR_CONTINUE, SMFIR_TEMPFAIL, SMFIR_TEMPFAIL},
         {"delrcpt <" + t1.valid + ">", "addrcpt " + t1.plain, xbatv, quarantine}},
        {"test mode",
         {"-n"},
         {SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_CONTINUE, SMFIR_TEMPFAIL, SMFIR_TEMPFAIL},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = [&] {
            filter_process::options o;
            o.binary = VELLICOR_BINARY;
            o.args = filter_process::daemon_args(c.args);
            o.key = key;
            return std::make_unique<filter_process::running_filter>(o);
        }();
        milter_connection conn = session(*daemon, outside_client());
        message msg;
        msg.mail_macros = {{"i", "JOB9"}};
        msg.mail_args = {"<>"};
        for (const auto& r : rcpts) {
            msg.rcpts.push_back({"<" + r + ">"});
        }
        auto r = milter_client::send_message(conn, msg);
        ASSERT_EQ(r.rcpts.size(), c.verdicts.size());
        for (std::size_t i = 0; i < c.verdicts.size(); ++i) {
            EXPECT_EQ(r.rcpts[i].code, c.verdicts[i]) << rcpts[i];
        }
        ASSERT_TRUE(r.eom);
        EXPECT_EQ(r.eom->final.code, SMFIR_CONTINUE);
        EXPECT_EQ(format_changes(*r.eom), c.changes);
        conn.quit();
        expect_healthy(*daemon);
    }
}

TEST(EndOfMessage, HeaderValuesFollowTheConnection) {
    struct case_ {
        const char* name;
        std::uint32_t steps;
        std::string authserv;  // macro "j"; none when empty
        std::string lead;
        std::string authserv_id;
    } cases[] = {
        {"leading space agreed, authserv-id from macro j", milter_client::all_steps,
         "mx.test.example", " ", "mx.test.example"},
        {"no leading space", milter_client::all_steps & ~SMFIP_HDR_LEADSPC, "mx.test.example", "",
         "mx.test.example"},
        {"no macro j", milter_client::all_steps, "", " ", "unknown-mta"},
    };
    auto daemon = start_daemon({"-r", "-h"});
    auto tags = protocol_test::make_tags("user@example.com", daemon->key());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        milter_connection conn = session(*daemon, outside_client(), c.authserv, c.steps);
        auto r = milter_client::send_message(
            conn, {{{"i", "JOB5"}}, {"<>"}, {{"<" + tags.valid + ">"}}, {}, {}, {}});
        ASSERT_TRUE(r.eom);
        EXPECT_EQ(
            format_changes(*r.eom),
            (std::vector<std::string>{"insheader 1 Authentication-Results:" + c.lead +
                                          c.authserv_id + "; x-batv=pass smtp.rcpt=" + tags.valid,
                                      "delrcpt <" + tags.valid + ">", "addrcpt " + tags.plain,
                                      "insheader 1 X-BATV:" + c.lead + xbatv_prefix + "JOB5"}));
        conn.quit();
    }
    expect_healthy(*daemon);
}

// Postfix defines the queue ID only after the first recipient; the job id
// then comes from the first later stage that has it.
TEST(EndOfMessage, TakesTheJobIdFromTheFirstStageThatDefinesIt) {
    struct case_ {
        const char* name;
        macro_list mail, rcpt, eom;
        std::string jobid;
    } cases[] = {
        {"at MAIL FROM", {{"i", "MAILID"}}, {}, {{"i", "EOMID"}}, "MAILID"},
        {"at RCPT TO", {}, {{"i", "RCPTID"}}, {{"i", "EOMID"}}, "RCPTID"},
        {"at end of message", {}, {}, {{"i", "EOMID"}}, "EOMID"},
        {"never", {}, {}, {}, "unknown-jobid"},
    };
    auto daemon = start_daemon({"-h"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        milter_connection conn = session(*daemon, internal_client());
        if (!c.mail.empty()) {
            conn.macros(SMFIC_MAIL, c.mail);
        }
        EXPECT_EQ(conn.mail({"<user@example.com>"}).code, SMFIR_CONTINUE);
        if (!c.rcpt.empty()) {
            conn.macros(SMFIC_RCPT, c.rcpt);
        }
        EXPECT_EQ(conn.rcpt({"<someone@example.net>"}).code, SMFIR_CONTINUE);
        if (!c.eom.empty()) {
            conn.macros(SMFIC_BODYEOB, c.eom);
        }
        eom_result r = conn.eom();
        ASSERT_EQ(r.changes.size(), 2u) << milter_client::describe(r);
        EXPECT_EQ(protocol_test::format_change(r.changes[1]),
                  "insheader 1 X-BATV: " + xbatv_prefix + c.jobid);
        conn.quit();
    }
    expect_healthy(*daemon);
}

// A recipient cut at 512 characters is never replaced: deleting it would
// miss the recipient the MTA has, and adding its cut plain address would
// deliver to a wrong one. Angle brackets make no difference: they go before
// the cut.
TEST(EndOfMessage, NeverReplacesARecipientThatWasCut) {
    auto daemon = start_daemon({"-r"});
    // The '@' must survive the cut, or the recipient has no domain and is
    // not verified at all.
    const std::string plain = "user@" + std::string(600, 'd') + ".example.com";
    auto tags = protocol_test::make_tags(plain, daemon->key());
    const std::string cut = tags.valid.substr(0, 512);
    for (const std::string& given : {tags.valid, "<" + tags.valid + ">"}) {
        SCOPED_TRACE(given.substr(0, 20));
        milter_connection conn = session(*daemon, outside_client());
        auto r = milter_client::send_message(conn, {{}, {"<>"}, {{given}}, {}, {}, {}});
        ASSERT_EQ(r.rcpts.size(), 1u);
        EXPECT_EQ(r.rcpts[0].code, SMFIR_CONTINUE);
        ASSERT_TRUE(r.eom);
        EXPECT_EQ(format_changes(*r.eom),
                  (std::vector<std::string>{
                      "insheader 1 Authentication-Results: mx.test.example; x-batv=fail "
                      "(verification failed) smtp.rcpt=" +
                      cut}));
        conn.quit();
    }
    expect_healthy(*daemon);
}

// Each MAIL FROM starts a new message: the recipients of an earlier one,
// finished or aborted, are forgotten.
TEST(EndOfMessage, ActsOnTheCurrentTransactionOnly) {
    auto daemon = start_daemon();
    auto a = protocol_test::make_tags("a@example.com", daemon->key());
    auto b = protocol_test::make_tags("b@example.com", daemon->key());
    milter_connection conn = session(*daemon, outside_client());
    auto first =
        milter_client::send_message(conn, {{}, {"<>"}, {{"<" + a.valid + ">"}}, {}, {}, {}});
    ASSERT_TRUE(first.eom);
    EXPECT_EQ(format_changes(*first.eom),
              (std::vector<std::string>{"delrcpt <" + a.valid + ">", "addrcpt " + a.plain}));

    EXPECT_EQ(conn.mail({"<>"}).code, SMFIR_CONTINUE);
    EXPECT_EQ(conn.rcpt({"<" + a.valid + ">"}).code, SMFIR_CONTINUE);
    conn.abort();

    auto third =
        milter_client::send_message(conn, {{}, {"<>"}, {{"<" + b.valid + ">"}}, {}, {}, {}});
    ASSERT_TRUE(third.eom);
    EXPECT_EQ(format_changes(*third.eom),
              (std::vector<std::string>{"delrcpt <" + b.valid + ">", "addrcpt " + b.plain}));
    conn.quit();
    expect_healthy(*daemon);
}

// ---- connection reuse

// After SMFIC_QUIT_NC libmilter closes the session and serves the next one
// on the same milter connection, starting with connect and without a new
// negotiation. Each later session is filtered like a fresh one, with the
// header form the negotiation agreed on.
TEST(ConnectionReuse, EverySessionIsFilteredLikeAFreshOne) {
    struct case_ {
        const char* name;
        std::uint32_t steps;
        std::string lead;      // before every header value
        bool ends_after_quit;  // else the MTA drops the connection after QUIT_NC
    } cases[] = {
        {"leading space agreed", milter_client::all_steps, " ", true},
        {"no leading space, dropped after the last QUIT_NC",
         milter_client::all_steps & ~SMFIP_HDR_LEADSPC, "", false},
    };
    auto daemon = start_daemon({"-r", "-h"});
    auto tags = protocol_test::make_tags("user@example.com", daemon->key());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        milter_connection conn(daemon->socket_path());
        conn.negotiate(milter_client::all_actions, c.steps);
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE(round);
            if (round > 1) {
                conn.quit_nc();
            }
            // A bounce from outside.
            conn.macros(SMFIC_CONNECT, {{"j", "mx.test.example"}});
            ASSERT_EQ(conn.connect(outside_client()).code, SMFIR_CONTINUE);
            auto in = milter_client::send_message(
                conn, {{{"i", "JOBIN"}}, {"<>"}, {{"<" + tags.valid + ">"}}, {}, {}, {}});
            ASSERT_TRUE(in.eom);
            EXPECT_EQ(format_changes(*in.eom),
                      (std::vector<std::string>{
                          "insheader 1 Authentication-Results:" + c.lead +
                              "mx.test.example; x-batv=pass smtp.rcpt=" + tags.valid,
                          "delrcpt <" + tags.valid + ">", "addrcpt " + tags.plain,
                          "insheader 1 X-BATV:" + c.lead + xbatv_prefix + "JOBIN"}));
            conn.quit_nc();

            // Mail from an internal client on the same milter connection.
            conn.macros(SMFIC_CONNECT, {{"j", "mx.test.example"}});
            ASSERT_EQ(conn.connect(internal_client()).code, SMFIR_CONTINUE);
            std::time_t before = std::time(nullptr);
            auto out = milter_client::send_message(conn, {{{"i", "JOBOUT"}},
                                                          {"<sender@example.com>", "SIZE=10"},
                                                          {{"<someone@example.net>"}},
                                                          {},
                                                          {},
                                                          {}});
            std::time_t after = std::time(nullptr);
            ASSERT_TRUE(out.eom);
            ASSERT_EQ(out.eom->changes.size(), 2u) << milter_client::describe(*out.eom);
            expect_signed(out.eom->changes[0], "sender@example.com", "SIZE=10", 0, 7,
                          form::standard, daemon->key(), before, after);
            EXPECT_EQ(protocol_test::format_change(out.eom->changes[1]),
                      "insheader 1 X-BATV:" + c.lead + xbatv_prefix + "JOBOUT");
        }
        if (c.ends_after_quit) {
            conn.quit();
        } else {
            conn.quit_nc();
            conn.drop();
        }
        expect_healthy(*daemon);
    }

    // Ending cleanly lets LeakSanitizer see a record that a close left
    // behind.
    std::optional<int> status = daemon->terminate(std::chrono::seconds(60));
    ASSERT_TRUE(status) << "the daemon did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_EQ(daemon->sanitizer_reports(), "") << "written while the daemon ended";
}

}  // namespace
