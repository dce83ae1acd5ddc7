// The one instance of the settings record.
#include "callbacks/settings.h"

settings_record settings;
