// IPv6 in the internal-hosts list and the PeerList: the forms each list
// reads (addresses, prefix lengths, brackets, IPv4-mapped entries), how
// malformed entries are handled (as the IPv4 ones of the same list are),
// the built-in record, and matching IPv6 and IPv4-mapped clients next to
// IPv4 ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/peers.h"
#include "tests/lists/temp_dir.h"

namespace {

std::uint32_t addr(const char* dotted) {
    return inet_addr(dotted);
}

ipv6_network net6(const char* text, unsigned prefix = 128) {
    ipv6_network network;
    in6_addr a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
    std::memcpy(network.n6_addr.data(), a.s6_addr, 16);
    network.n6_prefix = prefix;
    return network;
}

std::string show(const std::optional<ipv6_network>& network) {
    if (!network) {
        return "none";
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, network->n6_addr.data(), text, sizeof text);
    return std::string(text) + "/" + std::to_string(network->n6_prefix);
}

// ---- loading the internal hosts

struct host_record {
    std::optional<std::string> name;
    std::uint32_t addr = 0;
    std::uint32_t mask = 0;
    std::optional<ipv6_network> net6;
};

void expect_record(const internal_host& entry, const host_record& expected) {
    EXPECT_EQ(entry.ih_name, expected.name);
    EXPECT_EQ(entry.ih_addr, expected.addr);
    EXPECT_EQ(entry.ih_mask, expected.mask);
    EXPECT_EQ(show(entry.ih_net6), show(expected.net6));
    EXPECT_EQ(entry.ih_net6, expected.net6);
}

host_record v6(const char* text, unsigned prefix = 128) {
    return {std::nullopt, 0, 0, net6(text, prefix)};
}
host_record v4(const char* address, const char* mask) {
    return {std::nullopt, addr(address), addr(mask), std::nullopt};
}
host_record v4_any(const char* address) {
    return {std::nullopt, addr(address), 0, std::nullopt};
}
host_record name(const std::string& text) {
    return {text, 0, 0, std::nullopt};
}

TEST(InternalHostsIpv6, OneLineEach) {
    struct case_ {
        std::string line;
        host_record record;
    };
    const case_ cases[] = {
        // Addresses, in any of the forms inet_pton reads.
        {"2001:db8::5", v6("2001:db8::5")},
        {"2001:DB8:0:0:0:0:0:5", v6("2001:db8::5")},
        {"2001:0db8:0000::0005", v6("2001:db8::5")},
        {"::1", v6("::1")},
        {"::", v6("::")},
        {"::10.1.2.3", v6("::a01:203")},
        // Prefix lengths, 0 to 128, leading zeros allowed as for IPv4.
        {"2001:db8::/32", v6("2001:db8::", 32)},
        {"2001:db8::/0", v6("2001:db8::", 0)},
        {"::/0", v6("::", 0)},
        {"8000::/1", v6("8000::", 1)},
        {"2001:db8:0:1::/64", v6("2001:db8:0:1::", 64)},
        {"2001:db8::4/127", v6("2001:db8::4", 127)},
        {"2001:db8::5/128", v6("2001:db8::5")},
        {"2001:db8::/064", v6("2001:db8::", 64)},
        {"2001:db8::/00128", v6("2001:db8::")},
        // The address is kept as written: bits past the prefix stay.
        {"2001:db8::5/32", v6("2001:db8::5", 32)},
        // Blanks after the address or the prefix, a comment, a CRLF line
        // end: as for IPv4.
        {"2001:db8::5 # relay", v6("2001:db8::5")},
        {"2001:db8::5\t", v6("2001:db8::5")},
        {"2001:db8::/32   # office", v6("2001:db8::", 32)},
        {"2001:db8::/32\r", v6("2001:db8::", 32)},
        {"2001:db8::5\r", v6("2001:db8::5")},
        {"2001:db8:: /32", v6("2001:db8::", 32)},
        // Brackets, with or without the address-literal tag.
        {"[2001:db8::5]", v6("2001:db8::5")},
        {"[IPv6:2001:db8::5]", v6("2001:db8::5")},
        {"[ipv6:2001:db8::5]", v6("2001:db8::5")},
        {"[::1]", v6("::1")},
        {"[2001:db8::]/32", v6("2001:db8::", 32)},
        {"[IPv6:2001:db8::]/48 # lab", v6("2001:db8::", 48)},
        {"[2001:db8::5] # relay", v6("2001:db8::5")},
        // IPv4-mapped entries of 96 bits or more are the IPv4 networks they
        // stand for, zero rules included.
        {"::ffff:192.0.2.1", v4("192.0.2.1", "255.255.255.255")},
        {"::FFFF:c000:201", v4("192.0.2.1", "255.255.255.255")},
        {"::ffff:192.0.2.0/120", v4("192.0.2.0", "255.255.255.0")},
        {"::ffff:10.0.0.0/104", v4("10.0.0.0", "255.0.0.0")},
        {"::ffff:10.0.0.0/97", v4("10.0.0.0", "128.0.0.0")},
        {"::ffff:10.0.0.0/96", v4_any("10.0.0.0")},
        {"::ffff:0.0.0.0/96", v4_any("0.0.0.0")},
        {"[::ffff:192.0.2.1]", v4("192.0.2.1", "255.255.255.255")},
        {"[IPv6:::ffff:192.0.2.0]/120", v4("192.0.2.0", "255.255.255.0")},
        {"::ffff:255.255.255.255", v4("255.255.255.255", "255.255.255.255")},
        // Shorter ones are IPv6 networks.
        {"::ffff:0:0/95", v6("::ffff:0:0", 95)},
        {"::ffff:10.0.0.0/0", v6("::ffff:10.0.0.0", 0)},
        // What is not an address is a host name, as it is for IPv4: a
        // mistyped address, a zone, a leading blank, an unclosed bracket.
        {"2001:db8::g", name("2001:db8::g")},
        {"2001:db8:::5", name("2001:db8:::5")},
        {"1:2:3:4:5:6:7:8:9", name("1:2:3:4:5:6:7:8:9")},
        {"fe80::1%eth0", name("fe80::1%eth0")},
        {" 2001:db8::5", name(" 2001:db8::5")},
        {"2001:db8::5 relay", name("2001:db8::5 relay")},
        {"[2001:db8::5", name("[2001:db8::5")},
        {"2001:db8::5]", name("2001:db8::5]")},
        {"[ 2001:db8::5]", name("[ 2001:db8::5]")},
        {"[2001:db8::5 ]", name("[2001:db8::5 ]")},
        {"[[2001:db8::5]]", name("[[2001:db8::5]]")},
        {"[]", name("[]")},
        {"[IPv6:]", name("[IPv6:]")},
        {"IPv6:2001:db8::5", name("IPv6:2001:db8::5")},
        {"[IPv4:192.0.2.1]", name("[IPv4:192.0.2.1]")},
        // The address part ends at the first "/", so a prefix inside the
        // brackets leaves a name, as "gateway/24" does.
        {"[2001:db8::/32]", name("[2001:db8::")},
        {"2001:db8::g/64", name("2001:db8::g")},
        // A bracketed IPv4 address stays the name it always was.
        {"[192.0.2.1]", name("[192.0.2.1]")},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = dir.write("hosts", c.line + "\n");
        internal_hosts_t list;
        EXPECT_EQ(load_internal_hosts(path, list), std::nullopt);
        ASSERT_EQ(list.size(), 1u);
        expect_record(list[0], c.record);
    }
}

// A prefix length is 0 to 128 in decimal digits and nothing else: IPv6 has
// no dotted masks. As for an IPv4 address, any other mask part ends
// start-up.
TEST(InternalHostsIpv6, InvalidPrefixesEndStartUp) {
    struct case_ {
        std::string line;
        std::string shown;
    };
    const case_ cases[] = {
        {"2001:db8::/129", "2001:db8::/129"},
        {"2001:db8::/200", "2001:db8::/200"},
        {"2001:db8::/4294967424", "2001:db8::/4294967424"},
        {"2001:db8::/", "2001:db8::/"},
        {"2001:db8::/-1", "2001:db8::/-1"},
        {"2001:db8::/+64", "2001:db8::/+64"},
        {"2001:db8::/ 64", "2001:db8::/ 64"},
        {"2001:db8::/64x", "2001:db8::/64x"},
        {"2001:db8::/0x40", "2001:db8::/0x40"},
        {"2001:db8::/64 x # note", "2001:db8::/64 x"},
        {"2001:db8::/64/64", "2001:db8::/64/64"},
        {"2001:db8::/ffff:ffff::", "2001:db8::/ffff:ffff::"},
        {"2001:db8::/255.255.0.0", "2001:db8::/255.255.0.0"},
        {"::ffff:10.0.0.0/255.0.0.0", "::ffff:10.0.0.0/255.0.0.0"},
        {"[2001:db8::]/129", "[2001:db8::]/129"},
        {"[2001:db8::] /x", "[2001:db8::] /x"},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = dir.write("hosts", "gateway\n" + c.line + "\n");
        internal_hosts_t list(1);
        const auto failure = load_internal_hosts(path, list);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->message, path + ": invalid CIDR specification `" + c.shown + "'\n");
        EXPECT_EQ(failure->status, 69);
        EXPECT_EQ(list.size(), 1u) << "the list is left alone";
    }
}

