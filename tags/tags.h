// Tag codec for "prvs" bounce address tags: building a tagged address from a
// plain one, recognising a tag and validating it against the secret key.
// Pure functions: no I/O, no clock, no logging, no state of their own; safe to
// call from any number of threads at once.
#pragma once

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

// True when the address carries the marker of the given form.
bool batv_is_tagged(std::string_view address, tag_form form);

// Expiry day D (0 to 999) of a tag made at time now.
unsigned batv_expiry_day(std::time_t now, std::uint32_t ttl);

// The tagged form of plain, or nothing when it would exceed
// max_address_length characters.
std::optional<std::string> batv_tag_address(std::string_view plain, int key_number, unsigned day,
                                            std::string_view key, tag_form form);

// Examines an address for which batv_is_tagged holds.
tag_check batv_validate_tag(std::string_view address, tag_form form, int key_version,
                            std::string_view key, std::uint32_t ttl, std::time_t now);
