// Loading each list from its file or text: records, their order, whole
// lines, CRLF line ends and comments, and the failures that end start-up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/temp_dir.h"

namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

std::uint32_t addr(const char* dotted) {
    return inet_addr(dotted);
}

// Whether the entry, as the only one of a list, lets text through.
bool regex_matches(const allow_entry& entry, const std::string& text) {
    const allow_list_t list{entry};
    return vlcf_allow_match(list, text.c_str()).result == allow_result::match;
}

// The message regcomp() gives for a pattern that does not compile.
std::string regcomp_message(const std::string& regex) {
    regex_t re;
    const int rc = regcomp(&re, regex.c_str(), REG_ICASE);
    EXPECT_NE(rc, 0) << regex;
    std::array<char, 513> text{};
    regerror(rc, &re, text.data(), text.size());
    return "regcomp(): " + std::string(text.data()) + "\n";
}

void expect_failure(const std::optional<list_failure>& failure, const std::string& message,
                    int status) {
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->message, message);
    EXPECT_EQ(failure->status, status);
}

// ---- allow list

TEST(AllowList, LinesBecomePatternsInReverseOrder) {
    struct probe {
        std::string address;
        bool matches;
    };
    struct case_ {
        std::string name;
        std::string content;
        // Probes for each entry, in the order the list holds them.
        std::vector<std::vector<probe>> entries;
    };
    const std::string long_line(600, 'a');
    const case_ cases[] = {
        {"empty file", "", {}},
        {"blank and comment lines are skipped", "   \n\t\n# nothing here\n  # nor here\n\n", {}},
        {"blanks are part of the pattern",
         "  a*  \n",
         {{{"  abc  ", true}, {"abc", false}, {"  abc", false}}}},
        {"a comment leaves the blank before it",
         "x@example.com # the help desk\n",
         {{{"x@example.com ", true}, {"x@example.com", false}}}},
        {"letters match without regard to case",
         "*@Example.COM\n",
         {{{"joe@example.com", true}, {"JOE@EXAMPLE.COM", true}, {"joe@example.org", false}}}},
        {"a dot is literal and the pattern anchored",
         "a.b@c\n",
         {{{"a.b@c", true}, {"axb@c", false}, {"za.b@c", false}, {"a.b@cd", false}}}},
        {"basic syntax: + is an ordinary character",
         "a+b@c\n",
         {{{"a+b@c", true}, {"aab@c", false}}}},
        {"bracket expressions keep their meaning",
         "[0-9]*@c\n",
         {{{"7up@c", true}, {"up@c", false}}}},
        {"the last line is tried first",
         "first*\n\nsecond*\nthird*",
         {{{"third@x", true}}, {{"second@x", true}}, {{"first@x", true}, {"third@x", false}}}},
        {"a 511-character line is one pattern",
         std::string(511, 'b') + "\nc\n",
         {{{"c", true}}, {{std::string(511, 'b'), true}, {"c", false}}}},
        // A comment's tail is comment, however long: a "*" at its end must
        // not become a pattern that matches every address.
        {"a long comment is one comment",
         "x@example.com # " + long_line + "*\n",
         {{{"x@example.com ", true}, {"anyone@example.org", false}}}},
        {"a long comment line is one comment", "#" + long_line + "*\n#" + long_line + ".*\n", {}},
        {"CRLF line ends",
         "*@example.com\r\n\r\n# note\r\npostmaster@*\r\n",
         {{{"postmaster@example.org", true}, {"joe@example.com", false}},
          {{"joe@example.com", true}, {"joe@example.com\r", false}}}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("allow", c.content);
        allow_list_t list;
        EXPECT_EQ(load_allow_list(path, list), std::nullopt);
        ASSERT_EQ(list.size(), c.entries.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            ASSERT_TRUE(list[i].ae_regex != nullptr || list[i].ae_glob.has_value());
            for (const auto& p : c.entries[i]) {
                SCOPED_TRACE("entry " + std::to_string(i) + ": " + p.address);
                EXPECT_EQ(regex_matches(list[i], p.address), p.matches);
            }
        }
    }
}

TEST(AllowList, FailuresEndStartUpWithStatus69) {
    temp_dir dir;
    struct case_ {
        std::string name;
        std::string path;
        std::string message;
    };
    const case_ cases[] = {
        {"missing file", (dir.path() / "missing").string(),
         (dir.path() / "missing").string() + ": fopen(): No such file or directory\n"},
        {"a directory", dir.path().string(), dir.path().string() + ": not a regular file\n"},
        {"a device", "/dev/null", "/dev/null: not a regular file\n"},
        {"a line of 512 characters", dir.write("long", "ok@x\n\n" + std::string(512, 'a') + "\n"),
         (dir.path() / "long").string() + ": line 3 is longer than 511 characters\n"},
        {"a long line before its comment",
         dir.write("long-comment", std::string(600, 'a') + "# note\n"),
         (dir.path() / "long-comment").string() + ": line 1 is longer than 511 characters\n"},
        {"unmatched bracket", dir.write("bracket", "ok@x\n[abc\n"), regcomp_message("^[abc$")},
        {"unmatched parenthesis", dir.write("paren", "\\(a*\n"), regcomp_message("^\\(a.*$")},
        {"bad interval", dir.write("interval", "a\\{1\n"), regcomp_message("^a\\{1$")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        allow_list_t list;
        list.emplace_back();
        expect_failure(load_allow_list(c.path, list), c.message, 69);
        EXPECT_EQ(list.size(), 1u) << "the list is left alone";
    }
}

// ---- internal hosts

struct host_record {
    std::optional<std::string> name;
    std::uint32_t addr;
    std::uint32_t mask;
};

void expect_hosts(const internal_hosts_t& list, const std::vector<host_record>& expected) {
    ASSERT_EQ(list.size(), expected.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(list[i].ih_name, expected[i].name);
        EXPECT_EQ(list[i].ih_addr, expected[i].addr);
        EXPECT_EQ(list[i].ih_mask, expected[i].mask);
    }
}

TEST(InternalHosts, OneLineEach) {
    const std::uint32_t net10 = addr("10.0.0.0");
    const std::uint32_t all = 0xffffffffu;
    struct case_ {
        std::string line;
        host_record record;
    };
    const case_ cases[] = {
        {"10.0.0.0/8", {std::nullopt, net10, addr("255.0.0.0")}},
        {"10.0.0.0/255.255.0.0", {std::nullopt, net10, addr("255.255.0.0")}},
        {"10.0.0.0/0", {std::nullopt, net10, 0}},
        {"10.0.0.0/0.0.0.0", {std::nullopt, net10, 0}},
        {"10.0.0.0/1", {std::nullopt, net10, addr("128.0.0.0")}},
        {"10.0.0.0/31", {std::nullopt, net10, addr("255.255.255.254")}},
        {"10.0.0.0/32", {std::nullopt, net10, all}},
        {"10.0.0.0/008", {std::nullopt, net10, addr("255.0.0.0")}},
        {"10.0.0.0/255.0.255.0", {std::nullopt, net10, addr("255.0.255.0")}},
        {"10.0.0.0/255.255.255.255", {std::nullopt, net10, all}},
        // The blanks before a comment, and a CRLF line end, are no part of
        // the mask.
        {"192.0.2.0/24   # office LAN", {std::nullopt, addr("192.0.2.0"), addr("255.255.255.0")}},
        {"192.0.2.0/24\t# office LAN", {std::nullopt, addr("192.0.2.0"), addr("255.255.255.0")}},
        {"10.0.0.0/8\r", {std::nullopt, net10, addr("255.0.0.0")}},
        {"10.0.0.0/255.255.0.0 \r", {std::nullopt, net10, addr("255.255.0.0")}},
        {"10.0.0.1\r", {std::nullopt, addr("10.0.0.1"), all}},
        {"gateway\r", {"gateway", 0, 0}},
        {"10.0.0.1", {std::nullopt, addr("10.0.0.1"), all}},
        {"127.0.0.1 # loopback", {std::nullopt, addr("127.0.0.1"), all}},
        {"gateway", {"gateway", 0, 0}},
        {"gateway/24", {"gateway", 0, 0}},
        {".example.com", {".example.com", 0, 0}},
        {"mail.example.com # relay", {"mail.example.com ", 0, 0}},
        {" 10.0.0.1", {" 10.0.0.1", 0, 0}},
        // inet_addr reads this one as its error value.
        {"255.255.255.255", {"255.255.255.255", 0, 0}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = dir.write("hosts", c.line + "\n");
        internal_hosts_t list;
        EXPECT_EQ(load_internal_hosts(path, list), std::nullopt);
        expect_hosts(list, {c.record});
    }
}

TEST(InternalHosts, FilesAndTheBuiltInEntry) {
    struct case_ {
        std::string name;
        std::optional<std::string> content;  // none: no file named
        std::vector<host_record> records;
    };
    const std::string long_name(600, 'h');
    const case_ cases[] = {
        {"no file: the built-in entry",
         std::nullopt,
         {{"localhost", addr("127.0.0.1"), 0xffffffffu}}},
        {"an empty file drops the built-in entry", "", {}},
        {"blank and comment lines are skipped", "\n   \n\t# gateways\n#\n", {}},
        {"reverse file order",
         "10.0.0.0/8\n\n# next\nrelay.example.com\n192.0.2.1",
         {{std::nullopt, addr("192.0.2.1"), 0xffffffffu},
          {"relay.example.com", 0, 0},
          {std::nullopt, addr("10.0.0.0"), addr("255.0.0.0")}}},
        {"a 511-character line is one entry",
         std::string(511, 'h') + "\n",
         {{std::string(511, 'h'), 0, 0}}},
        {"a long comment is one comment",
         "gateway # " + long_name + "/8\n#" + long_name + "\n10.0.0.0/8\r\n",
         {{std::nullopt, addr("10.0.0.0"), addr("255.0.0.0")}, {"gateway ", 0, 0}}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> path;
        if (c.content) {
            path = dir.write("hosts", *c.content);
        }
        internal_hosts_t list;
        EXPECT_EQ(load_internal_hosts(path, list), std::nullopt);
        expect_hosts(list, c.records);
    }
}

TEST(InternalHosts, FailuresEndStartUpWithStatus69) {
    temp_dir dir;
    const std::string hosts = (dir.path() / "hosts").string();
    struct case_ {
        std::string name;
        std::optional<std::string> content;  // none: use path as it is
        std::string path;
        std::string message;
    };
    const case_ cases[] = {
        {"letters as the mask", "10.0.0.0/abc\n", hosts,
         hosts + ": invalid CIDR specification `10.0.0.0/abc'\n"},
        {"digits and letters as the mask", "192.0.2.0/8x # test\n", hosts,
         hosts + ": invalid CIDR specification `192.0.2.0/8x'\n"},
        {"after good lines", "gateway\n10.0.0.0/8\n10.0.0.0/1.2.3.4.5\n", hosts,
         hosts + ": invalid CIDR specification `10.0.0.0/1.2.3.4.5'\n"},
        {"missing file", std::nullopt, hosts, hosts + ": fopen(): No such file or directory\n"},
        {"a directory", std::nullopt, dir.path().string(),
         dir.path().string() + ": not a regular file\n"},
        {"a device", std::nullopt, "/dev/null", "/dev/null: not a regular file\n"},
        {"a line of 512 characters", "10.0.0.0/8\n" + std::string(512, 'h') + "\n", hosts,
         hosts + ": line 2 is longer than 511 characters\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(hosts);
        if (c.content) {
            dir.write("hosts", *c.content);
        }
        internal_hosts_t list(1);
        expect_failure(load_internal_hosts(c.path, list), c.message, 69);
        EXPECT_EQ(list.size(), 1u) << "the list is left alone";
    }
}

// A mask part is a decimal prefix length of 0 to 32 or a dotted quad, and a
// network needs its address: anything else is refused, never read as some
// other mask or as a name.
TEST(InternalHosts, InvalidCidrSpecifications) {
    struct case_ {
        std::string line;
        std::string shown;  // between the quotes of the message
    };
    const case_ cases[] = {
        {"10.0.0.0/", "10.0.0.0/"},
        {"10.0.0.0/33", "10.0.0.0/33"},
        {"10.0.0.0/40", "10.0.0.0/40"},
        {"10.0.0.0/-1", "10.0.0.0/-1"},
        {"10.0.0.0/+8", "10.0.0.0/+8"},
        {"10.0.0.0/ 8", "10.0.0.0/ 8"},
        {"10.0.0.0/0x8", "10.0.0.0/0x8"},
        {"10.0.0.0/4294967304", "10.0.0.0/4294967304"},
        {"10.0.0.0/2147483648", "10.0.0.0/2147483648"},
        {"10.0.0.0/8.", "10.0.0.0/8."},
        {"10.0.0.0/255.255.0", "10.0.0.0/255.255.0"},
        {"10.0.0.0/255.255.0.0.0", "10.0.0.0/255.255.0.0.0"},
        {"10.0.0.0/0377.0.0.0", "10.0.0.0/0377.0.0.0"},
        {"10.0.0.0/8 x # note", "10.0.0.0/8 x"},
        {"10.0.0.0/8/8", "10.0.0.0/8/8"},
        // A network without its address.
        {"/8", "/8"},
        {"/", "/"},
        {"/255.0.0.0 # all of ten", "/255.0.0.0"},
        {"  /8", "  /8"},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string path = dir.write("hosts", "gateway\n" + c.line + "\n");
        internal_hosts_t list(1);
        expect_failure(load_internal_hosts(path, list),
                       path + ": invalid CIDR specification `" + c.shown + "'\n", 69);
        EXPECT_EQ(list.size(), 1u);
    }
}

// ---- domain list

std::vector<std::string> domain_names(const domain_list_t& list) {
    std::vector<std::string> names;
    for (const auto& entry : list) {
        names.push_back(entry.de_name);
    }
    return names;
}

TEST(DomainList, CommaForm) {
    struct case_ {
        std::string value;
        std::vector<std::string> names;
    };
    const case_ cases[] = {
        {"", {}},
        {",,,", {}},
        {"example.com", {"example.com"}},
        {"a,b,c", {"c", "b", "a"}},
        {"a,,b", {"b", "a"}},
        {",a,", {"a"}},
        {" a , b", {" b", " a "}},
        {".Example.COM,x", {"x", ".Example.COM"}},
        // Not an existing absolute path, so a list of names.
        {"/no/such/file", {"/no/such/file"}},
        {"/no/such/file,example.com", {"example.com", "/no/such/file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        domain_list_t list;
        EXPECT_EQ(load_domain_list(c.value, list), std::nullopt);
        EXPECT_EQ(domain_names(list), c.names);
    }
}

TEST(DomainList, FileForm) {
    struct case_ {
        std::string name;
        std::string content;
        std::vector<std::string> names;
    };
    const case_ cases[] = {
        {"empty file", "", {}},
        {"blank and comment lines vanish", "   \n\t\r\n# all\n   # of it\n\n", {}},
        {"trailing blanks cut, leading ones kept, reverse order",
         "  example.com  # ours\n.Example.ORG\t\r\nplain",
         {"plain", ".Example.ORG", "  example.com"}},
        {"commas are part of a name", "a,b\n", {"a,b"}},
        {"CRLF line ends",
         "example.com\r\n.example.org # sub\r\n",
         {".example.org", "example.com"}},
        {"a 511-character line is one name", std::string(511, 'd') + "\n", {std::string(511, 'd')}},
        {"a long comment is one comment",
         "a.example # " + std::string(600, 'c') + " b.example\n",
         {"a.example"}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("domains", c.content);
        ASSERT_EQ(path.front(), '/');
        domain_list_t list;
        EXPECT_EQ(load_domain_list(path, list), std::nullopt);
        EXPECT_EQ(domain_names(list), c.names);
    }
}

TEST(DomainList, WhichFormAPathTakes) {
    temp_dir dir;
    const std::string path = dir.write("domains", "from.file\n");
    struct case_ {
        std::string name;
        std::string value;
        std::vector<std::string> names;
    };
    const case_ cases[] = {
        {"an existing absolute path is read", path, {"from.file"}},
        {"a path with more after it is a list", path + ",x", {"x", path}},
        {"a relative path is a list", "domains", {"domains"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        domain_list_t list;
        EXPECT_EQ(load_domain_list(c.value, list), std::nullopt);
        EXPECT_EQ(domain_names(list), c.names);
    }
}

// A domain file that cannot be read must not load as an empty list, which
// would mean every domain.
TEST(DomainList, UnreadableFileEndsStartUpWithStatus71) {
    temp_dir dir;
    const std::string dir_path = dir.path().string();
    const std::string long_file = dir.write("long", "a.example\n" + std::string(512, 'd') + "\n");
    struct case_ {
        std::string name;
        std::string value;
        std::string message;
    };
    const case_ cases[] = {
        {"a directory", dir_path, dir_path + ": not a regular file\n"},
        {"a device", "/dev/null", "/dev/null: not a regular file\n"},
        {"a line of 512 characters", long_file,
         long_file + ": line 2 is longer than 511 characters\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        domain_list_t list{{"stale"}};
        expect_failure(load_domain_list(c.value, list), c.message, 71);
        EXPECT_EQ(domain_names(list), std::vector<std::string>{"stale"});
    }
}

// ---- MTA and macro lists

TEST(MtaList, CommaSeparatedInGivenOrder) {
    struct case_ {
        std::string value;
        std::vector<std::string> names;
    };
    const case_ cases[] = {
        {"", {}},
        {",", {}},
        {"mta1", {"mta1"}},
        {"a,,b", {"a", "b"}},
        {",x,", {"x"}},
        {"one,two,three", {"one", "two", "three"}},
        {" a ,b", {" a ", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        mta_list_t list{"stale"};
        EXPECT_EQ(load_mta_list(c.value, list), std::nullopt);
        EXPECT_EQ(list, c.names);
    }
}

TEST(MacroList, NamesAndAlternatives) {
    struct case_ {
        std::string value;
        std::vector<std::string> names;
        std::vector<std::optional<std::string>> values;
    };
    const case_ cases[] = {
        {"", {}, {}},
        {"ma=x|y,mb", {"ma", "mb"}, {"x|y", std::nullopt}},
        {"a=b=c", {"a"}, {"b=c"}},
        {"a=", {"a"}, {""}},
        {"=v", {""}, {"v"}},
        {",,m,,", {"m"}, {std::nullopt}},
        {"daemon_name=MTA-out|mta-in,auth_type=",
         {"daemon_name", "auth_type"},
         {"MTA-out|mta-in", ""}},
        {" a = b ", {" a "}, {" b "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        macro_list_t list;
        EXPECT_EQ(load_macro_list(c.value, list), std::nullopt);
        EXPECT_EQ(list.macro_names, c.names);
        EXPECT_EQ(list.macro_values, c.values);
    }
}

// ---- PeerList

struct peer_record {
    bool negate;
    std::string name;
};

TEST(PeerList, EveryLineIsAnEntryInFileOrder) {
    struct case_ {
        std::string name;
        std::string content;
        std::vector<peer_record> entries;
    };
    const case_ cases[] = {
        {"empty file", "", {}},
        {"a negated address", "!10.0.0.5\n", {{true, "10.0.0.5"}}},
        {"a bare !", "!\n", {{true, ""}}},
        {"only the first ! negates", "!!x\n", {{true, "!x"}}},
        {"a ! later in the line is text", "a!b\n", {{false, "a!b"}}},
        {"a blank line", "\n", {{false, ""}}},
        {"a line of blanks", "  \t\n", {{false, "  \t"}}},
        {"a comment line", "# peers\n", {{false, "# peers"}}},
        {"blanks are kept", " mx.b.c \n", {{false, " mx.b.c "}}},
        {"a CRLF line end is not part of the entry",
         "mx.b.c\r\n!10.0.0.0/8\r\n",
         {{false, "mx.b.c"}, {true, "10.0.0.0/8"}}},
        {"a carriage return inside is kept", "mx.b.c\r \n", {{false, "mx.b.c\r "}}},
        {"file order, last line without newline",
         "mx.b.c\n!10.0.0.0/8\n.b.c",
         {{false, "mx.b.c"}, {true, "10.0.0.0/8"}, {false, ".b.c"}}},
        {"a 511-character line is one entry",
         "!" + std::string(510, 'p') + "\nx\n",
         {{true, std::string(510, 'p')}, {false, "x"}}},
        {"a 511-character line with a CRLF line end",
         std::string(511, 'p') + "\r\n",
         {{false, std::string(511, 'p')}}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const file_handle file(std::fopen(dir.write("peers", c.content).c_str(), "r"));
        ASSERT_NE(file, nullptr);
        peer_list_t list{{true, "stale"}};
        EXPECT_TRUE(vlcf_load_list(file.get(), list));
        ASSERT_EQ(list.size(), c.entries.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            SCOPED_TRACE("entry " + std::to_string(i));
            EXPECT_EQ(list[i].pe_negate, c.entries[i].negate);
            EXPECT_EQ(list[i].pe_name, c.entries[i].name);
        }
    }
}

// PeerList lines have no comments, so any line longer than 511 characters
// is refused; it never becomes two entries.
TEST(PeerList, LongLineIsRefused) {
    temp_dir dir;
    const std::string cases[] = {
        std::string(512, 'p') + "\n",
        "mx.b.c\n#" + std::string(600, 'c') + "\n",
        std::string(511, 'p') + "\r \n",
    };
    for (const auto& content : cases) {
        SCOPED_TRACE(content.substr(0, 20));
        const file_handle file(std::fopen(dir.write("peers", content).c_str(), "r"));
        ASSERT_NE(file, nullptr);
        peer_list_t list{{true, "stale"}};
        EXPECT_FALSE(vlcf_load_list(file.get(), list));
        ASSERT_EQ(list.size(), 1u) << "the list is left alone";
        EXPECT_EQ(list[0].pe_name, "stale");
    }
}

TEST(PeerList, FileFailuresEndStartUpWithStatus69) {
    temp_dir dir;
    const std::string missing = (dir.path() / "missing").string();
    const std::string long_file = dir.write("long", "mx.b.c\n\n" + std::string(600, 'p') + "\n");
    struct case_ {
        std::string name;
        std::string path;
        std::string message;
    };
    const case_ cases[] = {
        {"missing file", missing, missing + ": fopen(): No such file or directory\n"},
        {"a directory", dir.path().string(), dir.path().string() + ": not a regular file\n"},
        {"a device", "/dev/zero", "/dev/zero: not a regular file\n"},
        {"a line of 600 characters", long_file,
         long_file + ": line 3 is longer than 511 characters\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer_list_t list{{true, "stale"}};
        expect_failure(load_peer_list(c.path, list), c.message, 69);
        EXPECT_EQ(list.size(), 1u) << "the list is left alone";
    }
}

TEST(PeerList, FileLoadsInFileOrder) {
    temp_dir dir;
    const std::string path = dir.write("peers", "mx.b.c\r\n!10.0.0.0/8\r\n.b.c");
    peer_list_t list{{true, "stale"}};
    EXPECT_EQ(load_peer_list(path, list), std::nullopt);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].pe_name, "mx.b.c");
    EXPECT_TRUE(list[1].pe_negate);
    EXPECT_EQ(list[1].pe_name, "10.0.0.0/8");
    EXPECT_EQ(list[2].pe_name, ".b.c");
}

TEST(PeerList, NoStreamGivesAnEmptyList) {
    peer_list_t list{{false, "stale"}, {true, "old"}};
    EXPECT_TRUE(vlcf_load_list(nullptr, list));
    EXPECT_TRUE(list.empty());
}

}  // namespace
