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
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
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

// The longest line of a list file, not counting its comment and line end.
constexpr std::size_t max_line_length = 511;
// Lines are read in pieces of at most 511 characters and joined.
constexpr int line_read_size = 512;
// regerror() texts are cut to 512 characters.
constexpr std::size_t regerror_buffer_size = 513;

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using list_file = std::unique_ptr<std::FILE, file_closer>;

// A descriptor until it is handed over to a stream.
class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

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

// Opens a list file for reading, refusing anything but a regular file: a
// device or a FIFO would never end, or block start-up before the first
// byte. The open does not wait for a FIFO's writer; blocking reads are
// turned back on once the file is known to be regular. A failing open is
// reported as fopen(), the way every file of the filter is.
std::optional<list_failure> open_list_file(const std::string& path, int status, list_file& out) {
    descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return file_failure(path, "fopen", errno, status);
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        return file_failure(path, "fstat", errno, status);
    }
    if (!S_ISREG(st.st_mode)) {
        return list_failure{path + ": not a regular file\n", status};
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return file_failure(path, "fcntl", errno, status);
    }
    list_file file(fdopen(fd.get(), "r"));
    if (!file) {
        return file_failure(path, "fdopen", errno, status);
    }
    fd.release();
    out = std::move(file);
    return std::nullopt;
}

// Whether '#' starts a comment in a file.
enum class comments { none, hash };

enum class line_status { line, end, too_long, read_error };

// Reads whole lines of one list file and counts them.
class line_reader {
  public:
    line_reader(std::FILE* file, comments rule) : file_(file), rule_(rule) {}

    // Reads the next line into text: the part before its first NUL (and its
    // first '#' in files with comments), without the line end. A line whose
    // text is longer than max_line_length is read to its end but reported
    // as too long.
    line_status next(std::string& text) {
        text.clear();
        bool read_any = false;
        bool cut = false;       // a comment or a NUL ended the text
        bool overflow = false;  // text was dropped for its length
        const std::string_view stops =
            rule_ == comments::hash ? std::string_view("#\0", 2) : std::string_view("\0", 1);
        while (true) {
            // fgets writes a NUL after the bytes read and leaves the rest of
            // the buffer alone: with the buffer filled with non-NUL bytes
            // first, the last NUL ends the piece even when it holds NULs.
            buffer_.fill('\n');
            if (std::fgets(buffer_.data(), line_read_size, file_) == nullptr) {
                if (std::ferror(file_)) {
                    error_ = errno;
                    return line_status::read_error;
                }
                if (!read_any) {
                    return line_status::end;
                }
                break;
            }
            read_any = true;
            const std::string_view all(buffer_.data(), buffer_.size());
            std::string_view piece = all.substr(0, all.find_last_of('\0'));
            const bool line_ends = !piece.empty() && piece.back() == '\n';
            if (line_ends) {
                piece.remove_suffix(1);
            }
            if (!cut) {
                const std::size_t stop = piece.find_first_of(stops);
                if (stop != std::string_view::npos) {
                    piece = piece.substr(0, stop);
                    cut = true;
                }
                // One character more than the limit is kept, so that the
                // CRLF line end of a line at the limit can be told from text.
                const std::size_t room = max_line_length + 1 - text.size();
                if (piece.size() > room) {
                    piece = piece.substr(0, room);
                    overflow = true;
                }
                text.append(piece);
            }
            if (line_ends) {
                break;
            }
        }
        ++line_;
        if (!cut && !overflow && !text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        return overflow || text.size() > max_line_length ? line_status::too_long
                                                         : line_status::line;
    }

    std::uint32_t line_number() const { return line_; }
    // The system's error number of a read error.
    int error() const { return error_; }

  private:
    std::FILE* file_;
    comments rule_;
    std::uint32_t line_ = 0;
    int error_ = 0;
    std::array<char, line_read_size> buffer_{};
};

// Why reading stopped before the end of the file, or nothing at the end.
std::optional<list_failure> reading_failure(line_status status, const line_reader& reader,
                                            const std::string& path, int list_status) {
    switch (status) {
        case line_status::too_long:
            return list_failure{path + ": line " + std::to_string(reader.line_number()) +
                                    " is longer than " + std::to_string(max_line_length) +
                                    " characters\n",
                                list_status};
        case line_status::read_error:
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

std::string invalid_cidr(const std::string& path, std::string_view address_part,
                         std::string_view mask_part) {
    std::string message = path + ": invalid CIDR specification `";
    message.append(address_part);
    message += '/';
    message.append(mask_part);
    message += "'\n";
    return message;
}

// One line of the internal-hosts file: a host name, an address, or an
// address with a prefix length or a dotted mask after a "/".
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
        // Not an address: a host name, kept as written, blanks included.
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
        list_file file;
        if (auto failure = open_list_file(path, EX_OSERR, file)) {
            return failure;
        }
        domain_list_t list;
        line_reader reader(file.get(), comments::hash);
        std::string name;
        line_status status;
        while ((status = reader.next(name)) == line_status::line) {
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
        line_reader reader(stream, comments::none);
        std::string text;
        line_status status;
        // Every line is an entry: no comments, no blank lines, no trimming.
        while ((status = reader.next(text)) == line_status::line) {
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
        list_file file;
        if (auto failure = open_list_file(path, EX_UNAVAILABLE, file)) {
            return failure;
        }
        allow_list_t list;
        line_reader reader(file.get(), comments::hash);
        std::string line;
        line_status status;
        while ((status = reader.next(line)) == line_status::line) {
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
        if (auto failure = reading_failure(status, reader, path, EX_UNAVAILABLE)) {
            return failure;
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
        list_file file;
        if (auto failure = open_list_file(*path, EX_UNAVAILABLE, file)) {
            return failure;
        }
        internal_hosts_t list;
        line_reader reader(file.get(), comments::hash);
        std::string line;
        line_status status;
        while ((status = reader.next(line)) == line_status::line) {
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
    return !read_peer_list(stream, "", out).has_value();
}

std::optional<list_failure> load_peer_list(const std::string& path, peer_list_t& out) {
    list_file file;
    try {
        if (auto failure = open_list_file(path, EX_UNAVAILABLE, file)) {
            return failure;
        }
    } catch (const std::bad_alloc&) {
        return list_failure{"failed to load PeerList from " + path + "\n", EX_UNAVAILABLE};
    }
    return read_peer_list(file.get(), path, out);
}
