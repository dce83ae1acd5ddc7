// Building the lists at start-up: the allow list, the internal hosts, the
// domain list, the MTA names, the macro tests and the PeerList, from the
// files and texts the options and configuration keys name. A loader either
// completes the list or says why start-up has to end, with the message and
// exit status; it never exits itself and leaves its output alone on failure.
//
// List files must be regular files. They are read line by line; a carriage
// return just before a newline belongs to the line end, and the text of a
// line (before its comment, in the files that have comments) may be at most
// 511 characters long. A longer line is an error, never cut into pieces.
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
#include <vector>

#include "lists/glob.h"
#include "lists/util.h"
#include "textfile/textfile.h"

void regex_deleter::operator()(regex_t* re) const noexcept {
    regfree(re);
    std::default_delete<regex_t>{}(re);
}

namespace {

// regerror() texts are cut to 512 characters.
constexpr std::size_t regerror_buffer_size = 513;

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

// Opens a list file, which must be a regular file. A failing open is
// reported as fopen(), the way every file of the filter is.
std::optional<list_failure> open_list_file(const std::string& path, int status, textfile_ptr& out) {
    textfile_open_result opened = textfile_open(path.c_str());
    if (opened.not_regular) {
        return list_failure{path + ": not a regular file\n", status};
    }
    if (!opened.file) {
        const std::string_view call(opened.failed_call);
        return file_failure(path, call == "open" ? "fopen" : call, opened.error, status);
    }
    out = std::move(opened.file);
    return std::nullopt;
}

// Why reading stopped before the end of the file, or nothing at the end.
std::optional<list_failure> reading_failure(textfile_status status, const textfile_reader& reader,
                                            const std::string& path, int list_status) {
    switch (status) {
        case textfile_status::too_long:
            return list_failure{path + ": line " + std::to_string(reader.line_number()) +
                                    " is longer than " + std::to_string(textfile_max_line_length) +
                                    " characters\n",
                                list_status};
        case textfile_status::read_error:
            return file_failure(path, "fgets", reader.error(), list_status);
        default:
            return std::nullopt;
    }
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

// Compiles one translated allow-list pattern: a basic expression that
// matches letters without regard to case.
std::optional<list_failure> compile_pattern(const std::string& pattern,
                                            std::shared_ptr<const regex_t>& out) {
    auto storage = std::make_unique<regex_t>();
    const int rc = regcomp(storage.get(), pattern.c_str(), REG_ICASE);
    if (rc != 0) {
        std::array<char, regerror_buffer_size> text{};
        regerror(rc, storage.get(), text.data(), text.size());
        return list_failure{"regcomp(): " + std::string(text.data()) + "\n", EX_UNAVAILABLE};
    }
    out = compiled_regex(storage.release());
    return std::nullopt;
}

// ::1
std::array<std::uint8_t, 16> loopback6() {
    std::array<std::uint8_t, 16> address{};
    address.back() = 1;
    return address;
}

std::string invalid_cidr(const std::string& path, std::string_view address_part,
                         std::string_view mask_part) {
    std::string message = path + ": invalid CIDR specification `";
    message.append(address_part);
    message += '/';
    message.append(mask_part);
    message += "'\n";
    return message;
}

// The IPv6 address an internal-hosts address part spells, bare or in
// brackets; blanks may follow, as they may follow an IPv4 address.
std::optional<std::array<std::uint8_t, 16>> internal_ipv6_address(std::string text) {
    vlcf_trimspaces(text);
    return vlcf_parse_ipv6_literal(text);
}

// An IPv6 entry of the internal-hosts file, with the prefix length 128 or
// the one after a "/", 0 to 128. An IPv4-mapped network of 96 bits or more
// is kept as the IPv4 network it stands for, so that it admits the same
// clients as that network and follows the same rules.
std::optional<list_failure> parse_internal_ipv6(const std::array<std::uint8_t, 16>& address,
                                                bool has_prefix, const std::string& address_part,
                                                const std::string& mask_part,
                                                const std::string& path, internal_host& out) {
    ipv6_network network{address, 128};
    if (has_prefix) {
        // Only a prefix length: IPv6 has no dotted masks.
        const std::optional<unsigned> prefix = vlcf_parse_prefix(mask_part, 128);
        if (!prefix) {
            return list_failure{invalid_cidr(path, address_part, mask_part), EX_UNAVAILABLE};
        }
        network.n6_prefix = *prefix;
    }
    if (const std::optional<ipv4_network> v4 = vlcf_mapped_ipv4(network)) {
        out.ih_addr = v4->address;
        out.ih_mask = v4->mask;
    } else {
        out.ih_net6 = network;
    }
    return std::nullopt;
}

// One line of the internal-hosts file: a host name, an address, or an
// address with a prefix length (or, for IPv4, a dotted mask) after a "/".
std::optional<list_failure> parse_internal_host(std::string_view line, const std::string& path,
                                                internal_host& out) {
    const std::size_t slash = line.find('/');
    const std::string address_part(line.substr(0, slash));
    // The blanks between a mask and its comment are not part of the mask.
    std::string mask_part;
    if (slash != std::string_view::npos) {
        mask_part.assign(line.substr(slash + 1));
        vlcf_trimspaces(mask_part);
        // A network without its address is no host name either: as an empty
        // name it would match every client that has no name.
        if (batv_isblank(address_part)) {
            return list_failure{invalid_cidr(path, address_part, mask_part), EX_UNAVAILABLE};
        }
    }
    const std::uint32_t address = inet_addr(address_part.c_str());
    if (address == INADDR_NONE) {
        if (const auto v6 = internal_ipv6_address(address_part)) {
            return parse_internal_ipv6(*v6, slash != std::string_view::npos, address_part,
                                       mask_part, path, out);
        }
        // Not an address: a host name, kept as written, blanks included.
        // A mistyped IPv6 address becomes a name too, as a mistyped IPv4
        // address always has.
        out.ih_name = address_part;
        return std::nullopt;
    }
    out.ih_addr = address;
    if (slash == std::string_view::npos) {
        out.ih_mask = 0xffffffffu;
        return std::nullopt;
    }
    const std::optional<std::uint32_t> mask = vlcf_parse_mask(mask_part);
    if (!mask) {
        return list_failure{invalid_cidr(path, address_part, mask_part), EX_UNAVAILABLE};
    }
    out.ih_mask = *mask;
    return std::nullopt;
}

std::optional<list_failure> load_domain_file(const std::string& path, domain_list_t& out) {
    try {
        textfile_ptr file;
        if (auto failure = open_list_file(path, EX_OSERR, file)) {
            return failure;
        }
        domain_list_t list;
        textfile_reader reader(file.get(), textfile_comments::hash);
        std::string name;
        textfile_status status;
        while ((status = reader.next(name)) == textfile_status::line) {
            vlcf_trimspaces(name);
            if (!name.empty()) {
                list.push_back(domain_entry{name});
            }
        }
        // A list cut short would widen what is signed and verified, so a
        // read error ends start-up like a file that cannot be opened.
        if (auto failure = reading_failure(status, reader, path, EX_OSERR)) {
            return failure;
        }
        std::reverse(list.begin(), list.end());
        out = std::move(list);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_OSERR);
    }
}

// Reads an open PeerList file; path names it in the messages.
std::optional<list_failure> read_peer_list(std::FILE* stream, const std::string& path,
                                           peer_list_t& out) {
    try {
        peer_list_t list;
        textfile_reader reader(stream, textfile_comments::none);
        std::string text;
        textfile_status status;
        // Every line is an entry: no comments, no blank lines, no trimming.
        while ((status = reader.next(text)) == textfile_status::line) {
            std::string_view line = text;
            peer_entry entry;
            if (!line.empty() && line.front() == '!') {
                entry.pe_negate = true;
                line.remove_prefix(1);
            }
            entry.pe_name.assign(line);
            list.push_back(std::move(entry));
        }
        if (auto failure = reading_failure(status, reader, path, EX_UNAVAILABLE)) {
            return failure;
        }
        out = std::move(list);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return list_failure{"failed to load PeerList from " + path + "\n", EX_UNAVAILABLE};
    }
}

}  // namespace

