// Reader of the key/value configuration format.
//
// A file is read line by line; a line ends at its newline, and a carriage
// return just before the newline is part of the line end, not of the line.
// A line is cut at its first '#' (or NUL), and what stands before the cut
// may be at most 511 characters long; a comment may be of any length. What
// is left is split into tokens on runs of spaces and tabs; the first token
// names a key of the caller's table, the second is its value. Include lines
// read another file in place, up to six files deep.
//
// Only regular files are read (standard input aside): a device or a FIFO
// would never end, or block start-up before the first byte.
//
// Each file's settings are collected in reading order, with an included
// file's settings spliced in where its Include line stood, and the result is
// reversed once at the end of the file. The list thus runs from the setting
// read last to the one read first, which is what lets config_get take the
// first match as the one that wins.
#include "config/config.h"

#include <strings.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "textfile/textfile.h"

std::int32_t config_errcode = 0;

namespace {

// Why a file could not be read, told by config_error_reason.
enum class read_reason { none, system, not_regular, too_long };
read_reason config_reason = read_reason::none;
int config_reason_errno = 0;

// The top file and five levels of files included below it.
constexpr int config_max_depth = 6;

constexpr const char* stdin_name = "(stdin)";

// The error codes, as config_error tells them.
constexpr std::int32_t err_none = 0;
constexpr std::int32_t err_missing = 1;
constexpr std::int32_t err_unknown_key = 2;
constexpr std::int32_t err_bad_value = 3;
constexpr std::int32_t err_too_deep = 4;
constexpr std::int32_t err_read = 5;
constexpr std::int32_t err_memory = 6;

void set_reason(read_reason reason, int error = 0) {
    config_reason = reason;
    config_reason_errno = error;
}

// Copies src into dst of size bytes, cut to fit and always terminated.
void copy_cut(char* dst, std::size_t size, const char* src) {
    if (size == 0) {
        return;
    }
    const std::size_t length = std::min(std::strlen(src), size - 1);
    std::memcpy(dst, src, length);
    dst[length] = '\0';
}

// Where reading stopped, for the caller's message.
struct failure_report {
    std::uint32_t* lineno;
    char* errpath;
    std::size_t errpathsize;

