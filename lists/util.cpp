// The utility module: white space, case and wildcard helpers for the list
// loaders, and the host and address matching the connection callback runs
// against the PeerList and the internal hosts. The matchers only read the
// shared list; their working state lives on the caller's stack, so any
// number of threads may run them at once.
#include "lists/util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "lists/lists.h"

namespace {

// A translated pattern holds at most this many characters.
constexpr std::size_t max_pattern_length = 512;
// A wildcard expands to two characters, and only while the pattern holds at
// most this many, which keeps room for the expansion and the closing "$".
constexpr std::size_t max_expand_length = max_pattern_length - 3;
// Room for a dotted quad; the buffer is as large as a host name field.
constexpr std::size_t dotted_quad_size = 257;

// White space of the POSIX locale. Written out rather than taken from
// isspace() so that no locale, and no byte of 0x80 or above, can change it.
bool is_posix_space(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
            return true;
        default:
            return false;
    }
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The first twelve bytes of every IPv4-mapped IPv6 address.
constexpr std::array<std::uint8_t, 12> mapped_prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_mapped(const std::array<std::uint8_t, 16>& address) {
    return std::equal(mapped_prefix.begin(), mapped_prefix.end(), address.begin());
}

// The last four bytes of an IPv6 address, in network byte order.
std::uint32_t embedded_ipv4(const std::array<std::uint8_t, 16>& address) {
    std::uint32_t v4 = 0;
    std::memcpy(&v4, address.data() + 12, sizeof v4);
    return v4;
}

// A client address as the lists see it. A client at an IPv4-mapped IPv6
// address is the IPv4 client it stands for.
struct client_address {
    int family = AF_UNSPEC;  // AF_INET, AF_INET6 or AF_UNSPEC
    std::uint32_t v4 = 0;    // network byte order
    std::array<std::uint8_t, 16> v6{};
};

// Reads only as much of the socket address as its family says it holds.
client_address read_client(const sockaddr* address) {
    client_address client;
    if (address == nullptr) {
        return client;
    }
    if (address->sa_family == AF_INET) {
        sockaddr_in sin{};
        std::memcpy(&sin, address, sizeof sin);
        client.family = AF_INET;
        client.v4 = sin.sin_addr.s_addr;
    } else if (address->sa_family == AF_INET6) {
        sockaddr_in6 sin6{};
        std::memcpy(&sin6, address, sizeof sin6);
        std::memcpy(client.v6.data(), sin6.sin6_addr.s6_addr, client.v6.size());
        if (is_mapped(client.v6)) {
            client.family = AF_INET;
            client.v4 = embedded_ipv4(client.v6);
        } else {
            client.family = AF_INET6;
        }
    }
    return client;
}

// Whether a PeerList entry written as an IPv4-mapped IPv6 address or
// network (::ffff:192.0.2.7, ::ffff:192.0.2.0/120) covers an IPv4 address.
bool peer_mapped_matches(std::string_view name, std::uint32_t address) {
    const std::optional<ipv6_network> network = vlcf_peer_ipv6(name);
    if (!network) {
        return false;
    }
    const std::optional<ipv4_network> v4 = vlcf_mapped_ipv4(*network);
    return v4 && ((v4->address ^ address) & v4->mask) == 0;
}

// Whether a PeerList entry of the form network/mask covers address, both in
// network byte order. The entry is split by position into private copies:
// the shared entry is never written.
bool peer_network_matches(const std::string& name, std::uint32_t address) {
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos) {
        return false;
    }
    const std::string network_text = name.substr(0, slash);
    const std::uint32_t network = inet_addr(network_text.c_str());
    if (network == INADDR_NONE) {
        return false;
    }
    const std::optional<std::uint32_t> mask =
        vlcf_parse_mask(std::string_view(name).substr(slash + 1));
    if (!mask) {
        return false;
    }
    return ((network ^ address) & *mask) == 0;
}

}  // namespace

