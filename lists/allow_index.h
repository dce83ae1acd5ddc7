// Index of the allow list, which each selected address is matched against.
//
// Most allow-list patterns name one domain: a glob anchored at the end whose
// text after its last '@' holds no '*', such as *@list.example or
// user*@host.example, can only match an address whose own text after its
// last '@' is that domain, in any case. Those entries are filed by domain;
// every other entry (globs without such a domain, regular expressions) is
// walked in list order. A lookup tries the bucket of the address's domain
// and those of the walked entries that come before the bucket's first match,
// which gives what walking the whole list would.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lists/records.h"

class allow_index {
  public:
    void add(const allow_entry& entry, std::size_t position);

    // Positions, in ascending order, of the entries filed under domain,
    // compared ASCII case-insensitively.
    std::span<const std::size_t> bucket(std::string_view domain) const;
    // Positions, in ascending order, of the entries every lookup walks.
    const std::vector<std::size_t>& walk() const noexcept { return walk_; }

  private:
    // Keys are kept in lower case and looked up in any case, without a
    // lower-case copy of the address.
    struct folded_hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept;
    };
    struct folded_equal {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept;
    };

    std::unordered_map<std::string, std::vector<std::size_t>, folded_hash, folded_equal> buckets_;
    std::vector<std::size_t> walk_;
};
