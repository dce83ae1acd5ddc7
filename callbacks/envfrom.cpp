// MAIL FROM: opens the message context and decides whether the sender is
// signed. The tagged sender and the MAIL FROM parameters are only kept
// here; end of message installs them.
#include <libmilter/mfapi.h>
#include <syslog.h>

#include <cassert>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "callbacks/callbacks.h"
#include "callbacks/clock.h"
#include "callbacks/context.h"
#include "callbacks/guard.h"
#include "callbacks/results.h"
#include "callbacks/select.h"
#include "callbacks/settings.h"
#include "logging/log.h"
#include "tags/tags.h"

void batv_msg_cleanup(conn_ctx& cc) {
    cc.cc_msg.reset();
}

bool batv_refresh_jobid(SMFICTX* ctx, msg_ctx& msg) {
    if (msg.msg_jobid != unknown_jobid) {
        return true;
    }
    const char* jobid = batv_jobid_macro(ctx);
    return jobid == nullptr || batv_try_alloc([&] { msg.msg_jobid = jobid; });
}

message_contexts batv_message_contexts(SMFICTX* ctx) {
    conn_ctx* cc = batv_conn(ctx);
    assert(cc != nullptr && cc->cc_msg != nullptr);
    if (cc == nullptr || cc->cc_msg == nullptr) {
        return {};
    }
    if (!batv_refresh_jobid(ctx, *cc->cc_msg)) {
        batv_log_strdup_failure();
        return {};
    }
    return {cc, cc->cc_msg.get()};
}

namespace {

// The non-empty ESMTP arguments joined by single blanks, or nothing when
// there are none. An argument is never cut: a cut one (an ENVID without its
// end) would be wrong where a whole one is right, and the MTA has already
// bounded the length of the command they came in.
std::optional<std::string> join_esmtp_args(char** args) {
    std::optional<std::string> joined;
    for (char** arg = args; *arg != nullptr; ++arg) {
        if (**arg == '\0') {
            continue;
        }
        if (joined) {
            joined->push_back(' ');
        } else {
            joined.emplace();
        }
        joined->append(*arg);
    }
    return joined;
}

sfsistat sign_sender(const conn_ctx& cc, msg_ctx& msg, char** esmtp_args) {
    const char* jobid = msg.msg_jobid.c_str();
    const unsigned day =
        batv_expiry_day(batv_now(), static_cast<std::uint32_t>(current_settings().SignatureTTL));
    std::optional<std::string> tagged;
    if (!batv_try_alloc([&] {
            tagged = batv_tag_address(msg.msg_sender, current_settings().KeyVersion, day,
                                      current_settings().key_text, batv_tag_form());
        })) {
        batv_log_strdup_failure(jobid);
        return SMFIS_TEMPFAIL;
    }
    if (!tagged) {
        // A cut tagged sender could never receive its bounces.
        if (current_settings().Syslog) {
            batv_log(LOG_ERR,
                     "%s: tagged sender for `%s' would exceed 512 characters; signing skipped",
                     jobid, msg.msg_sender.c_str());
        }
        return SMFIS_CONTINUE;
    }
    msg.msg_newsender = std::move(tagged);

    if (!batv_try_alloc([&] { msg.msg_esmtpargs = join_esmtp_args(esmtp_args); })) {
        batv_log_strdup_failure(jobid);
        return SMFIS_TEMPFAIL;
    }
    batv_log_signed(cc, msg, *msg.msg_newsender);
    return SMFIS_CONTINUE;
}

sfsistat envfrom(SMFICTX* ctx, char** argv) {
    assert(argv != nullptr && argv[0] != nullptr);
    conn_ctx* cc = batv_conn(ctx);
    if (cc == nullptr) {
        if (current_settings().Syslog) {
            batv_log(LOG_ERR, "envelope data received before connection information; temp-failing");
        }
        return SMFIS_TEMPFAIL;
    }
    batv_msg_cleanup(*cc);
    if (!batv_try_alloc([&] { cc->cc_msg = std::make_unique<msg_ctx>(); })) {
        batv_log_malloc_failure();
        return SMFIS_TEMPFAIL;
    }
    msg_ctx& msg = *cc->cc_msg;

    const char* jobid = batv_jobid_macro(ctx);
    if (!batv_try_alloc([&] { msg.msg_jobid = jobid != nullptr ? jobid : unknown_jobid; })) {
        batv_log_strdup_failure();
        return SMFIS_TEMPFAIL;
    }
    if (current_settings().IgnoreAuthenticatedClients &&
        batv_macro(ctx, "{auth_authen}") != nullptr) {
        msg.msg_auth = 1;
    }
    if (!batv_try_alloc([&] { msg.msg_sender = argv[0]; })) {
        batv_log_strdup_failure();
        return SMFIS_TEMPFAIL;
    }
    batv_strip_brackets(msg.msg_sender);

    switch (
        batv_select(ctx, msg.msg_sender.c_str(), select_direction::sign, msg.msg_jobid.c_str())) {
        case select_outcome::failed:
            return SMFIS_TEMPFAIL;
        case select_outcome::skipped:
            return SMFIS_CONTINUE;
        case select_outcome::selected:
            break;
    }
    if (!cc->cc_internal && !msg.msg_auth) {
        if (current_settings().LogWhy && current_settings().Syslog) {
            batv_log(LOG_INFO, "%s client not internal and not authenticated; signing skipped",
                     msg.msg_jobid.c_str());
        }
        return SMFIS_CONTINUE;
    }
    // The marker counts in any case, as at verification: a sender that
    // would verify as tagged is never signed twice.
    if (batv_is_tagged(msg.msg_sender, batv_tag_form())) {
        return SMFIS_CONTINUE;
    }
    return sign_sender(*cc, msg, argv + 1);
}

}  // namespace

sfsistat mlfi_envfrom(SMFICTX* ctx, char** argv) {
    return batv_guarded([&] { return envfrom(ctx, argv); });
}
