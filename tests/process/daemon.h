// Shared pieces of the black-box tests of the vellicor binary.
#pragma once

#include <string>
#include <vector>

#include "tests/support/blackbox.h"

namespace vellicor_test {

inline const std::string binary = VELLICOR_BINARY;

// The binary with argv[0] "vellicor", so that getopt's diagnostics and the
// program's own messages begin with the same name.
inline blackbox::command vellicor(std::vector<std::string> args) {
    blackbox::command cmd;
    cmd.program = binary;
    cmd.argv0 = "vellicor";
    cmd.args = std::move(args);
    return cmd;
}

// A directory with a key file ("key") and room for a socket ("milter.sock")
// and a PID file ("pid"). Open to every user, so that a filter that
// switched to an unprivileged user can still create its socket there.
struct filter_dir {
    blackbox::temp_dir dir{01777};
    std::string key = dir.file("key");
    std::string socket = dir.file("milter.sock");
    std::string pid_file = dir.file("pid");

    filter_dir() { blackbox::write_file(key, "demo-secret\n", 0600); }
    std::string socket_spec() const { return "unix:" + socket; }
    // -p, -k and -P for this directory, then extra.
    std::vector<std::string> args(std::vector<std::string> extra = {}) const {
        std::vector<std::string> a = {"-p", socket_spec(), "-k", key, "-P", pid_file};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

}  // namespace vellicor_test
