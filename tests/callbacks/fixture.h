// Shared set-up for the callbacks' unit tests: a fresh settings record, a
// fake milter connection, captured log lines and a fixed clock, with helpers
// that call the callbacks the way libmilter does.
#pragma once

#include <gtest/gtest.h>
#include <libmilter/mfapi.h>
#include <syslog.h>

#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "callbacks/context.h"
#include "callbacks/settings.h"
#include "tags/tags.h"
#include "tests/support/fake_milter.h"

struct log_line {
    int priority;
    std::string text;
    bool operator==(const log_line&) const = default;
};
void PrintTo(const log_line& line, std::ostream* out);

inline log_line info(std::string text) {
    return {LOG_INFO, std::move(text)};
}
inline log_line err(std::string text) {
    return {LOG_ERR, std::move(text)};
}

// 2023-11-14T22:13:20Z: day count 19675, day number 675.
inline constexpr std::time_t fixed_time = 1700000000;
inline constexpr unsigned today = 675;
// Expiry day of a tag made at fixed_time with the fixture's TTL of 7.
inline constexpr unsigned expiry_today = 682;

inline constexpr const char* test_key = "correct horse battery staple";
inline constexpr int test_key_version = 3;

// The tagged form of plain as the codec makes it with the fixture's key.
std::string tagged(const std::string& plain, unsigned day = expiry_today,
                   int key_number = test_key_version, tag_form form = tag_form::standard);

// A standard-form tagged address with its first hash digit changed.
std::string forged(std::string address);

// An IPv4 or IPv6 socket address, as libmilter hands it to mlfi_connect.
struct client_address {
    sockaddr_storage storage{};
    _SOCK_ADDR* get() { return reinterpret_cast<_SOCK_ADDR*>(&storage); }
};
client_address ipv4(const char* dotted);
client_address ipv6(const char* text);

// A compiled allow-list entry for a basic regular expression.
allow_entry allow(const char* pattern);

class callbacks_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    SMFICTX* ctx() { return fake.handle(); }
    // The record attached to the connection, or null; the marker a closed
    // session may leave is no record.
    conn_ctx* cc() {
        return fake.priv == &no_leading_space_marker ? nullptr : static_cast<conn_ctx*>(fake.priv);
    }
    msg_ctx& msg();
    std::vector<rcpt_entry> rcpts();  // newest first

    // The callbacks with the offers and arguments an MTA passes.
    sfsistat negotiate(unsigned long f0 = 0x1ff, unsigned long f1 = 0x1fffff);
    sfsistat connect(const char* host, _SOCK_ADDR* addr);
    sfsistat envfrom(const std::vector<std::string>& args);
    sfsistat envrcpt(const std::string& recipient);
    sfsistat eom();

    // A negotiated and connected client, internal or from outside, with the
    // log and the recorded calls cleared afterwards.
    void open_outside();
    void open_internal();
    // open_outside() and a bounce (null sender) with job id "Q9".
    void open_bounce();

    // Log lines captured since the last call, which clears them.
    std::vector<log_line> take_logs();

    fake_milter_ctx fake;
};

// Capture state shared with the sink; set the clock with this too.
extern std::time_t test_now;
