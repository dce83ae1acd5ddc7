// Tests of the tag codec. Expected tags were computed with sha1sum over the
// hash input, e.g. printf '0123user@example.comsecret' | sha1sum, taking
// the first six hexadecimal digits in upper case.
#include "tags/tags.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::time_t day_seconds = 86400;

// Noon (UTC) of a day in the first 1000-day cycle after the epoch.
constexpr std::time_t noon_of(std::time_t day) {
    return day * day_seconds + day_seconds / 2;
}

// 484 letters and "@example.com": 496 characters, the longest plain address
// whose tagged form (16 characters more) fits in 512.
const std::string long_plain = std::string(484, 'a') + "@example.com";
// 40 characters; with long_plain the hash input is 540 characters long.
const std::string long_key = "0123456789abcdefghijKLMNOPQRSTUVWXYZ!#$%";

const char* form_name(tag_form form) {
    return form == tag_form::standard ? "standard" : "sendmail";
}

TEST(TagAddress, BuildsBothFormsWithExternallyComputedHash) {
    struct case_ {
        std::string plain;
        int key_number;
        unsigned day;
        std::string key;
        tag_form form;
        std::string expected;
    };
    const case_ cases[] = {
        {"user@example.com", 0, 123, "secret", tag_form::standard,
         "prvs=0123A3B0CB=user@example.com"},
        {"user@example.com", 0, 123, "secret", tag_form::sendmail,
         "user+prvs=0123A3B0CB@example.com"},
        // The address is hashed exactly as received, letter case included.
        {"User@Example.COM", 0, 123, "secret", tag_form::standard,
         "prvs=01235C0385=User@Example.COM"},
        {"bob+list=x@example.net", 3, 42, "secret", tag_form::standard,
         "prvs=3042722551=bob+list=x@example.net"},
        {"postmaster", 5, 7, "secret", tag_form::sendmail, "postmaster+prvs=5007E75671"},
        {"postmaster", 5, 7, "secret", tag_form::standard, "prvs=5007E75671=postmaster"},
        // Several '@': the sendmail form splits at the first one.
        {"a@b@example.org", 9, 999, "secret", tag_form::sendmail,
         "a+prvs=9999B26AA8@b@example.org"},
        {"a@b@example.org", 9, 999, "secret", tag_form::standard,
         "prvs=9999B26AA8=a@b@example.org"},
        {"x@y", 1, 0, "", tag_form::standard, "prvs=10006248A7=x@y"},
        // Hash input of 540 characters: the whole key is hashed.
        {long_plain, 0, 123, long_key, tag_form::standard, "prvs=01232C7839=" + long_plain},
        {long_plain, 0, 123, long_key.substr(0, 39), tag_form::standard,
         "prvs=01235DB917=" + long_plain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const auto tagged = batv_tag_address(c.plain, c.key_number, c.day, c.key, c.form);
        ASSERT_TRUE(tagged.has_value());
        EXPECT_EQ(*tagged, c.expected);
    }
}

TEST(TagAddress, KeyBeyondFiveHundredTwelveCharactersChangesTheTag) {
    // With the hash input cut at 512 characters both keys would hash only
    // their first 12 characters and give the same tag (01D2F6).
    for (const tag_form form : {tag_form::standard, tag_form::sendmail}) {
        SCOPED_TRACE(form_name(form));
        const auto a = batv_tag_address(long_plain, 0, 123, long_key, form);
        const auto b = batv_tag_address(long_plain, 0, 123, long_key.substr(0, 39), form);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->size(), max_address_length);
        EXPECT_NE(*a, *b);
        EXPECT_EQ(a->find("01D2F6"), std::string::npos);
    }
}

TEST(TagAddress, ResultLongerThanLimitIsRefused) {
    struct case_ {
        std::string plain;
        tag_form form;
        bool fits;
    };
    const std::string no_at_496(496, 'b');
    const case_ cases[] = {
        {long_plain, tag_form::standard, true},
        {long_plain, tag_form::sendmail, true},
        {no_at_496, tag_form::sendmail, true},
        {"a" + long_plain, tag_form::standard, false},
        {"a" + long_plain, tag_form::sendmail, false},
        {no_at_496 + "b", tag_form::sendmail, false},
        {std::string(496, 'a') + "@example.com", tag_form::standard, false},
        {std::string(500, 'a') + "@example.com", tag_form::sendmail, false},
        {std::string(600, 'a'), tag_form::standard, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(form_name(c.form)) + " " + std::to_string(c.plain.size()));
        const auto tagged = batv_tag_address(c.plain, 0, 123, "secret", c.form);
        ASSERT_EQ(tagged.has_value(), c.fits);
        if (tagged) {
            EXPECT_EQ(tagged->size(), max_address_length);
        }
    }
}

