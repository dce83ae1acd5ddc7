// The utility module: white space, case and wildcard helpers for the list
// loaders, the readers of the address forms list entries are written in,
// and the host and address matching the connection callback runs against
// the PeerList and the internal hosts. The matchers only read the shared
// list and its index; their working state lives on the caller's stack, so
// any number of threads may run them at once.
#include "lists/util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
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

// The client's name in lower case, as the index files its keys. Most names
// arrive lower-cased already (the connection callback lower-cases the one
// it owns); those are used as they are, without a copy.
std::string_view lowered_name(std::string_view name, std::string& storage) {
    if (std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        return name;
    }
    storage = vlcf_lowered(name);
    return storage;
}

int verdict_of(const std::optional<peer_verdict>& verdict) {
    return verdict && verdict->admit ? 1 : 0;
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
        if (text.size() > tag.size() && vlcf_equal_folded(text.substr(0, tag.size()), tag)) {
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
        *str = vlcf_fold(*str);
    }
}

bool vlcf_name_matches(std::string_view entry, std::string_view name) {
    if (vlcf_equal_folded(entry, name)) {
        return true;
    }
    // Only one tail of name is as long as entry; it begins at a '.' exactly
    // when entry does, since a '.' equals nothing but itself.
    if (entry.empty() || entry.front() != '.' || entry.size() > name.size()) {
        return false;
    }
    return vlcf_equal_folded(entry, name.substr(name.size() - entry.size()));
}

bool vlcf_equal_folded(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return vlcf_fold(x) == vlcf_fold(y); });
}

std::string vlcf_lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), vlcf_fold);
    return out;
}

// The matchers ask the lists' indexes, which give the verdict a walk over
// every entry would: for the PeerList that of the last matching entry, for
// the internal hosts whether any record matches.

int vlcf_checkhost(const peer_list_t& list, const char* host) {
    assert(host != nullptr);
    std::string storage;
    return verdict_of(list.index().by_name(lowered_name(host, storage)));
}

int vlcf_checkip(const peer_list_t& list, const struct sockaddr* ip) {
    assert(ip != nullptr);
    const client_address client = read_client(ip);
    switch (client.family) {
        case AF_INET:
            return verdict_of(list.index().by_ipv4(client.v4));
        case AF_INET6:
            return verdict_of(list.index().by_ipv6(client.v6));
        default:
            return 0;
    }
}

bool vlcf_internal_match(const internal_hosts_t& list, std::string_view host,
                         const struct sockaddr* address) {
    const internal_index& index = list.index();
    std::string storage;
    if (index.by_name(lowered_name(host, storage))) {
        return true;
    }
    const client_address client = read_client(address);
    switch (client.family) {
        case AF_INET:
            return index.by_ipv4(client.v4);
        case AF_INET6:
            return index.by_ipv6(client.v6);
        default:
            return false;
    }
}
