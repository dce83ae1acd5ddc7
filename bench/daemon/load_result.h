// What the daemon benchmarks measure of one load run, and the parsing of
// their comma-separated options. Shared by daemon_bench and list_bench.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// One run: its duration, the filter's CPU time, the messages sent, the
// wrong or missing answers, and each message's latency.
struct load_result {
    double seconds = 0;
    double cpu_seconds = 0;  // used by the filter process
    long messages = 0;
    long errors = 0;
    std::vector<double> latency_us;  // sorted

    double rate() const { return seconds > 0 ? messages / seconds : 0; }
    double cpu_us() const { return messages > 0 ? cpu_seconds * 1e6 / messages : 0; }
    double percentile(double p) const {
        if (latency_us.empty()) {
            return 0;
        }
        auto at = static_cast<std::size_t>(p * static_cast<double>(latency_us.size() - 1) + 0.5);
        return latency_us[at];
    }
};

// The round of median throughput; rounds must not be empty.
inline const load_result& median_by_rate(std::vector<load_result>& rounds) {
    std::sort(rounds.begin(), rounds.end(),
              [](const load_result& a, const load_result& b) { return a.rate() < b.rate(); });
    return rounds[rounds.size() / 2];
}

// "1,8,64" as numbers; empty items are skipped.
inline std::vector<long> parse_number_list(std::string_view text) {
    std::vector<long> out;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string piece(text.substr(0, comma));
        if (!piece.empty()) {
            out.push_back(std::atol(piece.c_str()));
        }
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    return out;
}
