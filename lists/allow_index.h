// Index of the allow list, which each selected address is matched against.
#pragma once

#include <cstddef>

#include "lists/records.h"

// Placeholder: the matcher still walks the records.
struct allow_index {
    void add(const allow_entry&, std::size_t) {}
};
