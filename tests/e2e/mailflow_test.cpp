// Mail through a real Postfix with the filter attached: signing of mail
// from internal clients, verification of bounces from outside clients,
// header mode, quarantine and PeerList clients. Each test starts its own
// filter and its own Postfix instance on loopback and stops both.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using e2e::outside_client;
using e2e::queued_message;
using e2e::transaction;
using e2e::transaction_result;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Eq;
using ::testing::StartsWith;

constexpr char secret[] = "e2e-secret-key-4711";
constexpr char ok_rcpt[] = "250 2.1.5 Ok";
constexpr char tempfail_reply[] = "451 4.7.1 Service unavailable - try again later";
// The authserv-id is the MTA's macro "j", that is Postfix's myhostname.
constexpr char authserv_id[] = "mail.example.org";
const outside_client outside{"192.0.2.10", "mx.example.net"};

// The tag the filter gives at time now, with the default lifetime of 7 days.
std::string signed_at(std::time_t now, const std::string& address) {
    return e2e::tagged_address(0, (e2e::cycle_day(now) + 7) % 1000, address, secret);
}

// A tag of the right form whose hash is wrong.
std::string forged(const std::string& address) {
    unsigned day = (e2e::cycle_day(std::time(nullptr)) + 7) % 1000;
    std::string good = e2e::tag_hash(0, day, address, secret);
    std::string tag = e2e::tagged_address(0, day, address, secret);
    return tag.replace(9, 6, good == "000000" ? "000001" : "000000");
}

// A tag with a good hash whose expiry day was yesterday (day 999 of the
// previous cycle on day 0).
std::string expired(const std::string& address) {
    unsigned yesterday = (e2e::cycle_day(std::time(nullptr)) + 999) % 1000;
    return e2e::tagged_address(0, yesterday, address, secret);
}

// The last count lines of a log, for the report of a failed test.
std::string last_lines(const std::string& text, size_t count) {
    size_t start = text.size();
    size_t search_end = text.ends_with('\n') ? text.size() - 1 : text.size();
    while (count > 0 && search_end > 0) {
        size_t newline = text.rfind('\n', search_end - 1);
        if (newline == std::string::npos) {
            return text;
        }
        start = newline + 1;
        search_end = newline;
        --count;
    }
    return count > 0 ? text : text.substr(start);
}

class E2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "a private Postfix instance needs root";
        }
        e2e::write_file(dir.path() / "key", std::string(secret) + "\n");
        std::filesystem::permissions(dir.path() / "key", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
    }

    void TearDown() override {
        if (filter.pid() != -1) {
            EXPECT_TRUE(filter.running()) << "the filter ended while serving";
        }
        if (HasFailure()) {
            std::string maillog = e2e::read_file(dir.path() / "postfix" / "maillog");
            std::cerr << "--- end of the Postfix log:\n"
                      << last_lines(maillog, 40) << "--- filter output:\n"
                      << e2e::read_file(dir.path() / "vellicor.log") << "---\n";
        }
    }

    // Starts the filter in the foreground with syslog on, a PID file and
    // the given options, then Postfix pointed at its socket.
    void start(const std::vector<std::string>& options) {
        auto socket = dir.path() / "milter.sock";
        auto pid_file = dir.path() / "vellicor.pid";
        std::vector<std::string> argv = {VELLICOR_BINARY,
                                         "-f",
                                         "-l",
                                         "-p",
                                         "unix:" + socket.string(),
                                         "-k",
                                         (dir.path() / "key").string(),
                                         "-P",
                                         pid_file.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        auto failure = filter.start(argv, dir.path() / "vellicor.log", pid_file, socket);
        ASSERT_FALSE(failure) << *failure;
        // The port is free when chosen; should something take it before
        // Postfix binds it, another one is tried.
        for (int attempt = 0; attempt < 3; ++attempt) {
            int port = e2e::free_port();
            ASSERT_GT(port, 0);
            failure = postfix.start(dir.path() / "postfix", port, "unix:" + socket.string());
            if (!failure) {
                break;
            }
        }
        ASSERT_FALSE(failure) << *failure;
    }

    transaction_result send(const std::optional<outside_client>& client, const transaction& mail) {
        transaction_result result = e2e::send_mail(postfix.port(), client, mail);
        EXPECT_EQ(result.failure, "");
        return result;
    }

    // Sends a message that must be queued whole and hands back its queue entry.
    void send_queued(const std::optional<outside_client>& client, const transaction& mail,
                     queued_message& queued) {
        transaction_result result = send(client, mail);
        ASSERT_EQ(result.mail.line, "250 2.1.0 Ok");
        for (const auto& reply : result.rcpt) {
            ASSERT_EQ(reply.line, ok_rcpt);
        }
        ASSERT_TRUE(result.data);
        ASSERT_THAT(result.data->line, StartsWith("250 2.0.0 Ok: queued as "));
        ASSERT_NO_FATAL_FAILURE(find_queued(result.queue_id, queued));
    }

    void find_queued(const std::string& queue_id, queued_message& queued) {
        std::vector<queued_message> messages;
        auto failure = e2e::list_queue(postfix.config_dir(), messages);
        ASSERT_FALSE(failure) << *failure;
        for (const auto& message : messages) {
            if (message.queue_id == queue_id) {
                queued = message;
                return;
            }
        }
        FAIL() << "message " << queue_id << " is not in the queue";
    }

    size_t queue_size() {
        std::vector<queued_message> messages;
        auto failure = e2e::list_queue(postfix.config_dir(), messages);
        EXPECT_FALSE(failure) << *failure;
        return messages.size();
    }

    e2e::temp_dir dir;
    e2e::filter_process filter;
    e2e::postfix_instance postfix;
};