std::optional<unsigned> vlcf_parse_prefix(std::string_view text, unsigned max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    unsigned bits = 0;
    for (const char c : text) {
        bits = bits * 10 + static_cast<unsigned>(c - '0');
        if (bits > max) {
            return std::nullopt;
        }
    }
    return bits;
}

std::optional<std::uint32_t> vlcf_parse_mask(std::string_view text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        const std::optional<unsigned> bits = vlcf_parse_prefix(text, 32);
        if (!bits) {
            return std::nullopt;
        }
        return *bits == 0 ? 0 : htonl(0xffffffffu << (32 - *bits));
    }
    const std::string dotted(text);
    in_addr mask{};
    if (inet_pton(AF_INET, dotted.c_str(), &mask) != 1) {
        return std::nullopt;
    }
    return mask.s_addr;
}

std::optional<std::array<std::uint8_t, 16>> vlcf_parse_ipv6(std::string_view text) {
    // inet_pton reads a C string: a NUL inside the text would end it early.
    if (text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string copy(text);
    in6_addr address{};
    if (inet_pton(AF_INET6, copy.c_str(), &address) != 1) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), address.s6_addr, bytes.size());
    return bytes;
}

std::optional<std::array<std::uint8_t, 16>> vlcf_parse_ipv6_literal(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
        constexpr std::string_view tag = "IPv6:";
        if (text.size() > tag.size() && equal_ignoring_case(text.substr(0, tag.size()), tag)) {
            text.remove_prefix(tag.size());
        }
    }
    return vlcf_parse_ipv6(text);
}

