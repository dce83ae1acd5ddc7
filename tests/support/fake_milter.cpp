// The fake libmilter: each smfi_ function the callbacks call records itself
// on the context it was given and succeeds unless the test asked otherwise.
#include "tests/support/fake_milter.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace {

thread_local bool recording = false;

// Records the call and tells whether it is to fail. Takes plain pointers so
// that every allocation of the bookkeeping happens while recording is set.
bool record(SMFICTX* ctx, const char* name, std::initializer_list<const char*> args) {
    recording = true;
    struct done {
        ~done() { recording = false; }
    } done_recording;
    fake_milter_ctx& fake = fake_milter_ctx::of(ctx);
    fake_call call;
    call.name = name;
    for (const char* arg : args) {
        call.args.push_back(arg != nullptr ? std::optional<std::string>(arg) : std::nullopt);
    }
    call.failed = fake.should_fail(call.name);
    fake.calls.push_back(std::move(call));
    return fake.calls.back().failed;
}

int status(bool failed) {
    return failed ? MI_FAILURE : MI_SUCCESS;
}

bool is_query(const std::string& name) {
    return name == "smfi_getpriv" || name == "smfi_setpriv" || name == "smfi_getsymval";
}

}  // namespace

bool fake_milter_recording() {
    return recording;
}

std::string fake_describe(const std::string& name,
                          const std::vector<std::optional<std::string>>& args, bool failed) {
    std::string out = name + "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += args[i] ? "\"" + *args[i] + "\"" : "null";
    }
    out += ")";
    if (failed) {
        out += " failed";
    }
    return out;
}

std::string fake_call::describe() const {
    return fake_describe(name, args, failed);
}

void fake_milter_ctx::fail(const std::string& name, int nth) {
    failures_[name].push_back(nth);
}

bool fake_milter_ctx::should_fail(const std::string& name) {
    const int count = ++counts_[name];
    const auto found = failures_.find(name);
    if (found == failures_.end()) {
        return false;
    }
    const std::vector<int>& which = found->second;
    return std::any_of(which.begin(), which.end(),
                       [&](int nth) { return nth == 0 || nth == count; });
}

std::vector<std::string> fake_milter_ctx::changes() const {
    std::vector<std::string> out;
    for (const fake_call& call : calls) {
        if (!is_query(call.name)) {
            out.push_back(call.describe());
        }
    }
    return out;
}

std::vector<std::string> fake_milter_ctx::calls_to(const std::string& name) const {
    std::vector<std::string> out;
    for (const fake_call& call : calls) {
        if (call.name == name) {
            out.push_back(call.describe());
        }
    }
    return out;
}

// The library functions, with libmilter's C signatures.

int smfi_setpriv(SMFICTX* ctx, void* data) {
    if (record(ctx, "smfi_setpriv", {data != nullptr ? "data" : nullptr})) {
        return MI_FAILURE;
    }
    fake_milter_ctx::of(ctx).priv = data;
    return MI_SUCCESS;
}

void* smfi_getpriv(SMFICTX* ctx) {
    if (record(ctx, "smfi_getpriv", {})) {
        return nullptr;
    }
    return fake_milter_ctx::of(ctx).priv;
}

char* smfi_getsymval(SMFICTX* ctx, char* name) {
    if (record(ctx, "smfi_getsymval", {name}) || name == nullptr) {
        return nullptr;
    }
    fake_milter_ctx& fake = fake_milter_ctx::of(ctx);
    const auto found = fake.macros.find(std::string_view(name));
    return found == fake.macros.end() ? nullptr : found->second.data();
}

int smfi_setreply(SMFICTX* ctx, char* rcode, char* xcode, char* message) {
    return status(record(ctx, "smfi_setreply", {rcode, xcode, message}));
}

int smfi_chgfrom(SMFICTX* ctx, char* mail, char* args) {
    return status(record(ctx, "smfi_chgfrom", {mail, args}) || mail == nullptr);
}

int smfi_addrcpt(SMFICTX* ctx, char* rcpt) {
    return status(record(ctx, "smfi_addrcpt", {rcpt}) || rcpt == nullptr);
}

int smfi_delrcpt(SMFICTX* ctx, char* rcpt) {
    return status(record(ctx, "smfi_delrcpt", {rcpt}) || rcpt == nullptr);
}

int smfi_insheader(SMFICTX* ctx, int index, char* headerf, char* headerv) {
    char position[16];
    std::snprintf(position, sizeof position, "%d", index);
    return status(record(ctx, "smfi_insheader", {position, headerf, headerv}) ||
                  headerf == nullptr || headerv == nullptr);
}

int smfi_quarantine(SMFICTX* ctx, char* reason) {
    return status(record(ctx, "smfi_quarantine", {reason}) || reason == nullptr || *reason == '\0');
}
