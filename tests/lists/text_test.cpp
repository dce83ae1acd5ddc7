// White space, case, wildcard translation and the name suffix rule.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "lists/lists.h"

namespace {

TEST(BatvIsblank, PosixWhiteSpaceOnly) {
    struct case_ {
        std::string_view text;
        bool blank;
    };
    const case_ cases[] = {
        {"", true},
        {" ", true},
        {" \t\n\v\f\r", true},
        {"a", false},
        {"  a  ", false},
        {"\t#", false},
        // Bytes of 0x80 and above are never white space, whatever a
        // Latin-1 locale would say about NBSP or NEL.
        {"\xa0", false},
        {" \x85 ", false},
        {std::string_view("\0", 1), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        EXPECT_EQ(batv_isblank(c.text), c.blank);
    }
}

TEST(VlcfTrimspaces, CutsTrailingWhiteSpaceOnly) {
    struct case_ {
        std::string text;
        std::string trimmed;
    };
    const case_ cases[] = {
        {"", ""},
        {"   ", ""},
        {"example.com", "example.com"},
        {"example.com \t\r\n\v\f", "example.com"},
        {"  example.com  ", "  example.com"},
        {"a b ", "a b"},
        // A high byte ends the run of white space and stays.
        {"abc\xa0", "abc\xa0"},
        {"abc \xa0 \t", "abc \xa0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string text = c.text;
        vlcf_trimspaces(text);
        EXPECT_EQ(text, c.trimmed);
    }
}

TEST(VlcfLowercase, OnlyAsciiCapitals) {
    struct case_ {
        std::string text;
        std::string lowered;
    };
    const case_ cases[] = {
        {"", ""},
        {"MX.Example.COM", "mx.example.com"},
        {"AZ", "az"},
        // The neighbours of A and Z stay as they are.
        {"@[\\]^_`{", "@[\\]^_`{"},
        {"mx-01.b.c", "mx-01.b.c"},
        // Latin-1 and UTF-8 capitals are bytes of 0x80 and above.
        {"\xc4\xd6X", "\xc4\xd6x"},
        {"\xc3\x84Q", "\xc3\x84q"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string text = c.text;
        vlcf_lowercase(text.data());
        EXPECT_EQ(text, c.lowered);
    }
}

TEST(BatvMkregexp, TranslatesWildcards) {
    struct case_ {
        std::string pattern;
        std::string regex;
    };
    const case_ cases[] = {
        {"", "^$"},
        {"*", "^.*$"},
        {"a.b*", "^a\\.b.*$"},
        {"  a*  ", "^  a.*  $"},
        {"*@example.com", "^.*@example\\.com$"},
        // Everything else keeps its meaning in a basic expression.
        {"[a-z]*@x", "^[a-z].*@x$"},
        {"a\\.b", "^a\\\\.b$"},
        {"a+b?", "^a+b?$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(batv_mkregexp(c.pattern), c.regex);
    }
}

TEST(BatvMkregexp, StopsAtFiveHundredTwelveCharacters) {
    const std::string a508(508, 'a');
    const std::string a509(509, 'a');
    struct case_ {
        std::string name;
        std::string pattern;
        std::string regex;
    };
    const case_ cases[] = {
        {"510 plain characters and the $ fill it", std::string(510, 'a'),
         "^" + std::string(510, 'a') + "$"},
        {"511 plain characters leave no room for $", std::string(511, 'a'),
         "^" + std::string(511, 'a')},
        {"a full result takes nothing more", std::string(511, 'a') + "b.c",
         "^" + std::string(511, 'a')},
        {"a dot still expands at 509", a508 + ".", "^" + a508 + "\\.$"},
        {"a star still expands at 509", a508 + "*", "^" + a508 + ".*$"},
        {"a dot past 509 ends the translation", a509 + ".b", "^" + a509},
        {"a star past 509 ends the translation", a509 + "*", "^" + a509},
        {"the second of two dots comes too late", a508 + "..", "^" + a508 + "\\."},
        {"a plain character fits after a late wildcard would not", a509 + "bc", "^" + a509 + "bc"},
        {"600 characters", std::string(600, 'x'), "^" + std::string(511, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string regex = batv_mkregexp(c.pattern);
        EXPECT_EQ(regex, c.regex);
        EXPECT_LE(regex.size(), 512u);
    }
}

TEST(VlcfNameMatches, WholeNamesAndDotSuffixes) {
    struct case_ {
        std::string_view entry;
        std::string_view name;
        bool matches;
    };
    const case_ cases[] = {
        {"mx.b.c", "mx.b.c", true},
        {"mx.b.c", "MX.B.C", true},
        {"MX.b.C", "mx.B.c", true},
        {"b.c", "x.b.c", false},
        {".b.c", "b.c", false},
        {".b.c", "x.b.c", true},
        {".b.c", "y.x.b.c", true},
        {".B.C", "y.x.b.c", true},
        {".x.b.c", "y.x.b.c", true},
        {".c", "y.x.b.c", true},
        {".y.x.b.c", "y.x.b.c", false},
        {"com", "com", true},
        {"com", "a.com", false},
        {".com", "a.com", true},
        {".com", "acom", false},
        {".", "a.", true},
        {".", "a", false},
        {"..c", "a..c", true},
        {"mx.b.c", "mx.b.c.", false},
        {"mx.b.c", "mx.b.cc", false},
        {".b.c", "x.b.c.", false},
        {"", "", true},
        {"", "a", false},
        {"a", "", false},
        // No case folding above 0x80.
        {"\xc4.b", "\xe4.b", false},
        {".\xc4", "x.\xc4", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.entry)) + " vs " +
                     testing::PrintToString(std::string(c.name)));
        EXPECT_EQ(vlcf_name_matches(c.entry, c.name), c.matches);
    }
}

}  // namespace
