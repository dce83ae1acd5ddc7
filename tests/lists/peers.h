// Building PeerLists and client addresses for the matching tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "lists/lists.h"

// A PeerList from its lines, "!" negating as in the file.
inline peer_list_t make_peers(const std::vector<std::string>& lines) {
    peer_list_t list;
    for (const std::string& line : lines) {
        if (!line.empty() && line.front() == '!') {
            list.push_back(peer_entry{true, line.substr(1)});
        } else {
            list.push_back(peer_entry{false, line});
        }
    }
    return list;
}

inline bool same_entries(const peer_list_t& a, const peer_list_t& b) {
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

inline sockaddr_in ipv4_client(const char* dotted) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(25);
    inet_pton(AF_INET, dotted, &sin.sin_addr);
    return sin;
}

inline sockaddr_in6 ipv6_client(const char* text) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(25);
    inet_pton(AF_INET6, text, &sin6.sin6_addr);
    return sin6;
}
