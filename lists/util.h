// Helpers the list loaders share with the matchers of the utility module.
// Private to lists/: other modules use lists/lists.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The network mask, in network byte order, that a mask part after a "/"
// gives: a decimal prefix length of 0 to 32, or a dotted quad as inet_pton
// reads it. Nothing for any other text, blanks included.
std::optional<std::uint32_t> vlcf_parse_mask(std::string_view text);
