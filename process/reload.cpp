// Reloading the settings while the filter serves mail.
#include "process/reload.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "callbacks/settings.h"
#include "logging/log.h"
#include "process/config_stage.h"
#include "process/load.h"
#include "process/options.h"
#include "process/startup.h"

namespace {

// The settings as the options left them, before the configuration file.
// Written once at start-up, before any thread exists; read by reloads.
std::optional<settings_record> command_line_settings;

// The directory start-up ran in, for the configuration stage of a reload.
int start_directory = -1;

sigset_t reload_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

// Collects what the loading steps write, in place of standard error.
class captured_messages {
  public:
    captured_messages() : stream_(open_memstream(&buffer_, &size_)) {
        if (stream_ != nullptr) {
            batv_set_diagnostics(stream_);
        }
    }
    ~captured_messages() {
        finish();
        std::free(buffer_);
    }
    captured_messages(const captured_messages&) = delete;
    captured_messages& operator=(const captured_messages&) = delete;

    // The lines written, each without the "progname: " it starts with.
    std::vector<std::string> lines(std::string_view progname) {
        finish();
        std::vector<std::string> out;
        std::string_view text(buffer_ != nullptr ? buffer_ : "", size_);
        const std::string prefix = std::string(progname) + ": ";
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            if (line.starts_with(prefix)) {
                line.remove_prefix(prefix.size());
            }
            if (!line.empty()) {
                out.emplace_back(line);
            }
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        }
        return out;
    }

  private:
    void finish() {
        if (stream_ != nullptr) {
            batv_set_diagnostics(nullptr);
            std::fclose(stream_);
            stream_ = nullptr;
        }
    }

    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

template <typename T>
void keep(const char* name, T& fresh, const T& running, std::vector<std::string>& unchanged) {
    if (fresh != running) {
        unchanged.emplace_back(name);
    }
    fresh = running;
}

// The settings only a restart can change: they keep their running values,
// and those the files changed are named.
void keep_restart_settings(settings_record& fresh, const settings_record& running,
                           std::vector<std::string>& unchanged) {
    keep("Socket", fresh.Socket, running.Socket, unchanged);
    keep("UserID", fresh.UserID, running.UserID, unchanged);
    keep("Background", fresh.Background, running.Background, unchanged);
    keep("AutoRestart", fresh.AutoRestart, running.AutoRestart, unchanged);
    keep("AutoRestartCount", fresh.AutoRestartCount, running.AutoRestartCount, unchanged);
    if (fresh.AutoRestartRateCount != running.AutoRestartRateCount ||
        fresh.AutoRestartRateInterval != running.AutoRestartRateInterval) {
        unchanged.emplace_back("AutoRestartRate");
    }
    fresh.AutoRestartRateCount = running.AutoRestartRateCount;
    fresh.AutoRestartRateInterval = running.AutoRestartRateInterval;
    keep("PidFile", fresh.PidFile, running.PidFile, unchanged);
    keep("MilterDebug", fresh.MilterDebug, running.MilterDebug, unchanged);
    keep("BaseDirectory", fresh.BaseDirectory, running.BaseDirectory, unchanged);
    keep("EnableCoredumps", fresh.EnableCoredumps, running.EnableCoredumps, unchanged);
}

// The configuration stage in the directory start-up ran in, then back to
// the one the filter works in.
std::optional<int> read_configuration(settings_record& fresh, const settings_record& running) {
    const char* prog = settings.progname.c_str();
    const bool moved = running.BaseDirectory.has_value() && start_directory >= 0;
    if (moved && fchdir(start_directory) != 0) {
        std::fprintf(batv_diagnostics(), "%s: start directory: fchdir(): %s\n", prog,
                     std::strerror(errno));
        return EX_UNAVAILABLE;
    }
    std::optional<int> status = batv_config_stage(fresh);
    if (moved && chdir(running.BaseDirectory->c_str()) != 0) {
        // Nothing relative can be trusted any more; say so loudly.
        const int error = errno;
        std::fprintf(batv_diagnostics(), "%s: %s: chdir(): %s\n", prog,
                     running.BaseDirectory->c_str(), std::strerror(error));
        return EX_UNAVAILABLE;
    }
    return status;
}

// Builds the new record; nothing when a step failed.
std::shared_ptr<settings_record> build(const settings_record& running, reload_outcome& outcome) {
    auto fresh = std::make_shared<settings_record>(*command_line_settings);
    if (read_configuration(*fresh, running)) {
        return nullptr;
    }
    if (!fresh->KeyFile) {
        std::fprintf(batv_diagnostics(), "%s: no KeyFile given\n", settings.progname.c_str());
        return nullptr;
    }
    keep_restart_settings(*fresh, running, outcome.unchanged);
    batv_apply_defaults(*fresh);
    if (batv_load_files(*fresh) || batv_check_facility(*fresh)) {
        return nullptr;
    }
    return fresh;
}

void log_outcome(const settings_record& s, const reload_outcome& outcome) {
    if (!s.Syslog) {
        return;
    }
    const int priority = outcome.ok ? LOG_WARNING : LOG_ERR;
    for (const std::string& line : outcome.messages) {
        batv_log(priority, "%s", line.c_str());
    }
    if (!outcome.ok) {
        batv_log(LOG_ERR, "reload failed; keeping the old settings");
        return;
    }
    for (const std::string& name : outcome.unchanged) {
        batv_log(LOG_WARNING, "reload: %s needs a restart to change; keeping the old value",
                 name.c_str());
    }
    batv_log(LOG_INFO, "settings reloaded");
}

}  // namespace

void batv_block_reload_signal() {
    const sigset_t set = reload_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void batv_save_command_line() {
    command_line_settings.emplace(settings);
    if (start_directory < 0) {
        start_directory = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
}

reload_outcome batv_reload() {
    reload_outcome outcome;
    const std::shared_ptr<const settings_record> running = batv_published_settings();
    std::shared_ptr<settings_record> fresh;
    {
        captured_messages captured;
        if (command_line_settings) {
            fresh = build(*running, outcome);
        }
        outcome.messages = captured.lines(settings.progname);
    }
    outcome.ok = fresh != nullptr;
    if (!outcome.ok) {
        log_outcome(*running, outcome);
        return outcome;
    }
    // The log follows the new settings before anything is logged with them.
    if (fresh->Syslog && (!running->Syslog || fresh->SyslogFacility != running->SyslogFacility)) {
        batv_openlog(fresh->SyslogFacility);
    }
    batv_publish_settings(fresh);
    log_outcome(*fresh, outcome);
    return outcome;
}

reload_thread::reload_thread() {
    // The thread is created with every signal blocked, so that none meant
    // for libmilter's own signal handling (SIGTERM, SIGHUP, SIGINT) is ever
    // delivered to it.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] {
        const sigset_t set = reload_signals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) {
                continue;
            }
            if (stopping_.load()) {
                return;
            }
            try {
                batv_reload();
            } catch (...) {
                // Out of memory while reloading: the old settings stay.
                if (current_settings().Syslog) {
                    batv_log(LOG_ERR, "reload failed; keeping the old settings");
                }
            }
        }
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

reload_thread::~reload_thread() {
    stop();
}

void reload_thread::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_.store(true);
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}
