// The settings report of `vellicor-tag config': every setting the filter
// would start with, one per line in the configuration file's syntax, with
// what the file cannot say (the number of entries loaded, settings left
// unset, the retired keys) in comments. Key secrets never appear.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tags/tags.h"

struct settings_record;

// Where the settings came from, where the record does not keep it.
struct settings_sources {
    std::optional<std::string> peer_list;  // the PeerList path
    // The retired keys of the KeyList: number and key file path.
    std::vector<std::pair<int, std::string>> retired_keys;
};

// The PeerList value of the configuration file, read again with the
// configuration reader; nothing when the key is absent, when the file
// cannot be read again, or for standard input ("-"), which was read once
// already.
std::optional<std::string> tagtool_peer_list_path(const std::string& config_file);

// The numbers and key file paths of a KeyList the loading steps accepted,
// read again; only numbers that keys holds a secret for are kept.
std::vector<std::pair<int, std::string>> tagtool_key_list_paths(const std::string& path,
                                                                const key_table& keys);

void tagtool_print_settings(std::FILE* out, const settings_record& s,
                            const settings_sources& sources);
