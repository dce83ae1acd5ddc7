// Matching clients against the PeerList by host name and by IPv4 address:
// suffixes, networks, masks at their edges, negation and the last matching
// entry deciding, with the list unchanged by every call.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/peers.h"

namespace {

std::string describe(const std::vector<std::string>& lines, const std::string& client) {
    std::string text = "[";
    for (const auto& line : lines) {
        text += testing::PrintToString(line) + " ";
    }
    return text + "] " + client;
}

TEST(VlcfCheckhost, LastMatchingEntryDecides) {
    struct case_ {
        std::vector<std::string> lines;
        std::string host;
        int result;
    };
    const case_ cases[] = {
        {{}, "mx.b.c", 0},
        {{".b.c", "!x.b.c"}, "x.b.c", 0},
        {{".b.c", "!x.b.c"}, "y.b.c", 1},
        {{"!x.b.c", ".b.c"}, "x.b.c", 1},
        {{"!x.b.c", ".b.c"}, "y.b.c", 1},
        {{"!mx.b.c"}, "mx.b.c", 0},
        {{"mx.b.c", "!mx.b.c", "mx.b.c"}, "mx.b.c", 1},
        {{"mx.b.c", "!.b.c"}, "mx.b.c", 0},
        // Entries that do not match leave the verdict alone.
        {{"other.host", ".b.c", "unrelated", "!.d.e"}, "y.x.b.c", 1},
        {{"mx.b.c"}, "mx.b.c", 1},
        {{"mx.b.c"}, "MX.B.C", 1},
        {{"MX.b.c"}, "mx.B.C", 1},
        {{"mx.b.c"}, "x.mx.b.c", 0},
        {{"b.c"}, "x.b.c", 0},
        {{".b.c"}, "b.c", 0},
        {{".b.c"}, "y.x.b.c", 1},
        {{".c"}, "y.x.b.c", 1},
        {{".b.c"}, "x.b.cc", 0},
        // PeerList lines are not trimmed.
        {{"mx.b.c "}, "mx.b.c", 0},
        {{" mx.b.c"}, "mx.b.c", 0},
        // Addresses and networks are names to this matcher.
        {{"10.0.0.1"}, "10.0.0.1", 1},
        {{"10.0.0.0/8"}, "10.1.2.3", 0},
        {{".0.0.1"}, "10.0.0.1", 1},
        {{"#", ""}, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.lines, c.host));
        const peer_list_t list = make_peers(c.lines);
        const peer_list_t before = list;
        EXPECT_EQ(vlcf_checkhost(list, c.host.c_str()), c.result);
        EXPECT_TRUE(same_entries(list, before));
    }
}

