// The clock seam.
#include "callbacks/clock.h"

#include <atomic>

namespace {
std::atomic<clock_source> current_clock{nullptr};
}  // namespace

std::time_t batv_now() {
    if (clock_source clock = current_clock.load(std::memory_order_acquire)) {
        return clock();
    }
    return std::time(nullptr);
}

void batv_set_clock(clock_source clock) {
    current_clock.store(clock, std::memory_order_release);
}
