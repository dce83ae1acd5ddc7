// Globs for the allow list: recognising the translated patterns that are
// plain wildcards, and matching them. The rules for what is a literal are
// those of glibc's basic regular expressions in the POSIX locale, where every
// byte is one character and only A to Z have another case.
#include "lists/glob.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace {

// pattern is in lower case; text has the same length.
bool equal_folded(std::string_view pattern, std::string_view text) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != vlcf_fold(text[i])) {
            return false;
        }
    }
    return true;
}

bool begins_folded(std::string_view text, std::string_view pattern) {
    return text.size() >= pattern.size() && equal_folded(pattern, text.substr(0, pattern.size()));
}

bool ends_folded(std::string_view text, std::string_view pattern) {
    return text.size() >= pattern.size() &&
           equal_folded(pattern, text.substr(text.size() - pattern.size()));
}

// Where piece (in lower case, not empty) first occurs in text.
std::size_t find_folded(std::string_view text, std::string_view piece) {
    const char first = piece.front();
    for (std::size_t at = 0; at + piece.size() <= text.size(); ++at) {
        if (vlcf_fold(text[at]) == first &&
            equal_folded(piece.substr(1), text.substr(at + 1, piece.size() - 1))) {
            return at;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::optional<allow_glob> vlcf_glob_of_regexp(std::string_view expression) {
    expression = expression.substr(0, expression.find('\0'));
    if (expression.empty() || expression.front() != '^') {
        return std::nullopt;
    }
    expression.remove_prefix(1);
    allow_glob glob;
    // Only the last character can be the end anchor: a '$' anywhere else is
    // followed by something other than "\)" or "\|" (a backslash is no glob
    // anyway) and is a literal. A translation cut short of its closing "$"
    // ends in whatever came last, and a '$' from the line is the anchor then.
    glob.ag_anchored = !expression.empty() && expression.back() == '$';
    if (glob.ag_anchored) {
        expression.remove_suffix(1);
    }
    glob.ag_text.reserve(expression.size());
    for (std::size_t i = 0; i < expression.size(); ++i) {
        const char c = expression[i];
        const char next = i + 1 < expression.size() ? expression[i + 1] : '\0';
        switch (c) {
            case '\\':
                // "\." is a literal dot; every other escape means more.
                if (next != '.') {
                    return std::nullopt;
                }
                glob.ag_text += '.';
                ++i;
                break;
            case '.':
                // ".*" is any run; a '.' alone is any one character.
                if (next != '*') {
                    return std::nullopt;
                }
                glob.ag_text += '*';
                ++i;
                break;
            case '*':
            case '[':
                // A repetition, or a bracket expression.
                return std::nullopt;
            default:
                // '^' after the first character is a literal in a basic
                // expression, as are '+', '?', '{', '|', '(' and the rest.
                glob.ag_text += vlcf_fold(c);
                break;
        }
    }
    return glob;
}

bool vlcf_glob_matches(const allow_glob& glob, std::string_view text) {
    std::string_view pattern = glob.ag_text;
    const std::size_t star = pattern.find('*');
    if (star == std::string_view::npos) {
        if (glob.ag_anchored && text.size() != pattern.size()) {
            return false;
        }
        return begins_folded(text, pattern);
    }
    // The text before the first '*' holds at the start, the text after the
    // last one at the end (when anchored); the pieces between are found
    // left to right, each at its first place after the one before, which
    // leaves the most room for the rest.
    if (!begins_folded(text, pattern.substr(0, star))) {
        return false;
    }
    text.remove_prefix(star);
    pattern.remove_prefix(star + 1);
    if (glob.ag_anchored) {
        const std::size_t last = pattern.rfind('*');
        const std::string_view tail =
            last == std::string_view::npos ? pattern : pattern.substr(last + 1);
        if (!ends_folded(text, tail)) {
            return false;
        }
        text.remove_suffix(tail.size());
        pattern = last == std::string_view::npos ? std::string_view{} : pattern.substr(0, last);
    }
    while (!pattern.empty()) {
        const std::size_t next = pattern.find('*');
        const std::string_view piece = pattern.substr(0, next);
        if (!piece.empty()) {
            const std::size_t at = find_folded(text, piece);
            if (at == std::string_view::npos) {
                return false;
            }
            text.remove_prefix(at + piece.size());
        }
        if (next == std::string_view::npos) {
            break;
        }
        pattern.remove_prefix(next + 1);
    }
    return true;
}
