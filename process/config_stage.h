// Applies the configuration file named with -c to the settings record: each
// key under its setting's precedence rule, in a fixed order, with the
// PeerList loaded at once.
#pragma once

#include <optional>

// Runs only when settings.config_file is set. Returns the exit status when
// start-up must end (the message is already on standard error), or nothing
// when start-up goes on.
std::optional<int> batv_config_stage();
