// bench-libs: tags OpenSSL::Crypto
// Cost of tagging and validating an address, next to a bare SHA-1 over the
// same hash input: the codec's own work (parsing, formatting, comparing) is
// the difference. Prints the ratios after the table.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "tags/tags.h"

namespace {

struct bench_input {
    const char* name;
    std::string plain;
    std::string key;
};

const bench_input inputs[] = {
    {"typical", "someone@example.com", "k3J9xQ2mV7pL1sT8wZ4cN6bR0yH5fD2a"},
    // The longest plain address whose tagged form fits in 512 characters,
    // with a 64-character key.
    {"longest", std::string(484, 'a') + "@example.com", std::string(64, 'k')},
};

constexpr int key_version = 3;
constexpr std::time_t now = 1700000000;
constexpr std::uint32_t ttl = 7;

struct md_free {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct md_ctx_free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// SHA-1 of the tag's hash input with the digest and the context made once,
// as the codec does.
void bm_sha1(benchmark::State& state, const bench_input& in) {
    const std::unique_ptr<EVP_MD, md_free> md(EVP_MD_fetch(nullptr, "SHA1", nullptr));
    const std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%1d%03u", key_version, batv_expiry_day(now, ttl));
    const std::string data = prefix + in.plain + in.key;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr);
        EVP_DigestUpdate(ctx.get(), data.data(), data.size());
        EVP_DigestFinal_ex(ctx.get(), digest, &size);
        benchmark::DoNotOptimize(digest);
    }
}

void bm_tag(benchmark::State& state, const bench_input& in) {
    const unsigned day = batv_expiry_day(now, ttl);
    for (auto _ : state) {
        auto tagged = batv_tag_address(in.plain, key_version, day, in.key, tag_form::standard);
        benchmark::DoNotOptimize(tagged);
    }
}

void bm_validate(benchmark::State& state, const bench_input& in) {
    const std::string tagged = *batv_tag_address(in.plain, key_version, batv_expiry_day(now, ttl),
                                                 in.key, tag_form::standard);
    if (!batv_validate_tag(tagged, tag_form::standard, key_version, in.key, ttl, now).tc_hash_ok) {
        state.SkipWithError("tag does not validate");
        return;
    }
    for (auto _ : state) {
        auto r = batv_validate_tag(tagged, tag_form::standard, key_version, in.key, ttl, now);
        benchmark::DoNotOptimize(r);
    }
}

// The same through a key table, as the callbacks validate: the tag's own
// number picks the key.
void bm_validate_table(benchmark::State& state, const bench_input& in) {
    const std::string tagged = *batv_tag_address(in.plain, key_version, batv_expiry_day(now, ttl),
                                                 in.key, tag_form::standard);
    key_table keys;
    keys[key_version] = in.key;
    if (!batv_validate_tag(tagged, tag_form::standard, keys, ttl, now).tc_hash_ok) {
        state.SkipWithError("tag does not validate");
        return;
    }
    for (auto _ : state) {
        auto r = batv_validate_tag(tagged, tag_form::standard, keys, ttl, now);
        benchmark::DoNotOptimize(r);
    }
}

// Shows the table as usual and remembers each benchmark's CPU time per
// iteration for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    ratio_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
    }

    void print_ratios() const {
        for (const bench_input& in : inputs) {
            const auto base = times_.find(std::string("sha1/") + in.name);
            if (base == times_.end()) {
                continue;
            }
            for (const char* op : {"tag", "validate", "validate-table"}) {
                const auto t = times_.find(std::string(op) + "/" + in.name);
                if (t != times_.end()) {
                    std::printf("%s/%s: %.2f x bare SHA-1\n", op, in.name,
                                t->second / base->second);
                }
            }
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const bench_input& in : inputs) {
        benchmark::RegisterBenchmark((std::string("sha1/") + in.name).c_str(), bm_sha1, in);
        benchmark::RegisterBenchmark((std::string("tag/") + in.name).c_str(), bm_tag, in);
        benchmark::RegisterBenchmark((std::string("validate/") + in.name).c_str(), bm_validate, in);
        benchmark::RegisterBenchmark((std::string("validate-table/") + in.name).c_str(),
                                     bm_validate_table, in);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
