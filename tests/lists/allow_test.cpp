// Allow-list matching without a regular expression per pattern: every
// pattern must match exactly what its translation, compiled with regcomp and
// REG_ICASE, matches; the plain wildcard patterns must become globs and the
// rest stay regular expressions; and the index by domain must give what the
// walk of the whole list in order gives.
#include <gtest/gtest.h>
#include <regex.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lists/lists.h"

namespace {

// What the filter did before globs: the translation compiled and run by
// the C library.
class reference_pattern {
  public:
    explicit reference_pattern(std::string_view line)
        : status_(regcomp(&re_, batv_mkregexp(line).c_str(), REG_ICASE)) {}
    ~reference_pattern() {
        if (status_ == 0) {
            regfree(&re_);
        }
    }
    reference_pattern(const reference_pattern&) = delete;
    reference_pattern& operator=(const reference_pattern&) = delete;

    bool compiled() const { return status_ == 0; }
    bool matches(const std::string& address) const {
        return regexec(&re_, address.c_str(), 0, nullptr, 0) == 0;
    }
    std::string message() const {
        std::array<char, 513> text{};
        regerror(status_, &re_, text.data(), text.size());
        return "regcomp(): " + std::string(text.data()) + "\n";
    }

  private:
    regex_t re_{};
    int status_;
};

allow_entry entry_of(std::string_view line) {
    allow_entry entry;
    const std::optional<list_failure> failure = vlcf_allow_entry(line, entry);
    EXPECT_EQ(failure, std::nullopt) << line;
    return entry;
}

// A list of the lines' records in the order given (the walking order, not
// the file's).
allow_list_t list_of(const std::vector<std::string>& lines) {
    allow_list_t list;
    for (const std::string& line : lines) {
        list.push_back(entry_of(line));
    }
    return list;
}

bool matches(const allow_list_t& list, const std::string& address) {
    return vlcf_allow_match(list, address.c_str()).result == allow_result::match;
}

std::string printable(std::string_view text) {
    return testing::PrintToString(std::string(text));
}

// Addresses every pattern is tried against.
const std::vector<std::string>& common_addresses() {
    static const std::vector<std::string> addresses = {
        "",
        "a",
        "ab",
        "axb",
        "aXb",
        "a.b",
        "ba",
        "@",
        "@@",
        "joe@example.com",
        "JOE@EXAMPLE.COM",
        "joe@example.com.",
        "joe@exampleXcom",
        "user@list17.example",
        "User17@Host17.Example",
        "user@host17.example.org",
        "a@b@c",
        "a@b@c.example",
        "postmaster",
        "postmaster@x",
        "^abc",
        "abc",
        "a^b",
        "a$b",
        "a$",
        "a$$",
        "$",
        "^",
        "^$",
        "a\\b",
        "a\\.b",
        "aab",
        "a+b",
        "  abc  ",
        " x@b ",
        "\t@\t",
        "\xc4x@b\xe4.example",
        "\xe4x@b\xe4.example",
        "\xc4x@B\xc4.EXAMPLE",
        "\x01@b",
        "a\nb",
        "a\rb",
        "{1}|(x)+?",
    };
    return addresses;
}

// Addresses a pattern is likely to match: its text with each '*' replaced
// by a few runs, in both cases, and with a byte more or less at the end.
std::vector<std::string> derived_addresses(std::string_view pattern) {
    std::vector<std::string> addresses;
    for (const std::string_view run : {"", "x", "@", "Q@r.", "*"}) {
        std::string text;
        for (const char c : pattern) {
            if (c == '*') {
                text.append(run);
            } else {
                text += c;
            }
        }
        std::string upper = text;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        addresses.push_back(text);
        addresses.push_back(upper);
        addresses.push_back(text + "x");
        addresses.push_back(text + "$");
        if (!text.empty()) {
            addresses.push_back(text.substr(0, text.size() - 1));
            addresses.push_back(text.substr(1));
        }
    }
    return addresses;
}

// one: a list of the pattern's record alone.
void expect_same_answers(std::string_view pattern, const allow_list_t& one,
                         const reference_pattern& reference,
                         const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) {
        if (matches(one, address) != reference.matches(address)) {
            ADD_FAILURE() << "pattern " << printable(pattern) << " address " << printable(address)
                          << ": regexec says " << reference.matches(address);
        }
    }
}

// ---- globs against regcomp

enum class kind { glob, regex };

