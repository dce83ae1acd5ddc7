// The one instance of the settings record, and the record in force.
#include "callbacks/settings.h"

#include <mutex>

namespace {

// The published record and its lock. A callback takes the lock only for
// the time it takes to copy the pointer.
struct published_state {
    std::mutex lock;
    std::shared_ptr<const settings_record> record;
};

// Nothing here is ever destroyed: when smfi_main returns, libmilter's
// session threads may still be finishing a callback that reads it, and
// static destructors would free the key and the lists under them.
union never_destroyed {
    struct {
        settings_record record;
        published_state published;
    } s;
    never_destroyed() : s() {}
    ~never_destroyed() {}
};
never_destroyed storage;

// The record pinned by the callback running on this thread, if any.
thread_local const settings_record* pinned = nullptr;

}  // namespace

settings_record& settings = storage.s.record;

std::shared_ptr<const settings_record> batv_published_settings() {
    published_state& p = storage.s.published;
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.record) {
        return p.record;
    }
    // The process-wide record, which outlives everything: nothing to free.
    return std::shared_ptr<const settings_record>(std::shared_ptr<void>(), &settings);
}

void batv_publish_settings(std::shared_ptr<const settings_record> record) {
    published_state& p = storage.s.published;
    std::shared_ptr<const settings_record> old;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        old = std::exchange(p.record, std::move(record));
    }
    // The old record, if no callback holds it any more, is freed here,
    // outside the lock.
}

const settings_record& current_settings() {
    if (pinned != nullptr) {
        return *pinned;
    }
    published_state& p = storage.s.published;
    std::lock_guard<std::mutex> guard(p.lock);
    return p.record ? *p.record : settings;
}

settings_pin::settings_pin() noexcept : held_(batv_published_settings()), previous_(pinned) {
    pinned = held_.get();
}

settings_pin::~settings_pin() {
    pinned = previous_;
}
