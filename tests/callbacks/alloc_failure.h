// Makes allocations through operator new fail on demand, on the calling
// thread, so that tests can reach the callbacks' out-of-memory answers.
// The fake libmilter's bookkeeping is never made to fail.
#pragma once

// From now on the nth allocation (counting from 1) throws std::bad_alloc.
void alloc_failure_arm(int nth);
// Stops failing allocations; true when one was made to fail since arming.
bool alloc_failure_disarm();

// Allocations made while one of these lives are left alone.
class alloc_failure_pause {
  public:
    alloc_failure_pause();
    ~alloc_failure_pause();
    alloc_failure_pause(const alloc_failure_pause&) = delete;
    alloc_failure_pause& operator=(const alloc_failure_pause&) = delete;
};
