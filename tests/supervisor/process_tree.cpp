// /proc readers for the supervisor's black-box tests.
#include "tests/supervisor/process_tree.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace supervisor_test {
namespace {

constexpr blackbox::milliseconds poll_interval{10};

template <typename Probe>
bool poll_until(blackbox::milliseconds timeout, Probe probe) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (probe()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll_interval);
    }
}

}  // namespace

namespace {

std::optional<proc_stat> read_stat_file(const std::string& path) {
    std::optional<std::string> text = blackbox::read_file(path);
    if (!text) {
        return std::nullopt;
    }
    // "pid (comm) state ppid pgrp session ...": comm may hold anything, so
    // read after its last parenthesis.
    std::size_t close = text->rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    proc_stat st;
    long ppid = 0;
    long pgrp = 0;
    long session = 0;
    if (std::sscanf(text->c_str() + close + 1, " %c %ld %ld %ld", &st.state, &ppid, &pgrp,
                    &session) != 4) {
        return std::nullopt;
    }
    st.ppid = static_cast<pid_t>(ppid);
    st.pgrp = static_cast<pid_t>(pgrp);
    st.session = static_cast<pid_t>(session);
    return st;
}

}  // namespace

std::optional<proc_stat> read_proc_stat(pid_t pid) {
    return read_stat_file("/proc/" + std::to_string(pid) + "/stat");
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        std::optional<proc_stat> st = read_proc_stat(pid);
        if (st && st->ppid == parent && st->state != 'Z' && st->state != 'X') {
            children.push_back(pid);
        }
    }
    return children;
}

std::optional<pid_t> wait_for_child(pid_t parent, std::optional<pid_t> previous,
                                    blackbox::milliseconds timeout) {
    std::optional<pid_t> found;
    poll_until(timeout, [&] {
        for (pid_t child : children_of(parent)) {
            if (child != previous) {
                found = child;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool wait_for_state(pid_t pid, char state, blackbox::milliseconds timeout) {
    // Every thread, not only the first: a process stops thread by thread,
    // and one that still runs (the milter library's signal thread) may yet
    // take a signal meant to stay pending.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    return poll_until(timeout, [&] {
        std::error_code ec;
        bool any = false;
        for (const auto& entry : std::filesystem::directory_iterator(tasks, ec)) {
            std::optional<proc_stat> st = read_stat_file(entry.path().string() + "/stat");
            if (!st || st->state != state) {
                return false;
            }
            any = true;
        }
        return any && !ec;
    });
}

std::optional<std::uint64_t> shared_pending(pid_t pid) {
    std::map<std::string, std::string> status = blackbox::proc_status(pid);
    auto it = status.find("ShdPnd");
    if (it == status.end()) {
        return std::nullopt;
    }
    return std::stoull(it->second, nullptr, 16);
}

bool wait_for_pending(pid_t pid, std::uint64_t mask, blackbox::milliseconds timeout) {
    return poll_until(timeout, [&] {
        std::optional<std::uint64_t> pending = shared_pending(pid);
        return pending && (*pending & mask) == mask;
    });
}

std::optional<ino_t> inode_of(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st.st_ino;
}

}  // namespace supervisor_test
