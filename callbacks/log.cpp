// Log and clock seams.
#include "callbacks/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
// Set by tests before any thread runs; atomics keep ThreadSanitizer quiet
// when a test installs a sink while daemon threads are idle.
std::atomic<log_sink> current_sink{nullptr};
std::atomic<clock_source> current_clock{nullptr};
}  // namespace

void batv_log(int priority, const char* format, ...) {
    // syslog lines longer than this are cut by most daemons anyway.
    char line[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (log_sink sink = current_sink.load(std::memory_order_acquire)) {
        sink(priority, line);
    } else {
        syslog(priority, "%s", line);
    }
}

void batv_set_log_sink(log_sink sink) { current_sink.store(sink, std::memory_order_release); }

std::time_t batv_now() {
    if (clock_source clock = current_clock.load(std::memory_order_acquire)) {
        return clock();
    }
    return std::time(nullptr);
}

void batv_set_clock(clock_source clock) { current_clock.store(clock, std::memory_order_release); }
