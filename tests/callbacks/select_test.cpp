// Address normalisation and the selection rules, with their log lines.
#include "callbacks/select.h"

#include <dlfcn.h>
#include <regex.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/callbacks/fixture.h"

namespace {

// Set by a test to make regexec answer with an error.
int forced_regexec_status = 0;
int regexec_calls = 0;

}  // namespace

// Stands in for the C library's regexec so that a matcher error, which a
// compiled pattern never gives on its own, can be provoked.
extern "C" int regexec(const regex_t* __restrict preg, const char* __restrict string, size_t nmatch,
                       regmatch_t pmatch[], int eflags) {
    using regexec_fn = int (*)(const regex_t*, const char*, size_t, regmatch_t*, int);
    static const auto real = reinterpret_cast<regexec_fn>(dlsym(RTLD_NEXT, "regexec"));
    ++regexec_calls;
    if (forced_regexec_status != 0) {
        return forced_regexec_status;
    }
    return real(preg, string, nmatch, pmatch, eflags);
}

namespace {

TEST(strip_brackets, removes_pairs_from_the_outside_in) {
    struct case_ {
        const char* given;
        const char* result;
    };
    const case_ cases[] = {
        {"<x>", "x"},   {"<<x>>", "x"}, {"<>", ""},           {"<<>>", ""},     {"<x>>", "x>"},
        {"<<x>", "<x"}, {"<x", "<x"},   {"x>", "x>"},         {"", ""},         {"<", "<"},
        {"<<>", "<"},   {">", ">"},     {"<a@b.c>", "a@b.c"}, {"x<y>", "x<y>"}, {"<<<a>>>", "a"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(batv_without_brackets(c.given), c.result);
        std::string text = c.given;
        batv_strip_brackets(text);
        EXPECT_EQ(text, c.result);
        EXPECT_EQ(std::strlen(text.c_str()), text.size());
    }
}

class select_test : public callbacks_test {
  protected:
    void SetUp() override {
        callbacks_test::SetUp();
        forced_regexec_status = 0;
        regexec_calls = 0;
    }
    void TearDown() override {
        forced_regexec_status = 0;
        callbacks_test::TearDown();
    }
};

struct macro_pair {
    std::string name;
    std::optional<std::string> alternatives;
};

// The lists and macros of one selection case.
struct rules {
    std::vector<const char*> allow = {};
    std::vector<std::string> domains = {};
    std::vector<std::string> mtas = {};
    std::vector<macro_pair> macro_tests = {};
    std::map<std::string, std::string, std::less<>> macros = {};  // defined by the MTA
    int mode = 3;
};

void apply(const rules& r, fake_milter_ctx& fake) {
    settings.allow_list.clear();
    for (const char* pattern : r.allow) {
        settings.allow_list.push_back(allow(pattern));
    }
    settings.domain_list.clear();
    for (const std::string& name : r.domains) {
        settings.domain_list.push_back({name});
    }
    settings.mta_list = r.mtas;
    settings.macro_list = macro_list_t{};
    for (const macro_pair& pair : r.macro_tests) {
        settings.macro_list.macro_names.push_back(pair.name);
        settings.macro_list.macro_values.push_back(pair.alternatives);
    }
    settings.Mode = r.mode;
    fake.macros = r.macros;
}

TEST_F(select_test, signing_rules_and_their_lines) {
    using enum select_outcome;
    struct case_ {
        const char* name;
        rules r;
        std::string address;
        select_outcome outcome;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {"no domain", {}, "user", skipped, {info("J no domain found in sender; skipping")}},
        {"null sender", {}, "", skipped, {info("J no domain found in sender; skipping")}},
        {"allow list, any case",
         {.allow = {"^a@b\\.c$"}},
         "A@B.C",
         skipped,
         {info("J sender matches allow list; skipping")}},
        {"allow list, later pattern",
         {.allow = {"^x@y\\.z$", "^.*@b\\.c$"}, .domains = {"b.c"}},
         "a@b.c",
         skipped,
         {info("J sender matches allow list; skipping")}},
        {"allow list sees the whole address",
         {.allow = {"^b\\.c$"}},
         "a@b.c",
         selected,
         {info("J signing for all domains; message will be signed")}},
        {"all domains, whatever the MTA",
         {.mtas = {"other"}, .macros = {{"{daemon_name}", "mine"}}},
         "a@b.c",
         selected,
         {info("J signing for all domains; message will be signed")}},
        {"domain in capitals",
         {.domains = {"example.com"}},
         "user@EXAMPLE.COM",
         selected,
         {info("J sender matches domain list; message will be signed")}},
        {"subdomain of a domain entry",
         {.domains = {"example.com"}},
         "user@mail.example.com",
         skipped,
         {info("J signing mode not selected")}},
        {"suffix entry",
         {.domains = {"other.org", ".example.com"}},
         "user@mail.example.com",
         selected,
         {info("J sender matches domain list; message will be signed")}},
        {"suffix entry is not the domain",
         {.domains = {".example.com"}},
         "user@example.com",
         skipped,
         {info("J signing mode not selected")}},
        {"domain follows the first '@'",
         {.domains = {"b@example.com"}},
         "a@b@example.com",
         selected,
         {info("J sender matches domain list; message will be signed")}},
        {"domain is not the text after the last '@'",
         {.domains = {"example.com"}},
         "a@b@example.com",
         skipped,
         {info("J signing mode not selected")}},
        {"MTA name",
         {.domains = {"other.org"},
          .mtas = {"mta-in", "MTA-Out"},
          .macros = {{"{daemon_name}", "mta-out"}}},
         "a@b.c",
         selected,
         {info("J MTA name matches MTA name list; message will be signed")}},
        {"MTA name differs",
         {.domains = {"other.org"}, .mtas = {"mta-in"}, .macros = {{"{daemon_name}", "mta-out"}}},
         "a@b.c",
         skipped,
         {info("J signing mode not selected")}},
        {"MTA name undefined",
         {.domains = {"other.org"}, .mtas = {"mta-in"}},
         "a@b.c",
         skipped,
         {info("J signing mode not selected")}},
        {"domain match passes the MTA and macro tests by",
         {.domains = {"b.c"},
          .mtas = {"m"},
          .macro_tests = {{"x", std::nullopt}},
          .macros = {{"{daemon_name}", "m"}, {"{x}", "1"}}},
         "a@b.c",
         selected,
         {info("J sender matches domain list; message will be signed")}},
        {"MTA match passes the macro tests by",
         {.domains = {"other.org"},
          .mtas = {"m"},
          .macro_tests = {{"x", std::nullopt}},
          .macros = {{"{daemon_name}", "m"}, {"{x}", "1"}}},
         "a@b.c",
         selected,
         {info("J MTA name matches MTA name list; message will be signed")}},
        {"macro without alternatives, empty value",
         {.domains = {"other.org"},
          .macro_tests = {{"auth_type", std::nullopt}},
          .macros = {{"{auth_type}", ""}}},
         "a@b.c",
         selected,
         {info("J macro value matches macro list; message will be signed")}},
        {"macro undefined",
         {.domains = {"other.org"}, .macro_tests = {{"auth_type", std::nullopt}}},
         "a@b.c",
         skipped,
         {info("J signing mode not selected")}},
        {"second macro pair",
         {.domains = {"other.org"},
          .macro_tests = {{"a", "v"}, {"b", "v"}},
          .macros = {{"{b}", "V"}}},
         "a@b.c",
         selected,
         {info("J macro value matches macro list; message will be signed")}},
        {"mode disabled",
         {.mode = 2},
         "a@b.c",
         skipped,
         {info("J signing for all domains; message will be signed"),
          info("J signing mode disabled")}},
        {"mode disabled, not selected",
         {.domains = {"other.org"}, .mode = 2},
         "a@b.c",
         skipped,
         {info("J signing mode not selected")}},
        {"mode disabled, allow list",
         {.allow = {"^a@"}, .mode = 2},
         "a@b.c",
         skipped,
         {info("J sender matches allow list; skipping")}},
        {"sign bit alone",
         {.mode = 1},
         "a@b.c",
         selected,
         {info("J signing for all domains; message will be signed")}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        apply(c.r, fake);
        EXPECT_EQ(batv_select(ctx(), c.address.c_str(), select_direction::sign, "J"), c.outcome);
        EXPECT_EQ(take_logs(), c.logs);
    }
}

TEST_F(select_test, verifying_rules_and_their_lines) {
    using enum select_outcome;
    struct case_ {
        const char* name;
        rules r;
        std::string address;
        select_outcome outcome;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {"no domain",
         {},
         "postmaster",
         skipped,
         {info("J no domain found in recipient; skipping")}},
        {"allow list",
         {.allow = {"^a@b\\.c$"}},
         "a@b.c",
         skipped,
         {info("J recipient matches allow list; skipping")}},
        {"all domains",
         {},
         "a@b.c",
         selected,
         {info("J verifying for all domains; message will be verified")}},
        {"domain list",
         {.domains = {"b.c"}},
         "a@b.c",
         selected,
         {info("J recipient matches domain list; message will be verified")}},
        {"MTA name",
         {.domains = {"x.y"}, .mtas = {"m"}, .macros = {{"{daemon_name}", "M"}}},
         "a@b.c",
         selected,
         {info("J MTA name matches MTA name list; message will be verified")}},
        {"macro",
         {.domains = {"x.y"}, .macro_tests = {{"k", std::nullopt}}, .macros = {{"{k}", "v"}}},
         "a@b.c",
         selected,
         {info("J macro value matches macro list; message will be verified")}},
        {"mode disabled",
         {.mode = 1},
         "a@b.c",
         skipped,
         {info("J verifying for all domains; message will be verified"),
          info("J verifying mode disabled")}},
        {"not selected",
         {.domains = {"x.y"}},
         "a@b.c",
         skipped,
         {info("J verifying mode not selected")}},
        {"verify bit alone",
         {.mode = 2},
         "a@b.c",
         selected,
         {info("J verifying for all domains; message will be verified")}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        apply(c.r, fake);
        EXPECT_EQ(batv_select(ctx(), c.address.c_str(), select_direction::verify, "J"), c.outcome);
        EXPECT_EQ(take_logs(), c.logs);
    }
}

TEST_F(select_test, macro_alternatives) {
    struct case_ {
        std::string alternatives;
        std::string value;
        bool selected;
    };
    const std::string long_alternatives = std::string(511, 'a') + "|x";
    const case_ cases[] = {
        {"x|y", "x", true},
        {"x|y", "X", true},
        {"x|y", "y", true},
        {"x|y", "Y", true},
        {"x|y", "x|y", false},
        {"x|y", "z", false},
        {"x|y", "", false},
        {"||x||", "x", true},
        {"|", "", false},
        {"", "", false},
        {"|y", "", false},
        {"a|b|c", "c", true},
        {"ab", "a", false},
        // Only the first 512 characters of the alternatives count.
        {long_alternatives, "x", false},
        {long_alternatives, std::string(511, 'A'), true},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.alternatives + " / " + c.value);
        apply({.domains = {"other.org"},
               .macro_tests = {{"m", c.alternatives}},
               .macros = {{"{m}", c.value}}},
              fake);
        EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::sign, "J"),
                  c.selected ? select_outcome::selected : select_outcome::skipped);
    }
}

TEST_F(select_test, braced_macro_name_is_cut_at_512_characters) {
    const std::string name(520, 'n');
    apply({.domains = {"other.org"}, .macro_tests = {{name, std::nullopt}}}, fake);
    fake.macros["{" + name.substr(0, 511)] = "";
    EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::sign, "J"), select_outcome::selected);
    EXPECT_EQ(fake.calls_to("smfi_getsymval"), std::vector<std::string>{fake_describe(
                                                   "smfi_getsymval", {"{" + name.substr(0, 511)})});
}

