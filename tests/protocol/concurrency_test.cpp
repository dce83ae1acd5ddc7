// Many MTA connections at once through the real daemon: signing and
// verifying mixed, transactions aborted, connections dropped in the middle
// of a transaction. Every answer is checked against what that connection's
// own message must get (its own job id, its own addresses), so state that
// leaked from one connection into another shows, and the daemon must keep
// serving, stay alive and end cleanly afterwards. Run under ThreadSanitizer
// and AddressSanitizer, whose reports the daemon writes into its directory.
#include <libmilter/mfdef.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/fixture.h"

namespace {

using milter_client::message;
using milter_client::milter_connection;
using protocol_test::format_changes;

constexpr int thread_count = 48;
constexpr int rounds_per_thread = 12;

const std::string xbatv = "insheader 1 X-BATV: Vellicor v0.5.0 " + protocol_test::host_name() + " ";
const std::string quarantined = "quarantine quarantined by Vellicor";

class failures {
  public:
    void add(const std::string& what) {
        std::lock_guard lock(mutex_);
        list_.push_back(what);
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return list_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> list_;
};

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) {
        s += "  " + x + "\n";
    }
    return s;
}

struct traffic {
    const filter_process::running_filter& daemon;
    failures& errors;

    void expect(bool ok, const std::string& what) {
        if (!ok) {
            errors.add(what);
        }
    }
    void expect_changes(const std::string& where, const milter_client::message_result& r,
                        const std::vector<std::string>& want) {
        if (!r.eom) {
            errors.add(where + ": no end of message");
            return;
        }
        expect(r.eom->final.code == SMFIR_CONTINUE,
               where + ": end of message answered " + milter_client::describe(r.eom->final));
        std::vector<std::string> got = format_changes(*r.eom);
        expect(got == want, where + ": changes\n" + joined(got) + "expected\n" + joined(want));
    }

    // An internal client's message: signed, with its own X-BATV header.
    void sign(milter_connection& conn, const std::string& id) {
        const std::string sender = id + "@example.com";
        message msg;
        msg.mail_macros = {{"i", id}};
        msg.mail_args = {"<" + sender + ">", "SIZE=" + std::to_string(id.size())};
        msg.rcpts = {{"<someone@example.net>"}};
        std::time_t before = std::time(nullptr);
        auto r = milter_client::send_message(conn, msg);
        std::time_t after = std::time(nullptr);
        std::vector<std::string> want_a = {
            "chgfrom " +
                protocol_test::make_tags(sender, daemon.key(), protocol_test::form::standard,
                                         before)
                    .valid +
                " SIZE=" + std::to_string(id.size()),
            xbatv + id};
        std::vector<std::string> want_b = want_a;
        want_b[0] =
            "chgfrom " +
            protocol_test::make_tags(sender, daemon.key(), protocol_test::form::standard, after)
                .valid +
            " SIZE=" + std::to_string(id.size());
        if (r.eom && format_changes(*r.eom) == want_b) {
            want_a = want_b;
        }
        expect_changes(id + " signing", r, want_a);
    }

    // A bounce from outside: the valid tag is replaced by the plain address;
    // with a bad tag in front, that recipient is refused with its reply and
    // the message is quarantined.
    void verify(milter_connection& conn, const std::string& id, int variant) {
        auto good = protocol_test::make_tags(id + "@example.com", daemon.key());
        auto bad = protocol_test::make_tags(id + "-bad@example.com", daemon.key());
        message msg;
        msg.mail_macros = {{"i", id}};
        msg.mail_args = {"<>"};
        std::string refused_rcpt;
        char refused_code = 0;
        std::string refused_text;
        switch (variant) {
            case 1:
                refused_rcpt = bad.forged;
                refused_code = SMFIR_REPLYCODE;
                refused_text = "550 5.7.1 BATV signature validation failed";
                break;
            case 2:
                refused_rcpt = bad.expired;
                refused_code = SMFIR_REPLYCODE;
                refused_text = "550 5.7.1 BATV signature expired";
                break;
            case 3:
                refused_rcpt = bad.syntax;
                refused_code = SMFIR_TEMPFAIL;
                break;
            default:
                break;
        }
        if (!refused_rcpt.empty()) {
            msg.rcpts.push_back({"<" + refused_rcpt + ">"});
        }
        msg.rcpts.push_back({"<" + good.valid + ">"});
        auto r = milter_client::send_message(conn, msg);
        std::size_t at = 0;
        if (!refused_rcpt.empty()) {
            expect(r.rcpts.size() == 2 && r.rcpts[0].code == refused_code &&
                       r.rcpts[0].text == refused_text,
                   id + ": bad tag answered " +
                       (r.rcpts.empty() ? "nothing" : milter_client::describe(r.rcpts[0])));
            at = 1;
        }
        expect(r.rcpts.size() > at && r.rcpts[at].code == SMFIR_CONTINUE,
               id + ": valid tag not accepted");
        std::vector<std::string> want = {"delrcpt <" + good.valid + ">", "addrcpt " + good.plain,
                                         xbatv + id};
        if (!refused_rcpt.empty()) {
            want.push_back(quarantined);
        }
        expect_changes(id + " verifying", r, want);
    }

