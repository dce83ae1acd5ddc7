// fuzz-libs: lists
// Arbitrary PeerLists, host names and client addresses for the two
// matchers and the name suffix rule. Input: four bytes of IPv4 address, one
// byte of flags (bit 0: the client is the IPv6 address ::a.b.c.d, which is
// not IPv4-mapped), then lines: the first is the host name, every further
// line a PeerList line ("!" negates).
// Checks the indexed matchers against the walk over the records they
// replace (tests/lists/reference_match.h), for the list, for a copy of it
// that outlives the original and for the list with one more entry appended;
// the name rule against a plain restatement; the last-match rule by
// appending entries; and that no call changes the list.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "lists/lists.h"
#include "tests/lists/reference_match.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The suffix rule as it reads: the whole name, then every tail that begins
// at a '.', from the leftmost one on.
bool reference_name_matches(std::string_view entry, std::string_view name) {
    if (same_text_ignoring_case(entry, name)) {
        return true;
    }
    for (std::size_t dot = name.find('.'); dot != std::string_view::npos;
         dot = name.find('.', dot + 1)) {
        if (same_text_ignoring_case(entry, name.substr(dot))) {
            return true;
        }
    }
    return false;
}

bool same_entries(const peer_list_t& a, const peer_list_t& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].pe_negate != b[i].pe_negate || a[i].pe_name != b[i].pe_name) {
            return false;
        }
    }
    return true;
}

peer_entry make_entry(std::string_view line) {
    peer_entry entry;
    if (!line.empty() && line.front() == '!') {
        entry.pe_negate = true;
        line.remove_prefix(1);
    }
    entry.pe_name.assign(line);
    return entry;
}

// Every verdict is the walk's, from the list and from a copy made of a
// copy that is gone by the time it is asked.
int checked_ip(const peer_list_t& list, const sockaddr* client) {
    const int result = vlcf_checkip(list, client);
    check(result == reference::checkip(list, client));
    auto original = std::make_unique<peer_list_t>(list);
    const peer_list_t copy = *original;
    original.reset();
    check(vlcf_checkip(copy, client) == result);
    return result;
}

int checked_host(const peer_list_t& list, const char* host) {
    const int result = vlcf_checkhost(list, host);
    check(result == reference::checkhost(list, host));
    return result;
}

int checkip_with(const peer_list_t& list, const sockaddr* client, const peer_entry& last) {
    peer_list_t longer = list;
    longer.push_back(last);
    return checked_ip(longer, client);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 5> head{};
    const std::size_t head_size = size < head.size() ? size : head.size();
    if (head_size > 0) {
        std::memcpy(head.data(), data, head_size);
    }
    std::string_view rest(reinterpret_cast<const char*>(data) + head_size, size - head_size);

    const std::size_t first_newline = rest.find('\n');
    // The host name is a C string, as libmilter hands it over.
    const std::string host_line(rest.substr(0, first_newline));
    const std::string host(host_line.c_str());
    peer_list_t list;
    if (first_newline != std::string_view::npos) {
        rest.remove_prefix(first_newline + 1);
        while (true) {
            const std::size_t end = rest.find('\n');
            list.push_back(make_entry(rest.substr(0, end)));
            if (end == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(end + 1);
        }
    }
    const peer_list_t before = list;

    // By name.
    int expected = 0;
    for (const auto& entry : list) {
        const bool matches = vlcf_name_matches(entry.pe_name, host);
        check(matches == reference_name_matches(entry.pe_name, host));
        if (matches) {
            expected = entry.pe_negate ? 0 : 1;
        }
    }
    check(checked_host(list, host.c_str()) == expected);
    std::string lowered = host;
    vlcf_lowercase(lowered.data());
    for (std::size_t i = 0; i < host.size(); ++i) {
        check(lowered[i] == lower(host[i]));
    }
    check(checked_host(list, lowered.c_str()) == expected);
    // Each tail of the name that begins at a '.', and the texts of the
    // first entries, as host names of their own.
    for (std::size_t dot = host.find('.'); dot != std::string::npos;
         dot = host.find('.', dot + 1)) {
        checked_host(list, host.c_str() + dot);
    }
    for (std::size_t i = 0; i < list.size() && i < 64; ++i) {
        const std::string own(list[i].pe_name.c_str());
        checked_host(list, own.c_str());
        checked_host(list, ("x" + own).c_str());
    }
    check(same_entries(list, before));

    // By address.
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr.s_addr, head.data(), 4);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr.s6_addr[12], head.data(), 4);
    const bool ipv6 = (head[4] & 1) != 0;
    const auto* client =
        ipv6 ? reinterpret_cast<const sockaddr*>(&v6) : reinterpret_cast<const sockaddr*>(&v4);

    const int result = checked_ip(list, client);
    check(result == 0 || result == 1);
    check(same_entries(list, before));
    if (ipv6) {
        // ::a.b.c.d is no IPv4-mapped address: only IPv6 entries match it.
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        check(checkip_with(list, client, peer_entry{false, text}) == 1);
        check(checkip_with(list, client, peer_entry{true, std::string(text) + "/128"}) == 0);
        check(checkip_with(list, client, peer_entry{false, "::/0"}) == 1);
        check(checkip_with(list, client, peer_entry{true, "::/0"}) == 0);
        check(checkip_with(list, client, peer_entry{false, "0.0.0.0/0"}) == result);
        check(checkip_with(list, client, peer_entry{false, "::ffff:0:0/96"}) == result);
        check(checkip_with(list, client, peer_entry{false, "::/0 "}) == result);
        // The same low bits under 2001:db8::/96, where IPv6 entries of the
        // documentation prefix meet it.
        sockaddr_in6 documentation = v6;
        documentation.sin6_addr.s6_addr[0] = 0x20;
        documentation.sin6_addr.s6_addr[1] = 0x01;
        documentation.sin6_addr.s6_addr[2] = 0x0d;
        documentation.sin6_addr.s6_addr[3] = 0xb8;
        checked_ip(list, reinterpret_cast<const sockaddr*>(&documentation));
    } else {
        // The IPv4-mapped client that stands for this one gets its verdict.
        sockaddr_in6 mapped = v6;
        mapped.sin6_addr.s6_addr[10] = 0xff;
        mapped.sin6_addr.s6_addr[11] = 0xff;
        check(checked_ip(list, reinterpret_cast<const sockaddr*>(&mapped)) == result);
        check(checkip_with(list, client, peer_entry{false, "::/0"}) == result);
        check(checkip_with(list, client, peer_entry{false, "::ffff:0:0/96"}) == 1);
        // The dotted quad by text, and every IPv4 client by a zero mask,
        // decide when they come last.
        char dotted[16];
        inet_ntop(AF_INET, &v4.sin_addr, dotted, sizeof dotted);
        check(checkip_with(list, client, peer_entry{false, dotted}) == 1);
        check(checkip_with(list, client, peer_entry{true, dotted}) == 0);
        // As a network the all-ones address reads as inet_addr's error value.
        const int as_network =
            checkip_with(list, client, peer_entry{false, std::string(dotted) + "/32"});
        check(as_network == (v4.sin_addr.s_addr == INADDR_NONE ? result : 1));
        check(checkip_with(list, client, peer_entry{true, "0.0.0.0/0"}) == 0);
        // An entry that never matches leaves the verdict alone.
        check(checkip_with(list, client, peer_entry{false, "10.0.0.0/8x"}) == result);
        check(checkip_with(list, client, peer_entry{false, std::string(dotted) + " "}) == result);
    }
    check(same_entries(list, before));
    return 0;
}
