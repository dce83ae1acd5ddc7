// RCPT TO: verifies the tag of each selected recipient of mail from an
// outside client, answers the outcome at once and records the recipient for
// the end of the message.
#include <libmilter/mfapi.h>
#include <syslog.h>

#include <cassert>
#include <cstdint>
#include <optional>
#include <string_view>

#include "callbacks/callbacks.h"
#include "callbacks/clock.h"
#include "callbacks/context.h"
#include "callbacks/guard.h"
#include "callbacks/results.h"
#include "callbacks/select.h"
#include "callbacks/settings.h"
#include "callbacks/text.h"
#include "logging/log.h"
#include "tags/tags.h"

namespace {

bool normal_mode() {
    return !current_settings().AddAuthenticationResults && !current_settings().TestMode;
}

void log_result(const char* format, const msg_ctx& msg, const char* recipient) {
    if (current_settings().Syslog) {
        batv_log(LOG_ERR, format, msg.msg_jobid.c_str(), recipient);
    }
}

// Registers an SMTP reply for the refused recipient, in normal mode only.
void set_reply(SMFICTX* ctx, const msg_ctx& msg, const char* text) {
    if (!current_settings().SetReplies || !normal_mode()) {
        return;
    }
    if (smfi_setreply(ctx, const_cast<char*>("550"), const_cast<char*>("5.7.1"),
                      const_cast<char*>(text)) != MI_SUCCESS &&
        current_settings().Syslog) {
        batv_log(LOG_ERR, "%s: smfi_setreply() failed", msg.msg_jobid.c_str());
    }
}

// The one outcome of a checked tag. A forged tag's day means nothing, so a
// hash mismatch is the outcome even when the day has passed as well.
verify_outcome outcome_of(const tag_check& check) {
    if (check.tc_status == TAG_SYNTAX) {
        return verify_outcome::syntax_error;
    }
    if (check.tc_status == TAG_BADVERSION) {
        return verify_outcome::version_mismatch;
    }
    if (!check.tc_hash_ok) {
        return verify_outcome::forged;
    }
    return check.tc_expired ? verify_outcome::expired : verify_outcome::pass;
}

// Acts on the checked tag of a recipient: the entry, the log lines of a
// failure, the reply and the verdict.
sfsistat apply_check(SMFICTX* ctx, const msg_ctx& msg, rcpt_entry& entry, tag_check& check,
                     const char* recipient, bool was_cut) {
    // A version mismatch leaves the tag valid; every other failure below
    // clears it again.
    entry.rcpt_valid = 1;

    if (check.tc_status == TAG_SYNTAX) {
        entry.rcpt_valid = 0;
        log_result("%s: BATV syntax error in `%s'", msg, recipient);
        return SMFIS_TEMPFAIL;
    }
    if (check.tc_status == TAG_BADVERSION) {
        log_result("%s: BATV version mismatch in `%s'", msg, recipient);
        if (current_settings().AddAuthenticationResults) {
            entry.rcpt_badversion = 1;
            return SMFIS_CONTINUE;
        }
        return SMFIS_TEMPFAIL;
    }
    if (!check.tc_hash_ok) {
        entry.rcpt_valid = 0;
        log_result("%s: BATV validation failed in `%s'", msg, recipient);
        if (normal_mode()) {
            set_reply(ctx, msg, "BATV signature validation failed");
            return SMFIS_REJECT;
        }
    }
    if (check.tc_expired) {
        entry.rcpt_valid = 0;
        log_result("%s: BATV signature expired in `%s'", msg, recipient);
        if (normal_mode()) {
            set_reply(ctx, msg, "BATV signature expired");
            return SMFIS_REJECT;
        }
    }
    // A recipient that was cut is not the one the client gave: replacing it
    // would delete an address that does not exist.
    if (was_cut) {
        return SMFIS_CONTINUE;
    }
    entry.rcpt_new = std::move(check.tc_plain);
    return SMFIS_CONTINUE;
}

sfsistat verify_tag(SMFICTX* ctx, const conn_ctx& cc, msg_ctx& msg, rcpt_entry& entry,
                    const char* recipient, const char* given, bool was_cut) {
    entry.rcpt_tagged = 1;
    // Validation hands back a copy of the plain address; memory for it may
    // run out, and then nothing has been verified. A replacement at end of
    // message deletes the recipient exactly as the MTA gave it: Sendmail
    // matches a deletion byte for byte, brackets included, and deleting the
    // bare address there would leave the tagged recipient beside the plain
    // one.
    tag_check check;
    if (!batv_try_alloc([&] {
            entry.rcpt_given = given;
            check = batv_validate_tag(recipient, batv_tag_form(), current_settings().verify_keys,
                                      static_cast<std::uint32_t>(current_settings().SignatureTTL),
                                      batv_now());
        })) {
        batv_log_strdup_failure(msg.msg_jobid.c_str());
        return SMFIS_TEMPFAIL;
    }
    const verify_outcome outcome = outcome_of(check);
    const sfsistat verdict = apply_check(ctx, msg, entry, check, recipient, was_cut);
    batv_log_verified(cc, msg, recipient, outcome);
    return verdict;
}

sfsistat envrcpt(SMFICTX* ctx, char** argv) {
    assert(argv != nullptr && argv[0] != nullptr);
    const message_contexts found = batv_message_contexts(ctx);
    if (!found) {
        return SMFIS_TEMPFAIL;
    }
    const conn_ctx& cc = *found.cc;
    msg_ctx& msg = *found.msg;
    const char* jobid = msg.msg_jobid.c_str();

    // The brackets go before the limit applies: a tagged address of 511 or
    // 512 characters arrives longer with them.
    const std::string_view given = batv_without_brackets(argv[0]);
    bounded_text<max_address_length> recipient;
    recipient.append(given);
    const bool was_cut = given.size() > max_address_length;

    switch (batv_select(ctx, recipient.c_str(), select_direction::verify, jobid)) {
        case select_outcome::failed:
            return SMFIS_TEMPFAIL;
        case select_outcome::skipped:
            return SMFIS_CONTINUE;
        case select_outcome::selected:
            break;
    }
    if (cc.cc_internal || msg.msg_auth) {
        if (current_settings().LogWhy && current_settings().Syslog) {
            batv_log(LOG_INFO, "%s client internal or authenticated; verification skipped", jobid);
        }
        return SMFIS_CONTINUE;
    }

    if (!batv_try_alloc([&] { msg.msg_rcpts.emplace_front(); })) {
        batv_log_malloc_failure();
        return SMFIS_TEMPFAIL;
    }
    rcpt_entry& entry = msg.msg_rcpts.front();
    if (!batv_try_alloc([&] { entry.rcpt_orig = recipient.view(); })) {
        msg.msg_rcpts.pop_front();
        batv_log_strdup_failure();
        return SMFIS_TEMPFAIL;
    }

    if (batv_is_tagged(recipient.view(), batv_tag_form())) {
        return verify_tag(ctx, cc, msg, entry, recipient.c_str(), argv[0], was_cut);
    }
    if (!msg.msg_sender.empty() && current_settings().AllSenders) {
        return SMFIS_CONTINUE;
    }
    log_result("%s: BATV signature not present in `%s'", msg, recipient.c_str());
    set_reply(ctx, msg, "BATV signature missing");
    batv_log_verified(cc, msg, recipient.view(), verify_outcome::not_signed);
    return SMFIS_CONTINUE;
}

}  // namespace

sfsistat mlfi_envrcpt(SMFICTX* ctx, char** argv) {
    return batv_guarded([&] { return envrcpt(ctx, argv); });
}
