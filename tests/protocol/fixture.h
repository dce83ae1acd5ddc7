// What the protocol tests share: the daemon started in a temporary
// directory, sessions with it through the project's milter client, the
// tagged addresses a test sends (computed from their definition, not with
// the daemon's codec), and a readable form of the changes at end of message.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/protocol/filter_process.h"
#include "tests/protocol/milter_client.h"

namespace protocol_test {

// The daemon started with -f, its private socket and key, and extra.
std::unique_ptr<filter_process::running_filter> start_daemon(
    const std::vector<std::string>& extra = {},
    const std::vector<std::pair<std::string, std::string>>& files = {});

// Fails the test when the daemon died or a sanitizer reported anything.
void expect_healthy(filter_process::running_filter& daemon);

// The two kinds of client.
milter_client::client_info internal_client();  // localhost, 127.0.0.1
milter_client::client_info outside_client();   // mx.example.net, 192.0.2.10

// A negotiated session whose connect step the daemon answered with
// CONTINUE. authserv, when not empty, is sent as macro "j".
milter_client::milter_connection session(const filter_process::running_filter& daemon,
                                         const milter_client::client_info& client,
                                         const std::string& authserv = "mx.test.example",
                                         std::uint32_t steps = milter_client::all_steps);

// The host name as the daemon reads it at start.
std::string host_name();

enum class form { standard, sendmail };

// Tagged forms of one plain address under a key, for key number 0 and
// the default lifetime of 7 days.
struct tag_set {
    std::string plain;
    std::string valid;       // made today
    std::string forged;      // valid with one hash digit changed
    std::string expired;     // correct hash, expiry day yesterday
    std::string syntax;      // a letter among the day digits
    std::string badversion;  // correct hash, key number 1
};
tag_set make_tags(const std::string& plain, const std::string& key, form f = form::standard,
                  std::time_t now = std::time(nullptr));

// The tagged address for key number k, day d.
std::string tagged(const std::string& plain, int k, unsigned d, const std::string& key, form f);

// Replaces a file in one step (a new file renamed over it), so that a
// reload never reads half of it.
void replace_file(const std::string& path, const std::string& content);

// "chgfrom <sender> <args>", "insheader 1 <name>:<value>", "delrcpt <rcpt>",
// "addrcpt <rcpt>", "quarantine <reason>", ...
std::string format_change(const milter_client::modification& m);
std::vector<std::string> format_changes(const milter_client::eom_result& r);

}  // namespace protocol_test
