// Tag codec for "prvs" bounce address tags.
//
// A tag is ten characters: the key number K (one digit), the expiry day D
// (three digits) and the first three bytes of SHA-1 over K, D, the plain
// address and the secret key, as six upper-case hexadecimal digits. Signing
// builds the tagged address; validation splits a tagged address, checks the
// tag's syntax and key number, rebuilds the tagged address from the plain one
// and compares, and tests the expiry day.
//
// Remote MTAs are known to change letter case on the way back. A marker in
// any case and hash digits in lower case are therefore the same tag as the
// one this codec wrote; everything else, the plain address above all, is
// compared exactly, since the hash covers the address as it was signed.
//
// Work texts (the rebuilt tagged address, the digits of K and D) live in
// fixed buffers on the stack; the hash input is fed to the digest piece by
// piece, so the whole key always takes part however long the address is.
// The only allocations are the texts handed back to the caller.
#include "tags/tags.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cassert>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr std::string_view standard_marker = "prvs=";
constexpr std::string_view sendmail_marker = "+prvs=";
constexpr std::size_t tag_length = 10;
constexpr std::size_t hash_digits = 6;
constexpr std::time_t seconds_per_day = 86400;
constexpr unsigned days_per_cycle = tag_days_per_cycle;

// The SHA-1 implementation, fetched from the default provider once per
// process. A failed fetch throws, so a later call tries again.
const EVP_MD* sha1_digest() {
    static const EVP_MD* const md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        if (fetched == nullptr) {
            throw std::bad_alloc();
        }
        return fetched;
    }();
    return md;
}

struct md_ctx_free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// One digest context per thread, made on first use and reused by every
// later hash on that thread.
EVP_MD_CTX* thread_md_ctx() {
    thread_local const std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    if (!ctx) {
        throw std::bad_alloc();
    }
    return ctx.get();
}

// Key number and day as "%1d%03d". Values outside 0-9 and 0-999 do not
// come from this filter's settings, but are formatted as printf would.
struct tag_prefix {
    std::array<char, 32> text;
    std::size_t size;
};

