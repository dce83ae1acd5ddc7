// Mail through a real Sendmail with the filter attached, configured with the
// milter lines of the README: signing in both tag forms, bounces delivered
// exactly once to the plain user, refusal of forged and expired tags, and
// header mode. Each test starts its own filter and its own Sendmail
// (scripts/sendmail-instance.sh) on loopback and stops both.
//
// Sendmail has no XCLIENT: a client is internal or outside by the address
// it connects from, 127.0.0.1 (internal by the built-in localhost entry)
// or 127.0.0.2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/sendmail.h"

namespace {

using e2e::transaction;
using e2e::transaction_result;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

constexpr char secret[] = "e2e-sendmail-secret-0815";
constexpr char outside[] = "127.0.0.2";
constexpr char ok_rcpt_prefix[] = "250 2.1.5 ";
// The authserv-id is the MTA's macro j, the instance's host name.
constexpr char authserv_id[] = "mx.batv.test";

enum class form { standard, sendmail };

std::string tag(form f, std::time_t now, const std::string& address, int days_ahead = 7) {
    const unsigned day = (e2e::cycle_day(now) + static_cast<unsigned>(days_ahead)) % 1000;
    return f == form::standard ? e2e::tagged_address(0, day, address, secret)
                               : e2e::sendmail_tagged_address(0, day, address, secret);
}

// A sendmail-form tag of today's lifetime whose hash is wrong.
std::string forged(const std::string& address) {
    std::string good = tag(form::sendmail, std::time(nullptr), address);
    const std::size_t hash = good.find("+prvs=") + 10;
    return good.replace(hash, 6, good.substr(hash, 6) == "000000" ? "000001" : "000000");
}

// A sendmail-form tag with a good hash whose expiry day was yesterday.
std::string expired(const std::string& address) {
    return tag(form::sendmail, std::time(nullptr), address, 999);
}

std::string host_name() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

class SendmailE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto reason = e2e::sendmail_unavailable()) {
            GTEST_SKIP() << "no private Sendmail here: " << *reason;
        }
        // Sendmail refuses sockets and queues below /tmp.
        tmp.emplace("/run");
        e2e::write_file(tmp->path() / "key", std::string(secret) + "\n");
        std::filesystem::permissions(tmp->path() / "key", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
    }

    void TearDown() override {
        if (filter) {
            EXPECT_TRUE(filter->running()) << "the filter ended while serving";
        }
        if (HasFailure() && tmp) {
            std::cerr << "--- Sendmail's log:\n"
                      << mta.log() << "--- filter output:\n"
                      << e2e::read_file(tmp->path() / "vellicor.log") << "---\n";
        }
    }

    // Starts the filter in the foreground with the given options, then
    // Sendmail pointed at its socket. The socket and its directory belong
    // to a user other than root, with the modes that the systemd unit gives
    // /run/vellicor (0750) and the socket (0770): Sendmail, running as
    // root, must accept them as safe.
    void start(const std::vector<std::string>& options) {
        const auto run = tmp->path() / "run";
        std::filesystem::create_directories(run);
        const auto socket = run / "vellicor.sock";
        const auto pid_file = tmp->path() / "vellicor.pid";
        std::vector<std::string> argv = {VELLICOR_BINARY, "-f", "-l",
                                         "-p", "local:" + socket.string(),
                                         "-k", (tmp->path() / "key").string(),
                                         "-P", pid_file.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        filter.emplace();
        auto failure = filter->start(argv, tmp->path() / "vellicor.log", pid_file, socket);
        ASSERT_FALSE(failure) << *failure;
        const passwd* owner = getpwnam("daemon");
        ASSERT_NE(owner, nullptr) << "no user daemon";
        ASSERT_EQ(chown(run.c_str(), owner->pw_uid, owner->pw_gid), 0);
        ASSERT_EQ(chmod(run.c_str(), 0750), 0);
        ASSERT_EQ(chown(socket.c_str(), owner->pw_uid, owner->pw_gid), 0);
        ASSERT_EQ(chmod(socket.c_str(), 0770), 0);
        // The port is free when chosen; should something take it before
        // Sendmail binds it, another one is tried.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const int port = e2e::free_port();
            ASSERT_GT(port, 0);
            // A fresh instance directory each time: queue and mailboxes
            // start empty.
            failure = mta.start(tmp->path() / ("sendmail." + std::to_string(++instances)), port,
                                socket);
            if (!failure) {
                break;
            }
        }
        ASSERT_FALSE(failure) << *failure;
    }

    transaction_result send(const std::string& source, const transaction& mail) {
        transaction_result result = e2e::send_mail_from(mta.port(), source, mail);
        EXPECT_EQ(result.failure, "");
        return result;
    }

    // Sends a message that must be accepted whole; hands back its queue ID.
    void send_accepted(const std::string& source, const transaction& mail, std::string& queue_id) {
        const transaction_result result = send(source, mail);
        ASSERT_EQ(result.mail.code, 250) << result.mail.line;
        for (const auto& reply : result.rcpt) {
            ASSERT_THAT(reply.line, ::testing::StartsWith(ok_rcpt_prefix));
        }
        ASSERT_TRUE(result.data);
        ASSERT_THAT(result.data->line, MatchesRegex("250 2\\.0\\.0 .* Message accepted for delivery"));
        ASSERT_FALSE(result.queue_id.empty());
        queue_id = result.queue_id;
    }

    // Sends a bounce from outside that must be accepted, waits until
    // Sendmail is done with it and hands back what was delivered, by user.
    void bounce_delivered(const std::string& recipient, std::string& queue_id,
                          std::map<std::string, std::vector<std::string>>& boxes) {
        ASSERT_NO_FATAL_FAILURE(send_accepted(outside, {"", "", {recipient}}, queue_id));
        auto failure = e2e::wait_until_done(mta, queue_id);
        ASSERT_FALSE(failure) << *failure;
        boxes = e2e::delivered(mta);
    }

    // Made once the test is known to run. Declared first: the filter and
    // Sendmail, which use it, stop before it is removed.
    std::optional<e2e::temp_dir> tmp;
    std::optional<e2e::filter_process> filter;
    e2e::sendmail_instance mta;
    int instances = 0;
};

