// The steps of start-up between the option stage and the milter library's
// main loop: the working directory, the key, the user switch, the system log,
// detaching and the PID file. Each step that can end start-up prints its
// message on standard error and returns the exit status.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// Where the steps that read files write their messages: standard error, or
// the stream a reload collects them in while it runs (null restores
// standard error). Only the thread that loads settings writes here.
std::FILE* batv_diagnostics();
void batv_set_diagnostics(std::FILE* stream);

// The facility value for a name of the syslog facility table, compared
// without regard to case; nothing for a name outside the table.
std::optional<int> batv_syslog_facility(std::string_view name);

// Closes the system log and opens it again as progname, with LOG_PID and
// the named facility (LOG_MAIL without a name). False, and the log left as
// it was, when the name is not in the facility table.
bool batv_openlog(const std::optional<std::string>& facility);

// The argument text of the start-up line: "args:" and each argument after
// the program name after a blank, quoted when it holds a blank, cut to at
// most argument_text_limit characters. Empty without arguments.
inline constexpr std::size_t argument_text_limit = 2047;
std::string batv_argument_text(int argc, char* const* argv);

// Makes BaseDirectory the working directory.
std::optional<int> batv_change_directory(const std::string& directory);

// Reads the key file into settings.key_text: its content up to the first
// newline (or NUL byte). The file must be a regular file and the key must
// not be empty; a key file that is a symbolic link or that other users can
// read or write draws a warning.
std::optional<int> batv_load_key(const std::string& path);

// The same for any key: reads the secret of the key file at path into key,
// which stays untouched on failure. where goes before the path in the
// messages (a KeyList's name and line).
std::optional<int> batv_read_key(const std::string& path, std::string& key,
                                 std::string_view where = {});

// Switches to the named (or numbered) user: its supplementary groups, its
// primary group, then its user ID.
std::optional<int> batv_switch_user(const std::string& user);

// Points standard input, output and error at /dev/null. Failures are
// reported and start-up goes on.
void batv_redirect_to_devnull();

// Writes the process ID to the PID file, never through a symbolic link; a
// failure is only logged. True when the file was written.
bool batv_write_pidfile(const std::string& path);

// Opens /dev/null on each of the standard descriptors that is closed, so
// that no file or socket opened later takes one of their numbers.
std::optional<int> batv_open_standard_descriptors();

// Writes the warnings that start-up printed on standard error (about the
// key file) to the system log as well, when Syslog is on.
void batv_log_startup_warnings();
