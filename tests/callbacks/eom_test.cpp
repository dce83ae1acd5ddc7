// End of message: the sender change, the headers with their result words,
// the recipient replacement, quarantine, test mode and the stop at the first
// failing call.
#include <string>
#include <vector>

#include "callbacks/callbacks.h"
#include "tests/callbacks/fixture.h"

namespace {

std::string chgfrom(const std::string& sender, std::optional<std::string> args) {
    return fake_describe("smfi_chgfrom", {sender, std::move(args)});
}
std::string results(const std::string& value, bool failed = false) {
    return fake_describe("smfi_insheader", {"1", "Authentication-Results", value}, failed);
}
std::string xbatv(const std::string& value, bool failed = false) {
    return fake_describe("smfi_insheader", {"1", "X-BATV", value}, failed);
}
// A replaced recipient is deleted as the MTA gave it, in brackets.
std::string delrcpt(const std::string& address, bool failed = false) {
    return fake_describe("smfi_delrcpt", {"<" + address + ">"}, failed);
}
std::string addrcpt(const std::string& address, bool failed = false) {
    return fake_describe("smfi_addrcpt", {address}, failed);
}
std::string quarantine(bool failed = false) {
    return fake_describe("smfi_quarantine", {"quarantined by Vellicor"}, failed);
}

rcpt_entry entry(std::string orig, int tagged_, int valid, int badversion = 0,
                 std::optional<std::string> replacement = std::nullopt) {
    rcpt_entry e;
    e.rcpt_tagged = tagged_;
    e.rcpt_valid = valid;
    e.rcpt_badversion = badversion;
    e.rcpt_orig = std::move(orig);
    e.rcpt_given = "<" + e.rcpt_orig + ">";
    e.rcpt_new = std::move(replacement);
    return e;
}

class eom_test : public callbacks_test {
  protected:
    void SetUp() override {
        callbacks_test::SetUp();
        settings.AuthservID = "mx.example.org";
        settings.LogWhy = 0;
    }
    // A bounce on a connection from outside, job id Q9, with the given
    // entries added oldest first.
    void message(std::vector<rcpt_entry> entries) {
        open_bounce();
        for (rcpt_entry& e : entries) {
            msg().msg_rcpts.push_front(std::move(e));
        }
    }
};

TEST_F(eom_test, result_words_and_failed_flag) {
    struct case_ {
        const char* name;
        rcpt_entry e;
        const char* word;
        bool failed;
    };
    const case_ cases[] = {
        {"not signed", entry("a@example.org", 0, 0), "fail (not signed)", true},
        {"pass", entry("a@example.org", 1, 1), "pass", false},
        {"verification failed", entry("a@example.org", 1, 0), "fail (verification failed)", true},
        {"version mismatch", entry("a@example.org", 1, 1, 1), "fail (version mismatch)", false},
    };
    settings.AddAuthenticationResults = 1;
    settings.Quarantine = 1;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        message({c.e});
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        std::vector<std::string> expected = {
            results(std::string("mx.example.org; x-batv=") + c.word + " smtp.rcpt=a@example.org")};
        if (c.failed) {
            expected.push_back(quarantine());
        }
        EXPECT_EQ(fake.changes(), expected);
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(eom_test, actions_in_order) {
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    settings.Quarantine = 1;
    message({entry("prvs=1=a@example.org", 1, 1, 0, "a@example.org"), entry("b@example.org", 0, 0),
             entry("prvs=2=c@example.org", 1, 0, 0, "c@example.org")});
    msg().msg_sender = "s@example.com";
    msg().msg_newsender = "prvs=0=s@example.com";
    msg().msg_esmtpargs = "SIZE=1000 BODY=8BITMIME";
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(),
              (std::vector<std::string>{
                  chgfrom("prvs=0=s@example.com", "SIZE=1000 BODY=8BITMIME"),
                  results("mx.example.org; x-batv=fail (verification failed) "
                          "smtp.rcpt=prvs=2=c@example.org"),
                  delrcpt("prvs=2=c@example.org"),
                  addrcpt("c@example.org"),
                  results("mx.example.org; x-batv=fail (not signed) smtp.rcpt=b@example.org"),
                  results("mx.example.org; x-batv=pass smtp.rcpt=prvs=1=a@example.org"),
                  delrcpt("prvs=1=a@example.org"),
                  addrcpt("a@example.org"),
                  xbatv("Vellicor v0.5.0 filter.example.org Q9"),
                  quarantine(),
              }));
    EXPECT_EQ(take_logs(), std::vector<log_line>{});
    // The message context stays until the next MAIL FROM or the close.
    ASSERT_NE(cc()->cc_msg, nullptr);
    EXPECT_EQ(rcpts().size(), 3u);
}

TEST_F(eom_test, normal_mode_replaces_without_headers) {
    message({entry("prvs=1=a@example.org", 1, 1, 0, "a@example.org")});
    msg().msg_newsender = "prvs=0=s@example.com";
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(), (std::vector<std::string>{
                                  chgfrom("prvs=0=s@example.com", std::nullopt),
                                  delrcpt("prvs=1=a@example.org"), addrcpt("a@example.org")}));
}

