// The matchers as plain walks over the records: every PeerList entry in
// file order, the last matching one deciding; every internal-hosts record
// until one matches. This is how the filter matched before the lists had
// indexes, kept as the oracle the indexed matchers are checked against by
// the differential tests and the fuzz targets. It reads the entries with
// the same readers the index is built with (inet_addr, vlcf_parse_mask,
// vlcf_peer_ipv6, vlcf_mapped_ipv4), so a difference is always the index's.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "lists/lists.h"
#include "lists/util.h"

namespace reference {

inline bool is_mapped(const std::array<std::uint8_t, 16>& address) {
    static constexpr std::array<std::uint8_t, 12> prefix = {0, 0, 0, 0, 0,    0,
                                                            0, 0, 0, 0, 0xff, 0xff};
    return std::equal(prefix.begin(), prefix.end(), address.begin());
}

struct client_address {
    int family = AF_UNSPEC;  // AF_INET, AF_INET6 or AF_UNSPEC
    std::uint32_t v4 = 0;    // network byte order
    std::array<std::uint8_t, 16> v6{};
};

// A client at an IPv4-mapped IPv6 address is the IPv4 client it stands for.
inline client_address read_client(const sockaddr* address) {
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
            std::memcpy(&client.v4, client.v6.data() + 12, sizeof client.v4);
        } else {
            client.family = AF_INET6;
        }
    }
    return client;
}

inline bool peer_mapped_matches(std::string_view name, std::uint32_t address) {
    const std::optional<ipv6_network> network = vlcf_peer_ipv6(name);
    if (!network) {
        return false;
    }
    const std::optional<ipv4_network> v4 = vlcf_mapped_ipv4(*network);
    return v4 && ((v4->address ^ address) & v4->mask) == 0;
}

inline bool peer_network_matches(const std::string& name, std::uint32_t address) {
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

inline int checkhost(const peer_list_t& list, const char* host) {
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

inline int checkip_v4(const peer_list_t& list, std::uint32_t address) {
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    std::array<char, 257> text{};
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

inline int checkip_v6(const peer_list_t& list, const std::array<std::uint8_t, 16>& address) {
    int result = 0;
    for (const peer_entry& entry : list) {
        const std::optional<ipv6_network> network = vlcf_peer_ipv6(entry.pe_name);
        if (network && !vlcf_mapped_ipv4(*network) && vlcf_ipv6_covers(*network, address)) {
            result = entry.pe_negate ? 0 : 1;
        }
    }
    return result;
}

inline int checkip(const peer_list_t& list, const sockaddr* ip) {
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

inline bool usable_ipv6_part(const ipv6_network& network) {
    return network.n6_prefix != 0 && std::any_of(network.n6_addr.begin(), network.n6_addr.end(),
                                                 [](std::uint8_t byte) { return byte != 0; });
}

inline bool internal_match(const internal_hosts_t& list, std::string_view host,
                           const sockaddr* address) {
    const client_address client = read_client(address);
    for (const internal_host& entry : list) {
        if (entry.ih_name && vlcf_name_matches(*entry.ih_name, host)) {
            return true;
        }
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

}  // namespace reference
