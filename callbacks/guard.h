// Keeps exceptions out of libmilter: every callback body runs inside
// batv_guarded, which also pins the settings for it, and a failed allocation
// anywhere in it becomes a logged temporary failure. Steps whose allocation failure has a line of its own
// run inside batv_try_alloc.
#pragma once

#include <libmilter/mfapi.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "logging/log.h"
#include "callbacks/settings.h"

// A record could not be allocated.
inline void batv_log_malloc_failure() {
    if (current_settings().Syslog) {
        batv_log(LOG_ERR, "malloc(): %s", std::strerror(ENOMEM));
    }
}

// A text could not be copied, before the message has a job id.
inline void batv_log_strdup_failure() {
    if (current_settings().Syslog) {
        batv_log(LOG_ERR, "strdup(): %s", std::strerror(ENOMEM));
    }
}

// A text of the message jobid could not be copied.
inline void batv_log_strdup_failure(const char* jobid) {
    if (current_settings().Syslog) {
        batv_log(LOG_ERR, "%s: strdup(): %s", jobid, std::strerror(ENOMEM));
    }
}

// Runs step and reports whether it got the memory it needed.
template <typename Step>
bool batv_try_alloc(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The settings in force when the callback starts stay in force for all of
// it, whatever a reload publishes meanwhile.
template <typename Body>
sfsistat batv_guarded(Body&& body) noexcept {
    settings_pin pin;
    try {
        return body();
    } catch (...) {
        // The callbacks throw nothing but std::bad_alloc.
        batv_log_malloc_failure();
        return SMFIS_TEMPFAIL;
    }
}
