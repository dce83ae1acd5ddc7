// A list of records in the order the filter walks them, with an index kept
// beside it so that matching a client or an address does not walk them all.
//
// The index is told of each record as it is added, with its position in the
// list. Records are read-only once added (the list hands out only const
// references), so the index can never disagree with them. An index holds
// positions and its own copies of keys, never pointers into the records, so
// a copy of the list (a copy of a settings record) is a complete, valid list
// of its own.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

// Index must be default-constructible, copyable, and have
//   void add(const Entry& entry, std::size_t position);
// which may throw std::bad_alloc.
template <typename Entry, typename Index>
class indexed_list {
  public:
    using value_type = Entry;
    using const_iterator = typename std::vector<Entry>::const_iterator;
    using iterator = const_iterator;

    indexed_list() = default;
    // A list of these records, in walking order. Not explicit: a vector of
    // records is a list.
    indexed_list(std::vector<Entry> entries) : entries_(std::move(entries)) { reindex(); }
    indexed_list(std::initializer_list<Entry> entries)
        : indexed_list(std::vector<Entry>(entries)) {}
    // count default records.
    explicit indexed_list(std::size_t count) : indexed_list(std::vector<Entry>(count)) {}

    // Adds a record at the end. If memory runs out the list is left empty
    // rather than with an index that no longer fits its records; the
    // loaders discard a list that failed anyway.
    void push_back(Entry entry) {
        entries_.push_back(std::move(entry));
        try {
            index_.add(entries_.back(), entries_.size() - 1);
        } catch (...) {
            clear();
            throw;
        }
    }
    template <typename... Args>
    void emplace_back(Args&&... args) {
        push_back(Entry(std::forward<Args>(args)...));
    }
    void clear() {
        entries_.clear();
        index_ = Index{};
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const Entry& operator[](std::size_t position) const { return entries_[position]; }
    const Entry& front() const { return entries_.front(); }
    const Entry& back() const { return entries_.back(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

    const std::vector<Entry>& entries() const noexcept { return entries_; }
    const Index& index() const noexcept { return index_; }

  private:
    void reindex() {
        Index fresh;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            fresh.add(entries_[i], i);
        }
        index_ = std::move(fresh);
    }

    std::vector<Entry> entries_;
    Index index_;
};
