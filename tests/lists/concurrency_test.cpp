// Many connection threads match clients against one shared PeerList at the
// same time, without a lock. Every thread must get the verdicts a single
// thread gets, and the list must read the same before, during and after.
// Run under ThreadSanitizer, this also shows that matching never writes
// into the list or its index.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/peers.h"
#include "tests/lists/reference_match.h"

namespace {

struct client {
    std::string host;
    sockaddr_in address;
    int by_name;
    int by_address;
};

TEST(ConcurrentMatching, SharedPeerListFromManyThreads) {
    const peer_list_t list = make_peers({
        "!0.0.0.0/0",
        "mx.b.c",
        ".partner.net",
        "!bad.partner.net",
        "10.0.0.0/8",
        "!10.9.0.0/255.255.0.0",
        "192.0.2.7",
        "198.51.100.0/24",
        "!198.51.100.128/25",
        "10.0.0.0/8x",
        "255.255.255.255/32",
        "203.0.113.0/255.255.255.0",
    });
    const peer_list_t before = list;
    const std::vector<client> clients = {
        {"mx.b.c", ipv4_client("10.1.2.3"), 1, 1},
        {"a.partner.net", ipv4_client("10.9.1.1"), 1, 0},
        {"bad.partner.net", ipv4_client("192.0.2.7"), 0, 1},
        {"x.b.c", ipv4_client("198.51.100.1"), 0, 1},
        {"host", ipv4_client("198.51.100.200"), 0, 0},
        {"c", ipv4_client("203.0.113.77"), 0, 1},
        {"", ipv4_client("8.8.8.8"), 0, 0},
    };

    constexpr int thread_count = 8;
    constexpr int rounds = 2000;
    std::latch start(thread_count);
    std::atomic<int> wrong{0};
    std::atomic<int> changed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < rounds; ++round) {
                const client& c = clients[(round + t) % clients.size()];
                const int by_name = vlcf_checkhost(list, c.host.c_str());
                const int by_address =
                    vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&c.address));
                if (by_name != c.by_name || by_address != c.by_address) {
                    wrong.fetch_add(1);
                }
                // Readers during the calls of the other threads.
                if (round % 100 == 0 && !same_entries(list, before)) {
                    changed.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(changed.load(), 0);
    EXPECT_TRUE(same_entries(list, before));
}

// The same for IPv6 and IPv4-mapped clients, against the PeerList and the
// built-in internal-hosts record.
TEST(ConcurrentMatching, Ipv6ClientsFromManyThreads) {
    const peer_list_t list = make_peers({
        "2001:db8::/32",
        "!2001:db8:bad::/48",
        "::ffff:198.51.100.0/120",
        "192.0.2.0/24",
        "2001:db8::/129",
    });
    const peer_list_t before = list;
    internal_hosts_t internal;
    ASSERT_EQ(load_internal_hosts(std::nullopt, internal), std::nullopt);
    struct v6_client {
        sockaddr_in6 address;
        int peer;
        bool internal;
    };
    const std::vector<v6_client> clients = {
        {ipv6_client("2001:db8::1"), 1, false},         {ipv6_client("2001:db8:bad::1"), 0, false},
        {ipv6_client("::ffff:198.51.100.7"), 1, false}, {ipv6_client("::ffff:192.0.2.7"), 1, false},
        {ipv6_client("::ffff:127.0.0.1"), 0, true},     {ipv6_client("::1"), 0, true},
        {ipv6_client("2001:db9::1"), 0, false},
    };

    constexpr int thread_count = 8;
    constexpr int rounds = 2000;
    std::latch start(thread_count);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < rounds; ++round) {
                const v6_client& c = clients[(round + t) % clients.size()];
                const auto* address = reinterpret_cast<const sockaddr*>(&c.address);
                if (vlcf_checkip(list, address) != c.peer ||
                    vlcf_internal_match(internal, "mx.example.net", address) != c.internal) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(same_entries(list, before));
}

