// fuzz-libs: lists
// Arbitrary allow-list patterns and addresses. Input: the pattern, then a
// NUL byte and the address (up to its own NUL); without a NUL the pattern
// alone, and the addresses are made from it. Checks that a pattern builds a
// record exactly when its translation compiles (with the same message when
// it does not), that the record is a glob or a compiled pattern, and that
// the list matcher answers what regexec of regcomp(batv_mkregexp(pattern),
// REG_ICASE) answers, alone and in a list behind the pattern.
#include <regex.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lists/lists.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Addresses the pattern may well match: its own text with the wildcards
// taken out or filled in, and in capitals.
std::vector<std::string> addresses_from(std::string_view pattern) {
    std::string none, filled, upper;
    for (const char c : pattern) {
        if (c == '*') {
            filled += "x@";
            continue;
        }
        none += c;
        filled += c;
        upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return {none, filled, upper, none + "@example.com"};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = bytes.find('\0');
    const std::string_view pattern = bytes.substr(0, nul);
    std::vector<std::string> addresses = addresses_from(pattern);
    if (nul != std::string_view::npos) {
        const std::string_view rest = bytes.substr(nul + 1);
        addresses.emplace_back(rest.substr(0, rest.find('\0')));
    }

    regex_t reference{};
    const int compiled = regcomp(&reference, batv_mkregexp(pattern).c_str(), REG_ICASE);
    allow_entry entry;
    const std::optional<list_failure> failure = vlcf_allow_entry(pattern, entry);
    if (compiled != 0) {
        std::array<char, 513> text{};
        regerror(compiled, &reference, text.data(), text.size());
        check(failure.has_value());
        check(failure->status == 69);
        check(failure->message == "regcomp(): " + std::string(text.data()) + "\n");
        return 0;
    }
    check(!failure.has_value());
    check((entry.ae_regex != nullptr) != entry.ae_glob.has_value());

    allow_entry anything;
    check(!vlcf_allow_entry("*", anything).has_value() && anything.ae_glob.has_value());
    const allow_list_t alone{entry};
    const allow_list_t before_anything{entry, anything};
    for (const std::string& address : addresses) {
        // The addresses are C strings.
        const char* text = address.c_str();
        const int status = regexec(&reference, text, 0, nullptr, 0);
        const allow_match one = vlcf_allow_match(alone, text);
        if (status == 0 || status == REG_NOMATCH) {
            check((one.result == allow_result::match) == (status == 0));
            const allow_match two = vlcf_allow_match(before_anything, text);
            check(two.result == allow_result::match);
            check(two.position == (status == 0 ? 0u : 1u));
        }
    }
    regfree(&reference);
    return 0;
}
