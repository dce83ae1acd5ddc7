// Loading the files the settings name: the key, the retired keys of the
// KeyList, and the lists. Start-up, a reload and the operator tool all run
// these same steps, on the record they build; messages go to
// batv_diagnostics().
#pragma once

#include <array>
#include <optional>
#include <string>

#include "tags/tags.h"

struct settings_record;

// Reads the key file, the KeyList and the list files into s, in a fixed
// order, and builds s.verify_keys. Relative paths are taken from the working
// directory. Returns the exit status start-up ends with on the first
// failure.
std::optional<int> batv_load_files(settings_record& s);

// Reads a KeyList: one retired key per line, its number 0 to 9, blank space,
// and the path of its key file; blank lines and '#' comments are skipped.
// Each key goes into keys under its number, and its path into files when
// given. A number equal to key_version or listed twice, and a line of any
// other form, end with EX_CONFIG; a key file that cannot be read with
// EX_UNAVAILABLE; both name the list and the line. Nothing is taken from a
// list that fails.
std::optional<int> batv_load_key_list(const std::string& path, int key_version, key_table& keys,
                                      std::array<std::optional<std::string>, 10>* files = nullptr);

// The SyslogFacility check of start-up: EX_CONFIG for a name outside the
// facility table.
std::optional<int> batv_check_facility(const settings_record& s);
