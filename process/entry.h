// The shell around a program's entry point that makes sure no exception
// leaves main: a failed allocation prints "malloc(): ..." and exits 71, any
// other exception its text and 70. Shared by the filter and the operator
// tool.
#pragma once

#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "callbacks/settings.h"

template <typename Body>
int batv_guarded_main(const char* fallback_name, Body&& body) noexcept {
    const auto name = [fallback_name] {
        return settings.progname.empty() ? fallback_name : settings.progname.c_str();
    };
    try {
        return body();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: malloc(): %s\n", name(), std::strerror(ENOMEM));
        return EX_OSERR;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name(), e.what());
        return EX_SOFTWARE;
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", name());
        return EX_SOFTWARE;
    }
}