TEST(InternalHostsIpv6, MixedFileInReverseOrder) {
    temp_dir dir;
    const std::string path = dir.write(
        "hosts",
        "10.0.0.0/8\n2001:db8::/32 # office\n\nrelay.example.com\n[::1]\n::ffff:192.0.2.7\n");
    internal_hosts_t list;
    EXPECT_EQ(load_internal_hosts(path, list), std::nullopt);
    ASSERT_EQ(list.size(), 5u);
    expect_record(list[0], v4("192.0.2.7", "255.255.255.255"));
    expect_record(list[1], v6("::1"));
    expect_record(list[2], name("relay.example.com"));
    expect_record(list[3], v6("2001:db8::", 32));
    expect_record(list[4], v4("10.0.0.0", "255.0.0.0"));
}

TEST(InternalHostsIpv6, TheBuiltInRecordHoldsLocalhostAndBothLoopbacks) {
    internal_hosts_t list;
    EXPECT_EQ(load_internal_hosts(std::nullopt, list), std::nullopt);
    ASSERT_EQ(list.size(), 1u);
    expect_record(list[0], {"localhost", addr("127.0.0.1"), 0xffffffffu, net6("::1")});
}

// ---- matching the internal hosts

struct client {
    const char* host;
    const char* v4;  // or v6, or neither
    const char* v6;
};

