// Running the built vellicor-tag (and, to compare with, the filter) in the
// tests of this folder, and the text substitutions their tables use.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "tests/protocol/prvs_oracle.h"
#include "tests/support/blackbox.h"

namespace tagtool_test {

// vellicor-tag args..., as argv[0] "vellicor-tag".
inline blackbox::outcome run_tool(const std::vector<std::string>& args) {
    blackbox::command cmd;
    cmd.program = VELLICOR_TAG_BINARY;
    cmd.argv0 = "vellicor-tag";
    cmd.args = args;
    return blackbox::run(cmd);
}

// How blackbox::describe names a normal end with status n.
inline std::string exit_status(int n) {
    return "exit status " + std::to_string(n);
}

// Today's number in the 1000-day cycle of the tags.
inline unsigned today() {
    return prvs_oracle::day_of(std::time(nullptr));
}

// A day some days after (or, negative, before) today, in the cycle.
inline unsigned day_from_today(unsigned today, int days) {
    return static_cast<unsigned>((static_cast<int>(today) + days + 1000) % 1000);
}

// text with every "{dir}" replaced by dir.
inline std::string expand(std::string text, const std::string& dir) {
    static const std::string mark = "{dir}";
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) {
        text.replace(at, mark.size(), dir);
    }
    return text;
}

inline std::vector<std::string> expand(std::vector<std::string> args, const std::string& dir) {
    for (std::string& arg : args) {
        arg = expand(arg, dir);
    }
    return args;
}

}  // namespace tagtool_test
