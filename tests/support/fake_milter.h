// A recording stand-in for the libmilter functions the callbacks call.
// Linked into unit tests in place of the real library: a fake_milter_ctx
// plays one milter connection. It holds the private data pointer and the
// macros the MTA defines, records every smfi_ call made on it in order with
// its arguments, and fails the calls a test asks it to.
#pragma once

#include <libmilter/mfapi.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct fake_call {
    std::string name;                              // "smfi_insheader"
    std::vector<std::optional<std::string>> args;  // text arguments; none for a null pointer;
                                                   // integers in decimal
    bool failed = false;                           // the fake made this call fail

    // The call as text, arguments quoted: smfi_addrcpt("a@b.c"), with
    // " failed" appended when it failed.
    std::string describe() const;
};

// Describes a call the way fake_call::describe does, for expectations.
std::string fake_describe(const std::string& name,
                          const std::vector<std::optional<std::string>>& args, bool failed = false);

struct fake_milter_ctx {
    void* priv = nullptr;
    // Macros by the name the filter asks for ("i", "{daemon_name}"). A test
    // changes them between callbacks to play the MTA's stages.
    std::map<std::string, std::string, std::less<>> macros;
    std::vector<fake_call> calls;

    SMFICTX* handle() { return reinterpret_cast<SMFICTX*>(this); }
    static fake_milter_ctx& of(SMFICTX* ctx) { return *reinterpret_cast<fake_milter_ctx*>(ctx); }

    // Makes the nth call (counting from 1, since this context was made) of
    // the function name fail: MI_FAILURE, or a null result for
    // smfi_getpriv and smfi_getsymval. nth 0 fails every call.
    void fail(const std::string& name, int nth = 0);

    // The calls that change the message or the reply, in order, described:
    // everything but smfi_getpriv, smfi_setpriv and smfi_getsymval.
    std::vector<std::string> changes() const;
    // The calls of one function, described.
    std::vector<std::string> calls_to(const std::string& name) const;
    void clear_calls() { calls.clear(); }

    // Counts calls and decides failures; used by the fake smfi_ functions.
    bool should_fail(const std::string& name);

  private:
    std::map<std::string, std::vector<int>> failures_;
    std::map<std::string, int> counts_;
};

// True while the fake records a call. Tests that make allocations fail leave
// the fake's own bookkeeping alone with it.
bool fake_milter_recording();