TEST_F(select_test, macros_are_asked_for_only_when_needed) {
    apply({.domains = {"b.c"}, .mtas = {"m"}, .macro_tests = {{"k", std::nullopt}}}, fake);
    EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::sign, "J"), select_outcome::selected);
    EXPECT_EQ(fake.calls_to("smfi_getsymval"), std::vector<std::string>{});

    apply({.domains = {"x.y"}, .mtas = {"m"}, .macro_tests = {{"k", std::nullopt}}}, fake);
    EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::sign, "J"), select_outcome::skipped);
    EXPECT_EQ(fake.calls_to("smfi_getsymval"),
              (std::vector<std::string>{R"(smfi_getsymval("{daemon_name}"))",
                                        R"(smfi_getsymval("{k}"))"}));
}

TEST_F(select_test, information_lines_need_logwhy_and_syslog) {
    struct case_ {
        int syslog, logwhy;
        bool lines;
    };
    const case_ cases[] = {{1, 1, true}, {1, 0, false}, {0, 1, false}, {0, 0, false}};
    for (const case_& c : cases) {
        SCOPED_TRACE(c.syslog * 10 + c.logwhy);
        settings.Syslog = c.syslog;
        settings.LogWhy = c.logwhy;
        apply({.mode = 2}, fake);
        EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::sign, "J"),
                  select_outcome::skipped);
        EXPECT_EQ(take_logs().size(), c.lines ? 2u : 0u);
    }
}