tag_prefix format_prefix(int key_number, unsigned day) {
    tag_prefix p{};
    if (key_number >= 0 && key_number <= 9 && day < days_per_cycle) {
        p.text[0] = static_cast<char>('0' + key_number);
        p.text[1] = static_cast<char>('0' + day / 100);
        p.text[2] = static_cast<char>('0' + day / 10 % 10);
        p.text[3] = static_cast<char>('0' + day % 10);
        p.size = 4;
    } else {
        int n = std::snprintf(p.text.data(), p.text.size(), "%1d%03u", key_number, day);
        p.size = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return p;
}

// The six hexadecimal digits of the tag: SHA-1 over the key number and day,
// the plain address and the whole key, cut to its first three bytes.
std::array<char, hash_digits> tag_hash(std::string_view prefix, std::string_view plain,
                                       std::string_view key) {
    EVP_MD_CTX* ctx = thread_md_ctx();
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
    unsigned int digest_size = 0;
    if (EVP_DigestInit_ex2(ctx, sha1_digest(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx, prefix.data(), prefix.size()) != 1 ||
        EVP_DigestUpdate(ctx, plain.data(), plain.size()) != 1 ||
        EVP_DigestUpdate(ctx, key.data(), key.size()) != 1 ||
        EVP_DigestFinal_ex(ctx, digest.data(), &digest_size) != 1 || digest_size < 3) {
        // The only way these fail with a fetched SHA-1 is a failed
        // allocation inside the library.
        throw std::bad_alloc();
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    std::array<char, hash_digits> out;
    for (std::size_t i = 0; i < 3; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return out;
}

// A tagged address built on the stack: at most max_address_length
// characters, with the positions of its marker and of its six hash digits.
struct tagged_buffer {
    std::array<char, max_address_length> text;
    std::size_t size = 0;
    std::size_t marker_at = 0;
    std::size_t marker_size = 0;
    std::size_t hash_at = 0;

    void append(std::string_view s) {
        assert(size + s.size() <= text.size());
        s.copy(text.data() + size, s.size());
        size += s.size();
    }
    std::string_view view() const { return {text.data(), size}; }
};

// Builds the tagged form of plain into out; false when it would not fit.
// Every form adds the same characters to the plain address: the marker, the
// tag and one separator ('=' after the tag, or '@' moved behind it, or in
// the sendmail form without '@' the '+' of the marker).
bool build_tagged(std::string_view plain, int key_number, unsigned day, std::string_view key,
                  tag_form form, tagged_buffer& out) {
    const tag_prefix p = format_prefix(key_number, day);
    const std::string_view prefix(p.text.data(), p.size);
    const std::size_t added = standard_marker.size() + prefix.size() + hash_digits + 1;
    if (plain.size() + added > max_address_length) {
        return false;
    }
    const std::array<char, hash_digits> hash = tag_hash(prefix, plain, key);
    const std::string_view hash_text(hash.data(), hash.size());

    if (form == tag_form::standard) {
        out.marker_at = out.size;
        out.marker_size = standard_marker.size();
        out.append(standard_marker);
        out.append(prefix);
        out.hash_at = out.size;
        out.append(hash_text);
        out.append("=");
        out.append(plain);
        return true;
    }
    const std::size_t at = plain.find('@');
    out.append(plain.substr(0, at));
    out.marker_at = out.size;
    out.marker_size = sendmail_marker.size();
    out.append(sendmail_marker);
    out.append(prefix);
    out.hash_at = out.size;
    out.append(hash_text);
    if (at != std::string_view::npos) {
        out.append(plain.substr(at));
    }
    return true;
}

// Letter case of the default POSIX locale: bytes of 0x80 and above never
// change case.
char to_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char to_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether text equals lower, a lower-case text, ignoring the case of text.
bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (to_lower(text[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

// Where the marker of the form stands in address, in any case, or npos.
// In the sendmail form the first occurrence counts.
std::size_t find_marker(std::string_view address, tag_form form) {
    if (form == tag_form::standard) {
        return equals_ignoring_case(address.substr(0, standard_marker.size()), standard_marker)
                   ? 0
                   : std::string_view::npos;
    }
    for (std::size_t at = address.find('+'); at != std::string_view::npos;
         at = address.find('+', at + 1)) {
        if (equals_ignoring_case(address.substr(at, sendmail_marker.size()), sendmail_marker)) {
            return at;
        }
    }
    return std::string_view::npos;
}

// Only the hash digits depend on the key: they are compared in constant
// time, the received ones upper-cased like the rebuilt ones. The marker is
// compared ignoring case, the rest, rebuilt from the examined address
// itself, byte for byte. The positions are those of the rebuilt address, so
// an examined address whose pieces stand elsewhere differs somewhere.
bool same_address(const tagged_buffer& rebuilt, std::string_view address) {
    const std::string_view r = rebuilt.view();
    if (r.size() != address.size()) {
        return false;
    }
    const std::size_t m = rebuilt.marker_at;
    const std::size_t m_end = m + rebuilt.marker_size;
    const std::size_t h = rebuilt.hash_at;
    const std::size_t h_end = h + hash_digits;
    assert(m_end <= h);
    std::array<char, hash_digits> received;
    for (std::size_t i = 0; i < hash_digits; ++i) {
        received[i] = to_upper(address[h + i]);
    }
    const bool hash_same = CRYPTO_memcmp(r.data() + h, received.data(), hash_digits) == 0;
    return hash_same && r.substr(0, m) == address.substr(0, m) &&
           equals_ignoring_case(address.substr(m, m_end - m), r.substr(m, m_end - m)) &&
           r.substr(m_end, h - m_end) == address.substr(m_end, h - m_end) &&
           r.substr(h_end) == address.substr(h_end);
}

bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex_digit(char c) {
    return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters 1 to 4 decimal, 5 to 10 hexadecimal; the end of the text
// fails like any other wrong character.
bool tag_syntax_ok(std::string_view tag) {
    for (std::size_t i = 0; i < tag_length; ++i) {
        if (i >= tag.size()) {
            return false;
        }
        if (!(i < 4 ? is_decimal_digit(tag[i]) : is_hex_digit(tag[i]))) {
            return false;
        }
    }
    return true;
}

// Today's number in the 1000-day cycle. Times before the epoch count whole
// days downwards (floor division), so the number is always 0 to 999.
unsigned cycle_day(std::time_t now) {
    std::time_t days = now / seconds_per_day;
    if (now % seconds_per_day < 0) {
        --days;
    }
    std::time_t day = days % static_cast<std::time_t>(days_per_cycle);
    if (day < 0) {
        day += days_per_cycle;
    }
    return static_cast<unsigned>(day);
}

// A tag stays good from the day it was made through its expiry day D: D is
// at most ttl days ahead of today in the cycle, counted modulo 1000.
bool tag_expired(unsigned day, unsigned today, std::uint32_t ttl) {
    const unsigned ahead = (day + days_per_cycle - today) % days_per_cycle;
    return ahead > ttl;
}

// The steps that need no key: finds the tag, checks its syntax and takes
// the key number and the plain address. A tag that gets that far is left
// TAG_BADVERSION for the caller to decide on its number; otherwise the
// result stays TAG_SYNTAX. tag is set to the text from the tag's first
// character on.
tag_check parse_tag(std::string_view address, tag_form form, std::string_view& tag) {
    tag_check result;
    const std::size_t marker = find_marker(address, form);
    if (marker == std::string_view::npos) {
        return result;
    }

    // The two pieces of the plain address (the second one is empty in the
    // standard form).
    std::string_view plain_head;
    std::string_view plain_tail;
    if (form == tag_form::standard) {
        tag = address.substr(standard_marker.size());
        const std::size_t eq = tag.find('=');
        if (eq == std::string_view::npos) {
            return result;
        }
        plain_head = tag.substr(eq + 1);
    } else {
        tag = address.substr(marker + sendmail_marker.size());
        const std::size_t at = tag.find('@');
        if (at == std::string_view::npos) {
            return result;
        }
        plain_head = address.substr(0, marker);
        plain_tail = tag.substr(at);
    }

    if (!tag_syntax_ok(tag)) {
        return result;
    }
    result.tc_status = TAG_BADVERSION;
    result.tc_key_number = tag[0] - '0';
    result.tc_plain.reserve(plain_head.size() + plain_tail.size());
    result.tc_plain.append(plain_head).append(plain_tail);
    return result;
}

// The steps for a parsed tag whose key is known: its day, its hash and its
// expiry.
void check_tag(tag_check& result, std::string_view tag, std::string_view address, tag_form form,
               std::string_view key, std::uint32_t ttl, std::time_t now) {
    const unsigned day =
        static_cast<unsigned>((tag[1] - '0') * 100 + (tag[2] - '0') * 10 + (tag[3] - '0'));
    result.tc_status = TAG_PARSED;
    result.tc_day = static_cast<int>(day);

    // A rebuilt address that does not fit can never equal an examined one
    // of at most max_address_length characters, so it is a mismatch.
    tagged_buffer rebuilt;
    result.tc_hash_ok =
        build_tagged(result.tc_plain, result.tc_key_number, day, key, form, rebuilt) &&
        same_address(rebuilt, address);
    result.tc_expired = tag_expired(day, cycle_day(now), ttl);
}

}  // namespace

bool batv_is_tagged(std::string_view address, tag_form form) {
    return find_marker(address, form) != std::string_view::npos;
}

unsigned batv_expiry_day(std::time_t now, std::uint32_t ttl) {
    const std::uint64_t sum = std::uint64_t{cycle_day(now)} + ttl;
    return static_cast<unsigned>(sum % days_per_cycle);
}

std::optional<std::string> batv_tag_address(std::string_view plain, int key_number, unsigned day,
                                            std::string_view key, tag_form form) {
    tagged_buffer out;
    if (!build_tagged(plain, key_number, day, key, form, out)) {
        return std::nullopt;
    }
    return std::string(out.view());
}

tag_check batv_validate_tag(std::string_view address, tag_form form, int key_version,
                            std::string_view key, std::uint32_t ttl, std::time_t now) {
    std::string_view tag;
    tag_check result = parse_tag(address, form, tag);
    if (result.tc_status == TAG_BADVERSION && result.tc_key_number == key_version) {
        check_tag(result, tag, address, form, key, ttl, now);
    }
    return result;
}

tag_check batv_validate_tag(std::string_view address, tag_form form, const key_table& keys,
                            std::uint32_t ttl, std::time_t now) {
    std::string_view tag;
    tag_check result = parse_tag(address, form, tag);
    if (result.tc_status == TAG_BADVERSION) {
        const std::optional<std::string>& key = keys[result.tc_key_number];
        if (key) {
            check_tag(result, tag, address, form, *key, ttl, now);
        }
    }
    return result;
}
