// Whole-daemon throughput. Starts vellicor and a no-op libmilter filter with
// the same registration and protocol steps, each on a private UNIX-domain
// socket, and drives both the same way with a milter-protocol load client:
//
//   signing    an internal client (localhost, 127.0.0.1) sends a message
//              from a selected sender; the daemon answers with the tagged
//              sender at end of message;
//   verifying  an outside client sends a bounce to a validly tagged
//              recipient; the daemon replaces it with the plain address.
//
// Each runs at every concurrency (parallel MTA connections), alternating
// between the filters for a few rounds; the figures are those of the median
// round. A third filter, the no-op with -c, makes as many changes at end of
// message as the daemon does (a sender change, or a recipient deleted and
// one added) with fixed texts: the daemon's distance from it is what its own
// work costs, its distance from the plain no-op what the changes cost in
// the protocol. The no-op filter starts a session of its own, as the
// daemon does, so that the kernel schedules all filters alike. A message's
// latency runs from its first packet (the negotiation, when the message
// opens a new connection) to the filter's answer at end of message.
// "cpu us/msg" is the CPU time (user and system) the filter process used
// per message, read from /proc: on a machine the load client shares, it is
// the steadier figure. Then the daemon's resident memory is read before and
// after a long mixed run, to show whether it grows once warm.
//
// With --socket inet the filters listen on loopback TCP ports instead, and
// each is driven by two clients: one that re-arms TCP_QUICKACK after every
// read, so that the filter's writes never wait for an acknowledgement, and
// one that acknowledges as an MTA does, with the kernel's delayed ACKs. A
// filter that leaves Nagle's algorithm on holds the second of two small
// writes until the first is acknowledged, so a message whose end brings
// changes waits for the client's delayed-ACK timer (about 40 ms); the
// ratio delayed/quick shows whether a filter stalls. Vellicor sets
// TCP_NODELAY on its socket; the no-op filters do not and are measured as
// they are: the no-op with -c stalls with delayed ACKs, the plain no-op,
// which writes one reply per step, does not. The memory run then goes over
// TCP too, with the quick-ACK client. The delayed-ACK
// runs send --delayed-messages messages each, since a stalling filter
// manages only about 25 messages per second on each connection.
//
//   daemon_bench [--messages N] [--per-connection M] [--concurrency 1,8,64]
//                [--rounds R] [--rss-messages N] [--vellicor PATH]
//                [--noop PATH] [--daemon-arg ARG]... [--socket unix|inet]
//                [--delayed-messages N]
//
// The one-million-message memory run: daemon_bench --rss-messages 1000000
#include <libmilter/mfdef.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/daemon/load_result.h"
#include "tests/protocol/filter_process.h"
#include "tests/protocol/milter_client.h"
#include "tests/protocol/prvs_oracle.h"

