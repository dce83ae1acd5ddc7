// The rules that select an envelope address for signing (the sender) or
// verifying (each recipient): address normalisation and the selection
// procedure with its explanatory log lines.
#pragma once

#include <libmilter/mfapi.h>

#include <cstddef>
#include <string>
#include <string_view>

enum class select_direction { sign, verify };
enum class select_outcome { failed, skipped, selected };

// The part of address inside matching pairs of a leading '<' and a trailing
// '>', removed from the outside in. Text not beginning with '<' is returned
// whole.
std::string_view batv_without_brackets(std::string_view address);

// The same in place; returns the new length.
std::size_t batv_strip_brackets(char* address, std::size_t length);
inline void batv_strip_brackets(std::string& address) {
    address.resize(batv_strip_brackets(address.data(), address.size()));
}

// Runs the allow list, the domain list, the MTA names, the macro tests and
// the mode bit over address. Allocates nothing.
select_outcome batv_select(SMFICTX* ctx, const char* address, select_direction direction,
                           const char* jobid);
