// fuzz-libs: config
// Feeds arbitrary bytes to the configuration reader as a file and checks
// what must hold for every input: a load either fails with a known code and
// a terminated, cut path, or yields a list whose entries all name keys of the
// table with values of their type, which config_get hands out; and a second
// load with a smaller path buffer ends the same way.
//
// Inputs holding a '/' are skipped: an Include line can then name only
// files of the working directory, never a device that reads forever.
// Standard input is empty, so "Include -" finds no settings.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::string input_dir;
std::string input_path;

void remove_input() {
    if (!input_path.empty()) {
        unlink(input_path.c_str());
        rmdir(input_dir.c_str());
    }
}

// Sets up once: an empty standard input and a private file for the bytes.
bool prepare() {
    static const bool ready = [] {
        if (std::freopen("/dev/null", "r", stdin) == nullptr) {
            return false;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/config_fuzz.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            return false;
        }
        input_dir = pattern;
        input_path = input_dir + "/input.conf";
        std::atexit(remove_input);
        return true;
    }();
    return ready;
}

bool write_input(const std::uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(input_path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = size == 0 || std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && written;
}

const config_def* table_entry(const char* name) {
    for (const config_def* def = vellicor_config_keys; def->def_name != nullptr; ++def) {
        if (def->def_name == name) {
            return def;
        }
    }
    return nullptr;
}

void check_list(const config_list& list) {
    check(!list.empty());
    for (const config_entry& entry : list) {
        if (entry.ce_name[0] == '\0') {
            // The empty-file record of this file or of an included one.
            check(entry.ce_type == CFG_STRING && entry.ce_text.empty() && entry.ce_int == 0 &&
                  entry.ce_bool == 0);
            continue;
        }
        const config_def* def = table_entry(entry.ce_name);
        check(def != nullptr);
        check(entry.ce_type == def->def_type && entry.ce_type != CFG_INCLUDE);
        check(entry.ce_bool <= 1);
        if (entry.ce_type == CFG_STRING) {
            check(!entry.ce_text.empty());
            check(entry.ce_text.find_first_of(" \t#\n") == std::string::npos);
        }
    }
    // Every key present is found, with the value of its first entry.
    for (const config_entry& entry : list) {
        if (entry.ce_name[0] == '\0') {
            continue;
        }
        const config_entry* first = nullptr;
        for (const config_entry& e : list) {
            if (e.ce_name == entry.ce_name) {
                first = &e;
                break;
            }
        }
        if (entry.ce_type == CFG_STRING) {
            const char* text = nullptr;
            check(config_get(list, entry.ce_name, &text, sizeof text) == 1);
            check(text == first->ce_text.c_str());
            std::int32_t wrong = 0;
            check(config_get(list, entry.ce_name, &wrong, sizeof wrong) == -1);
            check(config_errcode == 3);
        } else {
            std::int32_t number = 0;
            check(config_get(list, entry.ce_name, &number, sizeof number) == 1);
            check(number == (entry.ce_type == CFG_INTEGER ? first->ce_int : first->ce_bool));
        }
    }
    check(config_check(list, vellicor_config_keys) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && std::memchr(data, '/', size) != nullptr) {
        return 0;
    }
    if (!prepare() || !write_input(data, size)) {
        std::abort();
    }

    constexpr std::uint32_t untouched = 0xdeadbeef;
    std::uint32_t line = untouched;
    std::array<char, 1025> errpath{};
    auto list = config_load(input_path.c_str(), vellicor_config_keys, &line, errpath.data(),
                            errpath.size());
    const std::int32_t code = config_errcode;
    if (list) {
        check(code == 0);
        check(line == untouched && errpath[0] == '\0');
        check_list(*list);
        config_free(*list);
        check(list->empty());
    } else {
        check(code >= 1 && code <= 6);
        check(line != untouched);
        check(std::strlen(errpath.data()) < errpath.size());
        if (input_path == errpath.data() && code != 5) {
            // Every line number stands for at least one byte read.
            check(line >= 1 && line <= size);
        }
    }

    // The same load again into a small buffer: the same outcome, the path cut.
    const std::size_t small = size > 0 ? data[0] % 12 : 0;
    std::array<char, 12> cut;
    cut.fill('X');
    auto again = config_load(input_path.c_str(), vellicor_config_keys, nullptr, cut.data(), small);
    check(again.has_value() == list.has_value());
    check(config_errcode == code);
    if (!again && small > 0) {
        const std::size_t length = std::strlen(cut.data());
        check(length < small);
        check(std::strncmp(cut.data(), errpath.data(), length) == 0);
    } else {
        check(cut[0] == 'X');  // left alone
    }
    return 0;
}
