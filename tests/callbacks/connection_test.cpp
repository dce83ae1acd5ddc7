// Negotiation, the client checks at connect, and close.
#include <arpa/inet.h>

#include <optional>
#include <string>
#include <vector>

#include "callbacks/callbacks.h"
#include "callbacks/context.h"
#include "lists/lists.h"
#include "tests/callbacks/fixture.h"

namespace {

using negotiation_test = callbacks_test;

TEST_F(negotiation_test, answers_the_offered_actions_and_steps) {
    struct case_ {
        const char* name;
        int quarantine;
        unsigned long f0, f1;
        sfsistat verdict;
        unsigned long actions, steps;
        int leading_space;
    };
    const case_ cases[] = {
        {"everything offered", 0, 0x1ff, 0x1fffff, SMFIS_CONTINUE, 0x4d, 0x100372, 1},
        {"exactly the required actions", 0, 0x4d, 0, SMFIS_CONTINUE, 0x4d, 0, 0},
        {"with quarantine", 1, 0x1ff, 0x1fffff, SMFIS_CONTINUE, 0x6d, 0x100372, 1},
        {"unknown-command step only", 0, 0x1ff, 0x100, SMFIS_CONTINUE, 0x4d, 0x100, 0},
        {"leading space only", 0, 0x1ff, 0x100000, SMFIS_CONTINUE, 0x4d, 0x100000, 1},
        {"no-reply and skip flags are never asked for", 0, 0x1ff, 0x0ffc8d, SMFIS_CONTINUE, 0x4d, 0,
         0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        fake_milter_ctx local;
        settings.Quarantine = c.quarantine;
        unsigned long pf0 = 0xdead, pf1 = 0xdead, pf2 = 0xdead, pf3 = 0xdead;
        EXPECT_EQ(mlfi_negotiate(local.handle(), c.f0, c.f1, 7, 7, &pf0, &pf1, &pf2, &pf3),
                  c.verdict);
        EXPECT_EQ(pf0, c.actions);
        EXPECT_EQ(pf1, c.steps);
        EXPECT_EQ(pf2, 0u);
        EXPECT_EQ(pf3, 0u);
        auto* record = static_cast<conn_ctx*>(local.priv);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->cc_leading_space, c.leading_space);
        EXPECT_EQ(record->cc_internal, 0);
        EXPECT_EQ(record->cc_msg, nullptr);
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(mlfi_close(local.handle()), SMFIS_CONTINUE);
        // What a later session on this connection needs of the negotiation:
        // nothing in the usual case, the marker without a leading blank.
        EXPECT_EQ(local.priv,
                  c.leading_space ? nullptr : static_cast<void*>(&no_leading_space_marker));
    }
}

TEST_F(negotiation_test, refuses_an_mta_that_lacks_a_required_action) {
    struct case_ {
        int quarantine;
        int syslog;
        unsigned long f0;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {1,
         1,
         0x4d,
         {err("mlfi_negotiate(): required milter action(s) not available (got 0x4d, need "
              "0x6d)")}},
        {0,
         1,
         0x1f5,
         {err("mlfi_negotiate(): required milter action(s) not available (got 0x1f5, need "
              "0x4d)")}},
        {0,
         1,
         0x0d,
         {err("mlfi_negotiate(): required milter action(s) not available (got 0xd, need "
              "0x4d)")}},
        {1, 0, 0x4d, {}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.f0);
        settings.Quarantine = c.quarantine;
        settings.Syslog = c.syslog;
        fake_milter_ctx local;
        unsigned long pf0 = 0xdead, pf1 = 0xdead, pf2 = 0xdead, pf3 = 0xdead;
        EXPECT_EQ(mlfi_negotiate(local.handle(), c.f0, 0x1fffff, 0, 0, &pf0, &pf1, &pf2, &pf3),
                  SMFIS_REJECT);
        EXPECT_EQ(take_logs(), c.logs);
        // The outputs stay untouched and no record is made.
        EXPECT_EQ(pf0, 0xdeadu);
        EXPECT_EQ(pf1, 0xdeadu);
        EXPECT_EQ(pf2, 0xdeadu);
        EXPECT_EQ(pf3, 0xdeadu);
        EXPECT_EQ(local.priv, nullptr);
        EXPECT_EQ(local.calls_to("smfi_setpriv"), std::vector<std::string>{});
    }
}

TEST_F(negotiation_test, without_a_record_connect_makes_one) {
    fake.fail("smfi_setpriv", 1);
    unsigned long pf0 = 0, pf1 = 0, pf2 = 0, pf3 = 0;
    EXPECT_EQ(mlfi_negotiate(ctx(), 0x1ff, 0x1fffff, 0, 0, &pf0, &pf1, &pf2, &pf3), SMFIS_CONTINUE);
    EXPECT_EQ(pf0, 0x4du);
    // Nobody could note the leading space, so it is not asked for.
    EXPECT_EQ(pf1, 0x372u);
    EXPECT_EQ(cc(), nullptr);

    fake.macros["j"] = "mta.example.org";
    client_address address = ipv4("192.0.2.10");
    EXPECT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
    ASSERT_NE(cc(), nullptr);
    EXPECT_EQ(cc()->cc_leading_space, 0);
    EXPECT_EQ(cc()->cc_authservid, "mta.example.org");
    EXPECT_EQ(cc()->cc_host, "mx.outside.example");
    fake.macros["i"] = "Q1";
    EXPECT_EQ(envfrom({"<a@example.com>"}), SMFIS_CONTINUE);
    EXPECT_EQ(take_logs(),
              (std::vector<log_line>{
                  info("Q1 signing for all domains; message will be signed"),
                  info("Q1 client not internal and not authenticated; signing skipped")}));
}

TEST_F(negotiation_test, without_a_record_the_connection_is_temp_failed) {
    fake.fail("smfi_setpriv");
    unsigned long pf0 = 0, pf1 = 0, pf2 = 0, pf3 = 0;
    EXPECT_EQ(mlfi_negotiate(ctx(), 0x1ff, 0x1fffff, 0, 0, &pf0, &pf1, &pf2, &pf3), SMFIS_CONTINUE);
    EXPECT_EQ(pf0, 0x4du);
    // Nobody could note the leading space, so it is not asked for.
    EXPECT_EQ(pf1, 0x372u);
    EXPECT_EQ(fake.priv, nullptr);

    client_address address = ipv4("192.0.2.10");
    EXPECT_EQ(connect("mx.outside.example", address.get()), SMFIS_TEMPFAIL);
    fake.macros["i"] = "Q1";
    EXPECT_EQ(envfrom({"<a@example.com>"}), SMFIS_TEMPFAIL);
    EXPECT_EQ(take_logs(),
              std::vector<log_line>{err("envelope data received before connection information; "
                                        "temp-failing")});
    settings.Syslog = 0;
    EXPECT_EQ(envfrom({"<a@example.com>"}), SMFIS_TEMPFAIL);
    EXPECT_EQ(take_logs(), std::vector<log_line>{});
    EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
}

using close_test = callbacks_test;

TEST_F(close_test, frees_the_records_and_detaches_them) {
    struct case_ {
        const char* name;
        unsigned long f1;
        std::vector<std::string> first_close;   // its smfi_setpriv calls
        std::vector<std::string> second_close;  // the real end of the connection
    };
    const case_ cases[] = {
        {"leading space agreed", 0x1fffff, {"smfi_setpriv(null)"}, {}},
        {"no leading space", 0, {R"(smfi_setpriv("data"))"}, {"smfi_setpriv(null)"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(negotiate(0x1ff, c.f1), SMFIS_CONTINUE);
        client_address address = ipv4("192.0.2.10");
        ASSERT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
        fake.macros["i"] = "Q1";
        ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
        ASSERT_EQ(envrcpt("<user@example.org>"), SMFIS_CONTINUE);
        fake.clear_calls();
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        EXPECT_EQ(cc(), nullptr);
        EXPECT_EQ(fake.calls_to("smfi_setpriv"), c.first_close);
        // A second close finds nothing to free and leaves nothing attached.
        fake.clear_calls();
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        EXPECT_EQ(fake.calls_to("smfi_setpriv"), c.second_close);
        EXPECT_EQ(fake.priv, nullptr);
    }
}

using connect_test = callbacks_test;

TEST_F(connect_test, fixes_the_authserv_id) {
    struct case_ {
        const char* name;
        std::optional<std::string> setting;
        std::optional<std::string> macro_j;
        std::string expected;
    };
    const std::string long_id(300, 'a');
    const case_ cases[] = {
        {"setting wins", "auth.example.org", "mta.example.org", "auth.example.org"},
        {"macro j", std::nullopt, "mta.example.org", "mta.example.org"},
        {"neither", std::nullopt, std::nullopt, "unknown-mta"},
        {"empty macro j", std::nullopt, "", ""},
        {"long setting is cut", long_id, std::nullopt, long_id.substr(0, 256)},
        {"long macro is cut", std::nullopt, long_id + "b", long_id.substr(0, 256)},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.AuthservID = c.setting;
        fake.macros.clear();
        if (c.macro_j) {
            fake.macros["j"] = *c.macro_j;
        }
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address = ipv4("192.0.2.10");
        EXPECT_EQ(connect("mx.outside.example", address.get()), SMFIS_CONTINUE);
        EXPECT_EQ(cc()->cc_authservid, c.expected);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(connect_test, keeps_host_name_and_address) {
    ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
    client_address address = ipv4("192.0.2.10");
    const std::string host = "Mail." + std::string(300, 'x') + ".Example";
    EXPECT_EQ(connect(host.c_str(), address.get()), SMFIS_CONTINUE);
    // No PeerList: the name keeps its case, and only its first 256
    // characters are kept.
    EXPECT_EQ(cc()->cc_host, host.substr(0, 256));
    EXPECT_EQ(cc()->cc_addr.ss_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(cc()->cc_addr).sin_addr.s_addr,
              inet_addr("192.0.2.10"));
    EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);

    ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
    EXPECT_EQ(connect(nullptr, nullptr), SMFIS_CONTINUE);
    EXPECT_EQ(cc()->cc_host, "");
    EXPECT_EQ(cc()->cc_addr.ss_family, 0);
    EXPECT_EQ(cc()->cc_authservid, "unknown-mta");
}

TEST_F(connect_test, lets_peers_pass_unfiltered) {
    struct case_ {
        const char* name;
        std::vector<std::string> peers;
        const char* host;
        const char* v4;  // or v6, or neither
        const char* v6;
        sfsistat verdict;
    };
    const case_ cases[] = {
        {"by name, any case", {"mx.example.net"}, "MX.Example.NET", nullptr, nullptr, SMFIS_ACCEPT},
        {"by domain suffix",
         {".example.net"},
         "a.b.example.net",
         "198.51.100.1",
         nullptr,
         SMFIS_ACCEPT},
        {"name not listed",
         {"mx.example.net"},
         "mx2.example.net",
         "198.51.100.1",
         nullptr,
         SMFIS_CONTINUE},
        {"by address", {"192.0.2.7"}, "mx.example.net", "192.0.2.7", nullptr, SMFIS_ACCEPT},
        {"by network", {"192.0.2.0/24"}, "mx.example.net", "192.0.2.99", nullptr, SMFIS_ACCEPT},
        {"bracketed name is tested by address only",
         {"[192.0.2.7]"},
         "[192.0.2.7]",
         "198.51.100.1",
         nullptr,
         SMFIS_CONTINUE},
        {"bracketed name, address listed",
         {"192.0.2.7"},
         "[192.0.2.7]",
         "192.0.2.7",
         nullptr,
         SMFIS_ACCEPT},
        {"empty name is not tested", {""}, "", "198.51.100.1", nullptr, SMFIS_CONTINUE},
        {"an IPv4 network does not admit an IPv6 client",
         {"0.0.0.0/0"},
         "[2001:db8::1]",
         nullptr,
         "2001:db8::1",
         SMFIS_CONTINUE},
        {"IPv6 by address",
         {"2001:db8::1"},
         "mx.example.net",
         nullptr,
         "2001:db8::1",
         SMFIS_ACCEPT},
        {"IPv6 by network",
         {"2001:db8::/32"},
         "mx.example.net",
         nullptr,
         "2001:db8:7::25",
         SMFIS_ACCEPT},
        {"IPv6 outside the network",
         {"2001:db8::/32"},
         "mx.example.net",
         nullptr,
         "2001:db9::25",
         SMFIS_CONTINUE},
        {"bracketed IPv6 name is tested by address only",
         {"[2001:db8::1]"},
         "[2001:db8::1]",
         nullptr,
         "2001:db8::1",
         SMFIS_CONTINUE},
        {"bracketed IPv6 name, address listed",
         {"2001:db8::1"},
         "[2001:db8::1]",
         nullptr,
         "2001:db8::1",
         SMFIS_ACCEPT},
        {"IPv6 negated after a match",
         {"2001:db8::/32", "!2001:db8::1"},
         "mx.example.net",
         nullptr,
         "2001:db8::1",
         SMFIS_CONTINUE},
        {"IPv4-mapped client by its IPv4 network",
         {"192.0.2.0/24"},
         "[::ffff:192.0.2.7]",
         nullptr,
         "::ffff:192.0.2.7",
         SMFIS_ACCEPT},
        {"IPv4-mapped client, not by IPv6 networks",
         {"::/0"},
         "[::ffff:192.0.2.7]",
         nullptr,
         "::ffff:192.0.2.7",
         SMFIS_CONTINUE},
        {"no name, no address", {"0.0.0.0/0", "x"}, nullptr, nullptr, nullptr, SMFIS_CONTINUE},
        {"negated after a match",
         {"192.0.2.0/24", "!192.0.2.7"},
         "mx.example.net",
         "192.0.2.7",
         nullptr,
         SMFIS_CONTINUE},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.peer_list.clear();
        for (const std::string& line : c.peers) {
            const bool negate = !line.empty() && line[0] == '!';
            settings.peer_list.push_back({negate, negate ? line.substr(1) : line});
        }
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address;
        if (c.v4 != nullptr) {
            address = ipv4(c.v4);
        } else if (c.v6 != nullptr) {
            address = ipv6(c.v6);
        }
        const bool has_address = c.v4 != nullptr || c.v6 != nullptr;
        EXPECT_EQ(connect(c.host, has_address ? address.get() : nullptr), c.verdict);
        if (c.verdict == SMFIS_ACCEPT) {
            // The record stays unfilled.
            EXPECT_EQ(cc()->cc_authservid, "");
            EXPECT_EQ(cc()->cc_host, "");
            EXPECT_EQ(cc()->cc_addr.ss_family, 0);
        } else {
            EXPECT_EQ(cc()->cc_authservid, "unknown-mta");
        }
        EXPECT_EQ(take_logs(), std::vector<log_line>{});
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

TEST_F(connect_test, lower_cases_the_host_name_for_the_peer_test) {
    settings.peer_list.push_back({false, "other.example.net"});
    ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
    std::string host = "MX.Example.NET";
    EXPECT_EQ(mlfi_connect(ctx(), host.data(), nullptr), SMFIS_CONTINUE);
    EXPECT_EQ(host, "mx.example.net");
    EXPECT_EQ(cc()->cc_host, "mx.example.net");
}

TEST_F(connect_test, recognises_internal_clients) {
    struct entry {
        std::optional<std::string> name;
        const char* addr;
        const char* mask;
    };
    struct case_ {
        const char* name;
        std::vector<entry> entries;
        const char* host;
        const char* v4;
        const char* v6;
        int internal;
    };
    const std::vector<entry> builtin = {{"localhost", "127.0.0.1", "255.255.255.255"}};
    const std::string cut_host = std::string(244, 'a') + ".example.com" + ".org";
    const case_ cases[] = {
        {"built-in by name", builtin, "localhost", "192.0.2.1", nullptr, 1},
        {"built-in by name, any case", builtin, "LocalHost", "192.0.2.1", nullptr, 1},
        {"built-in by address", builtin, "mail.example.com", "127.0.0.1", nullptr, 1},
        {"built-in, neither", builtin, "mail.example.com", "127.0.0.2", nullptr, 0},
        {"built-in, IPv6 loopback", builtin, "ip6-localhost", nullptr, "::1", 0},
        {"exact name", {{"example.com", nullptr, nullptr}}, "EXAMPLE.com", nullptr, nullptr, 1},
        {"exact name is no suffix",
         {{"example.com", nullptr, nullptr}},
         "mail.example.com",
         nullptr,
         nullptr,
         0},
        {"suffix", {{".example.com", nullptr, nullptr}}, "mail.example.com", nullptr, nullptr, 1},
        {"deeper suffix",
         {{".example.com", nullptr, nullptr}},
         "a.b.Example.Com",
         nullptr,
         nullptr,
         1},
        {"suffix is not the domain itself",
         {{".example.com", nullptr, nullptr}},
         "example.com",
         nullptr,
         nullptr,
         0},
        {"top-level name", {{"com", nullptr, nullptr}}, "com", nullptr, nullptr, 1},
        {"top-level name is no suffix", {{"com", nullptr, nullptr}}, "x.com", nullptr, nullptr, 0},
        {"top-level suffix", {{".com", nullptr, nullptr}}, "x.com", nullptr, nullptr, 1},
        {"second entry matches",
         {{"a.example", nullptr, nullptr}, {"b.example", nullptr, nullptr}},
         "b.example",
         nullptr,
         nullptr,
         1},
        {"network", {{std::nullopt, "10.0.0.0", "255.0.0.0"}}, "h", "10.1.2.3", nullptr, 1},
        {"outside the network",
         {{std::nullopt, "10.0.0.0", "255.0.0.0"}},
         "h",
         "11.1.2.3",
         nullptr,
         0},
        {"zero mask matches nobody",
         {{std::nullopt, "0.0.0.0", "0.0.0.0"}},
         "h",
         "10.1.2.3",
         nullptr,
         0},
        {"zero mask on a network",
         {{std::nullopt, "10.0.0.0", "0.0.0.0"}},
         "h",
         "10.1.2.3",
         nullptr,
         0},
        {"zero address",
         {{std::nullopt, "0.0.0.0", "255.255.255.255"}},
         "h",
         "0.0.0.0",
         nullptr,
         0},
        {"IPv4-mapped client by its IPv4 address",
         {{std::nullopt, "10.0.0.0", "255.0.0.0"}},
         "h",
         nullptr,
         "::ffff:10.1.2.3",
         1},
        {"IPv4-mapped client outside the network",
         {{std::nullopt, "10.0.0.0", "255.0.0.0"}},
         "h",
         nullptr,
         "::ffff:11.1.2.3",
         0},
        {"IPv6 client, IPv4 network",
         {{std::nullopt, "10.0.0.0", "255.0.0.0"}},
         "h",
         nullptr,
         "::a01:203",
         0},
        {"no address given", {{std::nullopt, "10.0.0.0", "255.0.0.0"}}, "h", nullptr, nullptr, 0},
        {"name entry without address",
         {{".example.com", nullptr, nullptr}},
         "x.example.com",
         nullptr,
         nullptr,
         1},
        {"only the first 256 characters of the name count",
         {{".example.com", nullptr, nullptr}},
         cut_host.c_str(),
         nullptr,
         nullptr,
         1},
        {"empty list", {}, "localhost", "127.0.0.1", nullptr, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.internal_hosts.clear();
        for (const entry& e : c.entries) {
            settings.internal_hosts.push_back(
                {e.name, e.addr ? inet_addr(e.addr) : 0, e.mask ? inet_addr(e.mask) : 0});
        }
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address;
        if (c.v4 != nullptr) {
            address = ipv4(c.v4);
        } else if (c.v6 != nullptr) {
            address = ipv6(c.v6);
        }
        const bool has_address = c.v4 != nullptr || c.v6 != nullptr;
        EXPECT_EQ(connect(c.host, has_address ? address.get() : nullptr), SMFIS_CONTINUE);
        EXPECT_EQ(cc()->cc_internal, c.internal);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// IPv6 records of the internal hosts, as the loader makes them from
// 2001:db8::/32, [2001:db8:1::5] or ::1.
internal_host ipv6_host(const char* text, unsigned prefix) {
    internal_host entry;
    entry.ih_net6.emplace();
    EXPECT_EQ(inet_pton(AF_INET6, text, entry.ih_net6->n6_addr.data()), 1) << text;
    entry.ih_net6->n6_prefix = prefix;
    return entry;
}

TEST_F(connect_test, recognises_ipv6_internal_clients) {
    struct case_ {
        const char* name;
        std::vector<internal_host> entries;
        const char* host;
        const char* v4;
        const char* v6;
        int internal;
    };
    const internal_host office = ipv6_host("2001:db8::", 32);
    const internal_host relay = ipv6_host("2001:db8:1::5", 128);
    const internal_host net10{std::nullopt, inet_addr("10.0.0.0"), inet_addr("255.0.0.0")};
    const case_ cases[] = {
        {"IPv6 network", {office}, "mx.example.net", nullptr, "2001:db8:ab::1", 1},
        {"outside the IPv6 network", {office}, "mx.example.net", nullptr, "2001:db9::1", 0},
        {"IPv6 address", {relay}, "mx.example.net", nullptr, "2001:db8:1::5", 1},
        {"next IPv6 address", {relay}, "mx.example.net", nullptr, "2001:db8:1::6", 0},
        {"IPv6 entry, IPv4 client", {office, relay}, "mx.example.net", "192.0.2.1", nullptr, 0},
        {"IPv6 entry, IPv4-mapped client",
         {ipv6_host("::", 1)},
         "mx.example.net",
         nullptr,
         "::ffff:10.1.2.3",
         0},
        {"IPv4 entry, IPv6 client", {net10}, "mx.example.net", nullptr, "a00::1", 0},
        {"IPv4 entry, IPv4-mapped client",
         {net10},
         "mx.example.net",
         nullptr,
         "::ffff:10.9.9.9",
         1},
        {"zero prefix matches nobody",
         {ipv6_host("2001:db8::", 0)},
         "mx.example.net",
         nullptr,
         "2001:db8::1",
         0},
        {"the address :: matches nobody",
         {ipv6_host("::", 64)},
         "mx.example.net",
         nullptr,
         "::1",
         0},
        {"a name still matches an IPv6 client",
         {office, {".example.org", 0, 0}},
         "mx.example.org",
         nullptr,
         "2001:db9::1",
         1},
        {"the second entry matches", {relay, office}, "h", nullptr, "2001:db8::77", 1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.internal_hosts = c.entries;
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address = c.v4 != nullptr ? ipv4(c.v4) : ipv6(c.v6);
        EXPECT_EQ(connect(c.host, address.get()), SMFIS_CONTINUE);
        EXPECT_EQ(cc()->cc_internal, c.internal);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// Without -i or InternalHosts: localhost, 127.0.0.1 and ::1.
TEST_F(connect_test, the_default_list_admits_both_loopbacks) {
    struct case_ {
        const char* host;
        const char* v4;
        const char* v6;
        int internal;
    };
    const case_ cases[] = {
        {"localhost", nullptr, "2001:db8::1", 1},
        {"mx.example.net", "127.0.0.1", nullptr, 1},
        {"ip6-localhost", nullptr, "::1", 1},
        {"[::1]", nullptr, "::1", 1},
        {"mx.example.net", nullptr, "::ffff:127.0.0.1", 1},
        {"mx.example.net", nullptr, "::2", 0},
        {"mx.example.net", "127.0.0.2", nullptr, 0},
        {"mx.example.net", nullptr, "2001:db8::1", 0},
    };
    ASSERT_EQ(load_internal_hosts(std::nullopt, settings.internal_hosts), std::nullopt);
    for (const case_& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + (c.v4 != nullptr ? c.v4 : c.v6));
        ASSERT_EQ(negotiate(), SMFIS_CONTINUE);
        client_address address = c.v4 != nullptr ? ipv4(c.v4) : ipv6(c.v6);
        EXPECT_EQ(connect(c.host, address.get()), SMFIS_CONTINUE);
        EXPECT_EQ(cc()->cc_internal, c.internal);
        EXPECT_EQ(cc()->cc_addr.ss_family, c.v4 != nullptr ? AF_INET : AF_INET6);
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
    }
}

// After SMFIC_QUIT_NC libmilter closes the session and starts the next one
// on the same milter connection with a connect, without negotiating again.
using later_session_test = callbacks_test;

TEST_F(later_session_test, is_filtered_like_a_fresh_one) {
    struct case_ {
        const char* name;
        unsigned long f1;
        std::string lead;  // before every header value
    };
    const case_ cases[] = {{"leading space agreed", 0x1fffff, " "}, {"no leading space", 0, ""}};
    settings.AddAuthenticationResults = 1;
    settings.XHeader = 1;
    settings.internal_hosts.push_back(internal_host{"localhost", 0, 0});
    settings.peer_list.push_back({false, "peer.example.net"});
    const std::string bounce_to = tagged("user@example.com");
    const auto header = [](const std::string& name, const std::string& value) {
        return fake_describe("smfi_insheader", {"1", name, value});
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        fake = fake_milter_ctx{};
        fake.macros["j"] = "mx.example.org";
        ASSERT_EQ(negotiate(0x1ff, c.f1), SMFIS_CONTINUE);
        client_address outside = ipv4("192.0.2.10");
        client_address loopback = ipv4("127.0.0.1");
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE(round);
            // A bounce from outside: verified and replaced.
            ASSERT_EQ(connect("mx.outside.example", outside.get()), SMFIS_CONTINUE);
            ASSERT_NE(cc(), nullptr);
            EXPECT_EQ(cc()->cc_internal, 0);
            fake.macros["i"] = "Q1";
            ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
            ASSERT_EQ(envrcpt("<" + bounce_to + ">"), SMFIS_CONTINUE);
            fake.clear_calls();
            EXPECT_EQ(eom(), SMFIS_CONTINUE);
            EXPECT_EQ(fake.changes(),
                      (std::vector<std::string>{
                          header("Authentication-Results",
                                 c.lead + "mx.example.org; x-batv=pass smtp.rcpt=" + bounce_to),
                          fake_describe("smfi_delrcpt", {"<" + bounce_to + ">"}),
                          fake_describe("smfi_addrcpt", {"user@example.com"}),
                          header("X-BATV", c.lead + "Vellicor v0.5.0 filter.example.org Q1")}));
            ASSERT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
            EXPECT_EQ(cc(), nullptr);

            // A peer passes unfiltered, as on a fresh connection.
            EXPECT_EQ(connect("peer.example.net", outside.get()), SMFIS_ACCEPT);
            ASSERT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);

            // An internal client: the sender is signed; nothing of the
            // bounce before is left.
            ASSERT_EQ(connect("localhost", loopback.get()), SMFIS_CONTINUE);
            ASSERT_NE(cc(), nullptr);
            EXPECT_EQ(cc()->cc_internal, 1);
            EXPECT_EQ(cc()->cc_host, "localhost");
            EXPECT_EQ(cc()->cc_msg, nullptr);
            fake.macros["i"] = "Q2";
            ASSERT_EQ(envfrom({"<sender@example.com>", "SIZE=10"}), SMFIS_CONTINUE);
            ASSERT_EQ(envrcpt("<friend@example.net>"), SMFIS_CONTINUE);
            fake.clear_calls();
            EXPECT_EQ(eom(), SMFIS_CONTINUE);
            EXPECT_EQ(fake.changes(),
                      (std::vector<std::string>{
                          fake_describe("smfi_chgfrom", {tagged("sender@example.com"), "SIZE=10"}),
                          header("X-BATV", c.lead + "Vellicor v0.5.0 filter.example.org Q2")}));
            ASSERT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        }
        // The MTA drops the connection after a last SMFIC_QUIT_NC, and
        // libmilter closes once more.
        EXPECT_EQ(mlfi_close(ctx()), SMFIS_CONTINUE);
        EXPECT_EQ(fake.priv, nullptr);
        take_logs();
    }
}

}  // namespace