// Signing: the sender in the queue file of mail from 127.0.0.1 is the tag
// recomputed here, in the form the filter was started with. The message to
// another domain stays in the queue and nothing is delivered locally.
TEST_F(SendmailE2e, InternalClientMailLeavesWithTaggedSender) {
    struct case_ {
        const char* name;
        form f;
        std::vector<std::string> options;
    };
    const case_ cases[] = {
        {"standard form", form::standard, {}},
        {"sendmail form", form::sendmail, {"-x"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.options));
        const std::time_t before = std::time(nullptr);
        std::string queue_id;
        ASSERT_NO_FATAL_FAILURE(send_accepted(
            "127.0.0.1", {"alice@batv.test", "", {"friend@example.net"}}, queue_id));
        const std::time_t after = std::time(nullptr);
        e2e::sendmail_envelope envelope;
        auto failure = e2e::read_sendmail_envelope(mta, queue_id, envelope);
        ASSERT_FALSE(failure) << *failure;
        EXPECT_THAT(envelope.sender, AnyOf(Eq(tag(c.f, before, "alice@batv.test")),
                                           Eq(tag(c.f, after, "alice@batv.test"))));
        EXPECT_THAT(envelope.recipients, ElementsAre("friend@example.net"));
        EXPECT_THAT(e2e::delivered(mta), IsEmpty());
    }
}

// A bounce from outside to a valid tag reaches the plain user exactly once:
// the filter deletes the recipient as Sendmail has it, brackets included,
// and adds the plain one. The sendmail form is delivered by Sendmail's own
// +detail handling; the standard form by the LOCAL_RULE_0 map of the README,
// which strips the tag for local delivery.
TEST_F(SendmailE2e, ValidBounceIsDeliveredOnceToThePlainUser) {
    struct case_ {
        const char* name;
        form f;
        std::vector<std::string> options;
        std::string user;
    };
    const case_ cases[] = {
        {"sendmail form", form::sendmail, {"-x"}, "alice"},
        {"standard form", form::standard, {}, "bob"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.options));
        const std::string plain = c.user + "@batv.test";
        const std::string tagged = tag(c.f, std::time(nullptr), plain);
        std::string queue_id;
        std::map<std::string, std::vector<std::string>> boxes;
        ASSERT_NO_FATAL_FAILURE(bounce_delivered(tagged, queue_id, boxes));
        ASSERT_EQ(boxes.size(), 1u) << "delivered to more than one user";
        ASSERT_EQ(boxes.count(c.user), 1u);
        ASSERT_EQ(boxes[c.user].size(), 1u) << "delivered more than once";
        const std::string& message = boxes[c.user][0];
        EXPECT_THAT(e2e::header_values(message, "Return-Path"), ElementsAre("<MAILER-DAEMON>"));
        // Without -r and -h the filter adds no header.
        EXPECT_THAT(e2e::header_values(message, "Authentication-Results"), IsEmpty());
        EXPECT_THAT(e2e::header_values(message, "X-BATV"), IsEmpty());
        EXPECT_THAT(mta.log(), ::testing::HasSubstr(queue_id + ": Milter (vellicor) delete: rcpt <" +
                                                    tagged + ">, naddrs=1"));
    }
}