    void operator()(std::uint32_t line, const char* path) const {
        if (lineno != nullptr) {
            *lineno = line;
        }
        if (errpath != nullptr) {
            copy_cut(errpath, errpathsize, path);
        }
    }
};

// The next token of a line that is split in place on runs of spaces and
// tabs, as strtok does, but with the position kept by the caller. Returns
// null when the line holds no more tokens.
char* next_token(char*& pos) {
    pos += std::strspn(pos, " \t");
    if (*pos == '\0') {
        return nullptr;
    }
    char* token = pos;
    pos += std::strcspn(pos, " \t");
    if (*pos != '\0') {
        *pos++ = '\0';
    }
    return token;
}

const config_def* find_def(const config_def* def, const char* key) {
    for (; def->def_name != nullptr; ++def) {
        if (strcasecmp(def->def_name, key) == 0) {
            return def;
        }
    }
    return nullptr;
}

// A whole number in any base strtol knows, with nothing after it. The low
// 32 bits of the number are kept, and the whole number when it fits in 64.
bool parse_integer(const char* token, std::int32_t& out, std::optional<std::int64_t>& wide) {
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(token, &end, 0);
    if (*end != '\0') {
        return false;
    }
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
    if (errno == ERANGE) {
        wide.reset();
    } else {
        wide = number;
    }
    return true;
}

// 0 or 1 as the first character of a token says, -1 when it says neither.
int parse_boolean(const char* token) {
    switch (token[0]) {
        case '0':
        case 'F':
        case 'N':
        case 'f':
        case 'n':
            return 0;
        case '1':
        case 'T':
        case 'Y':
        case 't':
        case 'y':
            return 1;
        default:
            return -1;
    }
}

// Fills entry from the value tokens of a string, integer or boolean line.
// Returns the error code of the line, 0 when it is good.
std::int32_t fill_entry(config_entry& entry, const config_def& def, char* value, char* pos) {
    entry.ce_type = def.def_type;
    entry.ce_name = def.def_name;
    switch (def.def_type) {
        case CFG_STRING:
            entry.ce_text = value;
            return err_none;
        case CFG_INTEGER:
            return parse_integer(value, entry.ce_int, entry.ce_wide) ? err_none : err_bad_value;
        case CFG_BOOLEAN:
            // Every token counts and the last one decides, but a bad one
            // anywhere spoils the line.
            for (char* token = value; token != nullptr; token = next_token(pos)) {
                const int flag = parse_boolean(token);
                if (flag < 0) {
                    return err_bad_value;
                }
                entry.ce_bool = static_cast<std::uint8_t>(flag);
            }
            return err_none;
        default:
            return err_bad_value;
    }
}

// Reads the lines of an open file; see config_load_level.
std::optional<config_list> read_lines(std::FILE* in, const char* path, const config_def* def,
                                      const failure_report& report, int level) {
    std::string text;
    config_list read;  // in reading order until the end of the file
    textfile_reader reader(in, textfile_comments::hash);

    while (true) {
        textfile_status status = textfile_status::read_error;
        try {
            status = reader.next(text);
        } catch (const std::bad_alloc&) {
            config_errcode = err_memory;
            report(reader.line_number() + 1, path);
            return std::nullopt;
        }
        if (status == textfile_status::end) {
            break;
        }
        if (status == textfile_status::read_error) {
            set_reason(read_reason::system, reader.error());
            config_errcode = err_read;
            report(0, path);
            return std::nullopt;
        }
        const std::uint32_t line = reader.line_number();
        if (status == textfile_status::too_long) {
            set_reason(read_reason::too_long);
            config_errcode = err_read;
            report(line, path);
            return std::nullopt;
        }

        char* pos = text.data();
        const char* key = next_token(pos);
        if (key == nullptr) {
            continue;
        }
        const config_def* key_def = find_def(def, key);
        if (key_def == nullptr) {
            config_errcode = err_unknown_key;
            report(line, path);
            return std::nullopt;
        }
        char* value = next_token(pos);
        if (value == nullptr) {
            config_errcode = err_missing;
            report(line, path);
            return std::nullopt;
        }

        try {
            if (key_def->def_type == CFG_INCLUDE) {
                auto nested = config_load_level(value, def, report.lineno, report.errpath,
                                                report.errpathsize, level + 1);
                if (!nested) {
                    // A file refused for its depth cannot tell which line
                    // asked for it; this one can.
                    if (level + 1 >= config_max_depth) {
                        report(line, path);
                    }
                    return std::nullopt;
                }
                read.insert(read.end(), std::make_move_iterator(nested->rbegin()),
                            std::make_move_iterator(nested->rend()));
                continue;
            }
            config_entry entry;
            const std::int32_t code = fill_entry(entry, *key_def, value, pos);
            if (code != err_none) {
                config_errcode = code;
                report(line, path);
                return std::nullopt;
            }
            read.push_back(std::move(entry));
        } catch (const std::bad_alloc&) {
            config_errcode = err_memory;
            report(line, path);
            return std::nullopt;
        }
    }

    if (read.empty()) {
        // An empty result would mean failure: a file without settings
        // yields one entry that matches no key.
        try {
            read.emplace_back();
        } catch (const std::bad_alloc&) {
            config_errcode = err_memory;
            report(0, path);
            return std::nullopt;
        }
    }
    std::reverse(read.begin(), read.end());
    config_errcode = err_none;
    return read;
}

}  // namespace

std::optional<config_list> config_load(const char* filename, const config_def* def,
                                       std::uint32_t* lineno, char* errpath,
                                       std::size_t errpathsize) {
    config_errcode = -1;
    set_reason(read_reason::none);
    return config_load_level(filename, def, lineno, errpath, errpathsize, 0);
}

