// Exhausted memory inside a callback: each allocation that can fail answers
// with its own line and a temporary failure, and nothing escapes to
// libmilter.
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "callbacks/callbacks.h"
#include "tests/callbacks/alloc_failure.h"
#include "tests/callbacks/fixture.h"

namespace {

const std::string nomem = std::strerror(ENOMEM);
const log_line malloc_line = err("malloc(): " + nomem);
const log_line strdup_line = err("strdup(): " + nomem);

// Job ids and addresses long enough that their copies allocate.
const std::string long_jobid = "Q0123456789ABCDEFGHIJ";
const std::string long_sender = "somebody.with.a.long.name@example.com";
const std::string long_recipient = "another.long.local.part@example.org";

const log_line job_strdup_line = err(long_jobid + ": strdup(): " + nomem);

using memory_test = callbacks_test;

// Runs call with the nth allocation made to fail; false when the call made
// fewer than n allocations.
template <typename Call>
bool fail_nth(int n, Call&& call, sfsistat& verdict) {
    alloc_failure_arm(n);
    verdict = call();
    return alloc_failure_disarm();
}

TEST_F(memory_test, negotiation_goes_on_without_a_record) {
    unsigned long pf0 = 0, pf1 = 0, pf2 = 0, pf3 = 0;
    sfsistat verdict = 0;
    ASSERT_TRUE(fail_nth(
        1, [&] { return mlfi_negotiate(ctx(), 0x1ff, 0x1fffff, 0, 0, &pf0, &pf1, &pf2, &pf3); },
        verdict));
    EXPECT_EQ(verdict, SMFIS_CONTINUE);
    EXPECT_EQ(pf0, 0x4du);
    EXPECT_EQ(pf1, 0x372u);
    EXPECT_EQ(cc(), nullptr);
    EXPECT_EQ(take_logs(), std::vector<log_line>{});
    // Connect makes the record, without the leading blank nobody asked for.
    client_address address = ipv4("192.0.2.10");
    EXPECT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
    ASSERT_NE(cc(), nullptr);
    EXPECT_EQ(cc()->cc_leading_space, 0);
}

// A session that libmilter starts on a connection after an earlier one
// closed gets its record at connect; without the memory for it the session
// is temp-failed and the connection keeps what the negotiation agreed.
TEST_F(memory_test, later_session_connect) {
    struct case_ {
        const char* name;
        unsigned long f1;
        int leading_space;
    };
    const case_ cases[] = {{"leading space agreed", 0x1fffff, 1}, {"no leading space", 0, 0}};
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(negotiate(0x1ff, c.f1), SMFIS_CONTINUE);
        client_address address = ipv4("192.0.2.10");
        ASSERT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
        ASSERT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        take_logs();
        sfsistat verdict = 0;
        ASSERT_TRUE(fail_nth(
            1, [&] { return connect("mx.outside.example", address.get()); }, verdict));
        EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
        EXPECT_EQ(take_logs(), std::vector<log_line>{malloc_line});
        EXPECT_EQ(fake.priv,
                  c.leading_space ? nullptr : static_cast<void*>(&no_leading_space_marker));
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        EXPECT_EQ(fake.priv, nullptr);
    }
}