// Signing: the queued envelope sender of mail from 127.0.0.1 (internal by
// the built-in localhost entry) is the tag recomputed here. Recipients of
// internal mail are not verified, so a forged tag among them stays as it is.
TEST_F(E2e, InternalClientMailLeavesWithTaggedSender) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    const std::string tagged_sender = signed_at(std::time(nullptr), "other@example.org");
    struct case_ {
        const char* name;
        std::string sender;
        std::string parameters;
        bool signs;
    };
    const case_ cases[] = {
        {"plain sender", "user@example.org", "", true},
        {"sender with ESMTP parameters", "user@example.org", "BODY=8BITMIME SIZE=300", true},
        {"sender already tagged", tagged_sender, "", false},
        {"null sender", "", "", false},
    };
    const std::vector<std::string> recipients = {"friend@example.net",
                                                 forged("colleague@example.org")};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::time_t before = std::time(nullptr);
        queued_message queued;
        ASSERT_NO_FATAL_FAILURE(
            send_queued(std::nullopt, {c.sender, c.parameters, recipients}, queued));
        std::time_t after = std::time(nullptr);
        EXPECT_EQ(queued.queue_name, "incoming");
        if (c.signs) {
            // A day may begin while the message travels.
            EXPECT_THAT(queued.sender,
                        AnyOf(Eq(signed_at(before, c.sender)), Eq(signed_at(after, c.sender))));
        } else {
            EXPECT_EQ(queued.sender, c.sender.empty() ? "MAILER-DAEMON" : c.sender);
        }
        EXPECT_THAT(queued.recipients, ElementsAreArray(recipients));
    }
}

// A bounce from an outside client to the sender that signing produced is
// accepted and queued for the plain address; the tagged recipient is gone.
TEST_F(E2e, BounceToTaggedSenderReachesPlainAddress) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    queued_message outgoing;
    ASSERT_NO_FATAL_FAILURE(
        send_queued(std::nullopt, {"user@example.org", "", {"friend@example.net"}}, outgoing));
    ASSERT_THAT(outgoing.sender, StartsWith("prvs=0"));
    ASSERT_THAT(outgoing.sender, ::testing::EndsWith("=user@example.org"));

    queued_message bounce;
    ASSERT_NO_FATAL_FAILURE(send_queued(outside, {"", "", {outgoing.sender}}, bounce));
    EXPECT_EQ(bounce.queue_name, "incoming");
    EXPECT_EQ(bounce.sender, "MAILER-DAEMON");
    EXPECT_THAT(bounce.recipients, ElementsAre("user@example.org"));

    e2e::queue_file file;
    auto failure = e2e::read_queue_file(postfix.config_dir(), bounce.queue_id, file);
    ASSERT_FALSE(failure) << *failure;
    auto [first, last] = file.envelope.equal_range("recipient");
    std::vector<std::string> live;
    for (auto it = first; it != last; ++it) {
        live.push_back(it->second);
    }
    EXPECT_THAT(live, ElementsAre("user@example.org"));
}

