// Building the lists at start-up: the allow list, the internal hosts, the
// domain list, the MTA names, the macro tests and the PeerList, from the
// files and texts the options and configuration keys name. A loader either
// completes the list or says why start-up has to end, with the message and
// exit status; it never exits itself and leaves its output alone on failure.
#include "lists/lists.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lists/util.h"

void regex_deleter::operator()(regex_t* re) const noexcept {
    regfree(re);
    std::default_delete<regex_t>{}(re);
}

namespace {

// List files are read in pieces of at most 511 characters into a buffer of
// 513 bytes; a longer line arrives as several pieces, each a line of its own.
constexpr std::size_t line_buffer_size = 513;
constexpr int line_read_size = 512;
// regerror() texts are cut to 512 characters.
constexpr std::size_t regerror_buffer_size = 513;

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

struct line_buffer {
    std::array<char, line_buffer_size> bytes{};
};

// The next piece of the file, up to its first NUL as the C string functions
// would see it; nothing at the end of input or on a read error.
std::optional<std::string_view> read_piece(std::FILE* file, line_buffer& buffer) {
    if (std::fgets(buffer.bytes.data(), line_read_size, file) == nullptr) {
        return std::nullopt;
    }
    return std::string_view(buffer.bytes.data());
}

// A line up to its first character out of stops.
std::string_view cut_at(std::string_view line, std::string_view stops) {
    return line.substr(0, line.find_first_of(stops));
}

// In the allow-list, internal-hosts and domain files "#" starts a comment
// anywhere in a line; there is no escape for it.
std::string_view without_comment(std::string_view piece) {
    return cut_at(piece, "#\n");
}

// Calls visit for each item of a comma-separated value, skipping the empty
// items between consecutive commas and at either end, the way strtok does.
template <typename Visit>
void for_each_item(std::string_view value, Visit visit) {
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find(',', start);
        if (end == std::string_view::npos) {
            end = value.size();
        }
        if (end > start) {
            visit(value.substr(start, end - start));
        }
        start = end + 1;
    }
}

// The most items a comma-separated value can hold.
std::size_t item_capacity(std::string_view value) {
    return static_cast<std::size_t>(std::count(value.begin(), value.end(), ',')) + 1;
}

list_failure call_failure(std::string_view call, int error, int status) {
    std::string message(call);
    message += "(): ";
    message += std::strerror(error);
    message += '\n';
    return list_failure{std::move(message), status};
}

list_failure file_failure(const std::string& path, std::string_view call, int error, int status) {
    list_failure failure = call_failure(call, error, status);
    failure.message.insert(0, path + ": ");
    return failure;
}

// Compiles one translated allow-list pattern: a basic expression that
// matches letters without regard to case.
std::optional<list_failure> compile_pattern(const std::string& pattern, compiled_regex& out) {
    auto storage = std::make_unique<regex_t>();
    const int rc = regcomp(storage.get(), pattern.c_str(), REG_ICASE);
    if (rc != 0) {
        std::array<char, regerror_buffer_size> text{};
        regerror(rc, storage.get(), text.data(), text.size());
        return list_failure{"regcomp(): " + std::string(text.data()) + "\n", EX_UNAVAILABLE};
    }
    out.reset(storage.release());
    return std::nullopt;
}

// One line of the internal-hosts file: a host name, an address, or an
// address with a prefix length or a dotted mask after a "/".
std::optional<list_failure> parse_internal_host(std::string_view line, const std::string& path,
                                                internal_host& out) {
    const std::size_t slash = line.find('/');
    const std::string address_part(line.substr(0, slash));
    const std::uint32_t address = inet_addr(address_part.c_str());
    if (address == INADDR_NONE) {
        // Not an address: a host name, kept as written, blanks included.
        out.ih_name = address_part;
        return std::nullopt;
    }
    out.ih_addr = address;
    if (slash == std::string_view::npos) {
        out.ih_mask = 0xffffffffu;
        return std::nullopt;
    }
    const std::string mask_part(line.substr(slash + 1));
    char* end = nullptr;
    const unsigned long length = std::strtoul(mask_part.c_str(), &end, 10);
    if (*end == '\0') {
        out.ih_mask = vlcf_prefix_mask(length);
        return std::nullopt;
    }
    const std::uint32_t mask = inet_addr(mask_part.c_str());
    if (mask == INADDR_NONE) {
        return list_failure{
            path + ": invalid CIDR specification `" + address_part + "/" + mask_part + "'\n",
            EX_UNAVAILABLE};
    }
    out.ih_mask = mask;
    return std::nullopt;
}

std::optional<list_failure> load_domain_file(const std::string& path, domain_list_t& out) {
    try {
        file_handle file(std::fopen(path.c_str(), "r"));
        if (!file) {
            return file_failure(path, "fopen", errno, EX_OSERR);
        }
        domain_list_t list;
        line_buffer buffer;
        // A read error ends the list like the end of input does.
        while (const auto piece = read_piece(file.get(), buffer)) {
            std::string name(without_comment(*piece));
            vlcf_trimspaces(name);
            if (!name.empty()) {
                list.push_back(domain_entry{std::move(name)});
            }
        }
        std::reverse(list.begin(), list.end());
        out = std::move(list);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_OSERR);
    }
}

}  // namespace