TEST_F(memory_test, connect) {
    settings.AuthservID = "a.rather.long.authserv-id.example.org";
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address = ipv4("192.0.2.10");
        sfsistat verdict = 0;
        const bool failed = fail_nth(
            n, [&] { return connect("a.rather.long.host.name.example.net", address.get()); },
            verdict);
        if (!failed) {
            EXPECT_EQ(verdict, SMFIS_CONTINUE);
            EXPECT_GT(n, 1);
            break;
        }
        EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
        EXPECT_EQ(take_logs(), std::vector<log_line>{malloc_line});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(memory_test, mail_from) {
    std::set<std::string> lines_seen;
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        open_internal();
        fake.macros["i"] = long_jobid;
        settings.LogWhy = 0;
        const std::vector<std::string> args = {"<" + long_sender + ">", "SIZE=1000",
                                               "BODY=8BITMIME"};
        sfsistat verdict = 0;
        const bool failed = fail_nth(
            n, [&] { return envfrom(args); }, verdict);
        settings.internal_hosts.clear();
        const std::vector<log_line> logs = take_logs();
        if (!failed) {
            EXPECT_EQ(verdict, SMFIS_CONTINUE);
            EXPECT_TRUE(msg().msg_esmtpargs);
            EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
            break;
        }
        EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
        ASSERT_EQ(logs.size(), 1u);
        lines_seen.insert(logs[0].text);
        // The message context is attached before anything else is copied.
        if (n == 1) {
            EXPECT_EQ(logs[0], malloc_line);
            EXPECT_EQ(cc()->cc_msg, nullptr);
        } else {
            EXPECT_NE(cc()->cc_msg, nullptr);
            EXPECT_NE(logs[0], malloc_line);
        }
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
    EXPECT_EQ(lines_seen,
              (std::set<std::string>{malloc_line.text, strdup_line.text, job_strdup_line.text}));
}

TEST_F(memory_test, recipient) {
    settings.AddAuthenticationResults = 1;
    settings.LogWhy = 0;
    const std::string address = tagged(long_recipient);
    const std::string bracketed = "<" + address + ">";
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        open_outside();
        fake.macros["i"] = long_jobid;
        ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
        sfsistat verdict = 0;
        const bool failed = fail_nth(
            n, [&] { return envrcpt(bracketed); }, verdict);
        const std::vector<log_line> logs = take_logs();
        const std::vector<rcpt_entry> entries = rcpts();
        if (!failed) {
            EXPECT_EQ(verdict, SMFIS_CONTINUE);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].rcpt_new, long_recipient);
            EXPECT_GE(n, 3);
            EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
            break;
        }
        EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
        if (n == 1) {
            // The entry itself.
            EXPECT_EQ(logs, std::vector<log_line>{malloc_line});
            EXPECT_TRUE(entries.empty());
        } else if (n == 2) {
            // The copy of the recipient; the entry is discarded.
            EXPECT_EQ(logs, std::vector<log_line>{strdup_line});
            EXPECT_TRUE(entries.empty());
        } else {
            // The plain address.
            EXPECT_EQ(logs, std::vector<log_line>{job_strdup_line});
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].rcpt_orig, address);
            EXPECT_EQ(entries[0].rcpt_new, std::nullopt);
        }
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// A recipient whose validation ran out of memory was not verified: in
// header mode it must not read "pass" nor escape quarantine.
TEST_F(memory_test, recipient_not_validated_does_not_pass) {
    settings.AddAuthenticationResults = 1;
    settings.Quarantine = 1;
    settings.LogWhy = 0;
    const std::string address = tagged(long_recipient);
    const std::string bracketed = "<" + address + ">";
    open_outside();
    fake.macros["i"] = long_jobid;
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    // The entry, the copy of the recipient, then validation's plain address.
    sfsistat verdict = 0;
    ASSERT_TRUE(fail_nth(
        3, [&] { return envrcpt(bracketed); }, verdict));
    EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
    EXPECT_EQ(take_logs(), std::vector<log_line>{job_strdup_line});
    const std::vector<rcpt_entry> entries = rcpts();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].rcpt_tagged, 1);
    EXPECT_EQ(entries[0].rcpt_valid, 0);
    fake.clear_calls();
    EXPECT_EQ(eom(), SMFIS_CONTINUE);
    EXPECT_EQ(
        fake.changes(),
        (std::vector<std::string>{
            fake_describe("smfi_insheader",
                          {"1", "Authentication-Results",
                           "unknown-mta; x-batv=fail (verification failed) smtp.rcpt=" + address}),
            fake_describe("smfi_quarantine", {"quarantined by Vellicor"})}));
}

TEST_F(memory_test, late_job_id) {
    settings.LogWhy = 0;
    open_outside();
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    fake.macros["i"] = long_jobid;
    sfsistat verdict = 0;
    ASSERT_TRUE(fail_nth(
        1, [&] { return envrcpt("<postmaster>"); }, verdict));
    EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
    EXPECT_EQ(msg().msg_jobid, "unknown-jobid");
    ASSERT_TRUE(fail_nth(
        1, [&] { return eom(); }, verdict));
    EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
    EXPECT_EQ(take_logs(), (std::vector<log_line>{strdup_line, strdup_line}));
    EXPECT_EQ(fake.changes(), std::vector<std::string>{});
}

TEST_F(memory_test, lines_follow_syslog) {
    settings.Syslog = 0;
    open_outside();
    sfsistat verdict = 0;
    const std::vector<std::string> args = {"<>"};
    ASSERT_TRUE(fail_nth(
        1, [&] { return envfrom(args); }, verdict));
    EXPECT_EQ(verdict, SMFIS_TEMPFAIL);
    EXPECT_EQ(take_logs(), std::vector<log_line>{});
}

}  // namespace