// Refusals at RCPT TO from an outside client, with reply texts (-S).
TEST_F(E2e, BadTagsAreRefused) {
    ASSERT_NO_FATAL_FAILURE(start({"-S"}));
    const unsigned day = (e2e::cycle_day(std::time(nullptr)) + 7) % 1000;
    struct case_ {
        const char* name;
        std::string recipient;
        std::string reply;
    };
    const case_ cases[] = {
        {"forged tag", forged("user@example.org"), "550 5.7.1 BATV signature validation failed"},
        {"expired tag", expired("user@example.org"), "550 5.7.1 BATV signature expired"},
        {"syntax error", "prvs=0ABC123456=user@example.org", tempfail_reply},
        {"other key number", e2e::tagged_address(1, day, "user@example.org", secret),
         tempfail_reply},
    };
    size_t queued_before = queue_size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transaction_result result = send(outside, {"", "", {c.recipient}});
        EXPECT_EQ(result.mail.line, "250 2.1.0 Ok");
        ASSERT_EQ(result.rcpt.size(), 1u);
        EXPECT_EQ(result.rcpt[0].line, c.reply);
        EXPECT_FALSE(result.data);
    }
    EXPECT_EQ(queue_size(), queued_before);
}

// Header mode (-r): every recipient is accepted but for a tag that cannot
// be read, and each is reported in an Authentication-Results header right
// after Postfix's own Received header.
TEST_F(E2e, HeaderModeReportsEachRecipient) {
    ASSERT_NO_FATAL_FAILURE(start({"-r"}));
    const std::string plain = "user@example.org";
    const unsigned day = (e2e::cycle_day(std::time(nullptr)) + 7) % 1000;
    struct case_ {
        const char* name;
        std::string recipient;
        std::string rcpt_reply;
        std::string result_word;  // empty when the recipient is refused
        std::string queued_as;    // the recipient in the queue
    };
    const std::string other_key = e2e::tagged_address(1, day, plain, secret);
    const case_ cases[] = {
        {"valid tag", signed_at(std::time(nullptr), plain), ok_rcpt, "pass", plain},
        {"forged tag", forged(plain), ok_rcpt, "fail (verification failed)", plain},
        {"expired tag", expired(plain), ok_rcpt, "fail (verification failed)", plain},
        {"other key number", other_key, ok_rcpt, "fail (version mismatch)", other_key},
        {"untagged", plain, ok_rcpt, "fail (not signed)", plain},
        {"syntax error", "prvs=0ABC123456=" + plain, tempfail_reply, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transaction_result result = send(outside, {"", "", {c.recipient}});
        ASSERT_EQ(result.rcpt.size(), 1u);
        EXPECT_EQ(result.rcpt[0].line, c.rcpt_reply);
        if (c.result_word.empty()) {
            EXPECT_FALSE(result.data);
            continue;
        }
        ASSERT_TRUE(result.data);
        ASSERT_THAT(result.data->line, StartsWith("250 2.0.0 Ok: queued as "));
        queued_message queued;
        ASSERT_NO_FATAL_FAILURE(find_queued(result.queue_id, queued));
        EXPECT_EQ(queued.queue_name, "incoming");
        EXPECT_THAT(queued.recipients, ElementsAre(c.queued_as));

        e2e::queue_file file;
        auto failure = e2e::read_queue_file(postfix.config_dir(), result.queue_id, file);
        ASSERT_FALSE(failure) << *failure;
        ASSERT_GE(file.headers.size(), 2u);
        EXPECT_THAT(file.headers[0], StartsWith("Received: from mx.example.net (mx.example.net "
                                                "[192.0.2.10])"));
        EXPECT_EQ(file.headers[1], std::string("Authentication-Results: ") + authserv_id +
                                       "; x-batv=" + c.result_word + " smtp.rcpt=" + c.recipient);
        int reports = 0;
        for (const auto& header : file.headers) {
            reports += header.starts_with("Authentication-Results:") ? 1 : 0;
        }
        EXPECT_EQ(reports, 1);
    }
}

// Quarantine (-q): a message in which a verified recipient failed goes to
// the hold queue; others stay in the incoming queue.
TEST_F(E2e, QuarantineHoldsMessagesThatFailVerification) {
    ASSERT_NO_FATAL_FAILURE(start({"-q"}));
    const std::string plain = "user@example.org";
    struct case_ {
        const char* name;
        std::optional<outside_client> client;
        transaction mail;
        std::string queue_name;
        std::vector<std::string> queued_recipients;
    };
    const case_ cases[] = {
        {"bounce to an untagged address", outside, {"", "", {plain}}, "hold", {plain}},
        {"bounce to a valid tag",
         outside,
         {"", "", {signed_at(std::time(nullptr), plain)}},
         "incoming",
         {plain}},
        {"internal mail",
         std::nullopt,
         {plain, "", {"friend@example.net"}},
         "incoming",
         {"friend@example.net"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queued_message queued;
        ASSERT_NO_FATAL_FAILURE(send_queued(c.client, c.mail, queued));
        EXPECT_EQ(queued.queue_name, c.queue_name);
        EXPECT_THAT(queued.recipients, ElementsAreArray(c.queued_recipients));
    }
}

// A client named in the PeerList file (by host name or by network) passes
// unfiltered: its forged-tag recipient is accepted and left as it is. Other
// outside clients of the same filter are still verified.
TEST_F(E2e, PeerListClientsPassUnfiltered) {
    auto peers = dir.path() / "peers";
    e2e::write_file(peers, "mx.example.net\n198.51.100.0/24\n");
    auto config = dir.path() / "vellicor.conf";
    e2e::write_file(config, "PeerList " + peers.string() + "\n");
    ASSERT_NO_FATAL_FAILURE(start({"-S", "-c", config.string()}));
    const std::string recipient = forged("user@example.org");
    struct case_ {
        const char* name;
        outside_client client;
        std::string rcpt_reply;
    };
    const case_ cases[] = {
        {"peer by host name", {"192.0.2.10", "mx.example.net"}, ok_rcpt},
        {"peer by network", {"198.51.100.7", "relay.example.com"}, ok_rcpt},
        {"not a peer",
         {"192.0.2.10", "mx.example.com"},
         "550 5.7.1 BATV signature validation failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transaction_result result = send(c.client, {"", "", {recipient}});
        ASSERT_EQ(result.rcpt.size(), 1u);
        EXPECT_EQ(result.rcpt[0].line, c.rcpt_reply);
        if (c.rcpt_reply != ok_rcpt) {
            EXPECT_FALSE(result.data);
            continue;
        }
        ASSERT_TRUE(result.data);
        queued_message queued;
        ASSERT_NO_FATAL_FAILURE(find_queued(result.queue_id, queued));
        EXPECT_EQ(queued.queue_name, "incoming");
        EXPECT_THAT(queued.recipients, ElementsAre(recipient));
    }
}

// Rotating the key without a restart: the old key moves into the KeyList,
// the key file gets a new secret under the next number, and SIGUSR1 makes
// the running filter take both. Mail is signed with the new key from then
// on, and a bounce to a tag the old key made is still delivered, once, to
// the plain address.
TEST_F(E2e, BounceToARetiredKeysTagIsDeliveredAfterRotation) {
    const auto conf = dir.path() / "vellicor.conf";
    e2e::write_file(conf, "# key 0, no list yet\n");
    ASSERT_NO_FATAL_FAILURE(start({"-c", conf.string()}));
    queued_message before;
    ASSERT_NO_FATAL_FAILURE(
        send_queued(std::nullopt, {"user@example.org", "", {"friend@example.net"}}, before));
    ASSERT_THAT(before.sender, StartsWith("prvs=0"));

    const std::string new_secret = "e2e-rotated-key-0815";
    const auto owner_only = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    std::filesystem::rename(dir.path() / "key", dir.path() / "key.0");
    e2e::write_file(dir.path() / "key", new_secret + "\n");
    std::filesystem::permissions(dir.path() / "key", owner_only);
    e2e::write_file(dir.path() / "keylist", "0 " + (dir.path() / "key.0").string() + "\n");
    e2e::write_file(conf, "KeyVersion 1\nKeyList " + (dir.path() / "keylist").string() + "\n");
    ASSERT_EQ(kill(filter.pid(), SIGUSR1), 0);

    // The reload takes effect within moments; each attempt queues one
    // message, signed with whichever key is in force.
    queued_message after;
    for (int attempt = 0; attempt < 50; ++attempt) {
        ASSERT_NO_FATAL_FAILURE(
            send_queued(std::nullopt, {"user@example.org", "", {"friend@example.net"}}, after));
        if (after.sender.starts_with("prvs=1")) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const unsigned day = (e2e::cycle_day(std::time(nullptr)) + 7) % 1000;
    EXPECT_THAT(after.sender,
                AnyOf(Eq(e2e::tagged_address(1, day, "user@example.org", new_secret)),
                      Eq(e2e::tagged_address(1, (day + 999) % 1000, "user@example.org",
                                             new_secret))));

    for (const std::string& tag : {before.sender, after.sender}) {
        SCOPED_TRACE(tag);
        queued_message bounce;
        ASSERT_NO_FATAL_FAILURE(send_queued(outside, {"", "", {tag}}, bounce));
        EXPECT_EQ(bounce.sender, "MAILER-DAEMON");
        EXPECT_THAT(bounce.recipients, ElementsAre("user@example.org"));
    }
    // The old key's number with the new key's hash is still a forgery.
    transaction_result forged_old =
        send(outside, {"", "", {e2e::tagged_address(0, day, "user@example.org", new_secret)}});
    ASSERT_EQ(forged_old.rcpt.size(), 1u);
    EXPECT_THAT(forged_old.rcpt[0].line, StartsWith("550 "));
}

}  // namespace