namespace {

using clock_type = std::chrono::steady_clock;
using milter_client::acks;
using milter_client::client_info;
using milter_client::message;
using milter_client::milter_connection;

struct settings {
    long messages = 20000;
    long per_connection = 1;
    std::vector<int> concurrency = {1, 8, 64};
    int rounds = 3;
    long rss_messages = 100000;
    std::string vellicor = VELLICOR_BINARY;
    std::string noop = NOOP_BINARY;
    std::vector<std::string> daemon_args;
    filter_process::transport socket = filter_process::transport::unix_socket;
    long delayed_messages = 1000;
};

enum class path { signing, verifying, mixed };

const char* name_of(path p) {
    switch (p) {
        case path::signing:
            return "signing";
        case path::verifying:
            return "verifying";
        default:
            return "mixed";
    }
}

// The messages a run sends: a few dozen distinct senders and tagged
// recipients, so that nothing is the same message over and over.
struct workload {
    std::vector<message> signing;
    std::vector<message> verifying;
};

workload make_workload(const std::string& key) {
    workload w;
    const unsigned day = (prvs_oracle::day_of(std::time(nullptr)) + 7) % 1000;
    for (int i = 0; i < 64; ++i) {
        const std::string plain = "user" + std::to_string(i) + "@example.com";
        message s;
        s.mail_macros = {{"i", "S" + std::to_string(i)}};
        s.mail_args = {"<" + plain + ">", "SIZE=4096", "BODY=8BITMIME"};
        s.rcpts = {{"<someone@example.net>"}};
        s.eom_macros = {{"i", "S" + std::to_string(i)}};
        w.signing.push_back(s);
        message v;
        v.mail_macros = {{"i", "V" + std::to_string(i)}};
        v.mail_args = {"<>"};
        v.rcpts = {{"<" + prvs_oracle::standard_address(0, day, plain, key) + ">"}};
        v.eom_macros = {{"i", "V" + std::to_string(i)}};
        w.verifying.push_back(v);
    }
    return w;
}

using result = load_result;

const client_info internal_client = {"localhost", '4', 40000, "127.0.0.1"};
const client_info outside_client = {"mx.example.net", '4', 40000, "192.0.2.10"};

// Sends messages over connections to the filter's socket, threads at a
// time, per_connection messages per connection. changes: whether each answer
// must carry the changes the daemon makes, or none. ack: how a client over
// TCP acknowledges what it reads.
result drive(const filter_process::running_filter& filter, const workload& w, path p, int threads,
             long messages, long per_connection, bool changes, acks ack = acks::quick) {
    const std::string& socket = filter.socket_spec();
    const double cpu_before = filter.cpu_seconds();
    std::atomic<long> next{0};
    std::atomic<long> errors{0};
    std::mutex merge;
    std::vector<double> all;
    all.reserve(static_cast<std::size_t>(messages));
    auto started = clock_type::now();
    {
        std::vector<std::jthread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                std::vector<double> mine;
                std::optional<milter_connection> conn;
                bool conn_internal = false;
                long on_conn = 0;
                for (long i = next++; i < messages; i = next++) {
                    const bool sign = p == path::signing || (p == path::mixed && t % 2 == 0);
                    const message& msg = sign ? w.signing[static_cast<std::size_t>(i % 64)]
                                              : w.verifying[static_cast<std::size_t>(i % 64)];
                    auto begin = clock_type::now();
                    try {
                        if (conn && (on_conn == per_connection || conn_internal != sign)) {
                            conn->quit();
                            conn.reset();
                        }
                        if (!conn) {
                            conn.emplace(socket, ack);
                            conn->negotiate();
                            conn->macros(SMFIC_CONNECT, {{"j", "mx.bench.example"}});
                            conn->connect(sign ? internal_client : outside_client);
                            conn_internal = sign;
                            on_conn = 0;
                        }
                        auto r = milter_client::send_message(*conn, msg);
                        ++on_conn;
                        std::size_t expected = changes ? (sign ? 1 : 2) : 0;
                        if (!r.eom || r.eom->final.code != SMFIR_CONTINUE ||
                            r.eom->changes.size() != expected) {
                            ++errors;
                        }
                    } catch (const std::exception&) {
                        ++errors;
                        conn.reset();
                    }
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(clock_type::now() - begin)
                            .count());
                }
                if (conn) {
                    try {
                        conn->quit();
                    } catch (const std::exception&) {
                        ++errors;
                    }
                }
                std::lock_guard lock(merge);
                all.insert(all.end(), mine.begin(), mine.end());
            });
        }
    }
    result r;
    r.seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    r.cpu_seconds = filter.cpu_seconds() - cpu_before;
    r.messages = messages;
    r.errors = errors;
    std::sort(all.begin(), all.end());
    r.latency_us = std::move(all);
    return r;
}



int usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s [--messages N] [--per-connection M] [--concurrency 1,8,64]\n"
                 "       [--rounds R] [--rss-messages N] [--vellicor PATH] [--noop PATH]\n"
                 "       [--daemon-arg ARG]... [--socket unix|inet] [--delayed-messages N]\n",
                 prog);
    return 64;
}

