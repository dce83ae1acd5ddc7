// The one way out for log lines, below every other module of the filter, so
// that tests can capture them. Whether a line is written at all (Syslog,
// LogWhy) is decided where it is written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Formats a line and hands it to syslog(3), or to the sink a test installed.
// Control bytes in the formatted line (below 0x20, and 0x7f) are written
// escaped, so that an address or macro value from a client can neither
// forge a line of its own nor reach a terminal as an escape sequence.
void batv_log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

using log_sink = void (*)(int priority, const char* line);
// Installs a sink in place of syslog; null restores syslog.
void batv_set_log_sink(log_sink sink);

// Appends text to out with every control byte escaped: \t, \n and \r by
// their C names, the others as \xHH. Other bytes are copied unchanged.
void batv_escape_controls(std::string_view text, std::string& out);

// Whether text holds a byte that batv_escape_controls would escape.
bool batv_has_controls(std::string_view text);
