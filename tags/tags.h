// Tag codec for "prvs" bounce address tags: building a tagged address from a
// plain one, recognising a tag and validating it against the secret key.
// Pure functions: no I/O, no clock, no logging, no state of their own; safe to
// call from any number of threads at once. The hash covers the key number,
// the day, the plain address and the whole key. When memory cannot be had
// (for the returned texts or inside libcrypto) the functions throw
// std::bad_alloc.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Which address form is signed and recognised.
enum class tag_form {
    standard,  // prvs=KDDDHHHHHH=local@domain
    sendmail,  // local+prvs=KDDDHHHHHH@domain
};

// Tags count days in a cycle of this many: the day D of a tag is 0 to 999.
inline constexpr unsigned tag_days_per_cycle = 1000;

// Longest envelope address, plain or tagged, the filter handles.
inline constexpr std::size_t max_address_length = 512;

enum tag_status { TAG_SYNTAX, TAG_BADVERSION, TAG_PARSED };

struct tag_check {
    tag_status tc_status = TAG_SYNTAX;
    int tc_key_number = 0;   // set from TAG_BADVERSION on
    int tc_day = 0;          // set for TAG_PARSED
    std::string tc_plain;    // set from TAG_BADVERSION on
    bool tc_hash_ok = false; // set for TAG_PARSED
    bool tc_expired = false; // set for TAG_PARSED
};

// True when the address carries the marker of the given form, in any letter
// case: the standard form's "prvs=" at its start, the sendmail form's
// "+prvs=" anywhere in it.
bool batv_is_tagged(std::string_view address, tag_form form);

// Expiry day D (0 to 999) of a tag made at time now. Days are counted with
// floor division, so times before the epoch give 0 to 999 as well.
unsigned batv_expiry_day(std::time_t now, std::uint32_t ttl);

// The tagged form of plain, or nothing when it would exceed
// max_address_length characters.
std::optional<std::string> batv_tag_address(std::string_view plain, int key_number, unsigned day,
                                            std::string_view key, tag_form form);

// Examines an address for which batv_is_tagged holds (any other address is
// TAG_SYNTAX). The address is examined as given; callers cut it to
// max_address_length first, and a longer one never has a matching hash. In
// the sendmail form an address with no '@' after the marker (its first
// occurrence) is TAG_SYNTAX. Letter case changed on the way back is
// tolerated where this codec chose it: a marker in any case and hash digits
// in lower case match as if written the way batv_tag_address writes them.
// The plain address is hashed exactly as received, so one whose letters were
// re-cased does not match.
// A tag is good from the day it is made through its expiry day: it is
// expired unless (D - today) mod 1000 <= ttl, so a ttl of 999 or more never
// expires.
tag_check batv_validate_tag(std::string_view address, tag_form form, int key_version,
                            std::string_view key, std::uint32_t ttl, std::time_t now);

// The secrets a tag may be verified with, by key number 0 to 9; a number
// without a secret is unknown.
using key_table = std::array<std::optional<std::string>, 10>;

// As above, with the key the tag's own number selects from keys: a number
// without a secret is TAG_BADVERSION.
tag_check batv_validate_tag(std::string_view address, tag_form form, const key_table& keys,
                            std::uint32_t ttl, std::time_t now);
