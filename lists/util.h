// Helpers the list loaders share with the matchers of the utility module.
// Private to lists/: other modules use lists/lists.h.
#pragma once

#include <cstdint>

// The network mask, in network byte order, for a prefix length given as an
// unsigned long the way strtoul returns it. Only the low 32 bits count, read
// as a signed number: 0 or less gives no bits, 1 to 32 the top bits, more
// than 32 all bits.
std::uint32_t vlcf_prefix_mask(unsigned long length);
