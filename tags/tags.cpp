// Tag codec for "prvs" bounce address tags.
//
// A tag is ten characters: the key number K (one digit), the expiry day D
// (three digits) and the first three bytes of SHA-1 over K, D, the plain
// address and the secret key, as six upper-case hexadecimal digits. Signing
// builds the tagged address; validation splits a tagged address, checks the
// tag's syntax and key number, rebuilds the tagged address from the plain one
// and compares, and tests the expiry day.
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
constexpr unsigned days_per_cycle = 1000;

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
// characters, with the position of its six hash digits.
struct tagged_buffer {
    std::array<char, max_address_length> text;
    std::size_t size = 0;
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
    out.append(sendmail_marker);
    out.append(prefix);
    out.hash_at = out.size;
    out.append(hash_text);
    if (at != std::string_view::npos) {
        out.append(plain.substr(at));
    }
    return true;
}

// Only the hash digits depend on the key: they are compared in constant
// time, the rest, rebuilt from the examined address itself, as usual.
bool same_address(const tagged_buffer& rebuilt, std::string_view address) {
    const std::string_view r = rebuilt.view();
    if (r.size() != address.size()) {
        return false;
    }
    const std::size_t h = rebuilt.hash_at;
    const std::size_t n = hash_digits;
    const bool hash_same = CRYPTO_memcmp(r.data() + h, address.data() + h, n) == 0;
    return hash_same && r.substr(0, h) == address.substr(0, h) &&
           r.substr(h + n) == address.substr(h + n);
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

}  // namespace

bool batv_is_tagged(std::string_view address, tag_form form) {
    if (form == tag_form::standard) {
        return address.starts_with(standard_marker);
    }
    return address.find(sendmail_marker) != std::string_view::npos;
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
    tag_check result;

    // Split the address into the tag and the two pieces of the plain
    // address (the second one is empty in the standard form).
    std::string_view tag;
    std::string_view plain_head;
    std::string_view plain_tail;
    if (form == tag_form::standard) {
        if (!address.starts_with(standard_marker)) {
            return result;
        }
        tag = address.substr(standard_marker.size());
        const std::size_t eq = tag.find('=');
        if (eq == std::string_view::npos) {
            return result;
        }
        plain_head = tag.substr(eq + 1);
    } else {
        const std::size_t marker = address.find(sendmail_marker);
        if (marker == std::string_view::npos) {
            return result;
        }
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

    result.tc_key_number = tag[0] - '0';
    result.tc_plain.reserve(plain_head.size() + plain_tail.size());
    result.tc_plain.append(plain_head).append(plain_tail);
    if (result.tc_key_number != key_version) {
        result.tc_status = TAG_BADVERSION;
        return result;
    }

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
    return result;
}

tag_check batv_validate_tag(std::string_view address, tag_form form, const key_table& keys,
                            std::uint32_t ttl, std::time_t now) {
    // A first pass with no key in force finds the tag's number.
    tag_check first = batv_validate_tag(address, form, -1, {}, ttl, now);
    if (first.tc_status != TAG_BADVERSION || !keys[first.tc_key_number]) {
        return first;
    }
    return batv_validate_tag(address, form, first.tc_key_number, *keys[first.tc_key_number], ttl,
                             now);
}
