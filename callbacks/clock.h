// The one way in for the time of day, so that tests can set it.
#pragma once

#include <ctime>

// The current time as the callbacks see it.
std::time_t batv_now();
using clock_source = std::time_t (*)();
// Installs a clock in place of time(2); null restores it.
void batv_set_clock(clock_source clock);
