// Selection of envelope addresses for signing and verifying. The same rules
// serve both directions; only the mode bit and the wording of the log lines
// differ. Runs on every callback thread at once over the shared read-only
// lists, so all work state is local and nothing is allocated.
#include "callbacks/select.h"

#include <regex.h>
#include <syslog.h>

#include <cstring>
#include <string_view>

#include "callbacks/context.h"
#include "callbacks/settings.h"
#include "callbacks/text.h"
#include "lists/lists.h"
#include "logging/log.h"

namespace {

struct direction_texts {
    int mode_bit;
    const char* no_domain;
    const char* allow_list;
    const char* all_domains;
    const char* domain_list;
    const char* mta_name;
    const char* macro;
    const char* mode_disabled;
    const char* not_selected;
};

constexpr direction_texts sign_texts = {
    mode_sign,
    "%s no domain found in sender; skipping",
    "%s sender matches allow list; skipping",
    "%s signing for all domains; message will be signed",
    "%s sender matches domain list; message will be signed",
    "%s MTA name matches MTA name list; message will be signed",
    "%s macro value matches macro list; message will be signed",
    "%s signing mode disabled",
    "%s signing mode not selected",
};

constexpr direction_texts verify_texts = {
    mode_verify,
    "%s no domain found in recipient; skipping",
    "%s recipient matches allow list; skipping",
    "%s verifying for all domains; message will be verified",
    "%s recipient matches domain list; message will be verified",
    "%s MTA name matches MTA name list; message will be verified",
    "%s macro value matches macro list; message will be verified",
    "%s verifying mode disabled",
    "%s verifying mode not selected",
};

// An explanatory line, written only when the operator asked why.
void log_why(const char* format, const char* jobid) {
    if (current_settings().LogWhy && current_settings().Syslog) {
        batv_log(LOG_INFO, format, jobid);
    }
}

unsigned char fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool domain_selected(std::string_view domain) {
    for (const domain_entry& entry : current_settings().domain_list) {
        if (vlcf_name_matches(entry.de_name, domain)) {
            return true;
        }
    }
    return false;
}

bool mta_selected(SMFICTX* ctx) {
    const char* daemon_name = batv_macro(ctx, "{daemon_name}");
    if (daemon_name == nullptr) {
        return false;
    }
    for (const std::string& name : current_settings().mta_list) {
        if (equals_ignoring_case(name, daemon_name)) {
            return true;
        }
    }
    return false;
}

// True when value equals one of the '|'-separated alternatives; empty
// pieces are no alternatives.
bool matches_alternative(std::string_view alternatives, std::string_view value) {
    while (!alternatives.empty()) {
        const std::size_t bar = alternatives.find('|');
        const std::string_view piece = alternatives.substr(0, bar);
        if (!piece.empty() && equals_ignoring_case(piece, value)) {
            return true;
        }
        if (bar == std::string_view::npos) {
            break;
        }
        alternatives.remove_prefix(bar + 1);
    }
    return false;
}

bool macro_selected(SMFICTX* ctx) {
    const macro_list_t& list = current_settings().macro_list;
    for (std::size_t i = 0; i < list.macro_names.size(); ++i) {
        bounded_text<max_address_length> name;
        name.append("{");
        name.append(list.macro_names[i]);
        name.append("}");
        const char* value = batv_macro(ctx, name.c_str());
        if (value == nullptr) {
            continue;
        }
        const std::optional<std::string>* alternatives =
            i < list.macro_values.size() ? &list.macro_values[i] : nullptr;
        if (alternatives == nullptr || !*alternatives ||
            matches_alternative(cut_text(**alternatives, max_address_length), value)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string_view batv_without_brackets(std::string_view address) {
    if (address.empty() || address.front() != '<') {
        return address;
    }
    // The kept text is [start, stop); each round peels one '>' and one '<'.
    std::size_t start = 0;
    std::size_t stop = address.size();
    while (stop > start && address[stop - 1] == '>') {
        --stop;
        ++start;
        if (start >= stop || address[start] != '<') {
            break;
        }
    }
    return address.substr(start, stop - start);
}

std::size_t batv_strip_brackets(char* address, std::size_t length) {
    const std::string_view kept = batv_without_brackets({address, length});
    std::memmove(address, kept.data(), kept.size());
    address[kept.size()] = '\0';
    return kept.size();
}

select_outcome batv_select(SMFICTX* ctx, const char* address, select_direction direction,
                           const char* jobid) {
    const direction_texts& texts = direction == select_direction::sign ? sign_texts : verify_texts;
    const std::string_view text(address);

    const std::size_t at = text.find('@');
    if (at == std::string_view::npos) {
        log_why(texts.no_domain, jobid);
        return select_outcome::skipped;
    }

    const allow_match allowed = vlcf_allow_match(current_settings().allow_list, address);
    if (allowed.result == allow_result::match) {
        log_why(texts.allow_list, jobid);
        return select_outcome::skipped;
    }
    if (allowed.result == allow_result::error) {
        if (current_settings().Syslog) {
            char reason[max_address_length + 1] = {};
            regerror(allowed.regexec_status, allowed.regex, reason, max_address_length);
            batv_log(LOG_ERR, "%s: regexec(): %s", jobid, reason);
        }
        return select_outcome::failed;
    }

    bool selected = false;
    if (current_settings().domain_list.empty()) {
        selected = true;
        log_why(texts.all_domains, jobid);
    } else if (domain_selected(text.substr(at + 1))) {
        selected = true;
        log_why(texts.domain_list, jobid);
    }
    if (!selected && !current_settings().mta_list.empty() && mta_selected(ctx)) {
        selected = true;
        log_why(texts.mta_name, jobid);
    }
    if (!selected && !current_settings().macro_list.macro_names.empty() && macro_selected(ctx)) {
        selected = true;
        log_why(texts.macro, jobid);
    }

    if (selected && (current_settings().Mode & texts.mode_bit) != 0) {
        return select_outcome::selected;
    }
    log_why(selected ? texts.mode_disabled : texts.not_selected, jobid);
    return select_outcome::skipped;
}
