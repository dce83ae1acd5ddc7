// Applies the configuration file named with -c to the settings record: each
// key under its setting's precedence rule, in a fixed order, with the
// PeerList loaded at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

struct settings_record;

// Runs only when settings.config_file is set, and hands the library the
// MilterDebug level the file decides. Returns the exit status when start-up
// must end (the message is already on standard error), or nothing when
// start-up goes on.
std::optional<int> batv_config_stage();

// The same stage on any record, as a reload and the operator tool run it:
// it only records MilterDebug. Messages go to batv_diagnostics().
std::optional<int> batv_config_stage(settings_record& s);

// The Mode value as a bit set: 's' adds signing, 'v' verifying, in any order
// and any number of times. Nothing when any other character appears.
std::optional<int> batv_parse_mode(std::string_view value);

// An AutoRestartRate value "n/t[unit]": at most n restarts within t seconds.
struct restart_rate {
    int count = 0;
    std::uint32_t interval = 0;  // seconds
};

// n is a whole base-10 number of at least 0 (empty: 0); t a base-10 number
// with an optional unit letter s, m, h or d (either case) and nothing after
// it. Nothing when the value breaks these rules, when the interval comes to 0
// seconds, or when n or the interval does not fit its field.
std::optional<restart_rate> batv_parse_restart_rate(const char* value);