// The three filters, each on a socket of the kind the run uses.
struct filters {
    filter_process::running_filter daemon;
    filter_process::running_filter noop;
    filter_process::running_filter changer;
};

filter_process::options filter_options(const settings& s, bool vellicor, bool changes) {
    filter_process::options o;
    o.socket = s.socket;
    if (vellicor) {
        o.binary = s.vellicor;
        o.args = filter_process::daemon_args(s.daemon_args);
    } else {
        o.binary = s.noop;
        o.args = {"-p", "{spec}"};
        if (changes) {
            o.args.push_back("-c");
        }
    }
    return o;
}

// The table of the UNIX-domain run: each filter at each concurrency, and
// the daemon's figures against the two no-op filters'.
long unix_table(const settings& s, filters& f, const workload& w) {
    std::printf("messages per run %ld, %ld per connection, %d rounds, median round shown\n",
                s.messages, s.per_connection, s.rounds);
    std::printf("%-10s %5s  %-9s %9s %8s %8s %10s %8s %8s\n", "path", "conns", "filter", "msg/s",
                "p50 us", "p99 us", "cpu us/msg", "/no-op", "/+chg");
    long total_errors = 0;
    for (path p : {path::signing, path::verifying}) {
        for (int c : s.concurrency) {
            std::vector<result> n_rounds, c_rounds, v_rounds;
            for (int r = 0; r < s.rounds; ++r) {
                n_rounds.push_back(drive(f.noop, w, p, c, s.messages, s.per_connection, false));
                c_rounds.push_back(drive(f.changer, w, p, c, s.messages, s.per_connection, true));
                v_rounds.push_back(drive(f.daemon, w, p, c, s.messages, s.per_connection, true));
                total_errors +=
                    n_rounds.back().errors + c_rounds.back().errors + v_rounds.back().errors;
            }
            const result& n = median_by_rate(n_rounds);
            const result& ch = median_by_rate(c_rounds);
            const result& v = median_by_rate(v_rounds);
            auto line = [&](const char* filter, const result& r, bool ratios) {
                std::printf("%-10s %5d  %-9s %9.0f %8.0f %8.0f %10.1f", name_of(p), c, filter,
                            r.rate(), r.percentile(0.5), r.percentile(0.99), r.cpu_us());
                if (ratios) {
                    std::printf(" %8.3f %8.3f", r.rate() / n.rate(), r.rate() / ch.rate());
                }
                std::printf("\n");
            };
            line("no-op", n, false);
            line("no-op -c", ch, false);
            line("vellicor", v, true);
            std::fflush(stdout);
        }
    }
    return total_errors;
}

// The table of the TCP run: each filter with the quick-ACK and the
// delayed-ACK client, and the ratio of the two rates.
long inet_table(const settings& s, filters& f, const workload& w) {
    std::printf(
        "over TCP on the loopback address (%s for vellicor); quick: the client re-arms "
        "TCP_QUICKACK after every read; delayed: it acknowledges with the kernel's delayed "
        "ACKs, as an MTA does.\nvellicor sets TCP_NODELAY; the no-op filters leave Nagle's "
        "algorithm on, so the no-op -c stalls with delayed ACKs.\n",
        f.daemon.socket_spec().c_str());
    std::printf(
        "messages per run %ld (%ld with delayed ACKs), %ld per connection, %d rounds, median "
        "round shown\n",
        s.messages, std::min(s.messages, s.delayed_messages), s.per_connection, s.rounds);
    std::printf("%-10s %5s  %-9s %11s %8s %8s %13s %8s %8s %8s\n", "path", "conns", "filter",
                "quick msg/s", "p50 us", "p99 us", "delayed msg/s", "p50 us", "p99 us",
                "del/quick");
    const long delayed_messages = std::min(s.messages, s.delayed_messages);
    long total_errors = 0;
    struct subject {
        const char* name;
        const filter_process::running_filter& filter;
        bool changes;
    };
    const subject subjects[] = {
        {"no-op", f.noop, false}, {"no-op -c", f.changer, true}, {"vellicor", f.daemon, true}};
    for (path p : {path::signing, path::verifying}) {
        for (int c : s.concurrency) {
            std::vector<std::vector<result>> quick(3), delayed(3);
            for (int r = 0; r < s.rounds; ++r) {
                for (std::size_t i = 0; i < 3; ++i) {
                    const subject& sub = subjects[i];
                    quick[i].push_back(drive(sub.filter, w, p, c, s.messages, s.per_connection,
                                             sub.changes, acks::quick));
                    delayed[i].push_back(drive(sub.filter, w, p, c, delayed_messages,
                                               s.per_connection, sub.changes, acks::delayed));
                    total_errors += quick[i].back().errors + delayed[i].back().errors;
                }
            }
            for (std::size_t i = 0; i < 3; ++i) {
                const result& q = median_by_rate(quick[i]);
                const result& d = median_by_rate(delayed[i]);
                std::printf("%-10s %5d  %-9s %11.0f %8.0f %8.0f %13.0f %8.0f %8.0f %8.3f\n",
                            name_of(p), c, subjects[i].name, q.rate(), q.percentile(0.5),
                            q.percentile(0.99), d.rate(), d.percentile(0.5), d.percentile(0.99),
                            d.rate() / q.rate());
            }
            std::fflush(stdout);
        }
    }
    return total_errors;
}

