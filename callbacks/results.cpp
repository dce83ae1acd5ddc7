// The result lines of LogResults and the field formatting they share.
#include "callbacks/results.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include "callbacks/guard.h"
#include "callbacks/settings.h"
#include "logging/log.h"

namespace {

bool needs_quotes(std::string_view value) {
    if (value.empty()) {
        return true;
    }
    for (const char c : value) {
        if (c == ' ' || c == '\t' || c == '"' || c == '\\') {
            return true;
        }
    }
    return false;
}

void append_field(std::string& line, std::string_view key, std::string_view value) {
    if (!line.empty()) {
        line.push_back(' ');
    }
    line.append(key);
    line.push_back('=');
    batv_append_field_value(value, line);
}

bool results_wanted() {
    return current_settings().LogResults && current_settings().Syslog;
}

// The fields every line starts with: action, job, client and addr.
void append_head(std::string& line, std::string_view action, const conn_ctx& cc,
                 const msg_ctx& msg) {
    address_text_buffer buffer;
    append_field(line, "action", action);
    append_field(line, "job", msg.msg_jobid);
    append_field(line, "client", cc.cc_host);
    append_field(line, "addr", batv_address_text(cc.cc_addr, buffer));
}

template <typename Build>
void write_line(Build&& build) {
    std::string line;
    if (!batv_try_alloc([&] {
            line.reserve(256);
            build(line);
        })) {
        batv_log_malloc_failure();
        return;
    }
    batv_log(LOG_INFO, "%s", line.c_str());
}

}  // namespace

const char* batv_outcome_word(verify_outcome outcome) {
    switch (outcome) {
        case verify_outcome::pass:
            return "pass";
        case verify_outcome::forged:
            return "forged";
        case verify_outcome::expired:
            return "expired";
        case verify_outcome::version_mismatch:
            return "version-mismatch";
        case verify_outcome::syntax_error:
            return "syntax-error";
        case verify_outcome::not_signed:
            return "not-signed";
    }
    return "unknown";
}

void batv_append_field_value(std::string_view value, std::string& out) {
    if (!needs_quotes(value)) {
        out.append(value);
        return;
    }
    out.push_back('"');
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

std::string_view batv_address_text(const sockaddr_storage& address, address_text_buffer& buffer) {
    const void* raw = nullptr;
    if (address.ss_family == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    } else if (address.ss_family == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    }
    if (raw == nullptr || inet_ntop(address.ss_family, raw, buffer.data(),
                                    static_cast<socklen_t>(buffer.size())) == nullptr) {
        return "unknown";
    }
    return buffer.data();
}

void batv_log_signed(const conn_ctx& cc, const msg_ctx& msg, std::string_view tagged) {
    if (!results_wanted()) {
        return;
    }
    write_line([&](std::string& line) {
        append_head(line, "sign", cc, msg);
        append_field(line, "sender", msg.msg_sender);
        append_field(line, "tagged", tagged);
    });
}

void batv_log_verified(const conn_ctx& cc, const msg_ctx& msg, std::string_view recipient,
                       verify_outcome outcome) {
    if (!results_wanted()) {
        return;
    }
    write_line([&](std::string& line) {
        append_head(line, "verify", cc, msg);
        append_field(line, "rcpt", recipient);
        append_field(line, "result", batv_outcome_word(outcome));
    });
}
