// The records the lists are made of: one per line of a list file (or item
// of a list value), as the loaders build them.
#pragma once

#include <netinet/in.h>
#include <regex.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Owns one compiled POSIX regular expression.
struct regex_deleter {
    void operator()(regex_t* re) const noexcept;
};
using compiled_regex = std::unique_ptr<regex_t, regex_deleter>;

// A wildcard pattern matched without a regular expression: '*' matches any
// run of bytes, '@' and nothing included, and every other byte matches
// itself, ASCII letters in either case. The pattern holds at its start; at
// its end only when anchored, otherwise any text may follow.
struct allow_glob {
    std::string ag_text;  // ASCII letters in lower case
    bool ag_anchored = true;
};

// One allow-list pattern: a glob where the translated pattern is plain
// wildcards and literals, a compiled regular expression otherwise. The
// regular expression is shared, so that a copy of a settings record shares
// it; regexec only reads it. An entry with neither matches nothing.
struct allow_entry {
    std::shared_ptr<const regex_t> ae_regex;  // null for a glob entry
    std::optional<allow_glob> ae_glob;        // used only without ae_regex
};

// An IPv6 network: its address as written, in network byte order, and its
// prefix length, 0 to 128. A single address has the prefix length 128.
struct ipv6_network {
    std::array<std::uint8_t, 16> n6_addr{};
    unsigned n6_prefix = 128;

    bool operator==(const ipv6_network&) const = default;
};

// An internal-hosts record matches a client when any of its parts does. A
// record read from a file has exactly one part: a host name, an IPv4
// address with its mask (also for an IPv4-mapped IPv6 entry such as
// ::ffff:192.0.2.0/120, stored as the IPv4 network it stands for), or an
// IPv6 network. The built-in record has all three.
struct internal_host {
    internal_host() = default;
    // Written {name, address, mask} as the IPv4-only record was, which
    // leaves the IPv6 part out.
    internal_host(std::optional<std::string> name, std::uint32_t addr, std::uint32_t mask,
                  std::optional<ipv6_network> net6 = std::nullopt)
        : ih_name(std::move(name)), ih_addr(addr), ih_mask(mask), ih_net6(net6) {}

    std::optional<std::string> ih_name;   // none for an address entry
    std::uint32_t ih_addr = 0;            // network byte order; 0 without an IPv4 part
    std::uint32_t ih_mask = 0;            // network byte order; 0 without an IPv4 part
    std::optional<ipv6_network> ih_net6;  // none: no IPv6 part
};

struct domain_entry {
    std::string de_name;
};

struct peer_entry {
    bool pe_negate = false;
    std::string pe_name;
};

struct macro_list_t {
    std::vector<std::string> macro_names;
    std::vector<std::optional<std::string>> macro_values;  // alternatives text or none
};
