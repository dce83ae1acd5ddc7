// The option stage of start-up: initial values that depend on the system,
// the command line, the usage text and the completion of the settings.
// Everything here writes the global settings record and reports failures on
// standard error, returning the exit status the process is to end with.
#pragma once

#include <optional>

// What the command line gave where the setting's value cannot tell: -D
// takes any level, -1 included, and still counts as given.
struct command_line_record {
    bool milter_debug_given = false;
};
extern command_line_record command_line;

// The getopt option string of the filter.
inline constexpr const char* option_string = "a:Abc:d:D:fhi:k:lm:M:np:P:qrsSt:u:v:Vx";

// Sets progname from argv[0] and reads the host name.
void batv_init_settings(const char* argv0);

// Reads the options into the settings record and command_line. Returns the
// exit status when the process is to end here (-V, an option error), nothing
// when start-up goes on.
std::optional<int> batv_parse_options(int argc, char** argv);

// Prints the usage text on standard error; returns EX_USAGE.
int batv_usage();

// Requires Socket and KeyFile and gives KeyVersion and SignatureTTL their
// defaults. Returns the exit status when a required setting is missing.
std::optional<int> batv_complete_settings();

// The defaults of KeyVersion and SignatureTTL alone, on any record.
struct settings_record;
void batv_apply_defaults(settings_record& s);
