// bench-libs: lists
// Cost of the client tests a connection pays: matching a client by name and
// by address against the PeerList, and against the internal hosts, for
// lists of 10 to 100,000 entries; and the start-up cost of loading a list
// of 100,000 entries from its file.
//
// The lists are half names (host names and domain suffixes) and half
// networks (dotted quads, prefix and dotted-mask networks, IPv6 networks),
// some negated, all distinct. The clients match none of them, which is the
// common case (a connection from outside) and, for the internal hosts, the
// one that has to look at everything a walk would.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "lists/lists.h"

namespace {

// The low 16 bits of i as one group of an IPv6 address.
std::string hex(int i) {
    char text[8];
    std::snprintf(text, sizeof text, "%x", i & 0xffff);
    return text;
}

// Two octets of a dotted quad that differ for each i below 65,536.
std::string octets(int i) {
    return std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
}

// Line i of a PeerList of the forms operators write.
std::string peer_line(int i) {
    const std::string n = std::to_string(i);
    switch (i % 10) {
        case 0:
        case 2:
            return "mx" + n + ".partner" + n + ".example";
        case 4:
        case 6:
            return ".relay" + n + ".example.net";
        case 8:
            return "!bad" + n + ".relay" + n + ".example.net";
        case 1:
            return "198." + octets(i) + ".7";
        case 3:
            return "10." + octets(i) + ".0/24";
        case 5:
            return "!172." + octets(i) + ".0/255.255.255.0";
        case 7:
            return "2001:db8:" + hex(i / 10) + "::/48";
        default:
            return "100." + octets(i) + ".0/255.255.0.255";
    }
}

// Line i of an internal-hosts file, of the same mix of forms.
std::string internal_line(int i) {
    const std::string n = std::to_string(i);
    switch (i % 6) {
        case 0:
            return "mx" + n + ".office" + n + ".example";
        case 2:
            return ".branch" + n + ".example.org";
        case 1:
            return "10." + octets(i) + ".0/24";
        case 3:
            return "172." + octets(i) + ".0/255.255.255.0";
        case 5:
            return "2001:db8:" + hex(i / 6) + "::/48";
        default:
            return "198." + octets(i) + ".7";
    }
}

// A list file in a temporary directory, removed when done.
struct list_file {
    std::string path;

    list_file(int entries, std::string (*line)(int)) {
        char name[] = "/tmp/lists_bench.XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            std::perror("mkstemp");
            std::exit(1);
        }
        path = name;
        std::string text;
        for (int i = 0; i < entries; ++i) {
            text += line(i);
            text += '\n';
        }
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::perror("write");
            std::exit(1);
        }
        close(fd);
    }
    ~list_file() { unlink(path.c_str()); }
};

peer_list_t make_peer_list(int entries) {
    const list_file file(entries, peer_line);
    peer_list_t list;
    if (load_peer_list(file.path, list)) {
        std::exit(1);
    }
    return list;
}

internal_hosts_t make_internal_hosts(int entries) {
    const list_file file(entries, internal_line);
    internal_hosts_t list;
    if (load_internal_hosts(file.path, list)) {
        std::exit(1);
    }
    return list;
}

sockaddr_in ipv4(const char* text) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, text, &sin.sin_addr);
    return sin;
}

sockaddr_in6 ipv6(const char* text) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &sin6.sin6_addr);
    return sin6;
}

const char* const client_name = "mail.outbound.relay3.example.com";

void BM_checkhost(benchmark::State& state) {
    const peer_list_t list = make_peer_list(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_checkhost(list, client_name));
    }
}
BENCHMARK(BM_checkhost)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_checkip_v4(benchmark::State& state) {
    const peer_list_t list = make_peer_list(static_cast<int>(state.range(0)));
    const sockaddr_in client = ipv4("203.0.113.9");
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&client)));
    }
}
BENCHMARK(BM_checkip_v4)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_checkip_v6(benchmark::State& state) {
    const peer_list_t list = make_peer_list(static_cast<int>(state.range(0)));
    const sockaddr_in6 client = ipv6("2001:db9::25");
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&client)));
    }
}
BENCHMARK(BM_checkip_v6)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_internal_match_v4(benchmark::State& state) {
    const internal_hosts_t list = make_internal_hosts(static_cast<int>(state.range(0)));
    const sockaddr_in client = ipv4("203.0.113.9");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vlcf_internal_match(list, client_name, reinterpret_cast<const sockaddr*>(&client)));
    }
}
BENCHMARK(BM_internal_match_v4)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_internal_match_v6(benchmark::State& state) {
    const internal_hosts_t list = make_internal_hosts(static_cast<int>(state.range(0)));
    const sockaddr_in6 client = ipv6("2001:db9::25");
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vlcf_internal_match(list, client_name, reinterpret_cast<const sockaddr*>(&client)));
    }
}
BENCHMARK(BM_internal_match_v6)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

// Start-up: reading and indexing a list file of 100,000 lines.
void BM_load_peer_list(benchmark::State& state) {
    const list_file file(static_cast<int>(state.range(0)), peer_line);
    for (auto _ : state) {
        peer_list_t list;
        benchmark::DoNotOptimize(load_peer_list(file.path, list));
    }
}
BENCHMARK(BM_load_peer_list)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_load_internal_hosts(benchmark::State& state) {
    const list_file file(static_cast<int>(state.range(0)), internal_line);
    for (auto _ : state) {
        internal_hosts_t list;
        benchmark::DoNotOptimize(load_internal_hosts(file.path, list));
    }
}
BENCHMARK(BM_load_internal_hosts)->Arg(100000)->Unit(benchmark::kMillisecond);

// A copy of a settings record copies its lists, indexes included.
void BM_copy_peer_list(benchmark::State& state) {
    const peer_list_t list = make_peer_list(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        peer_list_t copy = list;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_copy_peer_list)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_name_matches(benchmark::State& state) {
    const std::string name = "a.very.long.host.name.in.a.deep.subdomain.example.com";
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_name_matches(".example.com", name));
        benchmark::DoNotOptimize(vlcf_name_matches(".example.org", name));
    }
}
BENCHMARK(BM_name_matches);

}  // namespace

BENCHMARK_MAIN();