int run(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            return usage(argv[0]);
        }
        const char* v = argv[++i];
        if (a == "--messages") {
            s.messages = std::atol(v);
        } else if (a == "--per-connection") {
            s.per_connection = std::max(1L, std::atol(v));
        } else if (a == "--concurrency") {
            s.concurrency.clear();
            for (const long n : parse_number_list(v)) {
                s.concurrency.push_back(static_cast<int>(n));
            }
        } else if (a == "--rounds") {
            s.rounds = std::max(1, std::atoi(v));
        } else if (a == "--rss-messages") {
            s.rss_messages = std::atol(v);
        } else if (a == "--vellicor") {
            s.vellicor = v;
        } else if (a == "--noop") {
            s.noop = v;
        } else if (a == "--daemon-arg") {
            s.daemon_args.push_back(v);
        } else if (a == "--socket" && (std::string(v) == "unix" || std::string(v) == "inet")) {
            s.socket = std::string(v) == "inet" ? filter_process::transport::inet
                                                : filter_process::transport::unix_socket;
        } else if (a == "--delayed-messages") {
            s.delayed_messages = std::max(1L, std::atol(v));
        } else {
            return usage(argv[0]);
        }
    }

    filters f{filter_process::running_filter(filter_options(s, true, false)),
              filter_process::running_filter(filter_options(s, false, false)),
              filter_process::running_filter(filter_options(s, false, true))};
    const filter_process::running_filter& daemon = f.daemon;
    const workload w = make_workload(daemon.key());

    long total_errors = s.socket == filter_process::transport::unix_socket ? unix_table(s, f, w)
                                                                           : inet_table(s, f, w);

    const long rss_before = daemon.rss_kib();
    const long noop_before = f.noop.rss_kib();
    auto started = clock_type::now();
    result mixed = drive(daemon, w, path::mixed, 8, s.rss_messages, s.per_connection, true);
    total_errors += mixed.errors;
    const long rss_after = daemon.rss_kib();
    std::printf(
        "\nresident memory (VmRSS) of vellicor over %ld mixed messages at 8 connections "
        "(%.0f s):\n  before %ld KiB, after %ld KiB, change %+ld KiB (no-op filter at rest: %ld "
        "KiB)\n",
        s.rss_messages, std::chrono::duration<double>(clock_type::now() - started).count(),
        rss_before, rss_after, rss_after - rss_before, noop_before);
    std::printf("errors (wrong or missing answers): %ld\n", total_errors);
    if (!f.daemon.alive() || !f.noop.alive() || !f.changer.alive()) {
        std::printf("a filter died during the run\n");
        return 1;
    }
    return total_errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
}
