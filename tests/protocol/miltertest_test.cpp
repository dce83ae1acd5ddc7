// Runs the miltertest scripts against the daemon, started here in each of
// its modes: the verdicts at RCPT TO, the header inserts with their index,
// the recipient changes and the quarantine, as a real milter client sees
// them. The tagged addresses are computed here from the key and handed to
// the scripts as globals.
#include "tests/support/miltertest.h"

#include <map>
#include <string>
#include <vector>

#include "tests/protocol/fixture.h"

namespace {

using protocol_test::form;

struct case_ {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> globals;
    form f = form::standard;
};

void run_script(const std::string& script, const case_& c) {
    SCOPED_TRACE(c.name);
    auto daemon = protocol_test::start_daemon(c.args);
    auto tags = protocol_test::make_tags("user@example.com", daemon->key(), c.f);
    std::map<std::string, std::string> globals = {
        {"sock", daemon->socket_spec()},
        {"dir", PROTOCOL_SCRIPT_DIR},
        {"authserv", "mx.test.example"},
        {"hostname", protocol_test::host_name()},
        {"replies", "0"},
        {"quarantine", "0"},
        {"plain", tags.plain},
        {"valid", tags.valid},
        {"forged", tags.forged},
        {"expired", tags.expired},
        {"syntax", tags.syntax},
        {"badversion", tags.badversion},
    };
    for (const auto& [name, value] : c.globals) {
        globals[name] = value;
    }
    blackbox::outcome o =
        blackbox::run_miltertest(std::string(PROTOCOL_SCRIPT_DIR) + "/" + script, globals);
    EXPECT_TRUE(o.exit.exited && o.exit.status == 0 && !o.timed_out)
        << blackbox::describe(o.exit) << "\n"
        << o.out << o.err;
    protocol_test::expect_healthy(*daemon);
}

TEST(Miltertest, VerifiesInNormalMode) {
    const case_ cases[] = {
        {"plain", {}, {{"mode", "normal"}}},
        {"with replies", {"-S"}, {{"mode", "normal"}, {"replies", "1"}}},
        {"with quarantine",
         {"-q", "-S"},
         {{"mode", "normal"}, {"replies", "1"}, {"quarantine", "1"}}},
        {"sendmail form", {"-x"}, {{"mode", "normal"}}, form::sendmail},
    };
    for (const auto& c : cases) {
        run_script("verify.lua", c);
    }
}

TEST(Miltertest, VerifiesInHeaderMode) {
    const case_ cases[] = {
        {"plain", {"-r"}, {{"mode", "header"}}},
        {"replies asked for but not given", {"-r", "-S"}, {{"mode", "header"}}},
        {"with quarantine", {"-r", "-q"}, {{"mode", "header"}, {"quarantine", "1"}}},
        {"sendmail form", {"-r", "-x"}, {{"mode", "header"}}, form::sendmail},
    };
    for (const auto& c : cases) {
        run_script("verify.lua", c);
    }
}

TEST(Miltertest, VerifiesInTestMode) {
    const case_ cases[] = {
        {"plain", {"-n"}, {{"mode", "test"}}},
        {"replies asked for but not given", {"-n", "-S"}, {{"mode", "test"}}},
        {"with quarantine", {"-n", "-q"}, {{"mode", "test"}, {"quarantine", "1"}}},
    };
    for (const auto& c : cases) {
        run_script("verify.lua", c);
    }
}

TEST(Miltertest, NegotiatesAndAddsTheXBatvHeader) {
    const case_ cases[] = {
        {"plain", {"-h"}, {}},
        {"with quarantine", {"-h", "-q"}, {{"quarantine", "1"}}},
    };
    for (const auto& c : cases) {
        run_script("headers.lua", c);
    }
}

}  // namespace
