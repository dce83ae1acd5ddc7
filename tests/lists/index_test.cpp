// The indexed matchers against the walk they replace (reference_match.h):
// the cases an index could get wrong (overlapping networks, a key filed
// twice, entries that are both a name and a suffix, case, empty and dotted
// names, entries that never match, zero masks), then generated lists and
// clients of every form, where indexed and walked verdicts must agree. Each
// list is also matched through a copy that outlives the original, as the
// lists in a copied settings record are.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/peers.h"
#include "tests/lists/reference_match.h"
#include "tests/lists/temp_dir.h"

namespace {

// A client address from its text: a dotted quad, an IPv6 address, or
// nothing at all for "".
struct address {
    sockaddr_storage storage{};

    explicit address(const std::string& text) {
        if (text.find(':') != std::string::npos) {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
            sin6->sin6_family = AF_INET6;
            EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &sin6->sin6_addr), 1) << text;
        } else if (!text.empty()) {
            auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
            sin->sin_family = AF_INET;
            EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &sin->sin_addr), 1) << text;
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// A list that is a copy of one built and dropped here, so that nothing of
// the original's index can remain in use.
template <typename List>
List copied(const List& list) {
    auto original = std::make_unique<List>(list);
    List copy = *original;
    original.reset();
    return copy;
}

std::string describe(const std::vector<std::string>& lines) {
    std::string text = "[";
    for (const auto& line : lines) {
        text += testing::PrintToString(line) + " ";
    }
    return text + "]";
}

// ---- the PeerList

struct peer_case {
    std::vector<std::string> lines;
    std::string client;  // host name, or address with by_address
    bool by_address;
    int result;
};

void expect_peer_cases(const std::vector<peer_case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(describe(c.lines) + " " + testing::PrintToString(c.client));
        const peer_list_t list = make_peers(c.lines);
        const peer_list_t copy = copied(list);
        if (c.by_address) {
            const address a(c.client);
            EXPECT_EQ(vlcf_checkip(list, a.get()), c.result);
            EXPECT_EQ(vlcf_checkip(copy, a.get()), c.result);
            EXPECT_EQ(reference::checkip(list, a.get()), c.result);
        } else {
            EXPECT_EQ(vlcf_checkhost(list, c.client.c_str()), c.result);
            EXPECT_EQ(vlcf_checkhost(copy, c.client.c_str()), c.result);
            EXPECT_EQ(reference::checkhost(list, c.client.c_str()), c.result);
        }
    }
}

TEST(PeerIndex, OverlappingNetworksInEveryOrder) {
    const std::vector<std::string> wide_first = {"10.0.0.0/8", "!10.1.0.0/16", "10.1.2.0/24"};
    const std::vector<std::string> narrow_first = {"10.1.2.0/24", "!10.1.0.0/16", "10.0.0.0/8"};
    const std::vector<std::string> negation_last = {"10.1.2.0/24", "10.0.0.0/8", "!10.1.0.0/16"};
    expect_peer_cases({
        {wide_first, "10.9.9.9", true, 1},
        {wide_first, "10.1.9.9", true, 0},
        {wide_first, "10.1.2.3", true, 1},
        {wide_first, "11.1.2.3", true, 0},
        {narrow_first, "10.9.9.9", true, 1},
        {narrow_first, "10.1.9.9", true, 1},
        {narrow_first, "10.1.2.3", true, 1},
        {negation_last, "10.1.2.3", true, 0},
        {negation_last, "10.9.9.9", true, 1},
        // The same networks written with dotted masks, and as IPv4-mapped
        // networks, share the tables of their masks.
        {{"10.0.0.0/255.0.0.0", "!::ffff:10.1.0.0/112", "10.1.2.0/255.255.255.0"},
         "10.1.9.9",
         true,
         0},
        {{"10.0.0.0/255.0.0.0", "!::ffff:10.1.0.0/112", "10.1.2.0/255.255.255.0"},
         "10.1.2.9",
         true,
         1},
        {{"2001:db8::/32", "!2001:db8:1::/48", "2001:db8:1:2::/64"}, "2001:db8:1:2::5", true, 1},
        {{"2001:db8::/32", "!2001:db8:1::/48", "2001:db8:1:2::/64"}, "2001:db8:1:3::5", true, 0},
        {{"2001:db8:1:2::/64", "!2001:db8:1::/48", "2001:db8::/32"}, "2001:db8:1:2::5", true, 1},
        {{"2001:db8:1:2::/64", "2001:db8::/32", "!2001:db8:1::/48"}, "2001:db8:1:2::5", true, 0},
    });
}

