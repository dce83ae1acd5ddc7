// What /proc tells about the supervisor's processes: the children of a
// process, its session, its state and the signals pending for it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/blackbox.h"

namespace supervisor_test {

// The fields of /proc/PID/stat after the command name: state, ppid, pgrp,
// session. Nothing when the process is gone.
struct proc_stat {
    char state = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    pid_t session = 0;
};
std::optional<proc_stat> read_proc_stat(pid_t pid);

// The live (not zombie) children of parent.
std::vector<pid_t> children_of(pid_t parent);

// Polls until parent has a live child other than previous; nothing at the
// timeout.
std::optional<pid_t> wait_for_child(pid_t parent, std::optional<pid_t> previous = std::nullopt,
                                    blackbox::milliseconds timeout = blackbox::default_timeout);

// Polls until every thread of the process is in the given state ('T' stopped, ...).
bool wait_for_state(pid_t pid, char state,
                    blackbox::milliseconds timeout = blackbox::default_timeout);

// The process-wide pending signals (ShdPnd) as a bit mask, bit n-1 for
// signal n.
std::optional<std::uint64_t> shared_pending(pid_t pid);

// Polls until every bit of mask is pending for the process.
bool wait_for_pending(pid_t pid, std::uint64_t mask,
                      blackbox::milliseconds timeout = blackbox::default_timeout);

// The inode of a path, or nothing when it does not exist.
std::optional<ino_t> inode_of(const std::string& path);

}  // namespace supervisor_test
