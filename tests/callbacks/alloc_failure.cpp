// Replaces the global operator new and delete of the test program. Until a
// test arms it, operator new is plain malloc.
#include "tests/callbacks/alloc_failure.h"

#include <cstdlib>
#include <new>

#include "tests/support/fake_milter.h"

namespace {

thread_local int countdown = 0;  // allocations left before the failing one; 0 when off
thread_local bool failed_one = false;
thread_local int paused = 0;

void* allocate(std::size_t size) {
    if (countdown > 0 && paused == 0 && !fake_milter_recording()) {
        if (--countdown == 0) {
            failed_one = true;
            throw std::bad_alloc();
        }
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

}  // namespace

void alloc_failure_arm(int nth) {
    countdown = nth;
    failed_one = false;
}

bool alloc_failure_disarm() {
    countdown = 0;
    return failed_one;
}

alloc_failure_pause::alloc_failure_pause() {
    ++paused;
}
alloc_failure_pause::~alloc_failure_pause() {
    --paused;
}

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