// Entries that land under one key: the later one decides, whatever each
// says.
TEST(PeerIndex, OneKeyFiledTwice) {
    expect_peer_cases({
        {{"mx.b.c", "!MX.B.C"}, "mx.b.c", false, 0},
        {{"!mx.b.c", "MX.b.c"}, "mx.b.c", false, 1},
        {{".b.c", "!.B.C", ".b.C"}, "x.b.c", false, 1},
        {{".b.c", ".b.c", "!.b.c"}, "x.b.c", false, 0},
        {{"192.0.2.7", "!192.0.2.7/32"}, "192.0.2.7", true, 0},
        {{"!192.0.2.7/32", "192.0.2.7"}, "192.0.2.7", true, 1},
        {{"10.0.0.0/8", "!10.0.0.0/255.0.0.0"}, "10.1.2.3", true, 0},
        {{"!10.0.0.0/8", "10.0.0.0/255.0.0.0"}, "10.1.2.3", true, 1},
        // Different networks, one key under their mask.
        {{"10.1.2.3/8", "!10.9.9.9/8"}, "10.5.5.5", true, 0},
        {{"!10.1.2.3/8", "10.9.9.9/8"}, "10.5.5.5", true, 1},
        {{"::ffff:192.0.2.7", "!192.0.2.7"}, "192.0.2.7", true, 0},
        {{"!::ffff:192.0.2.7", "192.0.2.7"}, "::ffff:192.0.2.7", true, 1},
        {{"2001:db8::/32", "!2001:db8:0::/32"}, "2001:db8::5", true, 0},
        {{"2001:db8::1/32", "!2001:db8:ffff::/32", "2001:db8::/32"}, "2001:db8::5", true, 1},
        // One text, two kinds of key: a name and an address.
        {{"192.0.2.7", "!other"}, "192.0.2.7", false, 1},
        {{"192.0.2.7", "!other"}, "192.0.2.7", true, 1},
    });
}

TEST(PeerIndex, NamesSuffixesAndCase) {
    expect_peer_cases({
        // ".b.c" is the host .b.c and a suffix of x.b.c; "x.b.c" is only
        // a host.
        {{".b.c", "!x.b.c"}, ".b.c", false, 1},
        {{".b.c", "!x.b.c"}, "x.b.c", false, 0},
        {{".b.c", "!x.b.c"}, "y.x.b.c", false, 1},
        {{"!.b.c", "x.b.c"}, "x.b.c", false, 1},
        {{"!.b.c", "x.b.c"}, "x.b.c.d", false, 0},
        {{"x.b.c", "!.b.c"}, "x.b.c", false, 0},
        // Each tail is looked at, not only the longest or the shortest.
        {{"!.c", ".b.c", "!.a.b.c"}, "z.a.b.c", false, 0},
        {{"!.c", "!.a.b.c", ".b.c"}, "z.a.b.c", false, 1},
        {{".a.b.c", "!.c", ".b.c"}, "z.a.b.c", false, 1},
        // Case, on either side.
        {{"Mx.b.C"}, "MX.B.C", false, 1},
        {{"!.EXAMPLE.com"}, "Mail.Example.COM", false, 0},
        {{".EXAMPLE.com"}, "Mail.Example.COM", false, 1},
        {{"MX.Ü.c"}, "mx.Ü.c", false, 1},
        {{"mx.\xc3\xbc.c"}, "mx.\xc3\x9c.c", false, 0},
        // A host that begins with a dot.
        {{".b.c"}, ".b.c", false, 1},
        {{"b.c"}, ".b.c", false, 0},
        {{".c"}, ".b.c", false, 1},
        {{".b.c"}, "..b.c", false, 1},
        {{".."}, "a..", false, 1},
        {{"."}, "a.", false, 1},
        {{"."}, "a.b", false, 0},
        // The empty name.
        {{""}, "", false, 1},
        {{"", "!"}, "", false, 0},
        {{"."}, "", false, 0},
        {{"!a", ""}, "a", false, 0},
        // Lines are not trimmed: trailing blanks never match.
        {{"mx.b.c "}, "mx.b.c", false, 0},
        {{".b.c\t"}, "x.b.c", false, 0},
    });
}

