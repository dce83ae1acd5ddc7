// Text limits of the callbacks and the one place where texts are cut to
// them. Envelope addresses and what is derived from them keep at most
// max_address_length characters, host names and the authserv-id at most
// max_host_length, inserted header values at most max_header_value_length.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "callbacks/settings.h"
#include "tags/tags.h"

inline constexpr std::size_t max_header_value_length = 4096;
// X-BATV values are cut one character shorter than Authentication-Results
// values.
inline constexpr std::size_t max_xbatv_value_length = max_header_value_length - 1;

// The first limit characters of text. A cut is never an error.
constexpr std::string_view cut_text(std::string_view text, std::size_t limit) {
    return text.substr(0, limit);
}

// A text of at most Limit characters in a fixed buffer that is always
// terminated; what would go past the limit is cut off. Lets the callbacks
// build addresses and header values without allocating.
template <std::size_t Limit>
class bounded_text {
  public:
    void append(std::string_view piece) {
        piece = cut_text(piece, Limit - length_);
        std::memcpy(data_ + length_, piece.data(), piece.size());
        length_ += piece.size();
        data_[length_] = '\0';
    }
    // Keeps the first length characters (length <= size()).
    void truncate(std::size_t length) {
        length_ = length < length_ ? length : length_;
        data_[length_] = '\0';
    }
    char* data() { return data_; }
    const char* c_str() const { return data_; }
    std::string_view view() const { return {data_, length_}; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }

  private:
    char data_[Limit + 1] = {};
    std::size_t length_ = 0;
};
