// Key rotation and reloading, through the running daemon: tags of a retired
// key listed in the KeyList verify, SIGUSR1 makes the daemon take a new
// configuration, key and KeyList (alone and under the supervisor), a
// reload that fails keeps the old settings, and settings that need a
// restart keep their values. What the daemon logs about each reload comes
// through a private /dev/log.
#include <gtest/gtest.h>
#include <libmilter/mfapi.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tests/protocol/fixture.h"
#include "tests/protocol/milter_client.h"
#include "tests/protocol/prvs_oracle.h"
#include "tests/support/blackbox.h"
#include "tests/support/syslog_capture.h"

namespace {

using milter_client::milter_connection;
using protocol_test::format_changes;
using protocol_test::replace_file;

const std::string key_a = "first-secret-0123456789";
const std::string key_b = "second-secret-9876543210";

milter_connection open_session(const std::string& socket, const milter_client::client_info& who) {
    milter_connection conn(socket);
    conn.negotiate(milter_client::all_actions, milter_client::all_steps);
    conn.macros(SMFIC_CONNECT, {{"j", "mx.test.example"}});
    EXPECT_EQ(conn.connect(who).code, SMFIR_CONTINUE);
    return conn;
}

// The sender the daemon installs for a message from an internal client, or
// empty when it changed none.
std::string signed_sender(const std::string& socket, const std::string& sender) {
    milter_connection conn = open_session(socket, protocol_test::internal_client());
    auto r = milter_client::send_message(
        conn, {{}, {"<" + sender + ">"}, {{"<someone@example.net>"}}, {}, {}, {}});
    conn.quit();
    if (!r.eom || r.eom->changes.empty() || r.eom->changes[0].code != SMFIR_CHGFROM) {
        return {};
    }
    return r.eom->changes[0].args.at(0);
}

// A bounce from an outside client to rcpt.
milter_client::message_result bounce(const std::string& socket, const std::string& rcpt) {
    milter_connection conn = open_session(socket, protocol_test::outside_client());
    auto r = milter_client::send_message(conn, {{}, {"<>"}, {{"<" + rcpt + ">"}}, {}, {}, {}});
    conn.quit();
    return r;
}

// A standard-form tag of plain made today (or at the turn of the day just
// before) with key number k, key and the default lifetime of 7 days.
bool made_with(const std::string& tagged, const std::string& plain, int k, const std::string& key) {
    const unsigned today = prvs_oracle::day_of(std::time(nullptr));
    for (const unsigned day : {today, (today + 999) % 1000}) {
        if (tagged == prvs_oracle::standard_address(k, (day + 7) % 1000, plain, key)) {
            return true;
        }
    }
    return false;
}

std::string tag_today(int k, const std::string& plain, const std::string& key) {
    return prvs_oracle::standard_address(k, (prvs_oracle::day_of(std::time(nullptr)) + 7) % 1000,
                                         plain, key);
}

// A bounce accepted at RCPT whose tagged recipient is replaced by plain.
void expect_accepted(const std::string& socket, const std::string& tagged,
                     const std::string& plain) {
    SCOPED_TRACE(tagged);
    auto r = bounce(socket, tagged);
    ASSERT_EQ(r.rcpts.size(), 1u);
    EXPECT_EQ(r.rcpts[0].code, SMFIR_CONTINUE) << milter_client::describe(r.rcpts[0]);
    ASSERT_TRUE(r.eom);
    EXPECT_EQ(format_changes(*r.eom),
              (std::vector<std::string>{"delrcpt <" + tagged + ">", "addrcpt " + plain}));
}

char rcpt_verdict(const std::string& socket, const std::string& rcpt) {
    auto r = bounce(socket, rcpt);
    return r.rcpts.empty() ? 0 : r.rcpts[0].code;
}

// ---- retired keys through the daemon

TEST(KeyList, TagsOfARetiredKeyVerifyWithThatKey) {
    // The daemon's current key is the fixture's (-k) under number 1; key 0
    // is retired and listed.
    auto daemon = protocol_test::start_daemon(
        {"-c", "{dir}/conf"},
        {{"conf", "KeyVersion 1\nKeyList {dir}/keylist\n"},
         {"keylist", "# retired keys\n0 {dir}/old.key\n\n"},
         {"old.key", key_a + "\n"}});
    const std::string socket = daemon->socket_path();
    const std::string plain = "alice@example.org";

    expect_accepted(socket, tag_today(0, plain, key_a), plain);
    expect_accepted(socket, tag_today(1, plain, daemon->key()), plain);
    // Each number has its own key: key 0's tag made with the current key,
    // and the other way round, are forgeries.
    EXPECT_EQ(rcpt_verdict(socket, tag_today(0, plain, daemon->key())), SMFIR_REJECT);
    EXPECT_EQ(rcpt_verdict(socket, tag_today(1, plain, key_a)), SMFIR_REJECT);
    // A number in neither is a version mismatch, as without a list.
    EXPECT_EQ(rcpt_verdict(socket, tag_today(2, plain, key_a)), SMFIR_TEMPFAIL);
    // Signing keeps to the current key.
    EXPECT_TRUE(made_with(signed_sender(socket, plain), plain, 1, daemon->key()));
    protocol_test::expect_healthy(*daemon);
}

// In header mode a retired key's tag passes like a current one.
TEST(KeyList, HeaderModeReportsARetiredKeysTagAsPass) {
    auto daemon = protocol_test::start_daemon(
        {"-r", "-c", "{dir}/conf"},
        {{"conf", "KeyVersion 1\nKeyList {dir}/keylist\n"},
         {"keylist", "0 {dir}/old.key\n"},
         {"old.key", key_a + "\n"}});
    const std::string plain = "alice@example.org";
    const std::string retired = tag_today(0, plain, key_a);
    const std::string unknown = tag_today(2, plain, key_a);
    milter_connection conn = open_session(daemon->socket_path(), protocol_test::outside_client());
    auto r = milter_client::send_message(
        conn, {{}, {"<>"}, {{"<" + retired + ">"}, {"<" + unknown + ">"}}, {}, {}, {}});
    conn.quit();
    ASSERT_TRUE(r.eom);
    const std::string ar = "insheader 1 Authentication-Results: mx.test.example; x-batv=";
    EXPECT_EQ(format_changes(*r.eom),
              (std::vector<std::string>{ar + "fail (version mismatch) smtp.rcpt=" + unknown,
                                        ar + "pass smtp.rcpt=" + retired, "delrcpt <" + retired + ">",
                                        "addrcpt " + plain}));
    protocol_test::expect_healthy(*daemon);
}

// ---- reloading, with the log

class Reload : public testing::Test {
  protected:
    void SetUp() override {
        if (!blackbox::running_as_root()) {
            GTEST_SKIP() << "a private /dev/log needs root";
        }
        blackbox::write_file(dir.file("a.key"), key_a + "\n", 0600);
        blackbox::write_file(dir.file("b.key"), key_b + "\n", 0600);
    }

