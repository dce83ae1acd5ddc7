// Many connection threads match clients against one shared PeerList at the
// same time, without a lock. Every thread must get the verdicts a single
// thread gets, and the list must read the same before, during and after.
// Run under ThreadSanitizer, this also shows that matching never writes
// into the list.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/peers.h"

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

}  // namespace
