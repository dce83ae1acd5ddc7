// Allow-list patterns without regular expressions. An allow-list line is
// translated into an anchored basic regular expression; most lines are
// plain addresses with '*' wildcards, whose expression is only literals and
// ".*", and those are matched here as globs: no compiled pattern, no lock
// inside the C library's matcher, memory as large as the text.
#pragma once

#include <optional>
#include <string_view>

#include "lists/records.h"
#include "lists/util.h"

// The glob that matches exactly what regcomp(expression, REG_ICASE) matches
// in the POSIX locale, or nothing when the expression holds anything whose
// meaning as a regular expression is more than a literal, ".*" or "\.":
// brackets, other escapes, a bare '.' or '*'. The expression is read as a C
// string, up to its first NUL, and must begin with "^". A final '$' is the
// end anchor; every other '$', and every '^' after the first, is a literal.
std::optional<allow_glob> vlcf_glob_of_regexp(std::string_view expression);

// Whether glob matches the whole of text (its start only, when the glob is
// not anchored at the end), letters compared ASCII case-insensitively.
bool vlcf_glob_matches(const allow_glob& glob, std::string_view text);