    // The configuration: the socket, Syslog, then more.
    std::string config(const std::string& more) const {
        return "Socket unix:" + socket + "\nSyslog yes\n" + more;
    }
    // Key b current under number 1, with the KeyList.
    std::string rotated() const {
        return config("KeyFile " + dir.file("b.key") + "\nKeyVersion 1\nKeyList " +
                      dir.file("keylist") + "\n");
    }
    // Key a retired under 0.
    void list_key_a() const { replace_file(dir.file("keylist"), "0 " + dir.file("a.key") + "\n"); }

    blackbox::process start(std::vector<std::string> args, const std::string& conf) {
        replace_file(dir.file("conf"), conf);
        blackbox::command cmd;
        cmd.program = VELLICOR_BINARY;
        cmd.argv0 = "vellicor";
        args.insert(args.end(), {"-f", "-c", dir.file("conf")});
        cmd.args = std::move(args);
        cmd.dev_log = capture.socket_path();
        blackbox::process p = blackbox::process::start(cmd);
        EXPECT_TRUE(blackbox::wait_for_milter(socket)) << p.err();
        return p;
    }

    // Writes the configuration, sends SIGUSR1 to pid and waits for the line
    // that ends the reload: what the reload logged before it.
    std::vector<std::string> reload(pid_t pid, const std::string& conf) {
        replace_file(dir.file("conf"), conf);
        capture.drain();
        capture.clear();
        kill(pid, SIGUSR1);
        auto last = capture.wait_for([](const blackbox::syslog_line& l) {
            return l.message == "settings reloaded" ||
                   l.message == "reload failed; keeping the old settings";
        });
        EXPECT_TRUE(last) << "no end of the reload in the log";
        std::vector<std::string> lines;
        for (const blackbox::syslog_line& l : capture.lines()) {
            lines.push_back(l.message);
        }
        return lines;
    }