std::optional<config_list> config_load_level(const char* filename, const config_def* def,
                                             std::uint32_t* lineno, char* errpath,
                                             std::size_t errpathsize, int level) {
    assert(def != nullptr);
    const failure_report report{lineno, errpath, errpathsize};
    const bool from_stdin = filename == nullptr || std::strcmp(filename, "-") == 0;
    const char* path = from_stdin ? stdin_name : filename;

    if (level >= config_max_depth) {
        // Nothing is opened. An including file replaces this with its own
        // Include line.
        config_errcode = err_too_deep;
        report(0, path);
        return std::nullopt;
    }

    if (from_stdin) {
        // Standard input belongs to the process and is never closed here.
        return read_lines(stdin, path, def, report, level);
    }
    const textfile_open_result opened = textfile_open(filename);
    if (!opened.file) {
        if (opened.not_regular) {
            set_reason(read_reason::not_regular);
        } else {
            set_reason(read_reason::system, opened.error);
        }
        config_errcode = err_read;
        report(0, path);
        return std::nullopt;
    }
    return read_lines(opened.file.get(), path, def, report, level);
}

const char* config_check(const config_list& head, const config_def* def) {
    assert(def != nullptr);
    config_errcode = -1;
    for (; def->def_name != nullptr; ++def) {
        if (def->def_required == 0) {
            continue;
        }
        // The entry must name this very table entry, not merely an equal text.
        const bool present = std::any_of(head.begin(), head.end(), [def](const config_entry& e) {
            return e.ce_name == def->def_name;
        });
        if (!present) {
            config_errcode = err_missing;
            return def->def_name;
        }
    }
    config_errcode = err_none;
    return nullptr;
}

namespace {

// The entry that wins for key name, or null. The empty-file record has an
// empty name and must match no key, not even an empty one.
const config_entry* find_entry(const config_list& head, const char* name) {
    const auto found = std::find_if(head.begin(), head.end(), [name](const config_entry& e) {
        return e.ce_name != nullptr && e.ce_name[0] != '\0' && strcasecmp(e.ce_name, name) == 0;
    });
    return found == head.end() ? nullptr : &*found;
}

}  // namespace

int config_get(const config_list& head, const char* name, void* value, std::size_t size) {
    assert(name != nullptr);
    assert(value != nullptr);
    assert(size > 0);
    config_errcode = -1;

    const config_entry* found = find_entry(head, name);
    if (found == nullptr) {
        config_errcode = err_none;
        return 0;
    }

    switch (found->ce_type) {
        case CFG_INTEGER:
            if (size == sizeof(std::int32_t)) {
                std::memcpy(value, &found->ce_int, sizeof(std::int32_t));
                return 1;
            }
            break;
        case CFG_BOOLEAN:
            if (size == sizeof(std::int32_t)) {
                const std::int32_t flag = found->ce_bool != 0 ? 1 : 0;
                std::memcpy(value, &flag, sizeof flag);
                return 1;
            }
            break;
        case CFG_STRING:
            if (size == sizeof(const char*)) {
                const char* text = found->ce_text.c_str();
                std::memcpy(value, &text, sizeof text);
                return 1;
            }
            break;
        default:
            break;
    }
    config_errcode = err_bad_value;
    return -1;
}

int config_get_int64(const config_list& head, const char* name, std::int64_t& value) {
    assert(name != nullptr);
    config_errcode = -1;
    const config_entry* found = find_entry(head, name);
    if (found == nullptr) {
        config_errcode = err_none;
        return 0;
    }
    if (found->ce_type != CFG_INTEGER || !found->ce_wide) {
        config_errcode = err_bad_value;
        return -1;
    }
    value = *found->ce_wide;
    return 1;
}

void config_free(config_list& head) {
    config_list().swap(head);
}

const char* config_error() {
    switch (config_errcode) {
        case err_none:
            return "no error";
        case err_missing:
            return "required value missing";
        case err_unknown_key:
            return "unrecognized parameter";
        case err_bad_value:
            return "illegal value";
        case err_too_deep:
            return "nesting too deep";
        case err_read:
            return "error reading configuration file";
        case err_memory:
            return "memory allocation failure";
        default:
            return "unknown error";
    }
}

const char* config_error_reason() {
    if (config_errcode != err_read) {
        return "";
    }
    switch (config_reason) {
        case read_reason::system:
            return std::strerror(config_reason_errno);
        case read_reason::not_regular:
            return "not a regular file";
        case read_reason::too_long:
            return "line longer than 511 characters";
        default:
            return "";
    }
}
