// fuzz-libs: tags
// Feeds arbitrary bytes to the tag codec as an examined address in both
// forms and as a plain address to sign, and checks what must hold for every
// input: the split never makes texts up, a good hash means the rebuilt
// address is the input itself but for the letter case of the marker and the
// hash digits, every parsed tag rebuilds into one that validates to the
// same plain address, and a signed address still validates with its marker
// and hash digits re-cased.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tags/tags.h"

namespace {

// The seed corpus holds addresses tagged with this key on day 123.
constexpr std::string_view fuzz_key = "fuzz-secret";
constexpr int fuzz_key_version = 0;
constexpr std::uint32_t fuzz_ttl = 7;
constexpr std::time_t fuzz_now = 120 * 86400 + 43200;
// Marker, ten tag characters and one separator.
constexpr std::size_t tag_overhead = 16;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

char flip_case(char c) {
    if (c >= 'a' && c <= 'z') {
        return static_cast<char>(c - 'a' + 'A');
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<char>(c - 'A' + 'a');
    }
    return c;
}

// Where the marker of the tagged form of plain begins: the tag is the ten
// characters after the marker.
std::size_t marker_position(std::string_view plain, tag_form form) {
    if (form == tag_form::standard) {
        return 0;
    }
    const std::size_t at = plain.find('@');
    return at == std::string_view::npos ? plain.size() : at;
}

// The tagged form of plain with the case of the letters of its marker and
// of its hash digits swapped.
std::string recased(std::string tagged, std::string_view plain, tag_form form) {
    const std::size_t marker = marker_position(plain, form);
    const std::size_t marker_size = form == tag_form::standard ? 5 : 6;
    for (std::size_t i = marker; i < marker + marker_size; ++i) {
        tagged[i] = flip_case(tagged[i]);
    }
    for (std::size_t i = marker + marker_size + 4; i < marker + marker_size + 10; ++i) {
        tagged[i] = flip_case(tagged[i]);
    }
    return tagged;
}

// Whether address is the tagged form of plain but for the letter case of
// the marker and the hash digits.
bool same_tag(std::string_view rebuilt, std::string_view address, std::string_view plain,
              tag_form form) {
    if (rebuilt.size() != address.size()) {
        return false;
    }
    const std::size_t marker = marker_position(plain, form);
    const std::size_t marker_size = form == tag_form::standard ? 5 : 6;
    for (std::size_t i = 0; i < rebuilt.size(); ++i) {
        const bool case_free = (i >= marker && i < marker + marker_size) ||
                               (i >= marker + marker_size + 4 && i < marker + marker_size + 10);
        if (rebuilt[i] != address[i] && !(case_free && flip_case(rebuilt[i]) == address[i])) {
            return false;
        }
    }
    return true;
}

void check_validation(std::string_view address, tag_form form) {
    const bool tagged = batv_is_tagged(address, form);
    const tag_check r =
        batv_validate_tag(address, form, fuzz_key_version, fuzz_key, fuzz_ttl, fuzz_now);
    if (!tagged) {
        check(r.tc_status == TAG_SYNTAX);
    }
    if (r.tc_status == TAG_SYNTAX) {
        check(r.tc_plain.empty() && !r.tc_hash_ok && !r.tc_expired);
        return;
    }
    check(tagged);
    check(r.tc_key_number >= 0 && r.tc_key_number <= 9);
    check(r.tc_plain.size() + tag_overhead <= address.size());
    if (address.size() <= max_address_length) {
        check(r.tc_plain.size() <= max_address_length);
    }
    if (r.tc_status == TAG_BADVERSION) {
        check(r.tc_key_number != fuzz_key_version && !r.tc_hash_ok && !r.tc_expired);
        return;
    }
    check(r.tc_status == TAG_PARSED && r.tc_key_number == fuzz_key_version);
    check(r.tc_day >= 0 && r.tc_day <= 999);

    const auto rebuilt = batv_tag_address(r.tc_plain, r.tc_key_number,
                                          static_cast<unsigned>(r.tc_day), fuzz_key, form);
    check(r.tc_hash_ok == (rebuilt && same_tag(*rebuilt, address, r.tc_plain, form)));
    if (r.tc_hash_ok) {
        check(address.size() <= max_address_length);
    }
    // The expiry day is good on the days from D - ttl to D of the cycle.
    bool in_window = false;
    const unsigned today = 120;
    for (unsigned ahead = 0; ahead <= fuzz_ttl; ++ahead) {
        in_window = in_window || (today + ahead) % 1000 == static_cast<unsigned>(r.tc_day);
    }
    check(r.tc_expired == !in_window);

    if (rebuilt) {
        const tag_check again =
            batv_validate_tag(*rebuilt, form, fuzz_key_version, fuzz_key, fuzz_ttl, fuzz_now);
        check(again.tc_status == TAG_PARSED && again.tc_hash_ok);
        check(again.tc_plain == r.tc_plain && again.tc_day == r.tc_day);
    }
}

void check_signing(std::string_view plain, tag_form form) {
    const auto tagged = batv_tag_address(plain, fuzz_key_version, 123, fuzz_key, form);
    check(tagged.has_value() == (plain.size() + tag_overhead <= max_address_length));
    if (!tagged) {
        return;
    }
    check(tagged->size() == plain.size() + tag_overhead);
    check(batv_is_tagged(*tagged, form));
    // A sender that already carries the sendmail marker, or one without '@',
    // does not come back from the sendmail form.
    if (form == tag_form::sendmail &&
        (batv_is_tagged(plain, form) || plain.find('@') == std::string_view::npos)) {
        return;
    }
    const tag_check r =
        batv_validate_tag(*tagged, form, fuzz_key_version, fuzz_key, fuzz_ttl, fuzz_now);
    check(r.tc_status == TAG_PARSED && r.tc_hash_ok && !r.tc_expired);
    check(r.tc_plain == plain);

    const tag_check again = batv_validate_tag(recased(*tagged, plain, form), form, fuzz_key_version,
                                              fuzz_key, fuzz_ttl, fuzz_now);
    check(again.tc_status == TAG_PARSED && again.tc_hash_ok && again.tc_plain == plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const tag_form form : {tag_form::standard, tag_form::sendmail}) {
        check_validation(input, form);
        check_signing(input, form);
    }
    return 0;
}
