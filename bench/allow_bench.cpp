// bench-libs: lists
// Cost of the allow-list test every selected address pays: one lookup
// against lists of 10 to 100,000 patterns of the common forms *@domain and
// user*@domain, for an address the list does not hold, one it holds, and
// with one pattern in a hundred of a form that every lookup walks
// (*postmaster17@*, with neither a literal domain nor a literal head). For
// comparison, the same patterns compiled as regular expressions and walked
// with regexec, as the filter matched them before (up to 10,000: each
// costs about 12 KB). "heap_bytes" is what building the
// list allocated, as glibc's allocator counts it.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <regex.h>

#include <cstddef>
#include <memory>
#include <string>

#include "lists/lists.h"

namespace {

std::string line_for(std::size_t i, bool with_walked) {
    const std::string n = std::to_string(i);
    if (with_walked && i % 100 == 99) {
        return "*postmaster" + n + "@*";
    }
    return i % 2 == 0 ? "*@list" + n + ".example" : "user*@host" + n + ".example";
}

std::size_t heap_in_use() {
    return mallinfo2().uordblks;
}

allow_list_t make_list(std::size_t entries, bool with_walked, benchmark::State& state) {
    const std::size_t before = heap_in_use();
    allow_list_t list;
    for (std::size_t i = 0; i < entries; ++i) {
        allow_entry entry;
        if (vlcf_allow_entry(line_for(i, with_walked), entry)) {
            state.SkipWithError("pattern does not build");
        }
        list.push_back(std::move(entry));
    }
    state.counters["heap_bytes"] = static_cast<double>(heap_in_use() - before);
    return list;
}

struct regex_freer {
    void operator()(regex_t* re) const noexcept {
        regfree(re);
        std::default_delete<regex_t>{}(re);
    }
};

// The patterns as the filter held them before globs: every one compiled.
allow_list_t make_regex_list(std::size_t entries, benchmark::State& state) {
    const std::size_t before = heap_in_use();
    allow_list_t list;
    for (std::size_t i = 0; i < entries; ++i) {
        auto re = std::make_unique<regex_t>();
        if (regcomp(re.get(), batv_mkregexp(line_for(i, false)).c_str(), REG_ICASE) != 0) {
            state.SkipWithError("pattern does not compile");
        }
        allow_entry entry;
        entry.ae_regex = std::shared_ptr<const regex_t>(re.release(), regex_freer{});
        list.push_back(std::move(entry));
    }
    state.counters["heap_bytes"] = static_cast<double>(heap_in_use() - before);
    return list;
}

void lookups(benchmark::State& state, const allow_list_t& list, const std::string& address,
             allow_result expected) {
    if (vlcf_allow_match(list, address.c_str()).result != expected) {
        state.SkipWithError("unexpected result");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(vlcf_allow_match(list, address.c_str()));
    }
}

// The address of a domain the list does not hold: its bucket is empty.
void BM_allow_miss(benchmark::State& state) {
    const allow_list_t list = make_list(static_cast<std::size_t>(state.range(0)), false, state);
    lookups(state, list, "Someone@Elsewhere.Example", allow_result::no_match);
}
BENCHMARK(BM_allow_miss)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

// A user*@host pattern in the middle of the list.
void BM_allow_hit(benchmark::State& state) {
    const std::size_t entries = static_cast<std::size_t>(state.range(0));
    const allow_list_t list = make_list(entries, false, state);
    const std::size_t middle = entries / 2 | 1;
    lookups(state, list, "User42@Host" + std::to_string(middle) + ".example", allow_result::match);
}
BENCHMARK(BM_allow_hit)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

// One pattern in a hundred walked by every lookup.
void BM_allow_miss_with_walked(benchmark::State& state) {
    const allow_list_t list = make_list(static_cast<std::size_t>(state.range(0)), true, state);
    lookups(state, list, "Someone@Elsewhere.Example", allow_result::no_match);
}
BENCHMARK(BM_allow_miss_with_walked)->Arg(10)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_regex_walk_miss(benchmark::State& state) {
    const allow_list_t list = make_regex_list(static_cast<std::size_t>(state.range(0)), state);
    lookups(state, list, "Someone@Elsewhere.Example", allow_result::no_match);
}
BENCHMARK(BM_regex_walk_miss)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