TEST_F(eom_test, message_without_verified_recipients) {
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    settings.Quarantine = 1;
    message({});
    msg().msg_newsender = "prvs=0=s@example.com";
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(),
              (std::vector<std::string>{chgfrom("prvs=0=s@example.com", std::nullopt),
                                        xbatv("Vellicor v0.5.0 filter.example.org Q9")}));

    settings.XHeader = 0;
    fake.clear_calls();
    msg().msg_newsender.reset();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(), std::vector<std::string>{});
}

TEST_F(eom_test, header_values) {
    struct case_ {
        const char* name;
        int leading_space;
        int with_jobid;
        std::string results_value;
        std::string xbatv_value;
    };
    const case_ cases[] = {
        {"plain", 0, 0, "mx.example.org; x-batv=pass smtp.rcpt=a@example.org",
         "Vellicor v0.5.0 filter.example.org Q9"},
        {"job id", 0, 1, "mx.example.org/Q9; x-batv=pass smtp.rcpt=a@example.org",
         "Vellicor v0.5.0 filter.example.org Q9"},
        {"leading space", 1, 0, " mx.example.org; x-batv=pass smtp.rcpt=a@example.org",
         " Vellicor v0.5.0 filter.example.org Q9"},
        {"leading space and job id", 1, 1,
         " mx.example.org/Q9; x-batv=pass smtp.rcpt=a@example.org",
         " Vellicor v0.5.0 filter.example.org Q9"},
    };
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.AuthservIDWithJobID = c.with_jobid;
        message({entry("a@example.org", 1, 1)});
        cc()->cc_leading_space = c.leading_space;
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        EXPECT_EQ(fake.changes(),
                  (std::vector<std::string>{results(c.results_value), xbatv(c.xbatv_value)}));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(eom_test, leading_space_comes_from_negotiation) {
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    ASSERT_EQ(negotiate(0x1ff, 0x1fffff), SMFIS_CONTINUE);
    client_address address = ipv4("192.0.2.10");
    ASSERT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
    fake.macros["i"] = "Q9";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<" + tagged("a@example.org") + ">"), SMFIS_CONTINUE);
    fake.clear_calls();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(),
              (std::vector<std::string>{
                  results(" mx.example.org; x-batv=pass smtp.rcpt=" + tagged("a@example.org")),
                  delrcpt(tagged("a@example.org")), addrcpt("a@example.org"),
                  xbatv(" Vellicor v0.5.0 filter.example.org Q9")}));
}

TEST_F(eom_test, header_values_are_cut) {
    settings.AddAuthenticationResults = 1;
    settings.AuthservIDWithJobID = 1;
    settings.XHeader = 1;
    const std::string jobid(5000, 'J');
    message({entry("a@example.org", 1, 1)});
    msg().msg_jobid = jobid;
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    const std::string results_value = ("mx.example.org/" + jobid).substr(0, 4096);
    const std::string xbatv_value = ("Vellicor v0.5.0 filter.example.org " + jobid).substr(0, 4095);
    EXPECT_EQ(fake.changes(),
              (std::vector<std::string>{results(results_value), xbatv(xbatv_value)}));
}