    blackbox::temp_dir dir{0755};
    std::string socket = dir.file("milter.sock");
    blackbox::syslog_capture capture{dir.path()};
    blackbox::child_sweeper sweeper;
    const std::string plain = "alice@example.org";
};

TEST_F(Reload, TakesANewKeyAndKeepsTheRetiredOneValid) {
    blackbox::process p = start({}, config("KeyFile " + dir.file("a.key") + "\n"));
    const std::string old_tag = signed_sender(socket, plain);
    EXPECT_TRUE(made_with(old_tag, plain, 0, key_a)) << old_tag;

    list_key_a();
    EXPECT_EQ(reload(p.pid(), rotated()), std::vector<std::string>{"settings reloaded"});
    const std::string new_tag = signed_sender(socket, plain);
    EXPECT_TRUE(made_with(new_tag, plain, 1, key_b)) << new_tag;
    expect_accepted(socket, old_tag, plain);
    expect_accepted(socket, new_tag, plain);

    // Once the retired key is dropped from the list, its tags are a
    // version mismatch again.
    replace_file(dir.file("keylist"), "# key 0: its tags have expired\n");
    EXPECT_EQ(reload(p.pid(), rotated()), std::vector<std::string>{"settings reloaded"});
    EXPECT_EQ(rcpt_verdict(socket, old_tag), SMFIR_TEMPFAIL);
    expect_accepted(socket, new_tag, plain);
    EXPECT_TRUE(p.running());
}

TEST_F(Reload, AFailedReloadKeepsTheOldSettings) {
    blackbox::process p = start({}, config("KeyFile " + dir.file("a.key") + "\n"));
    const std::string conf = dir.file("conf");
    struct case_ {
        const char* name;
        std::string conf;
        std::vector<std::string> logged;
    };
    const case_ cases[] = {
        {"invalid value", config("KeyFile " + dir.file("a.key") + "\nMode sx\n"),
         {conf + ": invalid mode", "reload failed; keeping the old settings"}},
        {"missing key file", config("KeyFile " + dir.file("none.key") + "\n"),
         {dir.file("none.key") + ": fopen(): No such file or directory",
          "reload failed; keeping the old settings"}},
        {"unreadable retired key",
         config("KeyFile " + dir.file("b.key") + "\nKeyVersion 1\nKeyList " + dir.file("bad") +
                "\n"),
         {dir.file("bad") + ": line 1: " + dir.file("gone.key") +
              ": fopen(): No such file or directory",
          "reload failed; keeping the old settings"}},
        {"KeyList naming the current number",
         config("KeyFile " + dir.file("b.key") + "\nKeyVersion 0\nKeyList " + dir.file("bad2") +
                "\n"),
         {dir.file("bad2") + ": line 1: key 0 is the current KeyVersion",
          "reload failed; keeping the old settings"}},
        {"configuration file gone", "", {}},
    };
    blackbox::write_file(dir.file("bad"), "0 " + dir.file("gone.key") + "\n", 0644);
    blackbox::write_file(dir.file("bad2"), "0 " + dir.file("a.key") + "\n", 0644);
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> logged;
        if (c.conf.empty()) {
            std::remove(conf.c_str());
            capture.drain();
            capture.clear();
            kill(p.pid(), SIGUSR1);
            ASSERT_TRUE(capture.wait_for_prefix("reload failed"));
            ASSERT_FALSE(capture.lines().empty());
            EXPECT_EQ(capture.lines()[0].message.rfind(conf + ": configuration error at line 0: ",
                                                       0),
                      0u)
                << capture.lines()[0].message;
        } else {
            EXPECT_EQ(reload(p.pid(), c.conf), c.logged);
        }
        // Still the first key, still serving.
        EXPECT_TRUE(made_with(signed_sender(socket, plain), plain, 0, key_a));
        EXPECT_TRUE(p.running());
    }
}

TEST_F(Reload, SettingsThatNeedARestartKeepTheirValues) {
    blackbox::process p = start({}, config("KeyFile " + dir.file("a.key") + "\n"));
    const std::string conf = "Socket unix:" + dir.file("other.sock") +
                             "\nSyslog yes\nKeyFile " + dir.file("b.key") + "\nKeyVersion 1\n" +
                             "PidFile " + dir.file("pid") + "\nMilterDebug 3\n";
    EXPECT_EQ(reload(p.pid(), conf),
              (std::vector<std::string>{
                  "reload: Socket needs a restart to change; keeping the old value",
                  "reload: PidFile needs a restart to change; keeping the old value",
                  "reload: MilterDebug needs a restart to change; keeping the old value",
                  "settings reloaded"}));
    // The rest is in force, on the old socket.
    EXPECT_TRUE(made_with(signed_sender(socket, plain), plain, 1, key_b));
    EXPECT_FALSE(blackbox::path_exists(dir.file("other.sock")));
    EXPECT_FALSE(blackbox::path_exists(dir.file("pid")));
}

TEST_F(Reload, TheSupervisorPassesTheRequestOn) {
    blackbox::process p = start({"-A"}, config("KeyFile " + dir.file("a.key") + "\n"));
    EXPECT_TRUE(made_with(signed_sender(socket, plain), plain, 0, key_a));
    list_key_a();
    const std::vector<std::string> logged = reload(p.pid(), rotated());
    EXPECT_EQ(logged, std::vector<std::string>{"settings reloaded"});
    // The worker reloaded, not the supervisor.
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_NE(capture.lines().back().pid, std::optional<long>(p.pid()));
    EXPECT_TRUE(made_with(signed_sender(socket, plain), plain, 1, key_b));
    EXPECT_TRUE(p.running());
}

}  // namespace
