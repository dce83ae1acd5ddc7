#include "tests/callbacks/fixture.h"

#include <arpa/inet.h>
#include <regex.h>

#include <cstring>
#include <memory>

#include "callbacks/callbacks.h"
#include "callbacks/clock.h"
#include "logging/log.h"
#include "tests/callbacks/alloc_failure.h"

std::time_t test_now = fixed_time;

namespace {

std::vector<log_line> captured;

void capture(int priority, const char* line) {
    const alloc_failure_pause pause;
    captured.push_back({priority, line});
}

std::time_t test_clock() {
    return test_now;
}

// argv as libmilter builds it: the texts, then a null pointer.
struct arg_vector {
    explicit arg_vector(const std::vector<std::string>& args) {
        // Only the callbacks' own allocations are made to fail.
        const alloc_failure_pause pause;
        texts = args;
        for (std::string& text : texts) {
            pointers.push_back(text.data());
        }
        pointers.push_back(nullptr);
    }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

}  // namespace

void PrintTo(const log_line& line, std::ostream* out) {
    *out << (line.priority == LOG_ERR    ? "LOG_ERR "
             : line.priority == LOG_INFO ? "LOG_INFO "
                                         : "priority " + std::to_string(line.priority) + " ")
         << '"' << line.text << '"';
}

std::string tagged(const std::string& plain, unsigned day, int key_number, tag_form form) {
    std::optional<std::string> tag = batv_tag_address(plain, key_number, day, test_key, form);
    EXPECT_TRUE(tag) << plain;
    return tag.value_or("");
}

std::string forged(std::string address) {
    char& digit = address.at(9);
    digit = digit == '0' ? '1' : '0';
    return address;
}

client_address ipv4(const char* dotted) {
    client_address address;
    auto* sin = reinterpret_cast<sockaddr_in*>(&address.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(40000);
    EXPECT_EQ(inet_pton(AF_INET, dotted, &sin->sin_addr), 1) << dotted;
    return address;
}

client_address ipv6(const char* text) {
    client_address address;
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(40000);
    EXPECT_EQ(inet_pton(AF_INET6, text, &sin6->sin6_addr), 1) << text;
    return address;
}

allow_entry allow(const char* pattern) {
    auto re = std::make_unique<regex_t>();
    EXPECT_EQ(regcomp(re.get(), pattern, REG_ICASE), 0) << pattern;
    allow_entry entry;
    entry.ae_regex = compiled_regex(re.release());
    return entry;
}

void callbacks_test::SetUp() {
    settings = settings_record{};
    settings.Syslog = 1;
    settings.LogWhy = 1;
    settings.KeyVersion = test_key_version;
    settings.SignatureTTL = 7;
    settings.key_text = test_key;
    settings.verify_keys[test_key_version] = test_key;
    settings.hostname = "filter.example.org";
    settings.progname = "vellicor";
    test_now = fixed_time;
    captured.clear();
    batv_set_log_sink(capture);
    batv_set_clock(test_clock);
}

void callbacks_test::TearDown() {
    if (cc() != nullptr) {
        mlfi_close(ctx());
    }
    EXPECT_EQ(cc(), nullptr);
    batv_set_log_sink(nullptr);
    batv_set_clock(nullptr);
    settings = settings_record{};
}

msg_ctx& callbacks_test::msg() {
    // The tests that ask have made sure both exist.
    return *cc()->cc_msg;
}

std::vector<rcpt_entry> callbacks_test::rcpts() {
    std::vector<rcpt_entry> out;
    for (const rcpt_entry& entry : msg().msg_rcpts) {
        out.push_back(entry);
    }
    return out;
}

sfsistat callbacks_test::negotiate(unsigned long f0, unsigned long f1) {
    unsigned long pf0 = 0;
    unsigned long pf1 = 0;
    unsigned long pf2 = 0;
    unsigned long pf3 = 0;
    return mlfi_negotiate(ctx(), f0, f1, 0, 0, &pf0, &pf1, &pf2, &pf3);
}

sfsistat callbacks_test::connect(const char* host, _SOCK_ADDR* addr) {
    // libmilter hands over a modifiable copy of the host name.
    std::optional<std::string> copy;
    if (host != nullptr) {
        const alloc_failure_pause pause;
        copy = host;
    }
    return mlfi_connect(ctx(), copy ? copy->data() : nullptr, addr);
}

sfsistat callbacks_test::envfrom(const std::vector<std::string>& args) {
    arg_vector argv(args);
    return mlfi_envfrom(ctx(), argv.pointers.data());
}

sfsistat callbacks_test::envrcpt(const std::string& recipient) {
    std::optional<arg_vector> argv;
    {
        const alloc_failure_pause pause;
        argv.emplace(std::vector<std::string>{recipient});
    }
    return mlfi_envrcpt(ctx(), argv->pointers.data());
}

sfsistat callbacks_test::eom() {
    return mlfi_eom(ctx());
}

void callbacks_test::open_outside() {
    ASSERT_EQ(negotiate(0x1ff, 0), SMFIS_CONTINUE);
    client_address address = ipv4("192.0.2.10");
    ASSERT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
    ASSERT_EQ(cc()->cc_internal, 0);
    take_logs();
    fake.clear_calls();
}

void callbacks_test::open_internal() {
    settings.internal_hosts.push_back(internal_host{"localhost", 0, 0});
    ASSERT_EQ(negotiate(0x1ff, 0), SMFIS_CONTINUE);
    client_address address = ipv4("127.0.0.1");
    ASSERT_EQ(connect("localhost", address.get()), SMFIS_CONTINUE);
    ASSERT_EQ(cc()->cc_internal, 1);
    take_logs();
    fake.clear_calls();
}

void callbacks_test::open_bounce() {
    open_outside();
    fake.macros["i"] = "Q9";
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    take_logs();
    fake.clear_calls();
}

std::vector<log_line> callbacks_test::take_logs() {
    std::vector<log_line> out;
    out.swap(captured);
    return out;
}
