// The utility module: white space, case and wildcard helpers for the list
// loaders, and the host and address matching the connection callback runs
// against the PeerList. The matchers only read the shared list; their
// working state lives on the caller's stack, so any number of threads may
// run them at once.
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

std::optional<std::uint32_t> vlcf_parse_mask(std::string_view text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        unsigned bits = 0;
        for (const char c : text) {
            bits = bits * 10 + static_cast<unsigned>(c - '0');
            if (bits > 32) {
                return std::nullopt;
            }
        }
        return bits == 0 ? 0 : htonl(0xffffffffu << (32 - bits));
    }
    const std::string dotted(text);
    in_addr mask{};
    if (inet_pton(AF_INET, dotted.c_str(), &mask) != 1) {
        return std::nullopt;
    }
    return mask.s_addr;
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

int vlcf_checkip(const peer_list_t& list, const struct sockaddr* ip) {
    assert(ip != nullptr);
    if (ip->sa_family != AF_INET) {
        return 0;
    }
    sockaddr_in sin{};
    std::memcpy(&sin, ip, sizeof sin);
    const std::uint32_t address = sin.sin_addr.s_addr;

    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    std::array<char, dotted_quad_size> text{};
    std::snprintf(text.data(), text.size(), "%d.%d.%d.%d", octets[0], octets[1], octets[2],
                  octets[3]);
    const std::string_view dotted(text.data());

    int result = 0;
    for (const peer_entry& entry : list) {
        if (entry.pe_name == dotted || peer_network_matches(entry.pe_name, address)) {
            result = entry.pe_negate ? 0 : 1;
        }
    }
    return result;
}
