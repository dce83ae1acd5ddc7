// Shared parts of the protocol tests.
#include "tests/protocol/fixture.h"

#include <libmilter/mfdef.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/protocol/prvs_oracle.h"

namespace protocol_test {

using milter_client::client_info;
using milter_client::milter_connection;

std::unique_ptr<filter_process::running_filter> start_daemon(
    const std::vector<std::string>& extra,
    const std::vector<std::pair<std::string, std::string>>& files) {
    filter_process::options opts;
    opts.binary = VELLICOR_BINARY;
    opts.args = filter_process::daemon_args(extra);
    opts.files = files;
    opts.tsan_suppressions = TSAN_SUPPRESSIONS;
    return std::make_unique<filter_process::running_filter>(opts);
}

void expect_healthy(filter_process::running_filter& daemon) {
    EXPECT_TRUE(daemon.alive()) << "the daemon ended, wait status "
                                << daemon.exit_status().value_or(-1);
    EXPECT_EQ(daemon.sanitizer_reports(), "");
}

client_info internal_client() {
    return {"localhost", '4', 25025, "127.0.0.1"};
}
client_info outside_client() {
    return {"mx.example.net", '4', 25025, "192.0.2.10"};
}

milter_connection session(const filter_process::running_filter& daemon, const client_info& client,
                          const std::string& authserv, std::uint32_t steps) {
    milter_connection conn(daemon.socket_path());
    conn.negotiate(milter_client::all_actions, steps);
    if (!authserv.empty()) {
        conn.macros(SMFIC_CONNECT, {{"j", authserv}});
    }
    milter_client::response r = conn.connect(client);
    EXPECT_EQ(r.code, SMFIR_CONTINUE) << "connect answered " << milter_client::describe(r);
    return conn;
}

void replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary);
        out << content;
    }
    EXPECT_EQ(std::rename(temporary.c_str(), path.c_str()), 0) << path;
}

std::string host_name() {
    char name[257] = {};
    ::gethostname(name, 256);
    return name;
}

std::string tagged(const std::string& plain, int k, unsigned d, const std::string& key, form f) {
    return f == form::standard ? prvs_oracle::standard_address(k, d, plain, key)
                               : prvs_oracle::sendmail_address(k, d, plain, key);
}

tag_set make_tags(const std::string& plain, const std::string& key, form f, std::time_t now) {
    unsigned today = prvs_oracle::day_of(now);
    tag_set t;
    t.plain = plain;
    t.valid = tagged(plain, 0, (today + 7) % 1000, key, f);
    t.forged = t.valid;
    // The last hash digit sits right before the '=' or '@' that follows the
    // tag.
    std::size_t last = f == form::standard ? t.forged.find('=', 5) - 1 : t.forged.find('@') - 1;
    t.forged[last] = t.forged[last] == '0' ? '1' : '0';
    t.expired = tagged(plain, 0, (today + 999) % 1000, key, f);
    t.badversion = tagged(plain, 1, (today + 7) % 1000, key, f);
    t.syntax = t.valid;
    std::size_t tag = f == form::standard ? 5 : t.syntax.find("+prvs=") + 6;
    t.syntax[tag + 2] = 'X';
    return t;
}

std::string format_change(const milter_client::modification& m) {
    auto arg = [&](std::size_t i) { return i < m.args.size() ? m.args[i] : std::string("<none>"); };
    switch (m.code) {
        case SMFIR_CHGFROM:
            return "chgfrom " + arg(0) + (m.args.size() > 1 ? " " + arg(1) : std::string());
        case SMFIR_INSHEADER:
            return "insheader " + std::to_string(m.index) + " " + arg(0) + ":" + arg(1);
        case SMFIR_CHGHEADER:
            return "chgheader " + std::to_string(m.index) + " " + arg(0) + ":" + arg(1);
        case SMFIR_ADDHEADER:
            return "addheader " + arg(0) + ":" + arg(1);
        case SMFIR_DELRCPT:
            return "delrcpt " + arg(0);
        case SMFIR_ADDRCPT:
            return "addrcpt " + arg(0);
        case SMFIR_ADDRCPT_PAR:
            return "addrcpt_par " + arg(0) + " " + arg(1);
        case SMFIR_QUARANTINE:
            return "quarantine " + arg(0);
        default:
            return std::string("'") + m.code + "' " + m.data;
    }
}

std::vector<std::string> format_changes(const milter_client::eom_result& r) {
    std::vector<std::string> out;
    for (const auto& m : r.changes) {
        out.push_back(format_change(m));
    }
    return out;
}

}  // namespace protocol_test
