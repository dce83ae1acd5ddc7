// The log seam and the escaping of control bytes.
#include "logging/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
// Set by tests before any thread runs; an atomic keeps ThreadSanitizer
// quiet when a test installs a sink while daemon threads are idle.
std::atomic<log_sink> current_sink{nullptr};

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}
}  // namespace

bool batv_has_controls(std::string_view text) {
    for (const char c : text) {
        if (is_control(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

void batv_escape_controls(std::string_view text, std::string& out) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!is_control(byte)) {
            out += c;
            continue;
        }
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\x";
                out += hex[byte >> 4];
                out += hex[byte & 0xf];
                break;
            }
        }
    }
}

void batv_log(int priority, const char* format, ...) {
    // syslog lines longer than this are cut by most daemons anyway.
    char line[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);

    // Lines without control bytes, nearly all of them, are passed on as
    // formatted, without an allocation.
    const char* text = line;
    std::string escaped;
    if (batv_has_controls(line)) {
        try {
            escaped.reserve(sizeof line);
            batv_escape_controls(line, escaped);
            text = escaped.c_str();
        } catch (...) {
            // Out of memory: drop the line rather than write it raw.
            return;
        }
    }
    if (log_sink sink = current_sink.load(std::memory_order_acquire)) {
        sink(priority, text);
    } else {
        syslog(priority, "%s", text);
    }
}

void batv_set_log_sink(log_sink sink) {
    current_sink.store(sink, std::memory_order_release);
}
