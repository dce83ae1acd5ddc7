// Runs miltertest, a real milter client, on a Lua script. Values reach the
// script as Lua globals (miltertest -D name=value).
#pragma once

#include <map>
#include <string>

#include "tests/support/blackbox.h"

namespace blackbox {

// miltertest fails silently on a Lua error; scripts should wrap their work
// in xpcall and print the traceback, which then shows in outcome::out.
outcome run_miltertest(const std::string& script, const std::map<std::string, std::string>& globals,
                       milliseconds timeout = default_timeout);

}  // namespace blackbox