// A CR or LF in a value would end the header and start another; every
// control byte is written escaped. The recipient itself is verified and
// replaced as the client gave it.
TEST_F(eom_test, control_bytes_are_escaped_in_header_values) {
    struct case_ {
        const char* name;
        std::string authserv;  // macro "j"
        std::string jobid;     // macro "i"
        std::string plain;     // the recipient's plain address
        std::string results;   // the Authentication-Results value up to "smtp.rcpt="
        std::string rcpt;      // after "smtp.rcpt=", past the tag
        std::string xbatv;     // the X-BATV value after the host name
    };
    const case_ cases[] = {
        {"CR and LF in the recipient", "mx.example.org", "Q1", "user\r\nX-Evil: 1@example.org",
         "mx.example.org/Q1; x-batv=pass ", "user\\r\\nX-Evil: 1@example.org", "Q1"},
        {"escape sequence in the authserv-id", "mx\x1b[2J.example.org", "Q1", "user@example.org",
         "mx\\x1b[2J.example.org/Q1; x-batv=pass ", "user@example.org", "Q1"},
        {"LF in the job id", "mx.example.org", "Q1\nX-Evil: 1", "user@example.org",
         "mx.example.org/Q1\\nX-Evil: 1; x-batv=pass ", "user@example.org", "Q1\\nX-Evil: 1"},
        {"tab, DEL and SOH", "mx.example.org", "Q\x01", "a\tb\x7f@example.org",
         "mx.example.org/Q\\x01; x-batv=pass ", "a\\tb\\x7f@example.org", "Q\\x01"},
    };
    settings.AuthservID.reset();
    settings.AuthservIDWithJobID = 1;
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        fake.macros["j"] = c.authserv;
        open_outside();
        fake.macros["i"] = c.jobid;
        ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
        const std::string address = tagged(c.plain);
        ASSERT_EQ(envrcpt("<" + address + ">"), SMFIS_CONTINUE);
        ASSERT_EQ(rcpts().at(0).rcpt_valid, 1);
        fake.clear_calls();
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        EXPECT_EQ(fake.changes(),
                  (std::vector<std::string>{
                      results(c.results + "smtp.rcpt=" + address.substr(0, 16) + c.rcpt),
                      delrcpt(address), addrcpt(c.plain),
                      xbatv("Vellicor v0.5.0 filter.example.org " + c.xbatv)}));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// The limits hold for the escaped values, which may be much longer than the
// values built.
TEST_F(eom_test, escaped_header_values_are_cut) {
    struct case_ {
        const char* name;
        std::string jobid;
        std::string escaped;
    };
    const case_ cases[] = {
        // 1500 bytes become 6000 characters.
        {"short value, long escaped", std::string(1500, '\x01'),
         [] {
             std::string out;
             for (int i = 0; i < 1500; ++i) {
                 out += "\\x01";
             }
             return out;
         }()},
        {"long value", std::string(5000, '\n'),
         [] {
             std::string out;
             for (int i = 0; i < 5000; ++i) {
                 out += "\\n";
             }
             return out;
         }()},
    };
    settings.AddAuthenticationResults = 1;
    settings.AuthservIDWithJobID = 1;
    settings.XHeader = 1;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        message({entry("a@example.org", 1, 1)});
        msg().msg_jobid = c.jobid;
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        const std::string results_value = ("mx.example.org/" + c.escaped).substr(0, 4096);
        const std::string xbatv_value =
            ("Vellicor v0.5.0 filter.example.org " + c.escaped).substr(0, 4095);
        EXPECT_EQ(fake.changes(),
                  (std::vector<std::string>{results(results_value), xbatv(xbatv_value)}));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(eom_test, test_mode_logs_the_changes_it_suppresses) {
    settings.TestMode = 1;
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    settings.Quarantine = 1;
    // These lines are written even with logging off.
    settings.Syslog = 0;
    message({entry("prvs=1=a@example.org", 1, 0, 0, "a@example.org")});
    msg().msg_sender = "s@example.com";
    msg().msg_newsender = "prvs=0=s@example.com";
    msg().msg_esmtpargs = "SIZE=1";
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(), (std::vector<std::string>{
                                  results("mx.example.org; x-batv=fail (verification failed) "
                                          "smtp.rcpt=prvs=1=a@example.org"),
                                  xbatv("Vellicor v0.5.0 filter.example.org Q9"), quarantine()}));
    EXPECT_EQ(take_logs(), (std::vector<log_line>{
                               info("Q9 suppressed sender change from `s@example.com' to "
                                    "`prvs=0=s@example.com'"),
                               info("Q9 suppressed recipient change from `prvs=1=a@example.org' to "
                                    "`a@example.org'")}));
}

TEST_F(eom_test, first_failing_call_ends_the_callback) {
    struct case_ {
        const char* name;
        const char* call;
        int nth;
        std::vector<std::string> changes;
        log_line line;
    };
    const std::string sender_change = chgfrom("prvs=0=s@example.com", "SIZE=1");
    const std::string newest_header =
        results("mx.example.org; x-batv=pass smtp.rcpt=prvs=2=b@example.org");
    const std::string oldest_header = results(
        "mx.example.org; x-batv=fail (verification failed) "
        "smtp.rcpt=prvs=1=a@example.org");
    const std::string header = xbatv("Vellicor v0.5.0 filter.example.org Q9");
    const case_ cases[] = {
        {"sender change",
         "smfi_chgfrom",
         1,
         {chgfrom("prvs=0=s@example.com", "SIZE=1") + " failed"},
         err("Q9 sender change to `prvs=0=s@example.com' failed")},
        {"first recipient header",
         "smfi_insheader",
         1,
         {sender_change,
          results("mx.example.org; x-batv=pass smtp.rcpt=prvs=2=b@example.org", true)},
         err("Q9 \"Authentication-Results\" header add failed")},
        {"second recipient header",
         "smfi_insheader",
         2,
         {sender_change, newest_header, delrcpt("prvs=2=b@example.org"), addrcpt("b@example.org"),
          results("mx.example.org; x-batv=fail (verification failed) "
                  "smtp.rcpt=prvs=1=a@example.org",
                  true)},
         err("Q9 \"Authentication-Results\" header add failed")},
        {"recipient delete",
         "smfi_delrcpt",
         1,
         {sender_change, newest_header, delrcpt("prvs=2=b@example.org", true)},
         err("Q9 recipient delete of `prvs=2=b@example.org' failed")},
        {"recipient add",
         "smfi_addrcpt",
         2,
         {sender_change, newest_header, delrcpt("prvs=2=b@example.org"), addrcpt("b@example.org"),
          oldest_header, delrcpt("prvs=1=a@example.org"), addrcpt("a@example.org", true)},
         err("Q9 recipient add of `a@example.org' failed")},
        {"X-BATV header",
         "smfi_insheader",
         3,
         {sender_change, newest_header, delrcpt("prvs=2=b@example.org"), addrcpt("b@example.org"),
          oldest_header, delrcpt("prvs=1=a@example.org"), addrcpt("a@example.org"),
          xbatv("Vellicor v0.5.0 filter.example.org Q9", true)},
         err("Q9 \"X-BATV\" header add failed")},
        {"quarantine",
         "smfi_quarantine",
         1,
         {sender_change, newest_header, delrcpt("prvs=2=b@example.org"), addrcpt("b@example.org"),
          oldest_header, delrcpt("prvs=1=a@example.org"), addrcpt("a@example.org"), header,
          quarantine(true)},
         err("Q9 smfi_quarantine")},
    };
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    settings.Quarantine = 1;
    for (int syslog : {1, 0}) {
        for (const case_& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (syslog ? "" : ", Syslog off"));
            settings.Syslog = syslog;
            fake = fake_milter_ctx{};
            fake.fail(c.call, c.nth);
            message({entry("prvs=1=a@example.org", 1, 0, 0, "a@example.org"),
                     entry("prvs=2=b@example.org", 1, 1, 0, "b@example.org")});
            msg().msg_newsender = "prvs=0=s@example.com";
            msg().msg_esmtpargs = "SIZE=1";
            EXPECT_EQ(eom(), SMFIS_TEMPFAIL);
            EXPECT_EQ(fake.changes(), c.changes);
            EXPECT_EQ(take_logs(),
                      syslog ? std::vector<log_line>{c.line} : std::vector<log_line>{});
            EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        }
    }
}

