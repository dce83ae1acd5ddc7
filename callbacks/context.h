// The records the callbacks keep per connection, per message and per
// verified recipient, and how a callback finds them. A conn_ctx lives for
// one SMTP session of a milter connection, from negotiation (or, for a later
// session on the same connection, from connect) to close, and is attached
// to the milter context as its private data; it owns the current msg_ctx,
// which owns its recipient entries.
#pragma once

#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <forward_list>
#include <memory>
#include <optional>
#include <string>

#include "callbacks/settings.h"
#include "tags/tags.h"

struct rcpt_entry {
    int rcpt_tagged = 0;                  // the recipient carried a tag in the selected form
    int rcpt_valid = 0;                   // no check has failed the tag
    int rcpt_badversion = 0;              // key number differed (kept in header mode only)
    std::string rcpt_orig;                // as received, brackets removed, at most 512 characters
    std::optional<std::string> rcpt_new;  // the plain address that replaces rcpt_orig
    std::string rcpt_given;               // tagged: as the MTA passed it, brackets kept
};

struct msg_ctx {
    int msg_auth = 0;                          // client counts as authenticated
    std::string msg_jobid;                     // macro "i", or unknown_jobid
    std::string msg_sender;                    // envelope sender, brackets removed
    std::optional<std::string> msg_newsender;  // tagged sender to install
    std::optional<std::string> msg_esmtpargs;  // MAIL FROM parameters, blank-joined
    std::forward_list<rcpt_entry> msg_rcpts;   // newest first
};

struct conn_ctx {
    int cc_leading_space = 0;   // inserted header values bring their own blank
    int cc_internal = 0;        // client matched the internal host list
    std::string cc_authservid;  // at most 256 characters
    std::string cc_host;        // at most 256 characters
    sockaddr_storage cc_addr{};  // the client's IPv4 or IPv6 address, else AF_UNSPEC
    std::unique_ptr<msg_ctx> cc_msg;
};

inline constexpr const char* unknown_jobid = "unknown-jobid";

// What the private data of a milter connection holds after a session closed
// when the negotiation agreed on header values without a leading blank;
// after one that agreed on a leading blank it holds nothing (see
// mlfi_close). Never a record.
struct session_marker {};
extern session_marker no_leading_space_marker;

// The connection's record, or null when it has none.
inline conn_ctx* batv_conn(SMFICTX* ctx) {
    void* priv = smfi_getpriv(ctx);
    return priv == &no_leading_space_marker ? nullptr : static_cast<conn_ctx*>(priv);
}

// The records of a callback inside a message (RCPT TO, end of message):
// both exist whenever the MTA gets there, since MAIL FROM makes the message
// context or temp-fails.
struct message_contexts {
    conn_ctx* cc = nullptr;
    msg_ctx* msg = nullptr;
    explicit operator bool() const { return msg != nullptr; }
};

// Fetches the records and takes a job id the MTA has defined since MAIL
// FROM. Empty (the caller temp-fails) when a record is missing or the job
// id could not be copied, which it logs.
message_contexts batv_message_contexts(SMFICTX* ctx);

// Releases the connection's current message context, if any.
void batv_msg_cleanup(conn_ctx& cc);

// The value of an MTA macro, or null when the MTA does not define it.
inline const char* batv_macro(SMFICTX* ctx, const char* name) {
    return smfi_getsymval(ctx, const_cast<char*>(name));
}

// The MTA's job id (macro "i"), or null when it defines none or an empty
// one: either way the message's job id is unknown_jobid.
inline const char* batv_jobid_macro(SMFICTX* ctx) {
    const char* jobid = batv_macro(ctx, "i");
    return jobid != nullptr && *jobid != '\0' ? jobid : nullptr;
}

// When the MTA gave no job id at MAIL FROM, takes macro "i" as soon as a
// later callback of the message sees it. False when the copy failed.
bool batv_refresh_jobid(SMFICTX* ctx, msg_ctx& msg);

// The address form that SendmailFormat selects, for signing and detection.
inline tag_form batv_tag_form() {
    return current_settings().SendmailFormat ? tag_form::sendmail : tag_form::standard;
}