TEST(PeerIndex, AddressFormsAndEntriesThatNeverMatch) {
    expect_peer_cases({
        // Trailing blanks: only the network part of a network may carry
        // them, since inet_addr reads past them.
        {{"10.0.0.1 "}, "10.0.0.1", true, 0},
        {{"10.0.0.0/8 "}, "10.1.2.3", true, 0},
        {{"2001:db8::1 "}, "2001:db8::1", true, 0},
        {{"::ffff:10.0.0.1 "}, "10.0.0.1", true, 0},
        {{"10.0.0.0 /8"}, "10.1.2.3", true, 1},
        // A dotted quad by text must be written as the client's is.
        {{"010.0.0.1"}, "10.0.0.1", true, 0},
        {{"10.0.0.01"}, "10.0.0.1", true, 0},
        {{"10.1"}, "10.0.0.1", true, 0},
        {{"0.0.0.0"}, "0.0.0.0", true, 1},
        {{"255.255.255.255"}, "255.255.255.255", true, 1},
        {{"255.255.255.255/32"}, "255.255.255.255", true, 0},
        // Networks in inet_addr's other forms: 10.1 is 10.0.0.1, 10 is
        // 0.0.0.10.
        {{"10.1/16"}, "10.0.9.9", true, 1},
        {{"10.1/16"}, "10.1.9.9", true, 0},
        {{"10/8"}, "0.1.2.3", true, 1},
        {{"10/8"}, "10.1.2.3", true, 0},
        {{"0x0a.0.0.0/8"}, "10.1.2.3", true, 1},
        {{"0xa000000/8"}, "10.1.2.3", true, 1},
        {{"012.0.0.0/8"}, "10.1.2.3", true, 1},
        {{"012.0.0.0/8"}, "12.1.2.3", true, 0},
        // Non-contiguous masks.
        {{"10.0.0.5/255.0.0.255"}, "10.7.7.5", true, 1},
        {{"10.0.0.5/255.0.0.255", "!0.0.7.0/0.0.255.0"}, "10.7.7.5", true, 0},
        {{"10.0.0.5/255.0.0.255", "!0.0.7.0/0.0.255.0"}, "10.7.8.5", true, 1},
        // Zero masks match every client of their family.
        {{"0.0.0.0/0"}, "203.0.113.9", true, 1},
        {{"0.0.0.0/0"}, "::ffff:203.0.113.9", true, 1},
        {{"0.0.0.0/0"}, "2001:db8::1", true, 0},
        {{"10.0.0.0/0.0.0.0"}, "203.0.113.9", true, 1},
        {{"::ffff:0:0/96"}, "203.0.113.9", true, 1},
        {{"::/0"}, "2001:db8::1", true, 1},
        {{"::/0"}, "::", true, 1},
        {{"::/0"}, "203.0.113.9", true, 0},
        {{"::/0"}, "::ffff:203.0.113.9", true, 0},
        {{"0.0.0.0/0", "!::/0"}, "203.0.113.9", true, 1},
        // Other families, and no address at all, match nothing.
        {{"0.0.0.0/0", "::/0"}, "", true, 0},
    });
}

// ---- the internal hosts

ipv6_network net6(const char* text, unsigned prefix) {
    ipv6_network network;
    EXPECT_EQ(inet_pton(AF_INET6, text, network.n6_addr.data()), 1) << text;
    network.n6_prefix = prefix;
    return network;
}

struct internal_case {
    std::vector<internal_host> records;
    std::string host;
    std::string client;
    bool internal;
};

void expect_internal_cases(const std::vector<internal_case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + testing::PrintToString(c.host) + " " +
                     c.client);
        const internal_hosts_t list(c.records);
        const internal_hosts_t copy = copied(list);
        const address a(c.client);
        EXPECT_EQ(vlcf_internal_match(list, c.host, a.get()), c.internal);
        EXPECT_EQ(vlcf_internal_match(copy, c.host, a.get()), c.internal);
        EXPECT_EQ(reference::internal_match(list, c.host, a.get()), c.internal);
    }
}