// The client's address as the connection record holds it: family 0 when
// there is none.
sockaddr_storage address_of(const client& c) {
    sockaddr_storage storage{};
    if (c.v4 != nullptr) {
        const sockaddr_in sin = ipv4_client(c.v4);
        std::memcpy(&storage, &sin, sizeof sin);
    } else if (c.v6 != nullptr) {
        const sockaddr_in6 sin6 = ipv6_client(c.v6);
        std::memcpy(&storage, &sin6, sizeof sin6);
    }
    return storage;
}

std::string describe(const std::vector<std::string>& lines, const client& c) {
    std::string text = "[";
    for (const auto& line : lines) {
        text += testing::PrintToString(line) + " ";
    }
    return text + "] " + c.host + " " + (c.v4 ? c.v4 : c.v6 ? c.v6 : "(no address)");
}

TEST(InternalMatch, FileEntriesAgainstIpv4AndIpv6Clients) {
    struct case_ {
        std::vector<std::string> lines;
        client c;
        bool internal;
    };
    const case_ cases[] = {
        {{}, {"h", nullptr, "2001:db8::5"}, false},
        // Exact addresses, compared as addresses.
        {{"2001:db8::5"}, {"h", nullptr, "2001:db8::5"}, true},
        {{"2001:db8::5"}, {"h", nullptr, "2001:DB8:0::5"}, true},
        {{"2001:db8::5"}, {"h", nullptr, "2001:db8::6"}, false},
        {{"2001:db8::5"}, {"h", nullptr, "2001:db8::5:0"}, false},
        {{"::1"}, {"h", nullptr, "::1"}, true},
        {{"::1"}, {"h", nullptr, "::2"}, false},
        // Prefix lengths at their edges.
        {{"2001:db8::/32"}, {"h", nullptr, "2001:db8:ffff:ffff::1"}, true},
        {{"2001:db8::/32"}, {"h", nullptr, "2001:db9::1"}, false},
        {{"2001:db8::/32"}, {"h", nullptr, "2001:db7:ffff::1"}, false},
        {{"8000::/1"}, {"h", nullptr, "8000::1"}, true},
        {{"8000::/1"}, {"h", nullptr, "ffff::1"}, true},
        {{"8000::/1"}, {"h", nullptr, "7fff:ffff::1"}, false},
        {{"2001:db8:0:1::/64"}, {"h", nullptr, "2001:db8:0:1:ffff:ffff:ffff:ffff"}, true},
        {{"2001:db8:0:1::/64"}, {"h", nullptr, "2001:db8:0:2::"}, false},
        {{"2001:db8:0:1::/64"}, {"h", nullptr, "2001:db8:0:0:ffff:ffff:ffff:ffff"}, false},
        {{"2001:db8::4/127"}, {"h", nullptr, "2001:db8::4"}, true},
        {{"2001:db8::4/127"}, {"h", nullptr, "2001:db8::5"}, true},
        {{"2001:db8::4/127"}, {"h", nullptr, "2001:db8::6"}, false},
        {{"2001:db8::4/127"}, {"h", nullptr, "2001:db8::3"}, false},
        {{"2001:db8::5/128"}, {"h", nullptr, "2001:db8::5"}, true},
        {{"2001:db8::5/128"}, {"h", nullptr, "2001:db8::4"}, false},
        // Bits past the prefix do not count.
        {{"2001:db8::5/32"}, {"h", nullptr, "2001:db8:1::9"}, true},
        {{"2001:db8::ff/121"}, {"h", nullptr, "2001:db8::80"}, true},
        {{"2001:db8::ff/121"}, {"h", nullptr, "2001:db8::7f"}, false},
        // The counterpart of the IPv4 rule: a zero prefix or the address ::
        // never matches, however the rest reads.
        {{"2001:db8::/0"}, {"h", nullptr, "2001:db8::5"}, false},
        {{"::/0"}, {"h", nullptr, "2001:db8::5"}, false},
        {{"::/1"}, {"h", nullptr, "::5"}, false},
        {{"::/127"}, {"h", nullptr, "::1"}, false},
        {{"::"}, {"h", nullptr, "::"}, false},
        {{"::ffff:10.0.0.0/0"}, {"h", nullptr, "2001:db8::5"}, false},
        // Bracketed entries are addresses.
        {{"[2001:db8::5]"}, {"mx.example.net", nullptr, "2001:db8::5"}, true},
        {{"[IPv6:2001:db8::5]"}, {"[IPv6:2001:db8::5]", nullptr, "2001:db8::5"}, true},
        {{"[2001:db8::]/32"}, {"h", nullptr, "2001:db8::77"}, true},
        {{"[2001:db8::5]"}, {"[2001:db8::5]", nullptr, "2001:db8::6"}, false},
        // A bracketed IPv4 entry is still the name it was: it matches the
        // name the MTA gives a client it found no name for, nothing else.
        {{"[192.0.2.1]"}, {"[192.0.2.1]", "198.51.100.1", nullptr}, true},
        {{"[192.0.2.1]"}, {"mx.example.net", "192.0.2.1", nullptr}, false},
        // Malformed IPv6 entries are names and match only a host so named.
        {{"2001:db8::g"}, {"h", nullptr, "2001:db8::"}, false},
        {{"[2001:db8::/32]"}, {"h", nullptr, "2001:db8::1"}, false},
        {{"fe80::1%eth0"}, {"fe80::1%eth0", nullptr, "fe80::1"}, true},
        // IPv6 entries never match IPv4 clients, nor IPv4 entries IPv6 ones.
        {{"2001:db8::/32", "::ffff:0:0/95"}, {"h", "192.0.2.1", nullptr}, false},
        {{"10.0.0.0/8", "127.0.0.1"}, {"h", nullptr, "::a00:1"}, false},
        {{"10.0.0.0/8", "127.0.0.1"}, {"h", nullptr, "::1"}, false},
        {{"10.0.0.0/8"}, {"h", nullptr, "a00::1"}, false},
        // An IPv4-mapped client is the IPv4 client it stands for: IPv4
        // entries and IPv4-mapped ones match it, IPv6 entries do not.
        {{"10.0.0.0/8"}, {"h", nullptr, "::ffff:10.1.2.3"}, true},
        {{"10.0.0.0/255.0.0.0"}, {"h", nullptr, "::ffff:11.1.2.3"}, false},
        {{"192.0.2.7"}, {"h", nullptr, "::ffff:192.0.2.7"}, true},
        {{"0.0.0.0/0"}, {"h", nullptr, "::ffff:192.0.2.7"}, false},
        {{"::ffff:192.0.2.0/120"}, {"h", nullptr, "::ffff:192.0.2.99"}, true},
        {{"::ffff:0:0/95"}, {"h", nullptr, "::ffff:192.0.2.99"}, false},
        {{"::ffff:0:0/95"}, {"h", nullptr, "::fffe:1:2"}, true},
        {{"::/1", "2001:db8::/32"}, {"h", nullptr, "::ffff:192.0.2.99"}, false},
        // An IPv4 client matches an entry written as IPv4-mapped.
        {{"::ffff:192.0.2.0/120"}, {"h", "192.0.2.99", nullptr}, true},
        {{"::ffff:192.0.2.0/120"}, {"h", "192.0.3.1", nullptr}, false},
        {{"::ffff:192.0.2.7"}, {"h", "192.0.2.7", nullptr}, true},
        {{"[::ffff:192.0.2.7]"}, {"h", "192.0.2.7", nullptr}, true},
        // ... with the IPv4 zero rules.
        {{"::ffff:10.0.0.0/96"}, {"h", "10.1.2.3", nullptr}, false},
        {{"::ffff:0.0.0.0/104"}, {"h", "0.1.2.3", nullptr}, false},
        // Names still match IPv6 clients, and any entry may decide.
        {{".example.com"}, {"mx.example.com", nullptr, "2001:db8::5"}, true},
        {{"2001:db8::5", ".example.com", "10.0.0.0/8"},
         {"mx.example.org", nullptr, "2001:db8::5"},
         true},
        {{"2001:db8::5", ".example.com", "10.0.0.0/8"},
         {"mx.example.org", nullptr, "2001:db8::6"},
         false},
        // Without an address only names match.
        {{"2001:db8::/32", "::ffff:0.0.0.0/97"}, {"h", nullptr, nullptr}, false},
        {{"2001:db8::/32", "h"}, {"h", nullptr, nullptr}, true},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.lines, c.c));
        std::string content;
        for (const auto& line : c.lines) {
            content += line + "\n";
        }
        internal_hosts_t list;
        ASSERT_EQ(load_internal_hosts(dir.write("hosts", content), list), std::nullopt);
        const sockaddr_storage address = address_of(c.c);
        EXPECT_EQ(vlcf_internal_match(list, c.c.host, reinterpret_cast<const sockaddr*>(&address)),
                  c.internal);
        const bool has_address = c.c.v4 != nullptr || c.c.v6 != nullptr;
        if (!has_address) {
            EXPECT_EQ(vlcf_internal_match(list, c.c.host, nullptr), c.internal);
        }
    }
}