TEST(IsTagged, RecognisesOnlyTheSelectedFormsMarkerInAnyCase) {
    struct case_ {
        std::string address;
        bool standard;
        bool sendmail;
    };
    const case_ cases[] = {
        {"prvs=0123A3B0CB=user@example.com", true, false},
        {"prvs=", true, false},
        {"PRVS=0123A3B0CB=user@example.com", true, false},
        {"Prvs=0123A3B0CB=user@example.com", true, false},
        {"pRVs=", true, false},
        {"prvs-0123A3B0CB=user@example.com", false, false},
        {"xprvs=0123A3B0CB=user@example.com", false, false},
        {"user.prvs=0123A3B0CB=x@example.com", false, false},
        {"user+prvs=0123A3B0CB@example.com", false, true},
        {"user@example.com+prvs=", false, true},
        {"+prvs=", false, true},
        {"user+PRVS=0123A3B0CB@example.com", false, true},
        {"user+Prvs=0123A3B0CB@example.com", false, true},
        {"a+b+PRVs=", false, true},
        {"user+prvs0123A3B0CB@example.com", false, false},
        {"prvs=0123A3B0CB=a+prvs=1@example.com", true, true},
        {"user@example.com", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(batv_is_tagged(c.address, tag_form::standard), c.standard);
        EXPECT_EQ(batv_is_tagged(c.address, tag_form::sendmail), c.sendmail);
    }
}

TEST(ValidateTag, SyntaxVersionAndHashComparison) {
    struct case_ {
        std::string address;
        tag_form form;
        int key_version;
        tag_status status;
        std::string plain;  // for TAG_BADVERSION and TAG_PARSED
        bool hash_ok;       // for TAG_PARSED
    };
    const tag_form std_ = tag_form::standard;
    const tag_form smf = tag_form::sendmail;
    const case_ cases[] = {
        // Good tags.
        {"prvs=0123A3B0CB=user@example.com", std_, 0, TAG_PARSED, "user@example.com", true},
        {"user+prvs=0123A3B0CB@example.com", smf, 0, TAG_PARSED, "user@example.com", true},
        {"prvs=01235C0385=User@Example.COM", std_, 0, TAG_PARSED, "User@Example.COM", true},
        {"a+prvs=9999B26AA8@b@example.org", smf, 9, TAG_PARSED, "a@b@example.org", true},
        {"prvs=9999B26AA8=a@b@example.org", std_, 9, TAG_PARSED, "a@b@example.org", true},
        // The address's letter case takes part in the hash.
        {"prvs=0123A3B0CB=User@example.com", std_, 0, TAG_PARSED, "User@example.com", false},
        // Extra characters after the ten tag characters.
        {"prvs=0123A3B0CBF=user@example.com", std_, 0, TAG_PARSED, "user@example.com", false},
        {"user+prvs=0123A3B0CBxx@example.com", smf, 0, TAG_PARSED, "user@example.com", false},
        // Several '@' before the marker: rebuilt with the first '@' as split.
        {"a@b+prvs=9999B26AA8@example.org", smf, 9, TAG_PARSED, "a@b@example.org", false},
        // Key number differs: the hash is not looked at.
        {"prvs=1123A3B0CB=user@example.com", std_, 0, TAG_BADVERSION, "user@example.com", false},
        {"user+prvs=9123zzzz@example.com", smf, 0, TAG_SYNTAX, "", false},
        {"user+prvs=9123ABCDEF@example.com", smf, 0, TAG_BADVERSION, "user@example.com", false},
        // Syntax errors.
        {"prvs=0123A3B0CBuser@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3B0CB", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3B=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs==user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=01x3A3B0CB=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=a123A3B0CB=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3G0CB=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3B0C-=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0 23A3B0CB=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        // Bytes of 128 and above are never digits (here UTF-8 digit forms).
        {"prvs=01\xd9\xa3"
         "A3B0CB=user@example.com",
         std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3B0\xef\xbc\xa2=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"user+prvs=0123A3B0C@example.com", smf, 0, TAG_SYNTAX, "", false},
        // No '@' after the marker in the sendmail form.
        {"user@example.com+prvs=0123A3B0CB", smf, 0, TAG_SYNTAX, "", false},
        {"postmaster+prvs=5007E75671", smf, 5, TAG_SYNTAX, "", false},
        // The first marker counts, in whatever case it is.
        {"a+prvs=b+prvs=0123A3B0CB@example.com", smf, 0, TAG_SYNTAX, "", false},
        {"a+PRVS=b+prvs=0123A3B0CB@example.com", smf, 0, TAG_SYNTAX, "", false},
        // Addresses that do not carry the selected form's marker.
        {"xprvs=0123A3B0CB=user@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"user+prvs=0123A3B0CB@example.com", std_, 0, TAG_SYNTAX, "", false},
        {"prvs=0123A3B0CB=user@example.com", smf, 0, TAG_SYNTAX, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(form_name(c.form)) + " " + c.address);
        const tag_check r =
            batv_validate_tag(c.address, c.form, c.key_version, "secret", 7, noon_of(120));
        ASSERT_EQ(r.tc_status, c.status);
        if (c.status == TAG_SYNTAX) {
            continue;
        }
        EXPECT_EQ(r.tc_key_number, c.address[c.address.find("prvs=") + 5] - '0');
        EXPECT_EQ(r.tc_plain, c.plain);
        if (c.status == TAG_PARSED) {
            EXPECT_EQ(r.tc_hash_ok, c.hash_ok);
            EXPECT_EQ(r.tc_day, std::stoi(c.address.substr(c.address.find("prvs=") + 6, 3)));
        } else {
            EXPECT_FALSE(r.tc_hash_ok);
        }
    }
}

// Remote MTAs re-case addresses. The marker and the hash digits are this
// codec's own and match in any case; the plain address is hashed as
// received, so re-casing it breaks the tag.
TEST(ValidateTag, ReCasedTagsMatchReCasedAddressesDoNot) {
    struct case_ {
        std::string address;
        tag_form form;
        std::string plain;
        bool hash_ok;
    };
    const tag_form std_ = tag_form::standard;
    const tag_form smf = tag_form::sendmail;
    const case_ cases[] = {
        // Hash digits in lower and in mixed case.
        {"prvs=0123a3b0cb=user@example.com", std_, "user@example.com", true},
        {"user+prvs=0123a3b0cb@example.com", smf, "user@example.com", true},
        {"prvs=0123a3B0cB=user@example.com", std_, "user@example.com", true},
        {"prvs=01235c0385=User@Example.COM", std_, "User@Example.COM", true},
        // The marker in another case.
        {"PRVS=0123A3B0CB=user@example.com", std_, "user@example.com", true},
        {"Prvs=0123A3B0CB=user@example.com", std_, "user@example.com", true},
        {"user+PRVS=0123A3B0CB@example.com", smf, "user@example.com", true},
        {"user+pRvS=0123a3b0cb@example.com", smf, "user@example.com", true},
        {"PRVS=0123a3b0cb=user@example.com", std_, "user@example.com", true},
        // The address part re-cased.
        {"prvs=0123A3B0CB=User@example.com", std_, "User@example.com", false},
        {"PRVS=0123a3b0cb=USER@EXAMPLE.COM", std_, "USER@EXAMPLE.COM", false},
        {"prvs=01235C0385=user@example.com", std_, "user@example.com", false},
        {"USER+prvs=0123A3B0CB@example.com", smf, "USER@example.com", false},
        {"user+PRVS=0123A3B0CB@Example.com", smf, "user@Example.com", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(form_name(c.form)) + " " + c.address);
        const tag_check r = batv_validate_tag(c.address, c.form, 0, "secret", 7, noon_of(120));
        ASSERT_EQ(r.tc_status, TAG_PARSED);
        EXPECT_EQ(r.tc_key_number, 0);
        EXPECT_EQ(r.tc_day, 123);
        EXPECT_EQ(r.tc_plain, c.plain);
        EXPECT_EQ(r.tc_hash_ok, c.hash_ok);
        EXPECT_FALSE(r.tc_expired);
    }
}

// With a key table the tag's own number picks the secret: the current key
// and a retired one verify alike, a number without a secret is a version
// mismatch.
TEST(ValidateTag, KeyTableSelectsTheKeyByTheTagsNumber) {
    key_table keys;
    keys[0] = "secret";
    keys[5] = "retired secret";
    const std::string plain = "user@example.com";
    const auto tag = [&](int number, unsigned day, const char* key, tag_form form) {
        return batv_tag_address(plain, number, day, key, form).value_or("");
    };
    struct case_ {
        const char* name;
        std::string address;
        tag_form form;
        tag_status status;
        int key_number;
        bool hash_ok;
        bool expired;
    };
    std::string retired_lower = tag(5, 123, "retired secret", tag_form::standard);
    for (std::size_t i = 9; i < 15; ++i) {
        retired_lower[i] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(retired_lower[i])));
    }
    const case_ cases[] = {
        {"current key", "prvs=0123A3B0CB=" + plain, tag_form::standard, TAG_PARSED, 0, true, false},
        {"retired key", tag(5, 123, "retired secret", tag_form::standard), tag_form::standard,
         TAG_PARSED, 5, true, false},
        {"retired key, sendmail form", tag(5, 123, "retired secret", tag_form::sendmail),
         tag_form::sendmail, TAG_PARSED, 5, true, false},
        {"retired key, lower-case digits", retired_lower, tag_form::standard, TAG_PARSED, 5, true,
         false},
        {"retired number, current secret", tag(5, 123, "secret", tag_form::standard),
         tag_form::standard, TAG_PARSED, 5, false, false},
        {"retired key, expired", tag(5, 100, "retired secret", tag_form::standard),
         tag_form::standard, TAG_PARSED, 5, true, true},
        {"unknown number", tag(7, 123, "secret", tag_form::standard), tag_form::standard,
         TAG_BADVERSION, 7, false, false},
        {"syntax error", "prvs=5123A3B0C=" + plain, tag_form::standard, TAG_SYNTAX, 0, false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const tag_check r = batv_validate_tag(c.address, c.form, keys, 7, noon_of(120));
        ASSERT_EQ(r.tc_status, c.status);
        EXPECT_EQ(r.tc_key_number, c.key_number);
        EXPECT_EQ(r.tc_plain, c.status == TAG_SYNTAX ? "" : plain);
        EXPECT_EQ(r.tc_hash_ok, c.hash_ok);
        EXPECT_EQ(r.tc_expired, c.expired);
    }
}

TEST(ValidateTag, WrongKeyIsAHashMismatch) {
    const tag_check r = batv_validate_tag("prvs=0123A3B0CB=user@example.com", tag_form::standard, 0,
                                          "Secret", 7, noon_of(120));
    EXPECT_EQ(r.tc_status, TAG_PARSED);
    EXPECT_FALSE(r.tc_hash_ok);
}

TEST(ValidateTag, AddressesAtTheLengthLimit) {
    struct case_ {
        std::string address;
        tag_form form;
        std::string key;
        bool hash_ok;
    };
    const std::string local(484, 'a');
    const case_ cases[] = {
        // 512 characters, hashed with the whole 40-character key.
        {"prvs=01232C7839=" + long_plain, tag_form::standard, long_key, true},
        {local + "+prvs=01232C7839@example.com", tag_form::sendmail, long_key, true},
        {"prvs=01232C7839=" + long_plain, tag_form::standard, long_key.substr(0, 39), false},
        // The tag the hash input cut at 512 characters would give.
        {"prvs=012301D2F6=" + long_plain, tag_form::standard, long_key, false},
        // Longer than the limit: the rebuilt address could not fit, so it
        // can never be equal.
        {"prvs=01232C7839=a" + long_plain, tag_form::standard, long_key, false},
        {"a" + local + "+prvs=01232C7839@example.com", tag_form::sendmail, long_key, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(form_name(c.form)) + " " + std::to_string(c.address.size()));
        const tag_check r = batv_validate_tag(c.address, c.form, 0, c.key, 7, noon_of(120));
        ASSERT_EQ(r.tc_status, TAG_PARSED);
        EXPECT_EQ(r.tc_hash_ok, c.hash_ok);
        EXPECT_EQ(r.tc_plain.size() + 16, c.address.size());
    }
}

TEST(ValidateTag, ExpiryCountsDaysAheadModuloTheCycle) {
    struct case_ {
        std::time_t now;
        int day;
        std::uint32_t ttl;
        bool expired;
    };
    constexpr std::uint32_t max_ttl = std::numeric_limits<std::uint32_t>::max();
    const case_ cases[] = {
        {noon_of(500), 500, 7, false},
        {noon_of(501), 500, 7, true},
        {noon_of(995), 2, 7, false},
        {noon_of(992), 998, 7, false},
        {noon_of(10), 999, 7, true},  // eleven days past
        {noon_of(3), 5, 7, false},
        {noon_of(6), 5, 7, true},
        // Wrap of today's number past 999.
        {noon_of(999), 6, 7, false},
        {noon_of(999), 7, 7, true},
        {noon_of(0), 999, 7, true},
        {noon_of(2), 995, 7, true},
        // More days ahead than a tag made today could be.
        {noon_of(500), 508, 7, true},
        {noon_of(500), 507, 7, false},
        // A ttl of 0: good through the end of the UTC day it was made.
        {42 * day_seconds, 42, 0, false},
        {43 * day_seconds - 1, 42, 0, false},
        {43 * day_seconds, 42, 0, true},
        {noon_of(41), 42, 0, true},
        // A ttl of 999 or more never expires.
        {noon_of(500), 499, 999, false},
        {noon_of(0), 999, 999, false},
        {noon_of(1), 0, 1000, false},
        {noon_of(1), 0, max_ttl, false},
        {noon_of(500), 499, 998, true},
        // Real clocks: day 20003 of the epoch is 3 in the cycle.
        {noon_of(20003), 5, 7, false},
        {noon_of(20003), 995, 7, true},
        // Before the epoch: one second before is day 999 of the cycle.
        {-1, 999, 0, false},
        {-1, 0, 0, true},
        {-day_seconds - 1, 998, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("now " + std::to_string(c.now) + " D " + std::to_string(c.day) + " ttl " +
                     std::to_string(c.ttl));
        char address[64];
        std::snprintf(address, sizeof address, "prvs=0%03d000000=user@example.com", c.day);
        // The hash does not match; expiry is decided for every parsed tag.
        const tag_check r =
            batv_validate_tag(address, tag_form::standard, 0, "secret", c.ttl, c.now);
        ASSERT_EQ(r.tc_status, TAG_PARSED);
        EXPECT_EQ(r.tc_day, c.day);
        EXPECT_EQ(r.tc_expired, c.expired);
    }
}

TEST(ExpiryDay, TodayPlusTtlModuloTheCycle) {
    struct case_ {
        std::time_t now;
        std::uint32_t ttl;
        unsigned expected;
    };
    const case_ cases[] = {
        {0, 7, 7},
        {noon_of(123), 0, 123},
        {124 * day_seconds - 1, 0, 123},
        {noon_of(995), 7, 2},
        {noon_of(992), 7, 999},
        {1700000000, 7, 682},  // day 19675
        {noon_of(0), std::numeric_limits<std::uint32_t>::max(), 295},
        {noon_of(999), std::numeric_limits<std::uint32_t>::max(), 294},
        {-1, 0, 999},
        {-1, 7, 6},
        {-day_seconds, 0, 999},
        {-day_seconds - 1, 0, 998},
        {-1000 * day_seconds, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("now " + std::to_string(c.now) + " ttl " + std::to_string(c.ttl));
        EXPECT_EQ(batv_expiry_day(c.now, c.ttl), c.expected);
    }
}

TEST(RoundTrip, SignedAddressValidatesUntilItsExpiryDay) {
    struct case_ {
        std::string plain;
        tag_form form;
        std::time_t signed_at;
    };
    const case_ cases[] = {
        {"user@example.com", tag_form::standard, 1700000000},
        {"user@example.com", tag_form::sendmail, 1700000000},
        {"a@b@example.org", tag_form::sendmail, noon_of(995)},
        {long_plain, tag_form::standard, noon_of(999)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(form_name(c.form)) + " " + c.plain.substr(0, 20));
        const auto tagged =
            batv_tag_address(c.plain, 4, batv_expiry_day(c.signed_at, 7), long_key, c.form);
        ASSERT_TRUE(tagged.has_value());
        ASSERT_TRUE(batv_is_tagged(*tagged, c.form));
        for (int days = 0; days <= 8; ++days) {
            SCOPED_TRACE(days);
            const tag_check r = batv_validate_tag(*tagged, c.form, 4, long_key, 7,
                                                  c.signed_at + days * day_seconds);
            ASSERT_EQ(r.tc_status, TAG_PARSED);
            EXPECT_TRUE(r.tc_hash_ok);
            EXPECT_EQ(r.tc_plain, c.plain);
            EXPECT_EQ(r.tc_expired, days == 8);
        }
    }
}

TEST(TagsConcurrency, ThreadsTagAndValidateAtOnce) {
    constexpr int thread_count = 8;
    constexpr int rounds = 2000;
    std::vector<int> failures(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < rounds; ++i) {
                const auto tagged =
                    batv_tag_address("user@example.com", 0, 123, "secret", tag_form::standard);
                const tag_check r =
                    batv_validate_tag("user+prvs=0123A3B0CB@example.com", tag_form::sendmail, 0,
                                      "secret", 7, noon_of(120));
                if (!tagged || *tagged != "prvs=0123A3B0CB=user@example.com" ||
                    r.tc_status != TAG_PARSED || !r.tc_hash_ok) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int t = 0; t < thread_count; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
}

}  // namespace