TEST(InternalIndex, NamesAndAddresses) {
    const std::uint32_t all = 0xffffffffu;
    const internal_host builtin{"localhost", inet_addr("127.0.0.1"), all, net6("::1", 128)};
    expect_internal_cases({
        {{{".b.c", 0, 0}, {"x.b.c", 0, 0}}, "y.b.c", "", true},
        {{{".b.c", 0, 0}}, ".b.c", "", true},
        {{{".b.c", 0, 0}}, "b.c", "", false},
        {{{"x.b.c", 0, 0}}, "y.x.b.c", "", false},
        {{{"X.B.C", 0, 0}}, "x.b.c", "", true},
        {{{".b.c", 0, 0}}, "Y.X.B.C", "", true},
        {{{"b.c", 0, 0}}, ".b.c", "", false},
        {{{".c", 0, 0}}, "..c", "", true},
        {{{"mx.b.c ", 0, 0}}, "mx.b.c", "", false},
        // The name is matched as given, an empty one included.
        {{{"localhost", 0, 0}}, "", "", false},
        {{{"", 0, 0}}, "", "", true},
        {{{"", 0, 0}}, "a", "", false},
        // Networks, overlapping or not, dotted and non-contiguous masks.
        {{{std::nullopt, inet_addr("10.0.0.0"), inet_addr("255.0.0.0")}}, "h", "10.1.2.3", true},
        {{{std::nullopt, inet_addr("10.1.0.0"), inet_addr("255.255.0.0")},
          {std::nullopt, inet_addr("10.0.0.0"), inet_addr("255.0.0.0")}},
         "h",
         "10.9.2.3",
         true},
        {{{std::nullopt, inet_addr("10.0.0.5"), inet_addr("255.0.0.255")}}, "h", "10.7.7.5", true},
        {{{std::nullopt, inet_addr("10.0.0.5"), inet_addr("255.0.0.255")}}, "h", "10.7.7.6", false},
        {{{std::nullopt, inet_addr("10.0.0.5"), all}}, "h", "::ffff:10.0.0.5", true},
        {{{std::nullopt, 0, 0, net6("2001:db8::", 32)}}, "h", "2001:db8:5::1", true},
        {{{std::nullopt, 0, 0, net6("2001:db8::", 32)}}, "h", "2001:db9::1", false},
        {{{std::nullopt, 0, 0, net6("2001:db8::", 32)}}, "h", "::ffff:32.1.13.184", false},
        // Zero addresses, masks and prefixes never match, even where the
        // PeerList's 0.0.0.0/0 and ::/0 would match everyone.
        {{{std::nullopt, 0, 0}}, "h", "0.0.0.0", false},
        {{{std::nullopt, 0, all}}, "h", "0.0.0.0", false},
        {{{std::nullopt, inet_addr("10.0.0.0"), 0}}, "h", "10.0.0.0", false},
        {{{std::nullopt, inet_addr("10.0.0.0"), 0}}, "h", "203.0.113.9", false},
        {{{std::nullopt, 0, 0, net6("::", 0)}}, "h", "2001:db8::1", false},
        {{{std::nullopt, 0, 0, net6("2001:db8::", 0)}}, "h", "2001:db8::1", false},
        {{{std::nullopt, 0, 0, net6("::", 128)}}, "h", "::", false},
        {{{std::nullopt, 0, 0, net6("::", 1)}}, "h", "::5", false},
        // A non-zero address under a mask that clears it still matches.
        {{{std::nullopt, inet_addr("0.0.0.1"), inet_addr("255.0.0.0")}}, "h", "0.9.9.9", true},
        {{{std::nullopt, 0, 0, net6("::1", 1)}}, "h", "::5", true},
        // A record with all three parts matches by any of them.
        {{builtin}, "LocalHost", "203.0.113.9", true},
        {{builtin}, "h", "127.0.0.1", true},
        {{builtin}, "h", "::ffff:127.0.0.1", true},
        {{builtin}, "h", "::1", true},
        {{builtin}, "h", "::2", false},
        {{builtin}, "h", "", false},
    });
}

// ---- generated lists

// Pieces that make entries and clients meet often: few labels, few
// octets, few IPv6 networks.
const char* const labels[] = {"a", "b", "mx", "Mail", "EXAMPLE", "c", ""};
const int octet_values[] = {0, 1, 2, 7, 10, 127, 192, 255};
const char* const ipv6_bases[] = {
    "2001:db8::", "2001:db8:1::", "2001:db8:1:2::5", "::",    "::1", "fe80::", "2001:DB8::7",
    "::fffe:1:2", "::ffff:0:0",   "::ffff:10.0.0.0", "8000::"};
const char* const ipv6_prefixes[] = {"0",  "1",   "16",  "32",  "48",  "64",  "95",
                                     "96", "112", "127", "128", "129", "032", ""};
