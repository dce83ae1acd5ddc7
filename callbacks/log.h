// The one way out for log lines and the one way in for the time of day, so
// that tests can capture the first and set the second. Whether a line is
// written at all (Syslog, LogWhy) is decided where it is written.
#pragma once

#include <ctime>

// Formats a line and hands it to syslog(3), or to the sink a test installed.
void batv_log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

using log_sink = void (*)(int priority, const char* line);
// Installs a sink in place of syslog; null restores syslog.
void batv_set_log_sink(log_sink sink);

// The current time as the callbacks see it.
std::time_t batv_now();
using clock_source = std::time_t (*)();
// Installs a clock in place of time(2); null restores it.
void batv_set_clock(clock_source clock);
