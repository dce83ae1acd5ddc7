// Reader of the key/value configuration format: one "Key value" per line,
// '#' comments, Include files nested up to six deep. Values are checked
// against a table of known keys and their types, then handed out by key.
// Only regular files (and standard input) are read; lines end in LF or CRLF
// and hold at most 511 characters before their comment. Runs at start-up
// only, on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum config_type : std::int32_t {
    CFG_STRING = 0,
    CFG_INTEGER = 1,
    CFG_BOOLEAN = 2,
    CFG_INCLUDE = 3,
};

struct config_def {
    const char* def_name;  // null ends a table
    std::int32_t def_type;
    std::int32_t def_required;
};

struct config_entry {
    std::uint8_t ce_bool = 0;
    std::int32_t ce_type = CFG_STRING;
    std::int32_t ce_int = 0;  // the low 32 bits of the number
    // The whole number of an integer entry; none when it does not fit in
    // 64 bits.
    std::optional<std::int64_t> ce_wide;
    const char* ce_name = "";  // the table's name text, not the file's
    std::string ce_text;
};

// The values read, the setting read last first.
using config_list = std::vector<config_entry>;

// The program's table of keys, ended by a record whose name is null.
extern const config_def vellicor_config_keys[];

// Error code of the last reader call, and its text.
extern std::int32_t config_errcode;
const char* config_error();
// What lies behind code 5 ("error reading configuration file"): the
// system's error text, "not a regular file" or "line longer than 511
// characters". Empty when the code is another one or has no such reason.
const char* config_error_reason();

// Reads filename ("-" or null: standard input). On failure returns nothing and
// reports the line number and the path of the file where reading stopped;
// lineno and errpath may be null. A file that cannot be opened or read is
// reported at line 0, a line that is too long at its own number; an Include
// one level too deep at the Include line, with the path of the file that
// holds it. Never throws.
std::optional<config_list> config_load(const char* filename, const config_def* def,
                                       std::uint32_t* lineno, char* errpath,
                                       std::size_t errpathsize);
std::optional<config_list> config_load_level(const char* filename, const config_def* def,
                                             std::uint32_t* lineno, char* errpath,
                                             std::size_t errpathsize, int level);

// The name of the first required key that is missing, or null.
const char* config_check(const config_list& head, const config_def* def);

// Copies the value of key name into value (an int32_t for integer and boolean
// keys, a const char* for string keys). 1 found, 0 absent, -1 when size does
// not fit the key's type.
int config_get(const config_list& head, const char* name, void* value, std::size_t size);

// The whole number of integer key name, for values that config_get's 32 bits
// would cut. 1 found, 0 absent (value untouched), -1 when the key is not an
// integer or its number does not fit in 64 bits.
int config_get_int64(const config_list& head, const char* name, std::int64_t& value);

void config_free(config_list& head);
