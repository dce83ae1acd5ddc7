// The log seam: lines reach the installed sink, with control bytes escaped
// so that no text from a client can start a line of its own or reach an
// operator's terminal as an escape sequence.
#include "logging/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

namespace {

struct logged_line {
    int priority;
    std::string text;
};
std::vector<logged_line> logged;

void capture(int priority, const char* line) {
    logged.push_back({priority, line});
}

TEST(BatvEscapeControls, EscapesControlBytesOnly) {
    struct case_ {
        std::string text;
        std::string escaped;
    };
    const case_ cases[] = {
        {"plain text `x@example.org'", "plain text `x@example.org'"},
        {"a\r\nb", "a\\r\\nb"},
        {"tab\there", "tab\\there"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"del\x7f", "del\\x7f"},
        {"\x01\x1f", "\\x01\\x1f"},
        // Bytes of 0x80 and above are no control bytes.
        {"caf\xc3\xa9 \x80\xff", "caf\xc3\xa9 \x80\xff"},
        {"back\\slash", "back\\slash"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string out = "kept:";
        batv_escape_controls(c.text, out);
        EXPECT_EQ(out, "kept:" + c.escaped);
        EXPECT_EQ(batv_has_controls(c.text), c.text != c.escaped);
    }
}

TEST(BatvLog, LinesReachTheSinkEscaped) {
    logged.clear();
    batv_set_log_sink(capture);
    batv_log(LOG_ERR, "%s: BATV syntax error in `%s'", "Q1", "x\r\nFAKE: line@example.org");
    batv_log(LOG_INFO, "%s", "nothing to escape");
    batv_set_log_sink(nullptr);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].priority, LOG_ERR);
    EXPECT_EQ(logged[0].text, "Q1: BATV syntax error in `x\\r\\nFAKE: line@example.org'");
    EXPECT_EQ(logged[1].priority, LOG_INFO);
    EXPECT_EQ(logged[1].text, "nothing to escape");
}

}  // namespace
