// End of message: carries out what the envelope callbacks decided. Each
// library call that fails ends the callback with a temporary failure; what
// was already changed stays changed.
#include <libmilter/mfapi.h>
#include <syslog.h>

#include <cstddef>
#include <string>

#include "callbacks/callbacks.h"
#include "callbacks/context.h"
#include "callbacks/guard.h"
#include "callbacks/settings.h"
#include "callbacks/text.h"
#include "logging/log.h"

namespace {

constexpr const char* authentication_results = "Authentication-Results";
constexpr const char* xbatv = "X-BATV";
constexpr const char* quarantine_reason = "quarantined by Vellicor";

void log_failure(const char* format, const msg_ctx& msg, const char* detail) {
    if (current_settings().Syslog) {
        batv_log(LOG_ERR, format, msg.msg_jobid.c_str(), detail);
    }
}

const char* result_word(const rcpt_entry& entry) {
    if (entry.rcpt_badversion) {
        return "fail (version mismatch)";
    }
    if (!entry.rcpt_tagged) {
        return "fail (not signed)";
    }
    if (entry.rcpt_valid) {
        return "pass";
    }
    return "fail (verification failed)";
}

bool insert_header(SMFICTX* ctx, const char* name, const char* value) {
    return smfi_insheader(ctx, 1, const_cast<char*>(name), const_cast<char*>(value)) == MI_SUCCESS;
}

// Inserts a header value with its control bytes escaped, so that a CR or LF
// from a recipient or a macro can neither end the header nor start one of
// its own, cut to the limit after escaping. Cutting the raw value first
// changes nothing: escaping only lengthens, so the escaped cut value still
// covers the limit. Values without control bytes, nearly all of them, go
// out as built, without an allocation.
template <std::size_t Limit>
bool insert_escaped_header(SMFICTX* ctx, const char* name, const bounded_text<Limit>& value) {
    if (!batv_has_controls(value.view())) {
        return insert_header(ctx, name, value.c_str());
    }
    std::string escaped;
    batv_escape_controls(value.view(), escaped);
    bounded_text<Limit> cut;
    cut.append(escaped);
    return insert_header(ctx, name, cut.c_str());
}

bool add_authentication_results(SMFICTX* ctx, const conn_ctx& cc, const msg_ctx& msg,
                                const rcpt_entry& entry) {
    bounded_text<max_header_value_length> value;
    value.append(cc.cc_leading_space ? " " : "");
    value.append(cc.cc_authservid);
    if (current_settings().AuthservIDWithJobID) {
        value.append("/");
        value.append(msg.msg_jobid);
    }
    value.append("; x-batv=");
    value.append(result_word(entry));
    value.append(" smtp.rcpt=");
    value.append(entry.rcpt_orig);
    return insert_escaped_header(ctx, authentication_results, value);
}

bool add_xbatv(SMFICTX* ctx, const conn_ctx& cc, const msg_ctx& msg) {
    bounded_text<max_xbatv_value_length> value;
    value.append(cc.cc_leading_space ? " " : "");
    value.append(product_name);
    value.append(" v");
    value.append(product_version);
    value.append(" ");
    value.append(current_settings().hostname);
    value.append(" ");
    value.append(msg.msg_jobid.empty() ? unknown_jobid : msg.msg_jobid.c_str());
    return insert_escaped_header(ctx, xbatv, value);
}

// Puts the plain address in place of the tagged one, or in test mode only
// says so.
bool replace_recipient(SMFICTX* ctx, const msg_ctx& msg, const rcpt_entry& entry) {
    if (current_settings().TestMode) {
        batv_log(LOG_INFO, "%s suppressed recipient change from `%s' to `%s'",
                 msg.msg_jobid.c_str(), entry.rcpt_orig.c_str(), entry.rcpt_new->c_str());
        return true;
    }
    if (smfi_delrcpt(ctx, const_cast<char*>(entry.rcpt_given.c_str())) != MI_SUCCESS) {
        log_failure("%s recipient delete of `%s' failed", msg, entry.rcpt_orig.c_str());
        return false;
    }
    if (smfi_addrcpt(ctx, const_cast<char*>(entry.rcpt_new->c_str())) != MI_SUCCESS) {
        log_failure("%s recipient add of `%s' failed", msg, entry.rcpt_new->c_str());
        return false;
    }
    return true;
}

sfsistat eom(SMFICTX* ctx) {
    const message_contexts found = batv_message_contexts(ctx);
    if (!found) {
        return SMFIS_TEMPFAIL;
    }
    const conn_ctx& cc = *found.cc;
    const msg_ctx& msg = *found.msg;
    const char* jobid = msg.msg_jobid.c_str();

    if (msg.msg_newsender) {
        if (current_settings().TestMode) {
            batv_log(LOG_INFO, "%s suppressed sender change from `%s' to `%s'", jobid,
                     msg.msg_sender.c_str(), msg.msg_newsender->c_str());
        } else if (smfi_chgfrom(ctx, const_cast<char*>(msg.msg_newsender->c_str()),
                                msg.msg_esmtpargs ? const_cast<char*>(msg.msg_esmtpargs->c_str())
                                                  : nullptr) != MI_SUCCESS) {
            log_failure("%s sender change to `%s' failed", msg, msg.msg_newsender->c_str());
            return SMFIS_TEMPFAIL;
        }
    }

    bool failed = false;
    for (const rcpt_entry& entry : msg.msg_rcpts) {
        if (!entry.rcpt_tagged || !entry.rcpt_valid) {
            failed = true;
        }
        if (current_settings().AddAuthenticationResults && !add_authentication_results(ctx, cc, msg, entry)) {
            log_failure("%s \"%s\" header add failed", msg, authentication_results);
            return SMFIS_TEMPFAIL;
        }
        if (entry.rcpt_new && !replace_recipient(ctx, msg, entry)) {
            return SMFIS_TEMPFAIL;
        }
    }

    if (current_settings().XHeader && !add_xbatv(ctx, cc, msg)) {
        log_failure("%s \"%s\" header add failed", msg, xbatv);
        return SMFIS_TEMPFAIL;
    }
    if (failed && current_settings().Quarantine &&
        smfi_quarantine(ctx, const_cast<char*>(quarantine_reason)) != MI_SUCCESS) {
        if (current_settings().Syslog) {
            batv_log(LOG_ERR, "%s smfi_quarantine", jobid);
        }
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_CONTINUE;
}

}  // namespace

sfsistat mlfi_eom(SMFICTX* ctx) {
    return batv_guarded([&] { return eom(ctx); });
}
