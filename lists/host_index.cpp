// Filing PeerList entries and internal-hosts records under the keys a
// client meets them by, and looking clients up. The keys are made by the
// same readers the walk over the records used (inet_addr, vlcf_parse_mask,
// vlcf_peer_ipv6, vlcf_mapped_ipv4), so an entry is found under a key
// exactly when it would have matched a client with that key.
#include "lists/host_index.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lists/util.h"

namespace host_index_detail {

std::size_t ipv6_hash::operator()(const ipv6_address& address) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, address.data(), sizeof high);
    std::memcpy(&low, address.data() + sizeof high, sizeof low);
    std::uint64_t h = high * 0x9e3779b97f4a7c15u;
    h ^= low + 0x7f4a7c159e3779b9u + (h << 6) + (h >> 2);
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93u;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
}

void key_lengths::add(std::size_t length) {
    if (length >= seen_.size()) {
        seen_.resize(length + 1);
    }
    seen_[length] = true;
}

}  // namespace host_index_detail

namespace {

using host_index_detail::ipv6_address;
using host_index_detail::key_lengths;

// The address with all but its first prefix bits cleared.
ipv6_address masked(const ipv6_address& address, unsigned prefix) {
    prefix = std::min(prefix, 128u);
    ipv6_address out{};
    const std::size_t whole = prefix / 8;
    std::copy(address.begin(), address.begin() + whole, out.begin());
    if (const unsigned rest = prefix % 8; rest != 0) {
        out[whole] = static_cast<std::uint8_t>(address[whole] & (0xff << (8 - rest)));
    }
    return out;
}

// A dotted quad as "%d.%d.%d.%d" writes one: four decimal octets of 0 to
// 255 without leading zeros. The walk compared an IPv4 client's dotted quad
// with each entry as text, so only these texts could ever match, each the
// one address it spells. In network byte order.
std::optional<std::uint32_t> canonical_dotted_quad(std::string_view text) {
    std::array<std::uint8_t, 4> octets{};
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != '.') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && digits < 3 && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255 || (digits > 1 && text.front() == '0')) {
            return std::nullopt;
        }
        octets[i] = static_cast<std::uint8_t>(value);
        text.remove_prefix(digits);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    std::uint32_t address = 0;
    std::memcpy(&address, octets.data(), sizeof address);
    return address;
}

// An entry written network/mask: the network part as inet_addr reads it
// (shorthand such as 10.1, hex, octal and trailing white space included),
// the mask part as vlcf_parse_mask reads it. inet_addr reads
// 255.255.255.255 as its error value, so that network is none.
std::optional<ipv4_network> peer_ipv4_network(const std::string& name) {
    const std::size_t slash = name.find('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    const std::string network_text = name.substr(0, slash);
    const std::uint32_t network = inet_addr(network_text.c_str());
    if (network == INADDR_NONE) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> mask =
        vlcf_parse_mask(std::string_view(name).substr(slash + 1));
    if (!mask) {
        return std::nullopt;
    }
    return ipv4_network{network, *mask};
}

// Whether an IPv6 part of an internal-hosts record may match at all: the
// counterpart of the IPv4 rule that a zero address or mask never matches.
bool usable_ipv6_part(const ipv6_network& network) {
    return network.n6_prefix != 0 && std::any_of(network.n6_addr.begin(), network.n6_addr.end(),
                                                 [](std::uint8_t byte) { return byte != 0; });
}

// Files verdict under key unless an entry further down the list already
// holds it.
template <typename Map, typename Key>
void file_verdict(Map& map, Key&& key, const peer_verdict& verdict) {
    const auto [it, inserted] = map.try_emplace(std::forward<Key>(key), verdict);
    if (!inserted && it->second.position <= verdict.position) {
        it->second = verdict;
    }
}

// Keeps the verdict of the later entry.
void keep_later(std::optional<peer_verdict>& best, const peer_verdict& verdict) {
    if (!best || best->position < verdict.position) {
        best = verdict;
    }
}

template <typename Map, typename Key>
void consider(const Map& map, const Key& key, std::optional<peer_verdict>& best) {
    if (const auto it = map.find(key); it != map.end()) {
        keep_later(best, it->second);
    }
}

// Calls visit with the whole name and then with each of its tails that
// begins at a '.', the dot included, leaving out those of a length no key
// has; visit returns true to stop.
template <typename Visit>
void for_each_name_key(std::string_view lowered, const key_lengths& lengths, Visit visit) {
    if (lengths.has(lowered.size()) && visit(lowered)) {
        return;
    }
    for (std::size_t dot = lowered.find('.', 1); dot != std::string_view::npos;
         dot = lowered.find('.', dot + 1)) {
        const std::string_view tail = lowered.substr(dot);
        if (lengths.has(tail.size()) && visit(tail)) {
            return;
        }
    }
}

}  // namespace