std::optional<ipv6_network> vlcf_peer_ipv6(std::string_view name) {
    if (name.find(':') == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t slash = name.find('/');
    const auto address = vlcf_parse_ipv6(name.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    ipv6_network network{*address, 128};
    if (slash != std::string_view::npos) {
        const std::optional<unsigned> prefix = vlcf_parse_prefix(name.substr(slash + 1), 128);
        if (!prefix) {
            return std::nullopt;
        }
        network.n6_prefix = *prefix;
    }
    return network;
}

std::optional<ipv4_network> vlcf_mapped_ipv4(const ipv6_network& network) {
    if (network.n6_prefix < 96 || !is_mapped(network.n6_addr)) {
        return std::nullopt;
    }
    const unsigned bits = network.n6_prefix - 96;
    const std::uint32_t mask = bits == 0 ? 0 : htonl(0xffffffffu << (32 - bits));
    return ipv4_network{embedded_ipv4(network.n6_addr), mask};
}

bool vlcf_ipv6_covers(const ipv6_network& network, const std::array<std::uint8_t, 16>& address) {
    const unsigned prefix = std::min(network.n6_prefix, 128u);
    const std::size_t whole = prefix / 8;
    if (!std::equal(network.n6_addr.begin(), network.n6_addr.begin() + whole, address.begin())) {
        return false;
    }
    const unsigned rest = prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return ((network.n6_addr[whole] ^ address[whole]) & mask) == 0;
}

bool batv_isblank(std::string_view str) {
    for (const char c : str) {
        if (!is_posix_space(c)) {
            return false;
        }
    }
    return true;
}

std::string batv_mkregexp(std::string_view str) {
    std::string out;
    out.reserve(max_pattern_length);
    out += '^';
    for (const char c : str) {
        if (c == '.' || c == '*') {
            if (out.size() > max_expand_length) {
                return out;
            }
            out += c == '.' ? "\\." : ".*";
        } else {
            if (out.size() >= max_pattern_length) {
                return out;
            }
            out += c;
        }
    }
    if (out.size() < max_pattern_length) {
        out += '$';
    }
    return out;
}

void vlcf_trimspaces(std::string& str) {
    std::size_t end = str.size();
    while (end > 0 && is_posix_space(str[end - 1])) {
        --end;
    }
    str.resize(end);
}

void vlcf_lowercase(char* str) {
    assert(str != nullptr);
    for (; *str != '\0'; ++str) {
        *str = ascii_lower(*str);
    }
}

bool vlcf_name_matches(std::string_view entry, std::string_view name) {
    if (equal_ignoring_case(entry, name)) {
        return true;
    }
    // Only one tail of name is as long as entry; it begins at a '.' exactly
    // when entry does, since a '.' equals nothing but itself.
    if (entry.empty() || entry.front() != '.' || entry.size() > name.size()) {
        return false;
    }
    return equal_ignoring_case(entry, name.substr(name.size() - entry.size()));
}

int vlcf_checkhost(const peer_list_t& list, const char* host) {
    assert(host != nullptr);
    const std::string_view name(host);
    int result = 0;
    for (const peer_entry& entry : list) {
        if (vlcf_name_matches(entry.pe_name, name)) {
            result = entry.pe_negate ? 0 : 1;
        }
    }
    return result;
}

namespace {

// The PeerList against an IPv4 client: its dotted quad compared as text,
// IPv4 networks, and entries written as IPv4-mapped IPv6 addresses.
int checkip_v4(const peer_list_t& list, std::uint32_t address) {
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    std::array<char, dotted_quad_size> text{};
    std::snprintf(text.data(), text.size(), "%d.%d.%d.%d", octets[0], octets[1], octets[2],
                  octets[3]);
    const std::string_view dotted(text.data());

    int result = 0;
    for (const peer_entry& entry : list) {
        if (entry.pe_name == dotted || peer_network_matches(entry.pe_name, address) ||
            peer_mapped_matches(entry.pe_name, address)) {
            result = entry.pe_negate ? 0 : 1;
        }
    }
    return result;
}

// The PeerList against an IPv6 client that is not IPv4-mapped: IPv6
// addresses and networks, compared as addresses. The entries written as
// IPv4-mapped addresses stand for IPv4 clients only.
int checkip_v6(const peer_list_t& list, const std::array<std::uint8_t, 16>& address) {
    int result = 0;
    for (const peer_entry& entry : list) {
        const std::optional<ipv6_network> network = vlcf_peer_ipv6(entry.pe_name);
        if (network && !vlcf_mapped_ipv4(*network) && vlcf_ipv6_covers(*network, address)) {
            result = entry.pe_negate ? 0 : 1;
        }
    }
    return result;
}

// Whether an IPv6 part of an internal-hosts record may match at all: the
// counterpart of the IPv4 rule that a zero address or mask never matches.
bool usable_ipv6_part(const ipv6_network& network) {
    return network.n6_prefix != 0 && std::any_of(network.n6_addr.begin(), network.n6_addr.end(),
                                                 [](std::uint8_t byte) { return byte != 0; });
}

}  // namespace

int vlcf_checkip(const peer_list_t& list, const struct sockaddr* ip) {
    assert(ip != nullptr);
    const client_address client = read_client(ip);
    switch (client.family) {
        case AF_INET:
            return checkip_v4(list, client.v4);
        case AF_INET6:
            return checkip_v6(list, client.v6);
        default:
            return 0;
    }
}

bool vlcf_internal_match(const internal_hosts_t& list, std::string_view host,
                         const struct sockaddr* address) {
    const client_address client = read_client(address);
    for (const internal_host& entry : list) {
        if (entry.ih_name && vlcf_name_matches(*entry.ih_name, host)) {
            return true;
        }
        // A zero address or mask would admit far too much; such entries
        // never match by address.
        if (client.family == AF_INET && entry.ih_addr != 0 && entry.ih_mask != 0 &&
            ((entry.ih_addr ^ client.v4) & entry.ih_mask) == 0) {
            return true;
        }
        if (client.family == AF_INET6 && entry.ih_net6 && usable_ipv6_part(*entry.ih_net6) &&
            vlcf_ipv6_covers(*entry.ih_net6, client.v6)) {
            return true;
        }
    }
    return false;
}
