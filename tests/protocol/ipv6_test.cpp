// IPv6 clients of the running daemon, connecting through the project's
// milter client with the family '6': internal hosts from -i and from the
// built-in list (::1), IPv4-mapped clients, and PeerList clients, which the
// daemon accepts at connect without looking at their mail.
#include <libmilter/mfdef.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "tests/protocol/fixture.h"
#include "tests/protocol/prvs_oracle.h"

namespace {

using milter_client::client_info;
using milter_client::message;
using milter_client::milter_connection;
using protocol_test::expect_healthy;
using protocol_test::session;
using protocol_test::start_daemon;

client_info ipv6_client(const std::string& host, const std::string& address) {
    return {host, '6', 25025, address};
}

// One message from user@example.com to someone@example.net; the sender
// change the daemon asks for at end of message, or "" when it asks for
// none. Fails the test when the daemon asks for anything else.
std::string sender_change(milter_connection& conn) {
    message msg;
    msg.mail_macros = {{"i", "JOB6"}};
    msg.mail_args = {"<user@example.com>"};
    msg.rcpts = {{"<someone@example.net>"}};
    const auto r = milter_client::send_message(conn, msg);
    EXPECT_EQ(r.mail.code, SMFIR_CONTINUE);
    if (!r.eom) {
        ADD_FAILURE() << "no end of message";
        return "";
    }
    EXPECT_EQ(r.eom->final.code, SMFIR_CONTINUE);
    if (r.eom->changes.empty()) {
        return "";
    }
    EXPECT_EQ(r.eom->changes.size(), 1u) << milter_client::describe(*r.eom);
    const auto& change = r.eom->changes[0];
    EXPECT_EQ(change.code, SMFIR_CHGFROM) << milter_client::describe(*r.eom);
    return change.args.empty() ? "<no sender>" : change.args[0];
}

// The tagged sender made between before and after, for the default key
// number and lifetime.
bool is_tagged_sender(const std::string& sender, const std::string& key, std::time_t before,
                      std::time_t after) {
    for (const std::time_t t : {before, after}) {
        const unsigned day = (prvs_oracle::day_of(t) + 7) % 1000;
        if (sender ==
            protocol_test::tagged("user@example.com", 0, day, key, protocol_test::form::standard)) {
            return true;
        }
    }
    return false;
}

TEST(Ipv6Clients, InternalOnesAreSignedOutsideOnesAreNot) {
    const std::vector<std::string> with_list = {"-i", "{dir}/internal"};
    const std::vector<std::pair<std::string, std::string>> list = {
        {"internal", "10.0.0.0/8\n2001:db8::/32   # office\n[2001:db8:ffff::5]\n"}};
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> files;
        client_info client;
        bool is_signed;
    };
    const case_ cases[] = {
        {"in an IPv6 network from -i", with_list, list,
         ipv6_client("relay.example.net", "2001:db8:1::25"), true},
        {"outside that network", with_list, list, ipv6_client("mx.example.net", "2001:db9::25"),
         false},
        {"a bracketed IPv6 entry", with_list, list,
         ipv6_client("mx.example.net", "2001:db8:ffff::5"), true},
        {"IPv4-mapped, by the IPv4 network", with_list, list,
         ipv6_client("[::ffff:10.1.2.3]", "::ffff:10.1.2.3"), true},
        {"IPv4-mapped, outside it", with_list, list,
         ipv6_client("[::ffff:192.0.2.10]", "::ffff:192.0.2.10"), false},
        {"::1 by default", {}, {}, ipv6_client("ip6-localhost", "::1"), true},
        {"::1 by default, without a name", {}, {}, ipv6_client("[::1]", "::1"), true},
        {"another IPv6 client by default",
         {},
         {},
         ipv6_client("mx.example.net", "2001:db8::25"),
         false},
        {"-i replaces ::1 too", with_list, list, ipv6_client("ip6-localhost", "::1"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto daemon = start_daemon(c.args, c.files);
        milter_connection conn = session(*daemon, c.client);
        const std::time_t before = std::time(nullptr);
        const std::string sender = sender_change(conn);
        const std::time_t after = std::time(nullptr);
        if (c.is_signed) {
            EXPECT_TRUE(is_tagged_sender(sender, daemon->key(), before, after))
                << "sender " << sender;
        } else {
            EXPECT_EQ(sender, "");
        }
        conn.quit();
        expect_healthy(*daemon);
    }
}

// An internal IPv6 client's recipients are not verified; an outside IPv6
// client's are.
TEST(Ipv6Clients, OnlyOutsideOnesHaveTheirRecipientsVerified) {
    auto daemon = start_daemon({"-S"});
    const auto tags = protocol_test::make_tags("user@example.com", daemon->key());
    struct case_ {
        client_info client;
        char code;
    };
    const case_ cases[] = {
        {ipv6_client("ip6-localhost", "::1"), SMFIR_CONTINUE},
        {ipv6_client("mx.example.net", "2001:db8::25"), SMFIR_REPLYCODE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client.address);
        milter_connection conn = session(*daemon, c.client);
        EXPECT_EQ(conn.mail({"<>"}).code, SMFIR_CONTINUE);
        const milter_client::response r = conn.rcpt({"<" + tags.forged + ">"});
        EXPECT_EQ(r.code, c.code) << milter_client::describe(r);
        conn.abort();
        conn.quit();
    }
    expect_healthy(*daemon);
}

TEST(Ipv6Clients, PeerListClientsAreAcceptedUnfiltered) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"vellicor.conf", "PeerList {dir}/peers\n"},
        {"peers", "2001:db8::/32\n!2001:db8::bad\n198.51.100.0/24\n[2001:db9::1]\n"},
    };
    auto daemon = start_daemon({"-S", "-c", "{dir}/vellicor.conf"}, files);
    const auto tags = protocol_test::make_tags("user@example.com", daemon->key());
    struct case_ {
        const char* name;
        client_info client;
        bool peer;
    };
    const case_ cases[] = {
        {"in the IPv6 network", ipv6_client("mx.example.net", "2001:db8:7::25"), true},
        {"negated after it", ipv6_client("mx.example.net", "2001:db8::bad"), false},
        {"outside it", ipv6_client("mx.example.net", "2001:db9::25"), false},
        {"IPv4-mapped, by the IPv4 network",
         ipv6_client("[::ffff:198.51.100.7]", "::ffff:198.51.100.7"), true},
        {"a bracketed entry matches nothing", ipv6_client("[2001:db9::1]", "2001:db9::1"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        milter_connection conn(daemon->socket_path());
        conn.negotiate();
        const milter_client::response r = conn.connect(c.client);
        if (c.peer) {
            // The MTA sends nothing more of this connection to the filter.
            EXPECT_EQ(r.code, SMFIR_ACCEPT) << milter_client::describe(r);
            conn.quit();
            continue;
        }
        EXPECT_EQ(r.code, SMFIR_CONTINUE) << milter_client::describe(r);
        // Not a peer: the forged tag is refused.
        EXPECT_EQ(conn.mail({"<>"}).code, SMFIR_CONTINUE);
        const milter_client::response rcpt = conn.rcpt({"<" + tags.forged + ">"});
        EXPECT_EQ(rcpt.code, SMFIR_REPLYCODE) << milter_client::describe(rcpt);
        conn.abort();
        conn.quit();
    }
    expect_healthy(*daemon);
}

}  // namespace
