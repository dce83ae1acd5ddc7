// Reloading on SIGUSR1: the configuration file, the key, the KeyList and the
// lists are read again into a new settings record, with the command line's
// precedence applied again, and the record is published at once. Callbacks
// already running keep the record they started with. A reload that fails
// changes nothing; settings that only a restart can change keep their
// values.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Blocks SIGUSR1 in the calling thread, and so in every thread and worker
// created after it: only the reload thread takes it.
void batv_block_reload_signal();

// Keeps what a reload starts from: the settings as the command line left
// them (called right after the options are read) and the directory start-up
// ran in, where a relative -c path, PeerList path or Include is taken from.
void batv_save_command_line();

// What a reload did, for the log and for tests.
struct reload_outcome {
    bool ok = false;
    std::vector<std::string> messages;   // the loading steps' messages, without progname
    std::vector<std::string> unchanged;  // restart-only settings whose new value was ignored
};

// Reads everything again and, when all of it loads, publishes the new
// record. Logs the outcome when Syslog is on (the old record's setting on
// failure, the new one's on success). Runs on one thread at a time.
reload_outcome batv_reload();

// The thread that waits for SIGUSR1 and reloads. stop() (or the
// destructor) ends it; a reload in progress finishes first.
class reload_thread {
  public:
    reload_thread();
    ~reload_thread();
    reload_thread(const reload_thread&) = delete;
    reload_thread& operator=(const reload_thread&) = delete;
    void stop();

  private:
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
