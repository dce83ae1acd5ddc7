// Result lines (LogResults): one informational line per signing and per
// verification decision, in a fixed form a log parser can split at single
// blanks into key=value fields:
//   action=sign job=J client=H addr=A sender=S tagged=T
//   action=verify job=J client=H addr=A rcpt=R result=OUTCOME
// A value that is empty or holds a blank (space or tab), a double quote or a
// backslash stands in double quotes, with '"' and '\' escaped by a
// backslash; control bytes are escaped by batv_log as in every line.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <string>
#include <string_view>

#include "callbacks/context.h"

// The outcome of a verified recipient. not_signed is an untagged recipient
// that had to carry a tag: one of a bounce, or of any message with
// AllSenders off (the recipients the "signature not present" line names).
enum class verify_outcome { pass, forged, expired, version_mismatch, syntax_error, not_signed };

// The outcome's word in a result line.
const char* batv_outcome_word(verify_outcome outcome);

// Appends value to out as a field value, quoted where it must be.
void batv_append_field_value(std::string_view value, std::string& out);

// Room for the text of any IPv4 or IPv6 address.
using address_text_buffer = std::array<char, INET6_ADDRSTRLEN>;

// The client address as inet_ntop writes it, or "unknown" when the
// connection has none (neither AF_INET nor AF_INET6).
std::string_view batv_address_text(const sockaddr_storage& address, address_text_buffer& buffer);

// The lines themselves, written only when LogResults and Syslog are both on.
// A line that cannot get the memory it needs is replaced by the malloc()
// failure line; the decision stands either way.
void batv_log_signed(const conn_ctx& cc, const msg_ctx& msg, std::string_view tagged);
void batv_log_verified(const conn_ctx& cc, const msg_ctx& msg, std::string_view recipient,
                       verify_outcome outcome);
