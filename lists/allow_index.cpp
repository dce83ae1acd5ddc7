// Filing allow-list entries by domain, and the lookup that matches an
// address against the list through that index.
#include "lists/allow_index.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lists/glob.h"
#include "lists/lists.h"

namespace {

// The domain a glob entry is filed under: the text after its last '@',
// when the glob is anchored at the end and that text is literal.
std::optional<std::string_view> glob_domain(const allow_glob& glob) {
    if (!glob.ag_anchored) {
        return std::nullopt;
    }
    const std::string_view text = glob.ag_text;
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view domain = text.substr(at + 1);
    if (domain.find('*') != std::string_view::npos) {
        return std::nullopt;
    }
    return domain;
}

// The literal text a glob begins with: all of it up to the first '*'.
std::string_view glob_head(const allow_glob& glob) {
    const std::string_view text = glob.ag_text;
    return text.substr(0, text.find('*'));
}

// One entry against the address; a regexec status other than a match or
// no match is an error the caller reports.
allow_match match_entry(const allow_entry& entry, std::size_t position, const char* address,
                        std::string_view text) {
    allow_match result;
    result.position = position;
    if (entry.ae_regex) {
        const int status = regexec(entry.ae_regex.get(), address, 0, nullptr, 0);
        if (status == 0) {
            result.result = allow_result::match;
        } else if (status != REG_NOMATCH) {
            result.result = allow_result::error;
            result.regexec_status = status;
            result.regex = entry.ae_regex.get();
        }
    } else if (entry.ae_glob && vlcf_glob_matches(*entry.ae_glob, text)) {
        result.result = allow_result::match;
    }
    return result;
}

}  // namespace

std::size_t allow_index::folded_hash::operator()(std::string_view text) const noexcept {
    // FNV-1a over the lower-case bytes.
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(vlcf_fold(c));
        hash *= 0x100000001b3u;
    }
    return static_cast<std::size_t>(hash);
}

bool allow_index::folded_equal::operator()(std::string_view a, std::string_view b) const noexcept {
    return vlcf_equal_folded(a, b);
}

void allow_index::add(const allow_entry& entry, std::size_t position) {
    if (!entry.ae_regex) {
        if (!entry.ae_glob) {
            // Matches nothing: no lookup needs to see it.
            return;
        }
        if (const auto domain = glob_domain(*entry.ae_glob)) {
            file_under(buckets_, *domain, position);
            return;
        }
        if (const std::string_view head = glob_head(*entry.ae_glob); !head.empty()) {
            file_under(heads_, head, position);
            const auto at =
                std::lower_bound(head_lengths_.begin(), head_lengths_.end(), head.size());
            if (at == head_lengths_.end() || *at != head.size()) {
                head_lengths_.insert(at, head.size());
            }
            return;
        }
    }
    walk_.push_back(position);
}

void allow_index::file_under(bucket_map& map, std::string_view key, std::size_t position) {
    auto found = map.find(key);
    if (found == map.end()) {
        found = map.emplace(std::string(key), std::vector<std::size_t>{}).first;
    }
    found->second.push_back(position);
}

std::span<const std::size_t> allow_index::positions(const bucket_map& map, std::string_view key) {
    const auto found = map.find(key);
    if (found == map.end()) {
        return {};
    }
    return found->second;
}

std::span<const std::size_t> allow_index::bucket(std::string_view domain) const {
    return positions(buckets_, domain);
}

std::span<const std::size_t> allow_index::head_bucket(std::string_view head) const {
    return positions(heads_, head);
}

allow_match vlcf_allow_match(const allow_list_t& list, const char* address) {
    const std::string_view text(address);
    const allow_index& index = list.index();

    // The earliest match among the entries filed under the address's
    // domain or under a text the address begins with (filed entries are
    // globs, which cannot fail)...
    allow_match filed;
    const auto try_bucket = [&](std::span<const std::size_t> bucket) {
        for (const std::size_t position : bucket) {
            if (filed.result == allow_result::match && position > filed.position) {
                return;
            }
            const allow_match found = match_entry(list[position], position, address, text);
            if (found.result == allow_result::match) {
                filed = found;
                return;
            }
        }
    };
    const std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        try_bucket(index.bucket(text.substr(at + 1)));
    }
    for (const std::size_t length : index.head_lengths()) {
        if (length > text.size()) {
            break;
        }
        try_bucket(index.head_bucket(text.substr(0, length)));
    }
    // ...unless an entry walked before it matches or fails first.
    for (const std::size_t position : index.walk()) {
        if (filed.result == allow_result::match && position > filed.position) {
            break;
        }
        const allow_match walked = match_entry(list[position], position, address, text);
        if (walked.result != allow_result::no_match) {
            return walked;
        }
    }
    return filed.result == allow_result::match ? filed : allow_match{};
}