TEST_F(select_test, matcher_error_fails_the_selection) {
    char reason[513] = {};
    regex_t scratch{};
    ASSERT_EQ(regcomp(&scratch, "x", 0), 0);
    regerror(REG_ESPACE, &scratch, reason, 512);
    regfree(&scratch);

    struct case_ {
        int syslog, logwhy;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {1, 1, {err(std::string("J: regexec(): ") + reason)}},
        {1, 0, {err(std::string("J: regexec(): ") + reason)}},
        {0, 1, {}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.syslog * 10 + c.logwhy);
        settings.Syslog = c.syslog;
        settings.LogWhy = c.logwhy;
        apply({.allow = {"^x$", "^a@b\\.c$"}}, fake);
        forced_regexec_status = REG_ESPACE;
        regexec_calls = 0;
        EXPECT_EQ(batv_select(ctx(), "a@b.c", select_direction::verify, "J"),
                  select_outcome::failed);
        EXPECT_EQ(regexec_calls, 1) << "later patterns are not tried";
        EXPECT_EQ(take_logs(), c.logs);
    }
}

// An allow-list record as the loader builds it from a line: a glob for a
// plain wildcard pattern.
allow_entry glob(const char* line) {
    allow_entry entry;
    EXPECT_EQ(vlcf_allow_entry(line, entry), std::nullopt) << line;
    EXPECT_TRUE(entry.ae_glob.has_value()) << line;
    return entry;
}