// Forged and expired tags are refused at RCPT with the filter's reply, and
// nothing is delivered. Sendmail puts the recipient after the enhanced
// status code of a milter's reply.
TEST_F(SendmailE2e, BadTagsAreRefused) {
    ASSERT_NO_FATAL_FAILURE(start({"-x", "-S"}));
    struct case_ {
        const char* name;
        std::string recipient;
        const char* text;
    };
    const case_ cases[] = {
        {"forged", forged("alice@batv.test"), "BATV signature validation failed"},
        {"expired", expired("alice@batv.test"), "BATV signature expired"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const transaction_result result = send(outside, {"", "", {c.recipient}});
        EXPECT_EQ(result.mail.code, 250) << result.mail.line;
        ASSERT_EQ(result.rcpt.size(), 1u);
        EXPECT_EQ(result.rcpt[0].line, "550 5.7.1 <" + c.recipient + ">... " + c.text);
        EXPECT_FALSE(result.data);
    }
    EXPECT_THAT(e2e::delivered(mta), IsEmpty());
}

// Header mode: every message is delivered once, to the plain user, with an
// Authentication-Results header naming the tagged recipient and its result,
// and X-BATV names Sendmail's queue ID.
TEST_F(SendmailE2e, HeaderModeDeliversOnceWithResults) {
    ASSERT_NO_FATAL_FAILURE(start({"-x", "-r", "-h"}));
    struct case_ {
        const char* name;
        std::string recipient;
        const char* word;
    };
    const case_ cases[] = {
        {"valid", tag(form::sendmail, std::time(nullptr), "alice@batv.test"), "pass"},
        {"forged", forged("alice@batv.test"), "fail (verification failed)"},
    };
    std::size_t delivered_before = 0;
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        std::string queue_id;
        std::map<std::string, std::vector<std::string>> boxes;
        ASSERT_NO_FATAL_FAILURE(bounce_delivered(c.recipient, queue_id, boxes));
        ASSERT_EQ(boxes.size(), 1u) << "delivered to more than one user";
        ASSERT_EQ(boxes["alice"].size(), delivered_before + 1) << "not delivered exactly once";
        delivered_before = boxes["alice"].size();
        // The message of this round is the one with its queue ID.
        const std::string* message = nullptr;
        for (const std::string& m : boxes["alice"]) {
            if (m.find(" id " + queue_id + "\n") != std::string::npos) {
                message = &m;
            }
        }
        ASSERT_NE(message, nullptr) << "no delivered message has queue ID " << queue_id;
        EXPECT_THAT(e2e::header_values(*message, "Authentication-Results"),
                    ElementsAre(std::string(authserv_id) + "; x-batv=" + c.word +
                                " smtp.rcpt=" + c.recipient));
        EXPECT_THAT(e2e::header_values(*message, "X-BATV"),
                    ElementsAre(MatchesRegex("Vellicor v[0-9]+\\.[0-9]+\\.[0-9]+ " + host_name() +
                                             " " + queue_id)));
    }
}

// The instance runs the recipe of the README: its milter lines, and the
// rule for the standard form, are the README's word for word but for the
// socket.
TEST_F(SendmailE2e, RunsTheReadmesRecipe) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    const std::string mc = e2e::read_file(mta.dir() / "etc" / "sendmail.mc");
    const std::string readme = e2e::read_file(README_FILE);
    ASSERT_FALSE(readme.empty());
    const std::string socket = (tmp->path() / "run" / "vellicor.sock").string();
    std::vector<std::string> recipe;
    bool after_rule_0 = false;
    std::istringstream lines(mc);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("define(`confMILTER_MACROS_") ||
            line.starts_with("INPUT_MAIL_FILTER(") || line.starts_with("Kvellicor_untag ") ||
            line == "LOCAL_CONFIG" || line == "LOCAL_RULE_0" || after_rule_0) {
            if (const std::size_t at = line.find(socket); at != std::string::npos) {
                line.replace(at, socket.size(), "/run/vellicor/vellicor.sock");
            }
            recipe.push_back(line);
        }
        after_rule_0 = line == "LOCAL_RULE_0";
    }
    ASSERT_EQ(recipe.size(), 7u) << mc;
    for (const std::string& wanted : recipe) {
        EXPECT_NE(readme.find(wanted + "\n"), std::string::npos) << "not in the README: " << wanted;
    }
}

}  // namespace