TEST_F(eom_test, takes_a_late_job_id) {
    settings.XHeader = 1;
    settings.AddAuthenticationResults = 1;
    settings.AuthservIDWithJobID = 1;
    open_outside();
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<a@example.org>"), SMFIS_CONTINUE);
    EXPECT_EQ(
        take_logs(),
        std::vector<log_line>{err("unknown-jobid: BATV signature not present in `a@example.org'")});
    fake.macros["i"] = "Q42";
    fake.clear_calls();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(),
              (std::vector<std::string>{
                  results("mx.example.org/Q42; x-batv=fail (not signed) smtp.rcpt=a@example.org"),
                  xbatv("Vellicor v0.5.0 filter.example.org Q42")}));
}

TEST_F(eom_test, without_job_id_the_header_says_unknown) {
    settings.XHeader = 1;
    open_outside();
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    fake.clear_calls();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(),
              std::vector<std::string>{xbatv("Vellicor v0.5.0 filter.example.org unknown-jobid")});
}

// A job id the MTA defines empty is no job id: every line and header says
// "unknown-jobid" until a later stage defines a real one.
TEST_F(eom_test, empty_job_id_counts_as_unknown) {
    struct case_ {
        const char* name;
        std::optional<std::string> at_mail, at_rcpt, at_eom;
        std::string rcpt_jobid;  // in the RCPT TO log line
        std::string jobid;       // in the headers
    };
    const case_ cases[] = {
        {"never defined", std::nullopt, std::nullopt, std::nullopt, "unknown-jobid",
         "unknown-jobid"},
        {"empty throughout", "", "", "", "unknown-jobid", "unknown-jobid"},
        {"empty at MAIL FROM, given at RCPT TO", "", "Q7", "", "Q7", "Q7"},
        {"empty until the end of the message", "", "", "Q8", "unknown-jobid", "Q8"},
    };
    settings.XHeader = 1;
    settings.AddAuthenticationResults = 1;
    settings.AuthservIDWithJobID = 1;
    const auto define = [&](const std::optional<std::string>& jobid) {
        if (jobid) {
            fake.macros["i"] = *jobid;
        } else {
            fake.macros.erase("i");
        }
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        open_outside();
        define(c.at_mail);
        ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
        EXPECT_EQ(msg().msg_jobid, "unknown-jobid");
        define(c.at_rcpt);
        ASSERT_EQ(envrcpt("<a@example.org>"), SMFIS_CONTINUE);
        define(c.at_eom);
        fake.clear_calls();
        EXPECT_EQ(eom(), SMFIS_CONTINUE);
        EXPECT_EQ(fake.changes(), (std::vector<std::string>{
                                      results("mx.example.org/" + c.jobid +
                                              "; x-batv=fail (not signed) smtp.rcpt=a@example.org"),
                                      xbatv("Vellicor v0.5.0 filter.example.org " + c.jobid)}));
        EXPECT_EQ(take_logs(),
                  std::vector<log_line>{
                      err(c.rcpt_jobid + ": BATV signature not present in `a@example.org'")});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// Whole transactions through every callback, as an MTA drives them.
using transaction_test = callbacks_test;

TEST_F(transaction_test, outgoing_message_leaves_with_a_tagged_sender) {
    settings.XHeader = 1;
    open_internal();
    fake.macros["i"] = "Q1";
    ASSERT_EQ(envfrom({"<user@example.com>", "SIZE=1000", "BODY=8BITMIME"}), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<" + tagged("friend@example.net") + ">"), SMFIS_CONTINUE);
    ASSERT_EQ(envrcpt("<friend@example.net>"), SMFIS_CONTINUE);
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(fake.changes(), (std::vector<std::string>{
                                  chgfrom(tagged("user@example.com"), "SIZE=1000 BODY=8BITMIME"),
                                  xbatv("Vellicor v0.5.0 filter.example.org Q1")}));
    EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    EXPECT_EQ(cc(), nullptr);
}

TEST_F(transaction_test, bounce_reaches_the_plain_address) {
    settings.SetReplies = 1;
    open_outside();
    fake.macros["i"] = "Q2";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    const std::string address = tagged("user@example.com");
    EXPECT_EQ(envrcpt("<" + address + ">"), SMFIS_CONTINUE);
    EXPECT_EQ(envrcpt("<" + forged(address) + ">"), SMFIS_REJECT);
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(
        fake.changes(),
        (std::vector<std::string>{
            fake_describe("smfi_setreply", {"550", "5.7.1", "BATV signature validation failed"}),
            delrcpt(address), addrcpt("user@example.com")}));
}

}  // namespace