// Lists large enough that their indexes hold thousands of keys in many
// tables, shared by threads that ask them from copies of the settings
// record made while the others read.
TEST(ConcurrentMatching, LargeIndexedListsFromManyThreads) {
    std::vector<std::string> lines;
    std::vector<internal_host> records;
    for (int i = 0; i < 20000; ++i) {
        const std::string n = std::to_string(i % 256);
        const std::string m = std::to_string(i / 256 % 256);
        const std::string negate = i % 3 == 0 ? "!" : "";
        switch (i % 4) {
            case 0:
                lines.push_back(negate + "mx" + n + ".host" + m + ".example");
                records.push_back({"mx" + n + ".host" + m + ".example", 0, 0});
                break;
            case 1:
                lines.push_back(negate + ".d" + n + ".example");
                records.push_back({".d" + n + ".example", 0, 0});
                break;
            case 2:
                lines.push_back(negate + "10." + m + "." + n + ".0/" + std::to_string(16 + i % 17));
                records.push_back({std::nullopt, inet_addr(("10." + m + "." + n + ".0").c_str()),
                                   htonl(0xffffff00u << (i % 8))});
                break;
            default:
                lines.push_back(negate + "2001:db8:" + n + "::/" + std::to_string(40 + i % 9));
                break;
        }
    }
    const peer_list_t list = make_peers(lines);
    const internal_hosts_t internal(records);

    struct client {
        std::string host;
        sockaddr_storage address;
        int by_name;
        int by_address;
        bool internal;
    };
    std::vector<client> clients;
    for (int i = 0; i < 64; ++i) {
        client c{};
        const std::string n = std::to_string(i * 7 % 256);
        c.host = i % 2 == 0 ? "mx" + n + ".host0.example" : "a.b.d" + n + ".example";
        if (i % 3 == 2) {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&c.address);
            sin6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, ("2001:db8:" + n + "::1").c_str(), &sin6->sin6_addr);
        } else {
            auto* sin = reinterpret_cast<sockaddr_in*>(&c.address);
            sin->sin_family = AF_INET;
            inet_pton(AF_INET, ("10." + std::to_string(i) + "." + n + ".9").c_str(),
                      &sin->sin_addr);
        }
        const auto* address = reinterpret_cast<const sockaddr*>(&c.address);
        c.by_name = reference::checkhost(list, c.host.c_str());
        c.by_address = reference::checkip(list, address);
        c.internal = reference::internal_match(internal, c.host, address);
        clients.push_back(c);
    }
    // Each verdict goes both ways for some of the clients.
    const auto both_ways = [&](auto verdict) {
        const auto admitted = std::count_if(clients.begin(), clients.end(), verdict);
        return admitted > 0 && admitted < static_cast<std::ptrdiff_t>(clients.size());
    };
    EXPECT_TRUE(both_ways([](const client& c) { return c.by_name == 1; }));
    EXPECT_TRUE(both_ways([](const client& c) { return c.by_address == 1; }));
    EXPECT_TRUE(both_ways([](const client& c) { return c.internal; }));

    constexpr int thread_count = 8;
    constexpr int rounds = 1000;
    std::latch start(thread_count);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            // One thread asks a copy, as a connection asks the lists of a
            // settings record copied from the shared one.
            const std::optional<peer_list_t> copy =
                t == 0 ? std::optional<peer_list_t>(list) : std::nullopt;
            const peer_list_t& peers = copy ? *copy : list;
            for (int round = 0; round < rounds; ++round) {
                const client& c = clients[(round * 5 + t) % clients.size()];
                const auto* address = reinterpret_cast<const sockaddr*>(&c.address);
                if (vlcf_checkhost(peers, c.host.c_str()) != c.by_name ||
                    vlcf_checkip(peers, address) != c.by_address ||
                    vlcf_internal_match(internal, c.host, address) != c.internal) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