std::optional<list_failure> load_allow_list(const std::string& path, allow_list_t& out) {
    try {
        textfile_ptr file;
        if (auto failure = open_list_file(path, EX_UNAVAILABLE, file)) {
            return failure;
        }
        std::vector<allow_entry> list;
        textfile_reader reader(file.get(), textfile_comments::hash);
        std::string line;
        textfile_status status;
        while ((status = reader.next(line)) == textfile_status::line) {
            if (batv_isblank(line)) {
                continue;
            }
            // Blanks around the pattern are part of it.
            allow_entry entry;
            if (auto failure = vlcf_allow_entry(line, entry)) {
                return failure;
            }
            list.push_back(std::move(entry));
        }
        if (auto failure = reading_failure(status, reader, path, EX_UNAVAILABLE)) {
            return failure;
        }
        std::reverse(list.begin(), list.end());
        out = allow_list_t(std::move(list));
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return call_failure("malloc", ENOMEM, EX_UNAVAILABLE);
    }
}

std::optional<list_failure> vlcf_allow_entry(std::string_view line, allow_entry& out) {
    // regcomp reads the translation as a C string, up to its first NUL; the
    // glob is read the same way.
    const std::string pattern = batv_mkregexp(line);
    allow_entry entry;
    entry.ae_glob = vlcf_glob_of_regexp(pattern);
    if (!entry.ae_glob) {
        if (auto failure = compile_pattern(pattern, entry.ae_regex)) {
            return failure;
        }
    }
    out = std::move(entry);
    return std::nullopt;
}

std::optional<list_failure> load_internal_hosts(const std::optional<std::string>& path,
                                                internal_hosts_t& out) {
    try {
        if (!path) {
            internal_hosts_t list;
            list.push_back(internal_host{"localhost", htonl(INADDR_LOOPBACK), 0xffffffffu,
                                         ipv6_network{loopback6(), 128}});
            out = std::move(list);
            return std::nullopt;
        }
        textfile_ptr file;
        if (auto failure = open_list_file(*path, EX_UNAVAILABLE, file)) {
            return failure;
        }
        std::vector<internal_host> list;
        textfile_reader reader(file.get(), textfile_comments::hash);
        std::string line;
        textfile_status status;
        while ((status = reader.next(line)) == textfile_status::line) {
            if (batv_isblank(line)) {
                continue;
            }
            internal_host entry;
            if (auto failure = parse_internal_host(line, *path, entry)) {
                return failure;
            }
            list.push_back(std::move(entry));
        }
        if (auto failure = reading_failure(status, reader, *path, EX_UNAVAILABLE)) {
            return failure;
        }
        std::reverse(list.begin(), list.end());
        out = internal_hosts_t(std::move(list));
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
    return !read_peer_list(stream, "", out).has_value();
}

std::optional<list_failure> load_peer_list(const std::string& path, peer_list_t& out) {
    textfile_ptr file;
    try {
        if (auto failure = open_list_file(path, EX_UNAVAILABLE, file)) {
            return failure;
        }
    } catch (const std::bad_alloc&) {
        return list_failure{"failed to load PeerList from " + path + "\n", EX_UNAVAILABLE};
    }
    return read_peer_list(file.get(), path, out);
}