TEST(AllowGlob, MatchesWhatTheRegularExpressionMatches) {
    struct case_ {
        std::string pattern;
        kind expected;
        std::vector<std::string> addresses = {};  // besides the common and derived ones
    };
    const std::string a509(509, 'a');
    const std::string a510(510, 'a');
    const std::string a508(508, 'a');
    const case_ cases[] = {
        // Wildcards, several and in a row.
        {"*@list17.example", kind::glob},
        {"user*@host17.example", kind::glob, {"user@host17.example", "USER@HOST17.EXAMPLE"}},
        {"*a*b*", kind::glob, {"xaybz", "ba", "ab", "b a"}},
        {"a**b", kind::glob},
        {"*", kind::glob},
        {"**", kind::glob},
        {"*a", kind::glob, {"aa", "aaa", "ba"}},
        {"a*", kind::glob},
        {"a*a", kind::glob, {"a", "aa", "aba", "abab"}},
        {"*ab*ab*", kind::glob, {"abab", "aab", "ababab", "abxab"}},
        // Case.
        {"Joe@Example.COM", kind::glob},
        {"*@EXAMPLE.com", kind::glob},
        // '@' more than once, no '@' at all, a '*' in the domain part.
        {"a@b@c", kind::glob},
        {"*@*@c", kind::glob},
        {"a@*", kind::glob},
        {"*@b@c.example", kind::glob},
        {"postmaster", kind::glob},
        {"*@*.example", kind::glob, {"a@b.example", "a@.example", "a@example"}},
        {"*@host*.example", kind::glob},
        // '^' and '$' are literals but for the end anchor.
        {"^abc", kind::glob},
        {"a^b", kind::glob},
        {"abc^", kind::glob, {"abc^"}},
        {"^", kind::glob},
        {"a$b", kind::glob},
        {"a$", kind::glob},
        {"a$$", kind::glob},
        {"$", kind::glob},
        {"$a", kind::glob, {"$a"}},
        {"^$", kind::glob},
        {"*$", kind::glob},
        {"$*", kind::glob},
        // A literal dot against any character.
        {"a.b", kind::glob},
        {"a.*", kind::glob, {"a.", "a", "a.x"}},
        {"*.", kind::glob},
        {"...", kind::glob, {"...", "abc"}},
        // Blanks around the pattern are part of it.
        {"  a*  ", kind::glob, {"  abc  ", "abc", "  abc"}},
        {" x@b ", kind::glob},
        {"\t@\t", kind::glob},
        // Bytes of 0x80 and above, and control characters, are themselves;
        // only ASCII letters have another case.
        {"\xc4*@b\xe4.example", kind::glob},
        {"\xc4*@B\xc4.EXAMPLE", kind::glob},
        {"\x01*", kind::glob},
        {"a\rb", kind::glob},
        {"\x7f", kind::glob, {"\x7f"}},
        // Characters that only a backslash makes special in basic syntax.
        {"{1}|(x)+?", kind::glob},
        {"a+b", kind::glob},
        {"a?b", kind::glob, {"a?b", "ab"}},
        // Brackets and backslashes keep their regular-expression meaning.
        {"[0-9]*@c", kind::regex, {"7up@c", "up@c"}},
        {"[A-Z]@x", kind::regex, {"q@x", "Q@x", "1@x"}},
        {"a[.]b", kind::regex},
        {"a\\b", kind::regex},
        {"a\\.b", kind::regex, {"a\\xb"}},
        {"a\\+b", kind::regex},
        {"\\(a\\)*", kind::regex, {"a", "ab"}},
        {"a\\{2\\}", kind::regex, {"aa"}},
        {"*\\$", kind::regex},
        // Cut at 512 characters: no closing "$", so any text may follow,
        // unless the last character kept is a '$' of the line.
        {std::string(511, 'b'),
         kind::glob,
         {std::string(511, 'b'), std::string(512, 'b'), std::string(510, 'b'),
          std::string(511, 'B') + "@x"}},
        {a509 + ".", kind::glob, {a509, a509 + "x", a509 + ".", std::string(508, 'a')}},
        {a509 + "*", kind::glob, {a509, a509 + "x"}},
        {a508 + ".", kind::glob, {a508 + ".", a508 + "x", a508 + ".x"}},
        {a508 + "*", kind::glob, {a508, a508 + "xyz"}},
        {a508 + ".x", kind::glob, {a508 + ".x", a508 + ".xy", a508 + "xx"}},
        {a508 + "*x", kind::glob, {a508 + "x", a508 + "x"}},
        {a510 + "$", kind::glob, {a510, a510 + "$", a510 + "a"}},
        {a509 + "$$", kind::glob, {a509, a509 + "$", a509 + "$$"}},
        {a509 + "a$", kind::glob, {a510, a510 + "$", a509 + "a$x"}},
        {"*@" + std::string(509, 'x'),
         kind::glob,
         {"a@" + std::string(508, 'x'), "a@" + std::string(509, 'x'),
          "a@" + std::string(508, 'x') + "yy"}},
        {std::string(254, '.') + "x",
         kind::glob,
         {std::string(254, '.') + "x", std::string(254, '.') + "y", std::string(254, '.')}},
        {std::string(255, '.') + "x", kind::glob, {std::string(255, '.'), std::string(254, '.')}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE("pattern " + printable(c.pattern));
        const reference_pattern reference(c.pattern);
        ASSERT_TRUE(reference.compiled());
        const allow_entry entry = entry_of(c.pattern);
        EXPECT_EQ(entry.ae_regex == nullptr, c.expected == kind::glob);
        EXPECT_EQ(entry.ae_glob.has_value(), c.expected == kind::glob);
        const allow_list_t one{entry};
        expect_same_answers(c.pattern, one, reference, common_addresses());
        expect_same_answers(c.pattern, one, reference, derived_addresses(c.pattern));
        expect_same_answers(c.pattern, one, reference, c.addresses);
    }
}

// Every pattern of up to three characters over an alphabet of the bytes
// that matter, against every address of up to four.
TEST(AllowGlob, AgreesWithRegcompOnEveryShortPattern) {
    const std::string_view pattern_bytes = "a@.*$^";
    const std::string_view address_bytes = "aA@.$^";
    const auto all_texts = [](std::string_view alphabet, std::size_t longest) {
        std::vector<std::string> texts = {""};
        for (std::size_t from = 0, length = 1; length <= longest; ++length) {
            const std::size_t to = texts.size();
            for (std::size_t i = from; i < to; ++i) {
                for (const char c : alphabet) {
                    texts.push_back(texts[i] + c);
                }
            }
            from = to;
        }
        return texts;
    };
    const std::vector<std::string> addresses = all_texts(address_bytes, 4);
    for (const std::string& pattern : all_texts(pattern_bytes, 3)) {
        SCOPED_TRACE("pattern " + printable(pattern));
        const reference_pattern reference(pattern);
        ASSERT_TRUE(reference.compiled());
        const allow_entry entry = entry_of(pattern);
        ASSERT_TRUE(entry.ae_glob.has_value());
        expect_same_answers(pattern, allow_list_t{entry}, reference, addresses);
    }
}

TEST(AllowGlob, PatternsThatDoNotCompileFailAsBefore) {
    const std::string patterns[] = {
        "[abc",
        "\\(a*",
        "a\\{1",
        // The cut leaves a lone backslash at the end.
        std::string(510, 'a') + "\\x",
        std::string(255, '.') + "\\",
    };
    for (const std::string& pattern : patterns) {
        SCOPED_TRACE("pattern " + printable(pattern));
        const reference_pattern reference(pattern);
        ASSERT_FALSE(reference.compiled());
        allow_entry entry;
        entry.ae_glob = allow_glob{"kept", true};
        const std::optional<list_failure> failure = vlcf_allow_entry(pattern, entry);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->message, reference.message());
        EXPECT_EQ(failure->status, 69);
        EXPECT_EQ(entry.ae_glob->ag_text, "kept") << "the record is left alone";
    }
}

