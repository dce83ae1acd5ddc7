// Indexes of the lists a client is matched against: the PeerList and the
// internal hosts.
#pragma once

#include <cstddef>

#include "lists/records.h"

// Placeholder: the matchers still walk the records.
struct peer_index {
    void add(const peer_entry&, std::size_t) {}
};

struct internal_index {
    void add(const internal_host&, std::size_t) {}
};
