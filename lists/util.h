// Helpers the list loaders share with the matchers of the utility module.
// Private to lists/: other modules use lists/lists.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lists/lists.h"

// c in lower case when it is an ASCII upper-case letter; every other byte,
// 0x80 and above included, as it is. The one case folding of the lists.
inline char vlcf_fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether a and b are the same text up to vlcf_fold.
bool vlcf_equal_folded(std::string_view a, std::string_view b);

// text with each ASCII upper-case letter in lower case, as vlcf_lowercase
// changes a C string: the form names are compared in.
std::string vlcf_lowered(std::string_view text);

// A prefix length: decimal digits only (leading zeros allowed), at most
// max. Nothing for any other text, blanks and signs included.
std::optional<unsigned> vlcf_parse_prefix(std::string_view text, unsigned max);

// The network mask, in network byte order, that a mask part after a "/"
// gives: a decimal prefix length of 0 to 32, or a dotted quad as inet_pton
// reads it. Nothing for any other text, blanks included.
std::optional<std::uint32_t> vlcf_parse_mask(std::string_view text);

// The IPv6 address the whole of text spells, as inet_pton(AF_INET6) reads
// it: no blanks, brackets, zone or prefix. Nothing for any other text.
std::optional<std::array<std::uint8_t, 16>> vlcf_parse_ipv6(std::string_view text);

// The same, or the address in brackets, [2001:db8::5], or as an SMTP
// address literal writes it, [IPv6:2001:db8::5] (the tag in any case).
std::optional<std::array<std::uint8_t, 16>> vlcf_parse_ipv6_literal(std::string_view text);

// A PeerList entry read as an IPv6 address or network: an address as
// vlcf_parse_ipv6 reads it, optionally followed by "/" and a prefix length
// of 0 to 128. Nothing for any other entry; as in the IPv4 forms nothing is
// trimmed and a malformed entry is no network.
std::optional<ipv6_network> vlcf_peer_ipv6(std::string_view name);

// An IPv6 network inside ::ffff:0:0/96 with a prefix length of 96 or more
// stands for an IPv4 network: its address and mask, in network byte order.
// Nothing for any other network.
struct ipv4_network {
    std::uint32_t address;
    std::uint32_t mask;
};
std::optional<ipv4_network> vlcf_mapped_ipv4(const ipv6_network& network);

// Whether network covers address: the first n6_prefix bits agree.
bool vlcf_ipv6_covers(const ipv6_network& network, const std::array<std::uint8_t, 16>& address);
