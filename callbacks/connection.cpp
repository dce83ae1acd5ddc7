// Connection-level callbacks: negotiation with the MTA, the client checks at
// connect (peers pass unfiltered, internal clients get their mail signed)
// and the release of the connection's records at close.
//
// After SMFIC_QUIT_NC libmilter calls mlfi_close and then serves a new SMTP
// session on the same milter connection without negotiating again, so one
// milter connection can carry several sessions, each from its connect to a
// close. What was negotiated holds for all of them; everything else is the
// session's own.
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <syslog.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "callbacks/callbacks.h"
#include "callbacks/context.h"
#include "callbacks/guard.h"
#include "callbacks/settings.h"
#include "callbacks/text.h"
#include "lists/lists.h"
#include "logging/log.h"

namespace {

constexpr unsigned long required_actions =
    SMFIF_ADDHDRS | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGFROM;

// Steps the filter has no callback for; the MTA may leave out those it offers
// to. Connect, MAIL FROM and RCPT TO always stay on, and no reply is waived.
constexpr unsigned long unwanted_steps =
    SMFIP_NOHELO | SMFIP_NOBODY | SMFIP_NOHDRS | SMFIP_NOEOH | SMFIP_NOUNKNOWN | SMFIP_NODATA;
static_assert(unwanted_steps == 0x372);

bool is_internal(const conn_ctx& cc) {
    return vlcf_internal_match(current_settings().internal_hosts, cc.cc_host,
                               reinterpret_cast<const sockaddr*>(&cc.cc_addr));
}

bool is_peer(char* hostname, const _SOCK_ADDR* hostaddr) {
    if (hostname != nullptr && hostname[0] != '\0' && hostname[0] != '[') {
        vlcf_lowercase(hostname);
        if (vlcf_checkhost(current_settings().peer_list, hostname) != 0) {
            return true;
        }
    }
    // IPv4 and IPv6 addresses; any other family matches nothing.
    return hostaddr != nullptr && vlcf_checkip(current_settings().peer_list, hostaddr) != 0;
}

// The record of a session that has none at connect: one that libmilter
// started on the connection after an earlier session closed, or the first
// one when negotiation could not make it. What the negotiation agreed comes
// from what is attached in its place. Null when it cannot be attached.
conn_ctx* open_session_record(SMFICTX* ctx) {
    const bool without_leading_space = smfi_getpriv(ctx) == &no_leading_space_marker;
    auto record = std::make_unique<conn_ctx>();
    record->cc_leading_space = without_leading_space ? 0 : 1;
    if (smfi_setpriv(ctx, record.get()) != MI_SUCCESS) {
        return nullptr;
    }
    // Owned by the milter context from here on; mlfi_close frees it.
    return record.release();
}

}  // namespace

session_marker no_leading_space_marker;

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long /*f2*/,
                        unsigned long /*f3*/, unsigned long* pf0, unsigned long* pf1,
                        unsigned long* pf2, unsigned long* pf3) {
    return batv_guarded([&] {
        const unsigned long required =
            current_settings().Quarantine ? required_actions | SMFIF_QUARANTINE : required_actions;
        if ((f0 & required) != required) {
            if (current_settings().Syslog) {
                batv_log(LOG_ERR,
                         "mlfi_negotiate(): required milter action(s) not available (got 0x%lx, "
                         "need 0x%lx)",
                         f0, required);
            }
            return SMFIS_REJECT;
        }

        // Without a record the connection still negotiates, without the
        // leading blank, and mlfi_connect tries again to make one.
        std::unique_ptr<conn_ctx> record;
        batv_try_alloc([&] { record = std::make_unique<conn_ctx>(); });
        conn_ctx* cc = nullptr;
        if (record && smfi_setpriv(ctx, record.get()) == MI_SUCCESS) {
            // Owned by the milter context from here on; mlfi_close frees it.
            cc = record.release();
        } else {
            smfi_setpriv(ctx, &no_leading_space_marker);
        }

        *pf0 = required;
        *pf1 = f1 & unwanted_steps;
        if ((f1 & SMFIP_HDR_LEADSPC) != 0 && cc != nullptr) {
            cc->cc_leading_space = 1;
            *pf1 |= SMFIP_HDR_LEADSPC;
        }
        *pf2 = 0;
        *pf3 = 0;
        return SMFIS_CONTINUE;
    });
}

sfsistat mlfi_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr) {
    return batv_guarded([&] {
        conn_ctx* cc = batv_conn(ctx);
        if (cc == nullptr) {
            cc = open_session_record(ctx);
        }
        if (cc == nullptr) {
            return SMFIS_TEMPFAIL;
        }
        if (!current_settings().peer_list.empty() && is_peer(hostname, hostaddr)) {
            return SMFIS_ACCEPT;
        }

        std::string_view authservid = "unknown-mta";
        if (current_settings().AuthservID) {
            authservid = *current_settings().AuthservID;
        } else if (const char* j = batv_macro(ctx, "j")) {
            authservid = j;
        }
        cc->cc_authservid = cut_text(authservid, max_host_length);
        if (hostname != nullptr) {
            cc->cc_host = cut_text(hostname, max_host_length);
        }
        if (hostaddr != nullptr) {
            // Only the families the lists know; any other leaves the
            // address unset (AF_UNSPEC).
            const std::size_t size = hostaddr->sa_family == AF_INET    ? sizeof(sockaddr_in)
                                     : hostaddr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                       : 0;
            std::memcpy(&cc->cc_addr, hostaddr, size);
        }
        cc->cc_internal = is_internal(*cc) ? 1 : 0;
        return SMFIS_CONTINUE;
    });
}

// Close cannot tell the end of a milter connection from the end of a
// session that libmilter follows with another on it, so it frees the
// session's record either way and leaves what the next session needs of the
// negotiation in a form that costs nothing if none follows: no private data
// at all after the usual agreement on header values with their own leading
// blank (Postfix, Sendmail and miltertest all offer it), the static marker
// after the agreement without. libmilter warns when a connection ends with
// private data set, which therefore happens only after the rarer agreement.
// A close that finds no record ends the connection: libmilter starts
// another session only after an end of message, which needs a record, so
// the marker goes too.
sfsistat mlfi_close(SMFICTX* ctx) {
    return batv_guarded([&] {
        std::unique_ptr<conn_ctx> cc(batv_conn(ctx));
        if (cc) {
            batv_msg_cleanup(*cc);
            smfi_setpriv(ctx, cc->cc_leading_space ? nullptr : &no_leading_space_marker);
        } else if (smfi_getpriv(ctx) != nullptr) {
            smfi_setpriv(ctx, nullptr);
        }
        return SMFIS_CONTINUE;
    });
}