TEST(VlcfCheckip, TextNetworksAndMasks) {
    struct case_ {
        std::vector<std::string> lines;
        const char* client;
        int result;
    };
    const case_ cases[] = {
        {{}, "192.0.2.7", 0},
        // The dotted quad, compared as text.
        {{"192.0.2.7"}, "192.0.2.7", 1},
        {{"192.0.2.7"}, "192.0.2.70", 0},
        {{"192.000.2.7"}, "192.0.2.7", 0},
        {{"192.0.2.7 "}, "192.0.2.7", 0},
        {{"255.255.255.255"}, "255.255.255.255", 1},
        // Prefix lengths.
        {{"10.0.0.0/8"}, "10.1.2.3", 1},
        {{"10.0.0.0/8"}, "11.1.2.3", 0},
        {{"192.0.2.7/32"}, "192.0.2.7", 1},
        {{"192.0.2.7/32"}, "192.0.2.6", 0},
        {{"10.0.0.0/08"}, "10.1.2.3", 1},
        {{"10.0.0.0/08"}, "11.1.2.3", 0},
        {{"128.0.0.0/1"}, "200.1.1.1", 1},
        {{"128.0.0.0/1"}, "127.255.255.255", 0},
        {{"192.0.2.6/31"}, "192.0.2.7", 1},
        {{"192.0.2.6/31"}, "192.0.2.8", 0},
        // Zero masks admit every client.
        {{"0.0.0.0/0"}, "203.0.113.9", 1},
        {{"10.0.0.0/0"}, "203.0.113.9", 1},
        {{"10.0.0.0/0.0.0.0"}, "203.0.113.9", 1},
        // Dotted masks, contiguous or not.
        {{"10.0.0.0/255.0.0.0"}, "10.1.2.3", 1},
        {{"10.0.0.0/255.0.0.0"}, "9.1.2.3", 0},
        {{"10.0.0.5/255.0.0.255"}, "10.7.7.5", 1},
        {{"10.0.0.5/255.0.0.255"}, "10.7.7.6", 0},
        // The all-ones mask is one address; the all-ones network address
        // reads as inet_addr's error value.
        {{"10.0.0.1/255.255.255.255"}, "10.0.0.1", 1},
        {{"10.0.0.1/255.255.255.255"}, "10.0.0.2", 0},
        {{"255.255.255.255/32"}, "255.255.255.255", 0},
        {{"255.255.255.255/0"}, "10.0.0.1", 0},
        // Malformed entries are skipped.
        {{"10.0.0.0/8x"}, "10.1.2.3", 0},
        {{"10.0.0.0/8 "}, "10.1.2.3", 0},
        {{"10.0.0.0/8/9"}, "10.1.2.3", 0},
        {{"10.0.0.0/x"}, "10.1.2.3", 0},
        {{"10.0.0.0/255.0.0.0.0"}, "10.1.2.3", 0},
        // A mask part is a prefix length of 0 to 32 or a dotted quad and
        // nothing else; a malformed one is never read as some other mask.
        {{"10.0.0.0/"}, "203.0.113.9", 0},
        {{"10.0.0.0/-1"}, "203.0.113.9", 0},
        {{"192.0.2.7/33"}, "192.0.2.6", 0},
        {{"192.0.2.7/33"}, "192.0.2.7", 0},
        {{"192.0.2.7/4294967295"}, "192.0.2.6", 0},
        {{"10.0.0.0/4294967304"}, "10.9.9.9", 0},
        {{"10.0.0.0/+8"}, "10.1.2.3", 0},
        {{"10.0.0.0/ 8"}, "10.1.2.3", 0},
        {{"10.0.0.0/8\r"}, "10.1.2.3", 0},
        {{"10.0.0.0/255.0.0"}, "10.1.2.3", 0},
        {{"10.0.0.0/255.0.0.0 "}, "10.1.2.3", 0},
        {{"ten/8"}, "10.1.2.3", 0},
        {{" 10.0.0.0/8"}, "10.1.2.3", 0},
        {{"mx.b.c", ".2.7"}, "192.0.2.7", 0},
        // Negation and order.
        {{"0.0.0.0/0", "!0.0.0.0/0"}, "192.0.2.7", 0},
        {{"!0.0.0.0/0", "0.0.0.0/0"}, "192.0.2.7", 1},
        {{"!0.0.0.0/0", "192.0.2.7"}, "192.0.2.7", 1},
        {{"!0.0.0.0/0", "192.0.2.7"}, "192.0.2.8", 0},
        {{"192.0.2.0/24", "!192.0.2.128/25"}, "192.0.2.1", 1},
        {{"192.0.2.0/24", "!192.0.2.128/25"}, "192.0.2.200", 0},
        {{"!192.0.2.128/25", "192.0.2.0/24"}, "192.0.2.200", 1},
        {{"192.0.2.7", "!192.0.2.7/32", "10.0.0.0/8x"}, "192.0.2.7", 0},
        {{"!192.0.2.7"}, "192.0.2.7", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.lines, c.client));
        const peer_list_t list = make_peers(c.lines);
        const peer_list_t before = list;
        const sockaddr_in client = ipv4_client(c.client);
        EXPECT_EQ(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&client)), c.result);
        EXPECT_TRUE(same_entries(list, before));
    }
}

// IPv4 entries match IPv4 clients and IPv4-mapped IPv6 clients, IPv6
// entries other IPv6 clients; other families match nothing. The IPv6 forms
// in detail are in ipv6_test.cpp.
TEST(VlcfCheckip, WhichEntriesMatchWhichFamily) {
    struct case_ {
        std::vector<std::string> lines;
        int v4, mapped, plain;
    };
    const case_ cases[] = {
        {{"0.0.0.0/0", "10.1.2.3", "::ffff:10.1.2.3", "2001:db8::1", "::/0", "0.0.0.0/"}, 1, 1, 1},
        {{"0.0.0.0/0"}, 1, 1, 0},
        {{"10.1.2.3"}, 1, 1, 0},
        {{"::ffff:10.1.2.3"}, 1, 1, 0},
        {{"2001:db8::1"}, 0, 0, 1},
        {{"::/0"}, 0, 0, 1},
        {{"0.0.0.0/"}, 0, 0, 0},
        {{"0.0.0.0/0", "::/0", "!10.1.2.3"}, 0, 0, 1},
        {{"0.0.0.0/0", "::/0", "!2001:db8::1"}, 1, 1, 0},
    };
    const sockaddr_in v4 = ipv4_client("10.1.2.3");
    const sockaddr_in6 mapped = ipv6_client("::ffff:10.1.2.3");
    const sockaddr_in6 plain = ipv6_client("2001:db8::1");
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.lines, ""));
        const peer_list_t list = make_peers(c.lines);
        const peer_list_t before = list;
        EXPECT_EQ(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&v4)), c.v4);
        EXPECT_EQ(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&mapped)), c.mapped);
        EXPECT_EQ(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&plain)), c.plain);
        EXPECT_EQ(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&local)), 0);
        EXPECT_TRUE(same_entries(list, before));
    }
}

// The connection callback lower-cases the host name it owns and then asks
// by name; the list it asks stays as it was loaded.
TEST(VlcfCheckhost, AfterLowercasingTheHostName) {
    const peer_list_t list = make_peers({"MX.Example.COM", "!.Example.COM", ".Partner.NET"});
    const peer_list_t before = list;
    struct case_ {
        std::string host;
        int result;
    };
    const case_ cases[] = {
        {"MX.EXAMPLE.COM", 0},
        {"Relay.Partner.Net", 1},
        {"PARTNER.NET", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        std::string host = c.host;
        vlcf_lowercase(host.data());
        EXPECT_EQ(vlcf_checkhost(list, host.c_str()), c.result);
    }
    EXPECT_TRUE(same_entries(list, before));
}

}  // namespace