const char* const ipv4_masks[] = {
    // Prefix lengths, with a leading zero, out of range, empty, malformed.
    "0", "1", "8", "08", "16", "24", "31", "32", "33", "", "8x", "-1", "4294967304",
    // Dotted masks, contiguous or not, all ones, with a trailing blank.
    "255.0.0.0", "255.255.0.0", "255.0.255.0", "0.255.0.255", "0.0.0.0", "255.255.255.255",
    "255.0.0.0 "};

class generator {
  public:
    explicit generator(unsigned seed) : rng_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    template <typename T, std::size_t N>
    const T& pick(const T (&pool)[N]) {
        return pool[below(N)];
    }

    std::string name(std::size_t most_labels) {
        std::string text = chance(30) ? "." : "";
        const std::size_t count = 1 + below(most_labels);
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) {
                text += '.';
            }
            text += pick(labels);
        }
        for (char& c : text) {
            if (chance(10) && c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return text;
    }

    std::string octet() { return std::to_string(pick(octet_values)); }
    std::string dotted_quad() { return octet() + "." + octet() + "." + octet() + "." + octet(); }

    // The network part of an IPv4 network in the forms inet_addr reads.
    std::string ipv4_network_part() {
        switch (below(8)) {
            case 0:
                return octet();
            case 1:
                return octet() + "." + octet();
            case 2:
                return octet() + "." + octet() + "." + octet();
            case 3:
                return "0x0a." + octet() + ".0.0";
            case 4:
                return "012.0." + octet() + ".0";
            case 5:
                return dotted_quad() + (chance(50) ? " " : "\t");
            case 6:
                return " " + dotted_quad();
            default:
                return dotted_quad();
        }
    }

    std::string ipv6_text() {
        std::string text = pick(ipv6_bases);
        if (text.ends_with("::") && chance(30)) {
            text += std::to_string(below(3));
        }
        return text;
    }

    std::string peer_line() {
        std::string line = chance(30) ? "!" : "";
        switch (below(8)) {
            case 0:
            case 1:
                return line + name(4);
            case 2:
                return line + (chance(80) ? dotted_quad() : "0" + dotted_quad());
            case 3:
            case 4:
                return line + ipv4_network_part() + "/" + pick(ipv4_masks);
            case 5: {
                line += "::ffff:" + dotted_quad();
                if (chance(70)) {
                    line += "/" + std::to_string(94 + below(36));
                }
                return line + (chance(5) ? " " : "");
            }
            default: {
                line += ipv6_text();
                const std::string prefix = pick(ipv6_prefixes);
                return prefix.empty() ? line : line + "/" + prefix;
            }
        }
    }

    internal_host internal_record() {
        internal_host record;
        const std::size_t parts = below(8);
        if (parts == 0 || parts == 7) {
            record.ih_name = name(4);
        }
        if (parts == 1 || parts == 2 || parts == 7) {
            record.ih_addr = chance(10) ? 0 : inet_addr(dotted_quad().c_str());
            const std::optional<std::uint32_t> mask = [&]() -> std::optional<std::uint32_t> {
                in_addr dotted{};
                const std::string text = pick(ipv4_masks);
                if (inet_pton(AF_INET, text.c_str(), &dotted) == 1) {
                    return dotted.s_addr;
                }
                return std::nullopt;
            }();
            const unsigned bits = static_cast<unsigned>(below(33));
            record.ih_mask = mask ? *mask : bits == 0 ? 0 : htonl(0xffffffffu << (32 - bits));
        }
        if (parts >= 3) {
            const unsigned prefixes[] = {0, 1, 16, 32, 48, 64, 96, 112, 127, 128};
            record.ih_net6 = net6(pick(ipv6_bases), pick(prefixes));
        }
        return record;
    }

    std::string internal_line() {
        switch (below(6)) {
            case 0:
            case 1:
                return name(4);
            case 2:
                return dotted_quad();
            case 3:
                return ipv4_network_part() + "/" + std::to_string(below(33));
            case 4:
                return "::ffff:" + dotted_quad() + "/" + std::to_string(96 + below(33));
            default: {
                // Only the prefix lengths this file accepts: a bad one
                // would end start-up.
                const char* const valid[] = {"0", "1", "16", "32", "48", "64", "96", "127", "128"};
                return ipv6_text() + "/" + pick(valid);
            }
        }
    }

    // A client address: IPv4, IPv4-mapped, IPv6 or none.
    std::string client_address() {
        switch (below(7)) {
            case 0:
            case 1:
            case 2:
                return dotted_quad();
            case 3:
                return "::ffff:" + dotted_quad();
            case 4:
                return "";
            default: {
                std::string text = ipv6_text();
                if (text.ends_with("::")) {
                    text += std::to_string(below(3));
                }
                return text;
            }
        }
    }

  private:
    std::mt19937 rng_;
};

