// Reloads while the daemon is busy: connections sign and verify without a
// pause while the configuration switches back and forth between two keys,
// one reload after another. Each callback must see one whole set of
// settings: a signed sender is a tag of one of the two keys under its own
// number, never a mixture, and a bounce to it verifies whichever set is in
// force, since each lists the other's key as retired. Run under
// ThreadSanitizer, whose reports the daemon writes into its directory.
#include <libmilter/mfdef.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/protocol/fixture.h"
#include "tests/protocol/prvs_oracle.h"

namespace {

using milter_client::milter_connection;

constexpr int thread_count = 6;
constexpr int reload_count = 40;

const std::string key_a = "reload-key-a-0123456789abcdef";
const std::string key_b = "reload-key-b-fedcba9876543210";

// Key a under number 0 with key b retired under 1, or the other way round.
std::string config(const std::string& dir, bool a_current) {
    return a_current ? "KeyFile " + dir + "/a.key\nKeyVersion 0\nKeyList " + dir + "/list-a\n"
                     : "KeyFile " + dir + "/b.key\nKeyVersion 1\nKeyList " + dir + "/list-b\n";
}

// The key number and key a tag of plain was made with, of the two.
bool made_by_either(const std::string& tagged, const std::string& plain) {
    const unsigned today = prvs_oracle::day_of(std::time(nullptr));
    for (const unsigned day : {today, (today + 999) % 1000}) {
        const unsigned expiry = (day + 7) % 1000;
        if (tagged == prvs_oracle::standard_address(0, expiry, plain, key_a) ||
            tagged == prvs_oracle::standard_address(1, expiry, plain, key_b)) {
            return true;
        }
    }
    return false;
}

TEST(ReloadUnderLoad, EveryCallbackSeesOneWholeSetOfSettings) {
    filter_process::options opts;
    opts.binary = VELLICOR_BINARY;
    opts.args = {"-f", "-p", "unix:{socket}", "-c", "{dir}/conf"};
    opts.files = {{"a.key", key_a + "\n"},
                  {"b.key", key_b + "\n"},
                  {"list-a", "1 {dir}/b.key\n"},
                  {"list-b", "0 {dir}/a.key\n"},
                  {"conf", "KeyFile {dir}/a.key\nKeyVersion 0\nKeyList {dir}/list-a\n"}};
    opts.tsan_suppressions = TSAN_SUPPRESSIONS;
    filter_process::running_filter daemon(opts);

    std::atomic<bool> done{false};
    std::atomic<int> messages{0};
    std::mutex mutex;
    std::vector<std::string> failures;
    auto fail = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        failures.push_back(what);
    };

    auto traffic = [&](int thread) {
        for (int round = 0; !done.load() || round < 3; ++round) {
            const std::string plain =
                "t" + std::to_string(thread) + "r" + std::to_string(round) + "@example.org";
            try {
                milter_connection out(daemon.socket_path());
                out.negotiate(milter_client::all_actions, milter_client::all_steps);
                out.connect(protocol_test::internal_client());
                auto sent = milter_client::send_message(
                    out, {{}, {"<" + plain + ">"}, {{"<x@example.net>"}}, {}, {}, {}});
                out.quit();
                if (!sent.eom || sent.eom->changes.size() != 1) {
                    fail(plain + ": not signed");
                    continue;
                }
                const std::string tagged = sent.eom->changes[0].args.at(0);
                if (!made_by_either(tagged, plain)) {
                    fail(plain + ": torn tag " + tagged);
                }
                milter_connection in(daemon.socket_path());
                in.negotiate(milter_client::all_actions, milter_client::all_steps);
                in.connect(protocol_test::outside_client());
                auto back = milter_client::send_message(
                    in, {{}, {"<>"}, {{"<" + tagged + ">"}}, {}, {}, {}});
                in.quit();
                if (back.rcpts.size() != 1 || back.rcpts[0].code != SMFIR_CONTINUE) {
                    fail(tagged + ": bounce refused");
                }
                ++messages;
            } catch (const std::exception& e) {
                fail(plain + ": " + e.what());
            }
        }
    };

    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < thread_count; ++i) {
            threads.emplace_back(traffic, i);
        }
        for (int i = 0; i < reload_count; ++i) {
            protocol_test::replace_file(daemon.dir() + "/conf", config(daemon.dir(), i % 2 == 1));
            kill(daemon.pid(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        done = true;
    }

    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_GT(messages.load(), 0);
    protocol_test::expect_healthy(daemon);
    const std::optional<int> status = daemon.terminate(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_EQ(daemon.sanitizer_reports(), "");
}

}  // namespace
