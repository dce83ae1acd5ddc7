// The configuration stage: reads the file named with -c and applies its keys
// to the settings record after the options and before the defaults. An
// option given on the command line wins over its key; a few keys have no
// option and always apply. Keys are looked up in alphabetical order, so of
// several faults the first in that order is the one reported. The PeerList is
// loaded here, before the working directory changes, so a relative PeerList
// path is taken from the directory the filter was started in.
//
// Every value taken from the file is copied into the settings record, so the
// loaded configuration itself can be released when the stage ends.
#include "process/config_stage.h"

#include <libmilter/mfapi.h>
#include <sysexits.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "callbacks/settings.h"
#include "config/config.h"
#include "lists/lists.h"
#include "process/options.h"
#include "process/startup.h"

namespace {

// The buffer that receives the name of the file at fault: the -c path at
// first, or an Include file the reader names.
constexpr std::size_t config_name_size = 1025;

// Copies src into a buffer of size bytes, cut to size - 1 characters and
// always terminated.
void copy_cut(char* dst, std::size_t size, const char* src) {
    std::size_t n = std::strlen(src);
    if (n >= size)
        n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Lookups that leave the setting untouched when the key is absent.
void get_flag(const config_list& cfg, const char* key, int& setting) {
    std::int32_t value = 0;
    if (config_get(cfg, key, &value, sizeof value) == 1)
        setting = value != 0 ? 1 : 0;
}

bool get_number(const config_list& cfg, const char* key, std::int32_t& value) {
    return config_get(cfg, key, &value, sizeof value) == 1;
}

void get_text(const config_list& cfg, const char* key, std::optional<std::string>& setting) {
    const char* value = nullptr;
    if (config_get(cfg, key, &value, sizeof value) == 1 && value != nullptr)
        setting = value;
}

// A string setting that an option may have given already.
void get_text_unless_given(const config_list& cfg, const char* key,
                           std::optional<std::string>& setting) {
    if (!setting)
        get_text(cfg, key, setting);
}

// The flags an option can only turn on: the key is read while they are off.
void get_flag_unless_set(const config_list& cfg, const char* key, int& setting) {
    if (setting == 0)
        get_flag(cfg, key, setting);
}

// The flags an option can only turn off: the key is read while they are on.
void get_flag_unless_cleared(const config_list& cfg, const char* key, int& setting) {
    if (setting == 1)
        get_flag(cfg, key, setting);
}

std::optional<int> load_peer_list(settings_record& s, const std::string& path) {
    if (const std::optional<list_failure> failure = load_peer_list(path, s.peer_list)) {
        std::fprintf(batv_diagnostics(), "%s: %s", s.progname.c_str(), failure->message.c_str());
        return failure->status;
    }
    return std::nullopt;
}

// Applies the keys in their fixed order. conf_path is the -c path, which the
// invalid-value messages name.
std::optional<int> apply_keys(settings_record& s, const config_list& cfg, const char* conf_path) {
    const char* progname = s.progname.c_str();

    get_flag_unless_set(cfg, "AddAuthenticationResults", s.AddAuthenticationResults);
    get_flag_unless_cleared(cfg, "AllSenders", s.AllSenders);
    get_text(cfg, "AuthservID", s.AuthservID);
    get_flag(cfg, "AuthservIDWithJobID", s.AuthservIDWithJobID);
    get_flag_unless_set(cfg, "AutoRestart", s.AutoRestart);

    // The restart limits matter only to the supervisor; without it they are
    // not even examined.
    if (s.AutoRestart == 1) {
        std::int32_t count = 0;
        if (get_number(cfg, "AutoRestartCount", count))
            s.AutoRestartCount = count;
        std::optional<std::string> rate_text;
        get_text(cfg, "AutoRestartRate", rate_text);
        if (rate_text) {
            const std::optional<restart_rate> rate = batv_parse_restart_rate(rate_text->c_str());
            if (!rate) {
                std::fprintf(batv_diagnostics(), "%s: AutoRestartRate invalid\n", progname);
                return EX_CONFIG;
            }
            s.AutoRestartRateCount = rate->count;
            s.AutoRestartRateInterval = rate->interval;
        }
    }

    get_flag_unless_cleared(cfg, "Background", s.Background);
    get_text(cfg, "BaseDirectory", s.BaseDirectory);
    get_text_unless_given(cfg, "Domain", s.Domain);
    get_text_unless_given(cfg, "DontSignMailTo", s.DontSignMailTo);
    get_flag(cfg, "EnableCoredumps", s.EnableCoredumps);
    get_flag_unless_set(cfg, "IgnoreAuthenticatedClients", s.IgnoreAuthenticatedClients);
    get_text_unless_given(cfg, "InternalHosts", s.InternalHosts);
    get_text_unless_given(cfg, "KeyFile", s.KeyFile);
    get_text(cfg, "KeyList", s.KeyList);

    if (s.KeyVersion == -1) {
        // -1 in the file means no value, as if the key were absent.
        std::int32_t version = -1;
        if (get_number(cfg, "KeyVersion", version)) {
            if (version < -1 || version > 9) {
                std::fprintf(batv_diagnostics(), "%s: %s: invalid key version\n", progname, conf_path);
                return EX_CONFIG;
            }
            s.KeyVersion = version;
        }
    }

    get_flag(cfg, "LogResults", s.LogResults);
    get_flag(cfg, "LogWhy", s.LogWhy);
    get_text_unless_given(cfg, "MacroList", s.MacroList);

    if (!command_line.milter_debug_given) {
        // Without -D the file decides the library's debug level, and an
        // absent key sets it to -1 explicitly. A -D of -1 is given all the
        // same. The stage only records it: the library gets it from
        // batv_config_stage() at start-up.
        std::int32_t level = -1;
        get_number(cfg, "MilterDebug", level);
        s.MilterDebug = level;
    }

    std::optional<std::string> mode_text;
    get_text(cfg, "Mode", mode_text);
    if (mode_text) {
        const std::optional<int> mode = batv_parse_mode(*mode_text);
        if (!mode) {
            std::fprintf(batv_diagnostics(), "%s: %s: invalid mode\n", progname, conf_path);
            return EX_CONFIG;
        }
        s.Mode = *mode;
    }

    get_text_unless_given(cfg, "MTA", s.MTA);

    get_text(cfg, "PeerList", s.PeerList);
    if (s.PeerList) {
        if (const std::optional<int> status = load_peer_list(s, *s.PeerList))
            return status;
    }

    get_text_unless_given(cfg, "PidFile", s.PidFile);
    get_flag_unless_set(cfg, "Quarantine", s.Quarantine);
    get_flag_unless_set(cfg, "SendmailFormat", s.SendmailFormat);
    get_flag_unless_set(cfg, "SetReplies", s.SetReplies);

    if (s.SignatureTTL == -1) {
        // The range of -t: a negative lifetime would make every tag valid
        // for ever. The whole number counts, not its low 32 bits. -1 has
        // always meant "not set" (the default of 7 days) and still does.
        std::int64_t ttl = 0;
        const int found = config_get_int64(cfg, "SignatureTTL", ttl);
        if (found != 0 && !(found == 1 && ttl == -1)) {
            if (found != 1 || ttl < 0 || ttl > UINT32_MAX) {
                std::fprintf(batv_diagnostics(), "%s: %s: invalid signature TTL\n", progname, conf_path);
                return EX_CONFIG;
            }
            s.SignatureTTL = ttl;
        }
    }

    get_text_unless_given(cfg, "Socket", s.Socket);
    get_flag_unless_set(cfg, "Syslog", s.Syslog);
    get_text(cfg, "SyslogFacility", s.SyslogFacility);
    get_flag_unless_set(cfg, "TestMode", s.TestMode);
    get_text_unless_given(cfg, "UserID", s.UserID);
    get_flag_unless_set(cfg, "X-Header", s.XHeader);

    // RemoveARAll and RemoveARFrom are accepted by the reader for
    // compatibility and consulted by nothing.
    return std::nullopt;
}

}  // namespace

std::optional<int> batv_parse_mode(std::string_view value) {
    int mode = 0;
    for (const char c : value) {
        switch (c) {
            case 's':
                mode |= mode_sign;
                break;
            case 'v':
                mode |= mode_verify;
                break;
            default:
                return std::nullopt;
        }
    }
    return mode;
}

std::optional<restart_rate> batv_parse_restart_rate(const char* value) {
    const char* slash = std::strchr(value, '/');
    if (slash == nullptr)
        return std::nullopt;

    const std::string count_text(value, slash);
    char* end = nullptr;
    errno = 0;
    const long count = std::strtol(count_text.c_str(), &end, 10);
    if (*end != '\0' || count < 0 || errno == ERANGE || count > INT_MAX)
        return std::nullopt;

    errno = 0;
    const unsigned long t = std::strtoul(slash + 1, &end, 10);
    if (errno == ERANGE)
        return std::nullopt;
    unsigned long unit = 1;
    switch (*end) {
        case '\0':
        case 's':
        case 'S':
            break;
        case 'm':
        case 'M':
            unit = 60;
            break;
        case 'h':
        case 'H':
            unit = 3600;
            break;
        case 'd':
        case 'D':
            unit = 86400;
            break;
        default:
            return std::nullopt;
    }
    if (*end != '\0' && end[1] != '\0')
        return std::nullopt;

    // strtoul takes a '-' and negates; such a value, like any interval
    // beyond the field, is refused rather than wrapped.
    if (t > UINT32_MAX / unit)
        return std::nullopt;
    const unsigned long interval = t * unit;
    if (interval == 0)
        return std::nullopt;
    return restart_rate{static_cast<int>(count), static_cast<std::uint32_t>(interval)};
}

std::optional<int> batv_config_stage(settings_record& s) {
    if (!s.config_file)
        return std::nullopt;
    const char* conf_path = s.config_file->c_str();

    char name[config_name_size];
    copy_cut(name, sizeof name, conf_path);
    std::uint32_t lineno = 0;
    std::optional<config_list> cfg =
        config_load(conf_path, vellicor_config_keys, &lineno, name, sizeof name);
    if (!cfg) {
        // A file that could not be read says why, after the reader's text.
        const char* reason = config_error_reason();
        std::fprintf(batv_diagnostics(), "%s: %s: configuration error at line %u: %s%s%s\n",
                     s.progname.c_str(), name, static_cast<unsigned>(lineno), config_error(),
                     reason[0] != '\0' ? ": " : "", reason);
        return EX_CONFIG;
    }

    // No key of the program's table is required, so this finds nothing.
    (void)config_check(*cfg, vellicor_config_keys);

    std::optional<int> status = apply_keys(s, *cfg, conf_path);
    config_free(*cfg);
    return status;
}

std::optional<int> batv_config_stage() {
    if (!settings.config_file)
        return std::nullopt;
    const bool file_sets_debug = !command_line.milter_debug_given;
    std::optional<int> status = batv_config_stage(settings);
    if (file_sets_debug)
        smfi_setdbg(settings.MilterDebug);
    return status;
}
