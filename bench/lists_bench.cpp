// bench-libs: lists
// Cost of the PeerList test a connection pays: matching a client by name and
// by address against lists of growing length, where every entry is looked at
// because the last matching one decides.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "lists/lists.h"

namespace {

// A mix of the forms operators write: host names, domain suffixes, dotted
// quads, prefix networks, dotted-mask networks, negations.
peer_list_t make_list(int entries) {
    peer_list_t list;
    for (int i = 0; i < entries; ++i) {
        const std::string n = std::to_string(i % 250);
        switch (i % 5) {
            case 0:
                list.push_back({false, "mx" + n + ".partner" + n + ".example"});
                break;
            case 1:
                list.push_back({false, ".relay" + n + ".example.net"});
                break;
            case 2:
                list.push_back({false, "198.51." + n + ".7"});
                break;
            case 3:
                list.push_back({false, "10." + n + ".0.0/16"});
                break;
            default:
                list.push_back({true, "192.0." + n + ".0/255.255.255.0"});
                break;
        }
    }
    return list;
}

void BM_checkhost(benchmark::State& state) {
    const peer_list_t list = make_list(static_cast<int>(state.range(0)));
    const char* host = "mail.outbound.relay3.example.net";
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_checkhost(list, host));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_checkhost)->Arg(8)->Arg(64)->Arg(512);

void BM_checkip(benchmark::State& state) {
    const peer_list_t list = make_list(static_cast<int>(state.range(0)));
    sockaddr_in client{};
    client.sin_family = AF_INET;
    inet_pton(AF_INET, "203.0.113.9", &client.sin_addr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_checkip(list, reinterpret_cast<const sockaddr*>(&client)));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_checkip)->Arg(8)->Arg(64)->Arg(512);

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