struct generated_client {
    std::string host;
    std::string address;
};

std::vector<generated_client> make_clients(generator& g, std::size_t count) {
    std::vector<generated_client> clients;
    for (std::size_t i = 0; i < count; ++i) {
        clients.push_back({g.chance(5) ? "" : g.name(9), g.client_address()});
    }
    return clients;
}

TEST(IndexedMatching, PeerListAgreesWithTheWalk) {
    generator g(20240611);
    std::size_t admitted = 0;
    std::size_t compared = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> lines;
        const std::size_t size = g.below(round < 100 ? 8 : 120);
        for (std::size_t i = 0; i < size; ++i) {
            lines.push_back(g.peer_line());
        }
        const peer_list_t list = make_peers(lines);
        const peer_list_t copy = copied(list);
        for (const auto& c : make_clients(g, 40)) {
            SCOPED_TRACE(describe(lines) + " " + testing::PrintToString(c.host) + " " + c.address);
            const int by_name = reference::checkhost(list, c.host.c_str());
            ASSERT_EQ(vlcf_checkhost(list, c.host.c_str()), by_name);
            ASSERT_EQ(vlcf_checkhost(copy, c.host.c_str()), by_name);
            const address a(c.address);
            const int by_address = reference::checkip(list, a.get());
            ASSERT_EQ(vlcf_checkip(list, a.get()), by_address);
            ASSERT_EQ(vlcf_checkip(copy, a.get()), by_address);
            admitted += static_cast<std::size_t>(by_name + by_address);
            compared += 2;
        }
    }
    // The lists and clients meet often enough to test something.
    EXPECT_GT(admitted, compared / 10);
    EXPECT_LT(admitted, compared * 9 / 10);
}

TEST(IndexedMatching, InternalHostsAgreeWithTheWalk) {
    generator g(7041);
    std::size_t internal = 0;
    std::size_t compared = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<internal_host> records;
        const std::size_t size = g.below(round < 100 ? 6 : 80);
        for (std::size_t i = 0; i < size; ++i) {
            records.push_back(g.internal_record());
        }
        const internal_hosts_t list(records);
        const internal_hosts_t copy = copied(list);
        for (const auto& c : make_clients(g, 40)) {
            SCOPED_TRACE("round " + std::to_string(round) + " " + testing::PrintToString(c.host) +
                         " " + c.address);
            const address a(c.address);
            const bool expected = reference::internal_match(list, c.host, a.get());
            ASSERT_EQ(vlcf_internal_match(list, c.host, a.get()), expected);
            ASSERT_EQ(vlcf_internal_match(copy, c.host, a.get()), expected);
            internal += expected ? 1 : 0;
            ++compared;
        }
    }
    EXPECT_GT(internal, compared / 10);
    EXPECT_LT(internal, compared * 9 / 10);
}

// The same through the loaders, which build the index as they read.
TEST(IndexedMatching, LoadedListsAgreeWithTheWalk) {
    generator g(99);
    temp_dir dir;
    for (int round = 0; round < 60; ++round) {
        std::string peers;
        std::string hosts;
        const std::size_t size = g.below(200);
        for (std::size_t i = 0; i < size; ++i) {
            peers += g.peer_line() + "\n";
            hosts += g.internal_line() + "\n";
        }
        peer_list_t peer_list;
        ASSERT_EQ(load_peer_list(dir.write("peers", peers), peer_list), std::nullopt);
        internal_hosts_t internal;
        ASSERT_EQ(load_internal_hosts(dir.write("hosts", hosts), internal), std::nullopt);
        for (const auto& c : make_clients(g, 40)) {
            SCOPED_TRACE("round " + std::to_string(round) + " " + testing::PrintToString(c.host) +
                         " " + c.address);
            const address a(c.address);
            ASSERT_EQ(vlcf_checkhost(peer_list, c.host.c_str()),
                      reference::checkhost(peer_list, c.host.c_str()));
            ASSERT_EQ(vlcf_checkip(peer_list, a.get()), reference::checkip(peer_list, a.get()));
            ASSERT_EQ(vlcf_internal_match(internal, c.host, a.get()),
                      reference::internal_match(internal, c.host, a.get()));
        }
    }
}

}  // namespace