// An entry is filed under its whole text in lower case. That serves both
// rules: a client name equal to it finds it, and a tail of a client name
// that begins at a '.' can only find an entry that begins with one, the
// entries that are suffixes.
void peer_index::add(const peer_entry& entry, std::size_t position) {
    const peer_verdict verdict{position, !entry.pe_negate};
    file_verdict(names_, vlcf_lowered(entry.pe_name), verdict);
    name_lengths_.add(entry.pe_name.size());

    if (const std::optional<std::uint32_t> address = canonical_dotted_quad(entry.pe_name)) {
        file_verdict(ipv4_[0xffffffffu], *address, verdict);
    }
    if (const std::optional<ipv4_network> network = peer_ipv4_network(entry.pe_name)) {
        file_verdict(ipv4_[network->mask], network->address & network->mask, verdict);
    }
    if (const std::optional<ipv6_network> network = vlcf_peer_ipv6(entry.pe_name)) {
        // An entry written as IPv4-mapped stands for IPv4 clients only.
        if (const std::optional<ipv4_network> v4 = vlcf_mapped_ipv4(*network)) {
            file_verdict(ipv4_[v4->mask], v4->address & v4->mask, verdict);
        } else {
            file_verdict(ipv6_[network->n6_prefix], masked(network->n6_addr, network->n6_prefix),
                         verdict);
        }
    }
}

std::optional<peer_verdict> peer_index::by_name(std::string_view lowered) const {
    std::optional<peer_verdict> best;
    for_each_name_key(lowered, name_lengths_, [&](std::string_view key) {
        consider(names_, key, best);
        return false;
    });
    return best;
}

std::optional<peer_verdict> peer_index::by_ipv4(std::uint32_t address) const {
    std::optional<peer_verdict> best;
    for (const auto& [mask, table] : ipv4_) {
        consider(table, address & mask, best);
    }
    return best;
}

std::optional<peer_verdict> peer_index::by_ipv6(const std::array<std::uint8_t, 16>& address) const {
    std::optional<peer_verdict> best;
    for (const auto& [prefix, table] : ipv6_) {
        consider(table, masked(address, prefix), best);
    }
    return best;
}

void internal_index::add(const internal_host& entry, std::size_t /*position*/) {
    if (entry.ih_name) {
        names_.insert(vlcf_lowered(*entry.ih_name));
        name_lengths_.add(entry.ih_name->size());
    }
    // A zero address or mask would admit far too much; such parts never
    // match.
    if (entry.ih_addr != 0 && entry.ih_mask != 0) {
        ipv4_[entry.ih_mask].insert(entry.ih_addr & entry.ih_mask);
    }
    if (entry.ih_net6 && usable_ipv6_part(*entry.ih_net6)) {
        ipv6_[entry.ih_net6->n6_prefix].insert(
            masked(entry.ih_net6->n6_addr, entry.ih_net6->n6_prefix));
    }
}

bool internal_index::by_name(std::string_view lowered) const {
    bool found = false;
    for_each_name_key(lowered, name_lengths_, [&](std::string_view key) {
        found = names_.find(key) != names_.end();
        return found;
    });
    return found;
}

bool internal_index::by_ipv4(std::uint32_t address) const {
    return std::any_of(ipv4_.begin(), ipv4_.end(), [address](const auto& group) {
        return group.second.contains(address & group.first);
    });
}

bool internal_index::by_ipv6(const std::array<std::uint8_t, 16>& address) const {
    return std::any_of(ipv6_.begin(), ipv6_.end(), [&address](const auto& group) {
        return group.second.contains(masked(address, group.first));
    });
}