std::optional<list_failure> load_allow_list(const std::string& path, allow_list_t& out) {
    try {
        file_handle file(std::fopen(path.c_str(), "r"));
        if (!file) {
            return file_failure(path, "fopen", errno, EX_UNAVAILABLE);
        }
        allow_list_t list;
        line_buffer buffer;
        while (const auto piece = read_piece(file.get(), buffer)) {
            const std::string_view line = without_comment(*piece);
            if (batv_isblank(line)) {
                continue;
            }
            // Blanks around the pattern are part of it.
            allow_entry entry;
            if (auto failure = compile_pattern(batv_mkregexp(line), entry.ae_regex)) {
                return failure;
            }
            list.push_back(std::move(entry));
        }
        if (std::ferror(file.get())) {
            return file_failure(path, "fgets", errno, EX_UNAVAILABLE);
        }
        std::reverse(list.begin(), list.end());
        out = std::move(list);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_UNAVAILABLE);
    }
}

std::optional<list_failure> load_internal_hosts(const std::optional<std::string>& path,
                                                internal_hosts_t& out) {
    try {
        if (!path) {
            internal_hosts_t list;
            list.push_back(internal_host{"localhost", htonl(INADDR_LOOPBACK), 0xffffffffu});
            out = std::move(list);
            return std::nullopt;
        }
        file_handle file(std::fopen(path->c_str(), "r"));
        if (!file) {
            return file_failure(*path, "fopen", errno, EX_UNAVAILABLE);
        }
        internal_hosts_t list;
        line_buffer buffer;
        while (const auto piece = read_piece(file.get(), buffer)) {
            const std::string_view line = without_comment(*piece);
            if (batv_isblank(line)) {
                continue;
            }
            internal_host entry;
            if (auto failure = parse_internal_host(line, *path, entry)) {
                return failure;
            }
            list.push_back(std::move(entry));
        }
        if (std::ferror(file.get())) {
            return file_failure(*path, "fgets", errno, EX_UNAVAILABLE);
        }
        std::reverse(list.begin(), list.end());
        out = std::move(list);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_UNAVAILABLE);
    }
}

std::optional<list_failure> load_domain_list(const std::string& value, domain_list_t& out) {
    // An existing absolute path names a file; any other value, a relative
    // or missing path included, is a list of names.
    if (!value.empty() && value.front() == '/' && access(value.c_str(), F_OK) == 0) {
        return load_domain_file(value, out);
    }
    // Settings come from C strings: a value ends at its first NUL.
    const std::string_view text(value.c_str());
    domain_list_t list;
    try {
        list.reserve(item_capacity(text));
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_OSERR);
    }
    try {
        // Within the reserved room only the copies of the names can fail.
        for_each_item(
            text, [&](std::string_view item) { list.push_back(domain_entry{std::string(item)}); });
    } catch (const std::bad_alloc&) {
        return call_failure("strdup", ENOMEM, EX_OSERR);
    }
    std::reverse(list.begin(), list.end());
    out = std::move(list);
    return std::nullopt;
}

std::optional<list_failure> load_mta_list(const std::string& value, mta_list_t& out) {
    const std::string_view text(value.c_str());
    mta_list_t list;
    try {
        list.reserve(item_capacity(text));
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_UNAVAILABLE);
    }
    try {
        for_each_item(text, [&](std::string_view item) { list.emplace_back(item); });
    } catch (const std::bad_alloc&) {
        return call_failure("strdup", ENOMEM, EX_UNAVAILABLE);
    }
    out = std::move(list);
    return std::nullopt;
}

std::optional<list_failure> load_macro_list(const std::string& value, macro_list_t& out) {
    const std::string_view text(value.c_str());
    macro_list_t list;
    try {
        list.macro_names.reserve(item_capacity(text));
        list.macro_values.reserve(item_capacity(text));
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_UNAVAILABLE);
    }
    try {
        for_each_item(text, [&](std::string_view item) {
            // The first "=" ends the name; the alternatives after it stay
            // together, later "=" included.
            const std::size_t equals = item.find('=');
            std::optional<std::string> alternatives;
            if (equals != std::string_view::npos) {
                alternatives.emplace(item.substr(equals + 1));
            }
            list.macro_names.emplace_back(item.substr(0, equals));
            list.macro_values.push_back(std::move(alternatives));
        });
    } catch (const std::bad_alloc&) {
        return call_failure("strdup", ENOMEM, EX_UNAVAILABLE);
    }
    out = std::move(list);
    return std::nullopt;
}

bool vlcf_load_list(std::FILE* stream, peer_list_t& out) {
    if (stream == nullptr) {
        out = peer_list_t{};
        return true;
    }
    try {
        peer_list_t list;
        line_buffer buffer;
        // Every line is an entry: no comments, no blank lines, no trimming.
        while (const auto piece = read_piece(stream, buffer)) {
            std::string_view line = cut_at(*piece, "\n");
            peer_entry entry;
            if (!line.empty() && line.front() == '!') {
                entry.pe_negate = true;
                line.remove_prefix(1);
            }
            entry.pe_name.assign(line);
            list.push_back(std::move(entry));
        }
        out = std::move(list);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
