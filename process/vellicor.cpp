// Start-up of the filter: settings, key, lists, privileges, syslog,
// registration with libmilter, detaching, the PID file and the main loop.
#include "process/vellicor.h"

#include <libmilter/mfapi.h>
#include <sys/types.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "callbacks/callbacks.h"
#include "callbacks/settings.h"
#include "lists/lists.h"
#include "logging/log.h"
#include "process/config_stage.h"
#include "process/load.h"
#include "process/nodelay.h"
#include "process/options.h"
#include "process/reload.h"
#include "process/socket.h"
#include "process/startup.h"
#include "process/supervisor.h"

namespace {

// The first callback of a session: a connection that waited in the accept
// queue before the listening socket had TCP_NODELAY gets the option here,
// before its first reply.
sfsistat negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                   unsigned long f3, unsigned long* pf0, unsigned long* pf1, unsigned long* pf2,
                   unsigned long* pf3) {
    batv_nodelay_catch_up();
    return mlfi_negotiate(ctx, f0, f1, f2, f3, pf0, pf1, pf2, pf3);
}

// Registered exactly as stored. The quarantine capability is not asked for
// here; negotiation requests it when Quarantine is set.
smfiDesc registration = {
    const_cast<char*>(product_name),
    SMFI_VERSION,
    SMFIF_ADDHDRS | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGFROM,
    mlfi_connect,
    nullptr,  // xxfi_helo
    mlfi_envfrom,
    mlfi_envrcpt,
    nullptr,  // xxfi_header
    nullptr,  // xxfi_eoh
    nullptr,  // xxfi_body
    mlfi_eom,
    nullptr,  // xxfi_abort
    mlfi_close,
    nullptr,  // xxfi_unknown
    nullptr,  // xxfi_data
    negotiate,
};
static_assert((SMFIF_ADDHDRS | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGFROM) == 0x4d);

const char* prog() {
    return settings.progname.c_str();
}

// Both on standard error and, when logging, in the system log.
void report_failure(const char* call) {
    if (settings.Syslog) {
        batv_log(LOG_ERR, "%s failed", call);
    }
    std::fprintf(stderr, "%s: %s failed\n", prog(), call);
}

// The socket that could not be opened and, when libmilter left one, the
// system's reason.
void report_socket_failure(int error) {
    std::string text = *settings.Socket + ": smfi_opensocket() failed";
    if (error != 0) {
        text += ": ";
        text += std::strerror(error);
    }
    if (settings.Syslog) {
        batv_log(LOG_ERR, "%s", text.c_str());
    }
    std::fprintf(stderr, "%s: %s\n", prog(), text.c_str());
}

// Everything up to the point where the process is ready to serve: on
// failure the exit status.
std::optional<int> prepare(int argc, char** argv) {
    batv_init_settings(argc > 0 ? argv[0] : nullptr);
    if (auto status = batv_open_standard_descriptors()) {
        return status;
    }

    // A reload request that comes during start-up waits for the thread
    // that serves it, instead of ending the process.
    batv_block_reload_signal();

    if (auto status = batv_parse_options(argc, argv)) {
        return status;
    }
    batv_save_command_line();
    if (settings.config_file) {
        if (auto status = batv_config_stage()) {
            return status;
        }
    }

    // Core dumps are left as the system has them.
    if (settings.EnableCoredumps) {
        if (settings.Syslog) {
            batv_log(LOG_WARNING, "can't enable coredumps; continuing");
        }
        std::fprintf(stderr, "%s: can't enable coredumps; continuing\n", prog());
    }

    if (auto status = batv_complete_settings()) {
        return status;
    }

    // From here on relative paths are relative to BaseDirectory.
    if (settings.BaseDirectory) {
        if (auto status = batv_change_directory(*settings.BaseDirectory)) {
            return status;
        }
    }
    if (auto status = batv_load_files(settings)) {
        return status;
    }

    // After the key and the lists, which need only be readable by the
    // starting user.
    if (settings.UserID) {
        if (auto status = batv_switch_user(*settings.UserID)) {
            return status;
        }
    }

    if (auto status = batv_check_facility(settings)) {
        return status;
    }
    if (settings.Syslog) {
        batv_openlog(settings.SyslogFacility);
    }
    batv_log_startup_warnings();

    // AutoRestart: the supervisor takes over here and comes back only in a
    // worker process. The steps below that belong to the supervisor with
    // auto-restart (the fork-and-exit, the redirection, the PID file) skip
    // themselves in the worker.
    if (settings.AutoRestart) {
        if (auto status = batv_supervise()) {
            return status;
        }
    }

    if (smfi_register(registration) != MI_SUCCESS) {
        report_failure("smfi_register()");
        return EX_UNAVAILABLE;
    }
    // Under the supervisor the socket was checked before this worker was
    // forked. Alone, the check comes here: libmilter's own removal of an
    // old socket would take over one that a running filter serves.
    if (!settings.AutoRestart) {
        if (auto status = batv_check_socket(*settings.Socket)) {
            return status;
        }
    }
    // A faulty specification shows up in smfi_opensocket.
    smfi_setconn(const_cast<char*>(settings.Socket->c_str()));
    errno = 0;
    if (smfi_opensocket(true) != MI_SUCCESS) {
        report_socket_failure(errno);
        return EX_UNAVAILABLE;
    }
    // Over TCP the changes and the reply at end of message leave at once,
    // without waiting for the MTA's delayed acknowledgements.
    batv_set_nodelay(*settings.Socket);
    return std::nullopt;
}

}  // namespace

int vellicor_main(int argc, char** argv) {
    if (auto status = prepare(argc, argv)) {
        return *status;
    }

    // The socket is open, so the starting process has reported any socket
    // error before it detaches.
    if (settings.Background && !settings.AutoRestart) {
        pid_t pid = fork();
        if (pid < 0) {
            int error = errno;
            std::fprintf(stderr, "%s: fork(): %s\n", prog(), std::strerror(error));
            if (settings.Syslog) {
                batv_log(LOG_ERR, "fork(): %s", std::strerror(error));
            }
            return EX_OSERR;
        }
        if (pid > 0) {
            return EX_OK;
        }
    }
    setsid();
    if (!settings.Background && !settings.AutoRestart) {
        batv_redirect_to_devnull();
    }

    // Removed at the end only when this process wrote it.
    const bool own_pidfile =
        settings.PidFile && !settings.AutoRestart && batv_write_pidfile(*settings.PidFile);
    if (settings.Syslog) {
        batv_log(LOG_INFO, "%s v%s starting (%s)", product_name, product_version,
                 batv_argument_text(argc, argv).c_str());
    }

    reload_thread reloader;
    int result = smfi_main();
    reloader.stop();

    if (own_pidfile) {
        unlink(settings.PidFile->c_str());
    }
    return result == MI_FAILURE ? 255 : result;
}
