// The vellicor-tag executable: a thin shell around the tool that makes sure
// no exception leaves main.
#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "callbacks/settings.h"
#include "tagtool/tagtool.h"

namespace {
const char* name() {
    return settings.progname.empty() ? "vellicor-tag" : settings.progname.c_str();
}
}  // namespace

int main(int argc, char** argv) {
    try {
        return tagtool_main(argc, argv);
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