TEST(InternalMatch, TheBuiltInList) {
    internal_hosts_t list;
    ASSERT_EQ(load_internal_hosts(std::nullopt, list), std::nullopt);
    struct case_ {
        client c;
        bool internal;
    };
    const case_ cases[] = {
        {{"localhost", nullptr, nullptr}, true},
        {{"LocalHost", nullptr, "2001:db8::5"}, true},
        {{"mx.example.net", "127.0.0.1", nullptr}, true},
        {{"mx.example.net", "127.0.0.2", nullptr}, false},
        {{"ip6-localhost", nullptr, "::1"}, true},
        {{"[::1]", nullptr, "::1"}, true},
        {{"mx.example.net", nullptr, "::2"}, false},
        {{"mx.example.net", nullptr, "::"}, false},
        {{"mx.example.net", nullptr, "::ffff:127.0.0.1"}, true},
        {{"mx.example.net", nullptr, "::127.0.0.1"}, false},
        {{"mx.example.net", nullptr, "::ffff:0:1"}, false},
        {{"mx.example.net", nullptr, "2001:db8::1"}, false},
        {{"mx.example.net", nullptr, nullptr}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(describe({}, c.c));
        const sockaddr_storage address = address_of(c.c);
        EXPECT_EQ(vlcf_internal_match(list, c.c.host, reinterpret_cast<const sockaddr*>(&address)),
                  c.internal);
    }
}

// Only AF_INET and AF_INET6 addresses are read; other families leave the
// names.
TEST(InternalMatch, OtherFamiliesMatchOnlyByName) {
    internal_hosts_t list;
    ASSERT_EQ(load_internal_hosts(std::nullopt, list), std::nullopt);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_FALSE(vlcf_internal_match(list, "mx", reinterpret_cast<const sockaddr*>(&local)));
    EXPECT_TRUE(vlcf_internal_match(list, "localhost", reinterpret_cast<const sockaddr*>(&local)));
    const sockaddr_storage none{};
    EXPECT_FALSE(vlcf_internal_match(list, "mx", reinterpret_cast<const sockaddr*>(&none)));
    EXPECT_FALSE(vlcf_internal_match(list, "", nullptr));
}

// ---- the PeerList

TEST(PeerListIpv6, LinesAreKeptAsWritten) {
    temp_dir dir;
    const std::string path =
        dir.write("peers", "2001:db8::/32\r\n!2001:db8::5\n[2001:db8::7]\n2001:db8::8 \n");
    peer_list_t list;
    EXPECT_EQ(load_peer_list(path, list), std::nullopt);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_FALSE(list[0].pe_negate);
    EXPECT_EQ(list[0].pe_name, "2001:db8::/32");
    EXPECT_TRUE(list[1].pe_negate);
    EXPECT_EQ(list[1].pe_name, "2001:db8::5");
    EXPECT_EQ(list[2].pe_name, "[2001:db8::7]");
    EXPECT_EQ(list[3].pe_name, "2001:db8::8 ");
}

int checkip(const peer_list_t& list, const client& c) {
    const sockaddr_storage address = address_of(c);
    return vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&address));
}

