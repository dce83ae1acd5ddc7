// The one instance of the settings record.
#include "callbacks/settings.h"

namespace {
// The record is never destroyed: when smfi_main returns, libmilter's
// session threads may still be finishing a callback that reads it, and
// static destructors would free the key and the lists under them.
union never_destroyed {
    settings_record record;
    never_destroyed() : record() {}
    ~never_destroyed() {}
};
never_destroyed storage;
}  // namespace

settings_record& settings = storage.record;
