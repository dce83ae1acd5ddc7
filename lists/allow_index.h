// Index of the allow list, which each selected address is matched against.
//
// Most allow-list patterns name one domain: a glob anchored at the end whose
// text after its last '@' holds no '*', such as *@list.example or
// user*@host.example, can only match an address whose own text after its
// last '@' is that domain, in any case. Those entries are filed by domain.
// Of the other globs, those that begin with literal text, such as
// postmaster@* or bounce*@*.example.org, can only match an address that
// begins with that text; they are filed by it, and a lookup tries each
// length of such a head that occurs. The rest (globs that begin with '*'
// and have no literal domain, regular expressions) are walked in list
// order. A lookup finds the earliest filed entry that matches, then tries
// the walked entries that come before it, which gives what walking the
// whole list would.
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
    // The same for the entries filed under the literal text they begin
    // with, and the lengths of those heads, ascending.
    std::span<const std::size_t> head_bucket(std::string_view head) const;
    const std::vector<std::size_t>& head_lengths() const noexcept { return head_lengths_; }
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

    using bucket_map =
        std::unordered_map<std::string, std::vector<std::size_t>, folded_hash, folded_equal>;

    static void file_under(bucket_map& map, std::string_view key, std::size_t position);
    static std::span<const std::size_t> positions(const bucket_map& map, std::string_view key);

    bucket_map buckets_;  // by domain
    bucket_map heads_;    // by the text before the first '*'
    std::vector<std::size_t> head_lengths_;
    std::vector<std::size_t> walk_;
};