TEST(AllowGlob, KeepsTheTextInLowerCaseWithItsAnchor) {
    struct case_ {
        std::string pattern;
        std::string text;
        bool anchored;
    };
    const case_ cases[] = {
        {"*@List17.EXAMPLE", "*@list17.example", true},
        {"User*@*", "user*@*", true},
        {"a$", "a$", true},
        {"^b", "^b", true},
        {std::string(511, 'Z'), std::string(511, 'z'), false},
        {std::string(510, 'q') + "$", std::string(510, 'q'), true},
        {std::string(509, 'q') + ".", std::string(509, 'q'), false},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE("pattern " + printable(c.pattern));
        const allow_entry entry = entry_of(c.pattern);
        ASSERT_TRUE(entry.ae_glob.has_value());
        EXPECT_EQ(entry.ae_glob->ag_text, c.text);
        EXPECT_EQ(entry.ae_glob->ag_anchored, c.anchored);
    }
}

// ---- the index by domain and by head

std::string describe(const std::vector<std::string>& lines, const std::string& address) {
    std::string text = "[";
    for (const auto& line : lines) {
        text += printable(line) + " ";
    }
    return text + "] " + printable(address);
}

TEST(AllowIndex, FirstMatchInListOrderDecides) {
    struct case_ {
        std::vector<std::string> lines;
        std::string address;
        std::optional<std::size_t> match;  // position of the deciding entry
    };
    const case_ cases[] = {
        {{}, "joe@b.example", std::nullopt},
        // Only filed entries.
        {{"*@a.example", "*@b.example", "joe@b.example"}, "joe@b.example", 1},
        {{"*@a.example", "joe@b.example", "*@b.example"}, "joe@b.example", 1},
        {{"*@a.example", "joe@b.example", "*@b.example"}, "ann@b.example", 2},
        {{"*@a.example"}, "joe@b.example", std::nullopt},
        // One domain in several patterns: the first that matches.
        {{"x*@b.example", "y*@b.example", "*@b.example"}, "yz@b.example", 1},
        {{"x*@b.example", "y*@b.example", "*@b.example"}, "zz@b.example", 2},
        {{"x*@b.example", "y*@b.example"}, "zz@b.example", std::nullopt},
        // A walked entry before, or after, the filed one that matches.
        {{"joe@*", "*@b.example"}, "joe@b.example", 0},
        {{"*@b.example", "joe@*"}, "joe@b.example", 0},
        {{"*@b.example", "joe@*"}, "joe@c.example", 1},
        {{"ann@*", "*@b.example", "joe@*"}, "joe@b.example", 1},
        {{"ann@*", "x*@b.example", "joe@*", "*@b.example"}, "joe@b.example", 2},
        {{"ann@*", "x*@b.example", "joe@*", "*@b.example"}, "xy@b.example", 1},
        // Regular expressions are walked too.
        {{"[j]oe@b.example", "*@b.example"}, "joe@b.example", 0},
        {{"*@b.example", "[j]oe@b.example"}, "joe@b.example", 0},
        {{"*@c.example", "[j]oe@b.example"}, "joe@b.example", 1},
        {{"x*@b.example", "[j]oe@*", "*@b.example"}, "joe@b.example", 1},
        // The domain in any case, on either side.
        {{"*@B.Example"}, "joe@b.EXAMPLE", 0},
        {{"joe@*", "*@b.example"}, "JOE@B.EXAMPLE", 0},
        {{"ann@*", "*@b.example"}, "JOE@B.EXAMPLE", 1},
        // The domain is the text after the last '@'.
        {{"*@c.example"}, "a@b@c.example", 0},
        {{"a@b@c.example"}, "a@b@c.example", 0},
        {{"*@b@c.example", "*@c.example"}, "a@b@c.example", 0},
        {{"*@b"}, "a@b@c.example", std::nullopt},
        {{"*@b.example"}, "joe@b.example.org", std::nullopt},
        {{"*@b.example"}, "joe@xb.example", std::nullopt},
        // A '*' in the domain, no '@', or a pattern cut short of its end
        // anchor is walked, whatever domain the address has.
        {{"*@*.example", "*@b.example"}, "joe@b.example", 0},
        {{"*@b.example", "*@*.example"}, "joe@c.example", 1},
        {{"postmaster", "*@x"}, "postmaster", 0},
        {{"*@x", "post*"}, "postmaster@x", 0},
        {{"*@y", "post*"}, "postmaster@x", 1},
        {{"*@" + std::string(509, 'x')}, "a@" + std::string(508, 'x') + "yy", 0},
        // An address without '@' has no bucket.
        {{"*@b.example"}, "b.example", std::nullopt},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(describe(c.lines, c.address));
        const allow_list_t list = list_of(c.lines);
        const allow_match found = vlcf_allow_match(list, c.address.c_str());
        ASSERT_NE(found.result, allow_result::error);
        EXPECT_EQ(found.result == allow_result::match, c.match.has_value());
        if (c.match) {
            EXPECT_EQ(found.position, *c.match);
        }
    }
}