TEST(PeerListIpv6, AddressesNetworksAndTheLastMatch) {
    struct case_ {
        std::vector<std::string> lines;
        const char* v6;  // or, for an IPv4 client, v4
        const char* v4;
        int result;
    };
    const case_ cases[] = {
        {{}, "2001:db8::5", nullptr, 0},
        // Addresses, compared as addresses.
        {{"2001:db8::5"}, "2001:db8::5", nullptr, 1},
        {{"2001:DB8:0:0::5"}, "2001:db8::5", nullptr, 1},
        {{"2001:db8::5"}, "2001:db8::6", nullptr, 0},
        {{"::1"}, "::1", nullptr, 1},
        // Prefix lengths at their edges. A zero prefix admits every IPv6
        // client, as 0.0.0.0/0 admits every IPv4 client.
        {{"::/0"}, "2001:db8::5", nullptr, 1},
        {{"2001:db8::/0"}, "fe80::1", nullptr, 1},
        {{"8000::/1"}, "ffff::1", nullptr, 1},
        {{"8000::/1"}, "7fff::1", nullptr, 0},
        {{"2001:db8:0:1::/64"}, "2001:db8:0:1:abcd::1", nullptr, 1},
        {{"2001:db8:0:1::/64"}, "2001:db8:0:2::1", nullptr, 0},
        {{"2001:db8::4/127"}, "2001:db8::5", nullptr, 1},
        {{"2001:db8::4/127"}, "2001:db8::6", nullptr, 0},
        {{"2001:db8::5/128"}, "2001:db8::5", nullptr, 1},
        {{"2001:db8::5/128"}, "2001:db8::4", nullptr, 0},
        {{"2001:db8::/032"}, "2001:db8::1", nullptr, 1},
        // The address :: is an address like any other here.
        {{"::"}, "::", nullptr, 1},
        // Malformed entries are skipped, as the IPv4 ones are: nothing is
        // trimmed, a prefix is digits only, brackets never match.
        {{"2001:db8::/129"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/-1"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/+32"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/ 32"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/32 "}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/32x"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/32/32"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/4294967328"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/ffff:ffff::"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::/255.255.0.0"}, "2001:db8::1", nullptr, 0},
        {{"2001:db8::5 "}, "2001:db8::5", nullptr, 0},
        {{" 2001:db8::5"}, "2001:db8::5", nullptr, 0},
        {{"2001:db8::5\r"}, "2001:db8::5", nullptr, 0},
        {{"[2001:db8::5]"}, "2001:db8::5", nullptr, 0},
        {{"[IPv6:2001:db8::5]"}, "2001:db8::5", nullptr, 0},
        {{"[2001:db8::]/32"}, "2001:db8::5", nullptr, 0},
        {{"2001:db8::g"}, "2001:db8::", nullptr, 0},
        {{"fe80::1%eth0"}, "fe80::1", nullptr, 0},
        {{"2001:db8:::5"}, "2001:db8::5", nullptr, 0},
        // Negation and order.
        {{"2001:db8::/32", "!2001:db8:1::/48"}, "2001:db8:1::1", nullptr, 0},
        {{"2001:db8::/32", "!2001:db8:1::/48"}, "2001:db8:2::1", nullptr, 1},
        {{"!2001:db8:1::/48", "2001:db8::/32"}, "2001:db8:1::1", nullptr, 1},
        {{"::/0", "!::/0"}, "2001:db8::1", nullptr, 0},
        {{"!::/0", "2001:db8::1"}, "2001:db8::1", nullptr, 1},
        {{"2001:db8::1", "!2001:db8::1/128", "2001:db8::/129"}, "2001:db8::1", nullptr, 0},
        {{"!2001:db8::1"}, "2001:db8::1", nullptr, 0},
        // Mixed lists: IPv4 entries leave IPv6 clients alone and the other
        // way round.
        {{"0.0.0.0/0"}, "2001:db8::1", nullptr, 0},
        {{"::/0"}, nullptr, "192.0.2.7", 0},
        {{"::/0", "!192.0.2.0/24"}, "2001:db8::1", nullptr, 1},
        {{"0.0.0.0/0", "!2001:db8::1"}, nullptr, "192.0.2.7", 1},
        {{"2001:db8::/32", "!0.0.0.0/0"}, "2001:db8::1", nullptr, 1},
        {{"192.0.2.7", "!::/0"}, nullptr, "192.0.2.7", 1},
        {{"10.1.2.3"}, "::10.1.2.3", nullptr, 0},
        {{"0.0.0.0/0"}, "::10.1.2.3", nullptr, 0},
        // An IPv4-mapped client is the IPv4 client it stands for.
        {{"192.0.2.7"}, "::ffff:192.0.2.7", nullptr, 1},
        {{"192.0.2.0/24"}, "::ffff:192.0.2.99", nullptr, 1},
        {{"192.0.2.0/255.255.255.0"}, "::ffff:192.0.3.1", nullptr, 0},
        {{"0.0.0.0/0"}, "::ffff:203.0.113.9", nullptr, 1},
        {{"0.0.0.0/0", "!192.0.2.7"}, "::ffff:192.0.2.7", nullptr, 0},
        {{"::/0"}, "::ffff:192.0.2.7", nullptr, 0},
        {{"::ffff:0:0/95"}, "::ffff:192.0.2.7", nullptr, 0},
        {{"::ffff:0:0/95"}, "::fffe:1:2", nullptr, 1},
        // An entry written as IPv4-mapped stands for IPv4 clients.
        {{"::ffff:192.0.2.7"}, nullptr, "192.0.2.7", 1},
        {{"::ffff:192.0.2.7"}, "::ffff:192.0.2.7", nullptr, 1},
        {{"::ffff:192.0.2.7"}, nullptr, "192.0.2.8", 0},
        {{"::ffff:192.0.2.0/120"}, nullptr, "192.0.2.99", 1},
        {{"::ffff:192.0.2.0/120"}, nullptr, "192.0.3.1", 0},
        {{"::ffff:0:0/96"}, nullptr, "203.0.113.9", 1},
        {{"::ffff:255.255.255.255"}, nullptr, "255.255.255.255", 1},
        {{"192.0.2.0/24", "!::ffff:192.0.2.7"}, nullptr, "192.0.2.7", 0},
        {{"::ffff:192.0.2.7 "}, nullptr, "192.0.2.7", 0},
        {{"::ffff:192.0.2.0/97x"}, nullptr, "192.0.2.7", 0},
        {{"[::ffff:192.0.2.7]"}, nullptr, "192.0.2.7", 0},
    };
    for (const auto& c : cases) {
        const client cl{"h", c.v4, c.v6};
        SCOPED_TRACE(describe(c.lines, cl));
        const peer_list_t list = make_peers(c.lines);
        const peer_list_t before = list;
        EXPECT_EQ(checkip(list, cl), c.result);
        EXPECT_TRUE(same_entries(list, before));
    }
}

}  // namespace