    // A transaction that ends before its end of message: aborted (the
    // connection goes on) or dropped (the connection is closed at once).
    // Returns false when the connection is gone.
    bool interrupt(milter_connection& conn, const std::string& id, int how) {
        auto tags = protocol_test::make_tags(id + "@example.com", daemon.key());
        conn.macros(SMFIC_MAIL, {{"i", id}});
        expect(conn.mail({"<>"}).code == SMFIR_CONTINUE, id + ": MAIL FROM refused");
        if (how == 0) {
            conn.drop();
            return false;
        }
        expect(conn.rcpt({"<" + tags.valid + ">"}).code == SMFIR_CONTINUE,
               id + ": RCPT TO refused");
        if (how == 1) {
            conn.drop();
            return false;
        }
        conn.abort();
        return true;
    }

    void run_thread(int thread) {
        for (int round = 0; round < rounds_per_thread; ++round) {
            const int pick = (thread * 7 + round * 3) % 10;
            const bool internal = pick < 3;
            const std::string base = "t" + std::to_string(thread) + "r" + std::to_string(round);
            try {
                milter_connection conn =
                    protocol_test::session(daemon, internal ? protocol_test::internal_client()
                                                            : protocol_test::outside_client());
                int n = 0;
                auto next_id = [&] { return base + "m" + std::to_string(n++); };
                if (internal) {
                    sign(conn, next_id());
                    if (pick == 1) {
                        sign(conn, next_id());
                    }
                    if (pick == 2) {
                        conn.drop();
                        continue;
                    }
                } else if (pick < 8) {
                    verify(conn, next_id(), pick % 4);
                    if (pick == 4) {
                        if (!interrupt(conn, next_id(), 2)) {
                            continue;
                        }
                        verify(conn, next_id(), 1);
                    }
                } else if (!interrupt(conn, next_id(), pick - 8)) {
                    continue;
                }
                conn.quit();
            } catch (const std::exception& e) {
                errors.add(base + ": " + e.what());
            }
        }
    }
};

TEST(Concurrency, ManyConnectionsAtOnce) {
    auto daemon = protocol_test::start_daemon({"-l", "-h", "-q", "-S"});
    failures errors;
    traffic t{*daemon, errors};
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < thread_count; ++i) {
            threads.emplace_back([&t, i] { t.run_thread(i); });
        }
    }
    EXPECT_EQ(joined(errors.take()), "");

    // Still serving: one clean session of each kind.
    ASSERT_TRUE(daemon->alive());
    {
        milter_connection out = protocol_test::session(*daemon, protocol_test::internal_client());
        t.sign(out, "after-sign");
        out.quit();
        milter_connection in = protocol_test::session(*daemon, protocol_test::outside_client());
        t.verify(in, "after-verify", 1);
        in.quit();
    }
    EXPECT_EQ(joined(errors.take()), "");
    protocol_test::expect_healthy(*daemon);

    // And it ends cleanly, which lets LeakSanitizer look for memory that a
    // dropped or aborted connection left behind.
    std::optional<int> status = daemon->terminate(std::chrono::seconds(60));
    ASSERT_TRUE(status) << "the daemon did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_EQ(daemon->sanitizer_reports(), "") << "written while the daemon ended";
}

}  // namespace
