#include "process/config_stage.h"

std::optional<int> batv_config_stage() { return std::nullopt; }
