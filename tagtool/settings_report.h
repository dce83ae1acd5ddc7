// The settings report of `vellicor-tag config': every setting the filter
// would start with, one per line in the configuration file's syntax, with
// what the file cannot say (the number of entries loaded, settings left
// unset, the retired keys) in comments. Key secrets never appear.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

struct settings_record;

void tagtool_print_settings(std::FILE* out, const settings_record& s);