TEST(AllowIndex, FilesGlobsByLiteralDomainOrHead) {
    const std::string cut = "x@" + std::string(509, 'y');
    const allow_list_t list = list_of({
        "*@b.example",    // 0: filed under b.example
        "joe@*",          // 1: a '*' in the domain: filed under its head joe@
        "ann@B.EXAMPLE",  // 2: filed under b.example
        "[x]@b.example",  // 3: walked, a regular expression
        "postmaster",     // 4: no '@': filed under its head, all of it
        "*@c.example",    // 5: filed under c.example
        "a@b@c.example",  // 6: filed under c.example
        cut,              // 7: no end anchor: filed under its head, all of it
        "*@*.example",    // 8: walked, neither a domain nor a head
        "Jo*@*",          // 9: filed under its head jo
        "joe@x*",         // 10: filed under its head joe@x
    });
    EXPECT_EQ(list.index().walk(), (std::vector<std::size_t>{3, 8}));
    const auto bucket = [&](std::string_view domain) {
        const auto positions = list.index().bucket(domain);
        return std::vector<std::size_t>(positions.begin(), positions.end());
    };
    EXPECT_EQ(bucket("b.example"), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(bucket("B.Example"), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(bucket("c.example"), (std::vector<std::size_t>{5, 6}));
    EXPECT_TRUE(bucket("d.example").empty());
    EXPECT_TRUE(bucket("example").empty());
    const auto head = [&](std::string_view text) {
        const auto positions = list.index().head_bucket(text);
        return std::vector<std::size_t>(positions.begin(), positions.end());
    };
    EXPECT_EQ(head("joe@"), (std::vector<std::size_t>{1}));
    EXPECT_EQ(head("JO"), (std::vector<std::size_t>{9}));
    EXPECT_EQ(head("postmaster"), (std::vector<std::size_t>{4}));
    EXPECT_EQ(head(cut), (std::vector<std::size_t>{7}));
    EXPECT_TRUE(head("joe").empty());
    EXPECT_EQ(list.index().head_lengths(), (std::vector<std::size_t>{2, 4, 5, 10, cut.size()}));

    // The earliest filed match decides, across domain and head buckets.
    const struct {
        const char* address;
        std::optional<std::size_t> match;
    } cases[] = {
        {"joe@b.example", 0},  {"joe@x.example", 1}, {"JOE@XYZ", 1},     {"jo@x", 9},
        {"joe@Xylophone", 1},  {"postmaster", 4},    {"postmaster2", {}}, {"ann@d.example", 8},
        {"bob@d.example", 8},  {"bob@d.exampl", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const allow_match found = vlcf_allow_match(list, c.address);
        EXPECT_EQ(found.result == allow_result::match, c.match.has_value());
        if (c.match) {
            EXPECT_EQ(found.position, *c.match);
        }
    }

    // A copy of the list is a list of its own.
    allow_list_t copy = list;
    const allow_list_t fresh = list_of({"*@d.example"});
    const allow_match found = vlcf_allow_match(copy, "joe@b.example");
    EXPECT_EQ(found.result, allow_result::match);
    EXPECT_EQ(found.position, 0u);
    EXPECT_EQ(vlcf_allow_match(fresh, "joe@b.example").result, allow_result::no_match);
}

TEST(AllowIndex, AnEntryWithoutPatternMatchesNothing) {
    allow_list_t list;
    list.emplace_back();
    list.push_back(entry_of("*"));
    const allow_match found = vlcf_allow_match(list, "joe@b.example");
    EXPECT_EQ(found.result, allow_result::match);
    EXPECT_EQ(found.position, 1u);
}

// Lists of three patterns drawn from a pool of filed, walked and regular
// expression entries, in every order, against the walk of the whole list.
TEST(AllowIndex, AgreesWithTheWalkOfTheWholeList) {
    const std::vector<std::string> pool = {
        "*@b.example",     "joe@b.example", "j*@B.example", "*@c.example",
        "*@b@c.example",   "joe@*",         "*@*.example",  "*o*",
        "[aj]*@b.example", "postmaster",    "*@example",    "ann@b.example",
        "JO*",             "joe@b*",        "j*o*@*",
    };
    const std::vector<std::string> addresses = {
        "joe@b.example", "JOE@B.EXAMPLE", "ann@b.example", "x@c.example", "joe@b@c.example",
        "postmaster",    "x@example",     "bob@d.example", "jo@b.exampl", "a@b.example",
    };
    std::vector<allow_entry> entries;
    std::vector<allow_list_t> singles;
    for (const std::string& line : pool) {
        entries.push_back(entry_of(line));
        singles.push_back(allow_list_t{entries.back()});
    }
    for (std::size_t i = 0; i < pool.size(); ++i) {
        for (std::size_t j = 0; j < pool.size(); ++j) {
            for (std::size_t k = 0; k < pool.size(); ++k) {
                const allow_list_t list{entries[i], entries[j], entries[k]};
                const std::size_t order[] = {i, j, k};
                for (const std::string& address : addresses) {
                    std::optional<std::size_t> first;
                    for (std::size_t p = 0; p < 3 && !first; ++p) {
                        if (matches(singles[order[p]], address)) {
                            first = p;
                        }
                    }
                    const allow_match found = vlcf_allow_match(list, address.c_str());
                    SCOPED_TRACE(describe({pool[i], pool[j], pool[k]}, address));
                    ASSERT_EQ(found.result == allow_result::match, first.has_value());
                    if (first) {
                        ASSERT_EQ(found.position, *first);
                    }
                }
            }
        }
    }
}

}  // namespace
