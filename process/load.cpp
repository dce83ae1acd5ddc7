// Loading the key, the retired keys and the lists into a settings record.
#include "process/load.h"

#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "callbacks/settings.h"
#include "lists/lists.h"
#include "process/startup.h"
#include "textfile/textfile.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Prints a list loader's failure and gives its exit status.
std::optional<int> report(const settings_record& s, const std::optional<list_failure>& failure) {
    if (!failure) {
        return std::nullopt;
    }
    std::fprintf(batv_diagnostics(), "%s: %s", s.progname.c_str(), failure->message.c_str());
    return failure->status;
}

// The lists, from the paths and texts the options and the configuration
// recorded, in a fixed order.
std::optional<int> load_lists(settings_record& s) {
    if (s.DontSignMailTo) {
        if (auto status = report(s, load_allow_list(*s.DontSignMailTo, s.allow_list))) {
            return status;
        }
    }
    if (auto status = report(s, load_internal_hosts(s.InternalHosts, s.internal_hosts))) {
        return status;
    }
    if (s.Domain) {
        if (auto status = report(s, load_domain_list(*s.Domain, s.domain_list))) {
            return status;
        }
    }
    if (s.MTA) {
        if (auto status = report(s, load_mta_list(*s.MTA, s.mta_list))) {
            return status;
        }
    }
    if (s.MacroList) {
        if (auto status = report(s, load_macro_list(*s.MacroList, s.macro_list))) {
            return status;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> batv_load_key_list(const std::string& path, int key_version, key_table& keys,
                                      std::array<std::optional<std::string>, 10>* files) {
    const char* prog = settings.progname.c_str();
    std::FILE* diag = batv_diagnostics();
    textfile_open_result opened = textfile_open(path.c_str());
    if (opened.not_regular) {
        std::fprintf(diag, "%s: %s: not a regular file\n", prog, path.c_str());
        return EX_UNAVAILABLE;
    }
    if (!opened.file) {
        std::fprintf(diag, "%s: %s: %s(): %s\n", prog, path.c_str(), opened.failed_call,
                     std::strerror(opened.error));
        return EX_UNAVAILABLE;
    }
    key_table found;
    std::array<std::optional<std::string>, 10> found_files;
    textfile_reader reader(opened.file.get(), textfile_comments::hash);
    std::string line;
    textfile_status status;
    while ((status = reader.next(line)) == textfile_status::line) {
        const unsigned lineno = reader.line_number();
        std::string_view rest(line);
        while (!rest.empty() && is_blank(rest.front())) {
            rest.remove_prefix(1);
        }
        while (!rest.empty() && is_blank(rest.back())) {
            rest.remove_suffix(1);
        }
        if (rest.empty()) {
            continue;
        }
        // One digit, then blank space, then the path.
        if (rest.size() < 3 || rest[0] < '0' || rest[0] > '9' || !is_blank(rest[1])) {
            std::fprintf(diag, "%s: %s: line %u: expected a key number 0-9 and a key file\n", prog,
                         path.c_str(), lineno);
            return EX_CONFIG;
        }
        const int number = rest[0] - '0';
        rest.remove_prefix(2);
        while (!rest.empty() && is_blank(rest.front())) {
            rest.remove_prefix(1);
        }
        if (number == key_version) {
            std::fprintf(diag, "%s: %s: line %u: key %d is the current KeyVersion\n", prog,
                         path.c_str(), lineno, number);
            return EX_CONFIG;
        }
        if (found[number]) {
            std::fprintf(diag, "%s: %s: line %u: key %d is listed twice\n", prog, path.c_str(),
                         lineno, number);
            return EX_CONFIG;
        }
        const std::string where = path + ": line " + std::to_string(lineno) + ": ";
        std::string key;
        if (auto failed = batv_read_key(std::string(rest), key, where)) {
            return failed;
        }
        found[number] = std::move(key);
        found_files[number] = std::string(rest);
    }
    if (status == textfile_status::too_long) {
        std::fprintf(diag, "%s: %s: line %u is longer than %zu characters\n", prog, path.c_str(),
                     static_cast<unsigned>(reader.line_number()), textfile_max_line_length);
        return EX_CONFIG;
    }
    if (status == textfile_status::read_error) {
        std::fprintf(diag, "%s: %s: fgets(): %s\n", prog, path.c_str(),
                     std::strerror(reader.error()));
        return EX_UNAVAILABLE;
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (found[i]) {
            keys[i] = std::move(found[i]);
            if (files != nullptr) {
                (*files)[i] = std::move(found_files[i]);
            }
        }
    }
    return std::nullopt;
}

std::optional<int> batv_load_files(settings_record& s) {
    if (auto status = batv_read_key(*s.KeyFile, s.key_text)) {
        return status;
    }
    s.verify_keys = key_table{};
    s.retired_key_files = {};
    if (s.KeyList) {
        if (auto status = batv_load_key_list(*s.KeyList, s.KeyVersion, s.verify_keys,
                                             &s.retired_key_files)) {
            return status;
        }
    }
    s.verify_keys[static_cast<std::size_t>(s.KeyVersion)] = s.key_text;
    return load_lists(s);
}

std::optional<int> batv_check_facility(const settings_record& s) {
    if (s.SyslogFacility && !batv_syslog_facility(*s.SyslogFacility)) {
        std::fprintf(batv_diagnostics(), "%s: unknown syslog facility `%s'\n", s.progname.c_str(),
                     s.SyslogFacility->c_str());
        return EX_CONFIG;
    }
    return std::nullopt;
}
