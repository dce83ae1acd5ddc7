// miltertest as a subprocess.
#include "tests/support/miltertest.h"

namespace blackbox {

outcome run_miltertest(const std::string& script, const std::map<std::string, std::string>& globals,
                       milliseconds timeout) {
    command cmd;
    cmd.program = "miltertest";
    for (const auto& [name, value] : globals) {
        cmd.args.push_back("-D");
        cmd.args.push_back(name + "=" + value);
    }
    cmd.args.push_back("-s");
    cmd.args.push_back(script);
    return run(cmd, timeout);
}

}  // namespace blackbox
