// Indexes of the lists a client is matched against: the PeerList and the
// internal hosts. Each entry is filed under the keys a client can meet it
// by: its name in lower case, and for an address entry the network under
// its mask (IPv4) or prefix length (IPv6), in one table per mask that
// occurs. A lookup asks each table once, so its cost grows with the labels
// of the client's name and the number of distinct masks, never with the
// number of entries.
//
// The indexes hold positions, verdicts and their own copies of the keys,
// so a copied list (a copied settings record) needs nothing from the one it
// was copied from. Lookups only read, from any number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lists/records.h"

namespace host_index_detail {

// Lets a table keyed by std::string be asked with a std::string_view, so
// that looking up a tail of a host name builds no string.
struct text_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

using ipv6_address = std::array<std::uint8_t, 16>;

struct ipv6_hash {
    std::size_t operator()(const ipv6_address& address) const noexcept;
};

// The lengths of the name keys of an index. A tail of a client's name that
// no key is as long as cannot match, so it is never hashed: with a few
// dozen names most tails are passed over at the cost of one bit test.
class key_lengths {
  public:
    void add(std::size_t length);
    bool has(std::size_t length) const { return length < seen_.size() && seen_[length]; }

  private:
    std::vector<bool> seen_;
};

template <typename Value>
using text_map = std::unordered_map<std::string, Value, text_hash, std::equal_to<>>;
using text_set = std::unordered_set<std::string, text_hash, std::equal_to<>>;

// IPv4 keys, network byte order, one table per mask (also in network byte
// order); an IPv4 client meets table m under the key address & m.
template <typename Table>
using ipv4_tables = std::unordered_map<std::uint32_t, Table>;
// IPv6 keys, one table per prefix length; an IPv6 client meets table p
// under its address with all but the first p bits cleared.
template <typename Table>
using ipv6_tables = std::unordered_map<unsigned, Table>;

}  // namespace host_index_detail

// The last PeerList entry filed under a key: its position in the list and
// its verdict (false for a negated entry).
struct peer_verdict {
    std::size_t position = 0;
    bool admit = false;
};

// The PeerList. The last matching entry decides, so each key keeps the
// entry of the largest position filed under it, and a lookup returns the
// latest entry over every key the client meets; nothing when none matches.
class peer_index {
  public:
    void add(const peer_entry& entry, std::size_t position);

    // lowered: the client's host name, already in lower case.
    std::optional<peer_verdict> by_name(std::string_view lowered) const;
    // An IPv4 client, or an IPv4-mapped IPv6 client, address in network
    // byte order.
    std::optional<peer_verdict> by_ipv4(std::uint32_t address) const;
    // An IPv6 client that is not IPv4-mapped.
    std::optional<peer_verdict> by_ipv6(const std::array<std::uint8_t, 16>& address) const;

  private:
    using ipv4_table = std::unordered_map<std::uint32_t, peer_verdict>;
    using ipv6_table = std::unordered_map<host_index_detail::ipv6_address, peer_verdict,
                                          host_index_detail::ipv6_hash>;

    host_index_detail::text_map<peer_verdict> names_;
    host_index_detail::key_lengths name_lengths_;
    host_index_detail::ipv4_tables<ipv4_table> ipv4_;
    host_index_detail::ipv6_tables<ipv6_table> ipv6_;
};

// The internal hosts. Any matching record makes a client internal, so the
// keys are plain sets. Parts that can never match (an IPv4 address or mask
// of zero, an IPv6 prefix length of zero or the address ::) are left out.
class internal_index {
  public:
    void add(const internal_host& entry, std::size_t position);

    bool by_name(std::string_view lowered) const;
    bool by_ipv4(std::uint32_t address) const;
    bool by_ipv6(const std::array<std::uint8_t, 16>& address) const;

  private:
    using ipv4_table = std::unordered_set<std::uint32_t>;
    using ipv6_table =
        std::unordered_set<host_index_detail::ipv6_address, host_index_detail::ipv6_hash>;

    host_index_detail::text_set names_;
    host_index_detail::key_lengths name_lengths_;
    host_index_detail::ipv4_tables<ipv4_table> ipv4_;
    host_index_detail::ipv6_tables<ipv6_table> ipv6_;
};
