// Bounce address tags computed the plain way, straight from their
// definition, to check the daemon's tags against: SHA-1 (OpenSSL's EVP
// interface) over the key number, the three-digit day, the plain address and
// the key, with nothing between them; the first three digest bytes as
// upper-case hexadecimal digits.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace prvs_oracle {

// The day number within the 1000-day cycle of a time.
unsigned day_of(std::time_t t);

// The six hexadecimal digits for key number k, day d, plain address and key.
std::string hash_digits(int k, unsigned d, std::string_view plain, std::string_view key);

// "prvs=KDDDHHHHHH=plain".
std::string standard_address(int k, unsigned d, std::string_view plain, std::string_view key);

// "local+prvs=KDDDHHHHHH@domain".
std::string sendmail_address(int k, unsigned d, std::string_view plain, std::string_view key);

}  // namespace prvs_oracle