TEST_F(select_test, matcher_error_counts_only_before_the_first_match) {
    using enum select_outcome;
    char reason[513] = {};
    regex_t scratch{};
    ASSERT_EQ(regcomp(&scratch, "x", 0), 0);
    regerror(REG_ESPACE, &scratch, reason, 512);
    regfree(&scratch);
    const log_line failure = err(std::string("J: regexec(): ") + reason);
    const log_line allowed = info("J sender matches allow list; skipping");
    const log_line all_domains = info("J signing for all domains; message will be signed");

    struct case_ {
        const char* name;
        std::vector<allow_entry> list;
        const char* address;
        select_outcome outcome;
        int regexec_calls;
        std::vector<log_line> logs;
    };
    const case_ cases[] = {
        {"a glob of the domain matches first",
         {glob("*@b.c"), allow("^x$")},
         "a@b.c",
         skipped,
         0,
         {allowed}},
        {"the regular expression comes first",
         {allow("^x$"), glob("*@b.c")},
         "a@b.c",
         failed,
         1,
         {failure}},
        {"the glob does not match", {glob("*@b.c"), allow("^x$")}, "a@d.c", failed, 1, {failure}},
        {"a walked glob matches first",
         {glob("joe@*"), allow("^x$"), glob("*@b.c")},
         "joe@b.c",
         skipped,
         0,
         {allowed}},
        {"a glob of the domain after it",
         {glob("x*@b.c"), allow("^x$"), glob("*@b.c")},
         "a@b.c",
         failed,
         1,
         {failure}},
        {"globs alone never call regexec",
         {glob("*@b.c"), glob("x*@*"), glob("*@*.c")},
         "a@b.d",
         selected,
         0,
         {all_domains}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        settings.allow_list = allow_list_t(c.list);
        settings.domain_list.clear();
        settings.Mode = 3;
        forced_regexec_status = REG_ESPACE;
        regexec_calls = 0;
        EXPECT_EQ(batv_select(ctx(), c.address, select_direction::sign, "J"), c.outcome);
        EXPECT_EQ(regexec_calls, c.regexec_calls);
        EXPECT_EQ(take_logs(), c.logs);
    }
}

TEST_F(select_test, matcher_error_temp_fails_sender_and_recipient) {
    open_outside();
    settings.allow_list.push_back(allow("^nobody@"));
    fake.macros["i"] = "Q5";
    forced_regexec_status = REG_ESPACE;
    EXPECT_EQ(envfrom({"<a@b.c>"}), SMFIS_TEMPFAIL);
    forced_regexec_status = 0;
    ASSERT_EQ(envfrom({"<>"}), SMFIS_CONTINUE);
    forced_regexec_status = REG_ESPACE;
    EXPECT_EQ(envrcpt("<prvs=3682ABCDEF=u@b.c>"), SMFIS_TEMPFAIL);
    EXPECT_TRUE(msg().msg_rcpts.empty());
}

}  // namespace
