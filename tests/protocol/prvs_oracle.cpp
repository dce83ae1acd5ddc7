// Bounce address tags from their definition, for checking the daemon.
#include "tests/protocol/prvs_oracle.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace prvs_oracle {

unsigned day_of(std::time_t t) {
    return static_cast<unsigned>(t / 86400 % 1000);
}

std::string hash_digits(int k, unsigned d, std::string_view plain, std::string_view key) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%1d%03u", k, d);
    std::string input = std::string(prefix) + std::string(plain) + std::string(key);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_Digest(input.data(), input.size(), md, &md_len, EVP_sha1(), nullptr) != 1) {
        throw std::runtime_error("EVP_Digest() failed");
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X", md[0], md[1], md[2]);
    return hex;
}

std::string standard_address(int k, unsigned d, std::string_view plain, std::string_view key) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%1d%03u", k, d);
    return "prvs=" + std::string(tag) + hash_digits(k, d, plain, key) + "=" + std::string(plain);
}

std::string sendmail_address(int k, unsigned d, std::string_view plain, std::string_view key) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%1d%03u", k, d);
    std::size_t at = plain.find('@');
    std::string local(plain.substr(0, at));
    std::string rest = at == std::string_view::npos ? std::string() : std::string(plain.substr(at));
    return local + "+prvs=" + tag + hash_digits(k, d, plain, key) + rest;
}

}  // namespace prvs_oracle
