// Start-up steps that touch the system: files, users, descriptors, syslog.
#include "process/startup.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "callbacks/settings.h"
#include "logging/log.h"
#include "textfile/textfile.h"

namespace {

struct facility_entry {
    const char* name;
    int facility;
};

constexpr facility_entry facility_table[] = {
    {"auth", LOG_AUTH},     {"cron", LOG_CRON},     {"daemon", LOG_DAEMON}, {"kern", LOG_KERN},
    {"lpr", LOG_LPR},       {"mail", LOG_MAIL},     {"news", LOG_NEWS},     {"security", LOG_AUTH},
    {"syslog", LOG_SYSLOG}, {"user", LOG_USER},     {"uucp", LOG_UUCP},     {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
    {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};

// Case folding of the POSIX locale: only ASCII letters change.
char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

const char* prog() {
    return settings.progname.c_str();
}

// A user given as a number: the whole text is decimal digits.
std::optional<uid_t> numeric_user(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value != static_cast<uid_t>(value)) {
        return std::nullopt;
    }
    return static_cast<uid_t>(value);
}

// Warnings of start-up that belong in the system log too, which is opened
// only after the files have been read.
std::vector<std::string> startup_warnings;

// The stream a reload collects its messages in, or null for standard error.
std::FILE* diagnostics_override = nullptr;

void warn(std::string text) {
    std::fprintf(batv_diagnostics(), "%s: %s\n", prog(), text.c_str());
    // A reload logs what it collected itself.
    if (diagnostics_override == nullptr) {
        startup_warnings.push_back(std::move(text));
    }
}

// A key that others can read lets them forge tags; one they can write, or a
// link someone may redirect, lets them choose the key. The filter still
// starts: the file is the administrator's to fix.
void warn_about_key_file(const std::string& path, const struct stat& opened) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        warn(path + ": key file is a symbolic link");
    }
    if ((opened.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        warn(path + ": key file can be read or written by other users");
    }
}

}  // namespace

std::FILE* batv_diagnostics() {
    return diagnostics_override != nullptr ? diagnostics_override : stderr;
}

void batv_set_diagnostics(std::FILE* stream) {
    diagnostics_override = stream;
}

std::optional<int> batv_syslog_facility(std::string_view name) {
    for (const facility_entry& entry : facility_table) {
        if (equal_ignoring_case(name, entry.name)) {
            return entry.facility;
        }
    }
    return std::nullopt;
}

bool batv_openlog(const std::optional<std::string>& facility) {
    int value = LOG_MAIL;
    if (facility) {
        std::optional<int> found = batv_syslog_facility(*facility);
        if (!found) {
            return false;
        }
        value = *found;
    }
    closelog();
    // The identity must outlive the log: progname is never changed again.
    openlog(settings.progname.c_str(), LOG_PID, value);
    return true;
}

std::string batv_argument_text(int argc, char* const* argv) {
    std::string text;
    std::size_t total = 0;
    for (int i = 1; i < argc && total < argument_text_limit; ++i) {
        const char* prefix = i == 1 ? "args:" : "";
        std::string piece = prefix;
        if (std::strchr(argv[i], ' ') != nullptr) {
            piece.append(" \"").append(argv[i]).append("\"");
        } else {
            piece.append(" ").append(argv[i]);
        }
        total += piece.size();
        text.append(piece, 0, argument_text_limit - text.size());
    }
    return text;
}

std::optional<int> batv_change_directory(const std::string& directory) {
    if (chdir(directory.c_str()) != 0) {
        std::fprintf(batv_diagnostics(), "%s: %s: chdir(): %s\n", prog(), directory.c_str(),
                     std::strerror(errno));
        return EX_UNAVAILABLE;
    }
    return std::nullopt;
}

std::optional<int> batv_read_key(const std::string& path, std::string& key,
                                 std::string_view where) {
    const std::string named = std::string(where) + path;
    const char* name = named.c_str();
    textfile_open_result opened = textfile_open(path.c_str());
    if (opened.not_regular) {
        std::fprintf(batv_diagnostics(), "%s: %s: not a regular file\n", prog(), name);
        return EX_UNAVAILABLE;
    }
    if (!opened.file) {
        // A failing open is named as the call that opens a file for reading
        // has always been named in this message.
        const std::string_view call(opened.failed_call);
        std::fprintf(batv_diagnostics(), "%s: %s: %s(): %s\n", prog(), name,
                     call == "open" ? "fopen" : opened.failed_call, std::strerror(opened.error));
        return EX_UNAVAILABLE;
    }
    const textfile_ptr file = std::move(opened.file);
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) {
        std::fprintf(batv_diagnostics(), "%s: %s: fstat(): %s\n", prog(), name, std::strerror(errno));
        return EX_UNAVAILABLE;
    }
    if (st.st_size == 0) {
        std::fprintf(batv_diagnostics(), "%s: %s: empty file\n", prog(), name);
        return EX_UNAVAILABLE;
    }
    std::string content;
    try {
        content.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        std::fprintf(batv_diagnostics(), "%s: malloc(): %s\n", prog(), std::strerror(ENOMEM));
        return EX_UNAVAILABLE;
    } catch (const std::length_error&) {
        std::fprintf(batv_diagnostics(), "%s: malloc(): %s\n", prog(), std::strerror(ENOMEM));
        return EX_UNAVAILABLE;
    }
    std::size_t got = std::fread(content.data(), 1, content.size(), file.get());
    if (got < content.size()) {
        if (std::ferror(file.get())) {
            std::fprintf(batv_diagnostics(), "%s: %s: fread(): %s\n", prog(), name, std::strerror(errno));
        } else {
            std::fprintf(batv_diagnostics(), "%s: %s: fread(): unexpected end-of-file\n", prog(), name);
        }
        return EX_UNAVAILABLE;
    }
    // The key is text: it ends at the first newline, or earlier at a NUL.
    content.resize(std::min(content.find('\n'), content.size()));
    content.resize(std::strlen(content.c_str()));
    // With an empty secret anyone could compute valid tags.
    if (content.empty()) {
        std::fprintf(batv_diagnostics(), "%s: %s: empty key\n", prog(), name);
        return EX_UNAVAILABLE;
    }
    warn_about_key_file(path, st);
    key = std::move(content);
    return std::nullopt;
}

std::optional<int> batv_load_key(const std::string& path) {
    return batv_read_key(path, settings.key_text);
}

std::optional<int> batv_switch_user(const std::string& user) {
    struct passwd* pw = getpwnam(user.c_str());
    if (pw == nullptr) {
        if (std::optional<uid_t> uid = numeric_user(user)) {
            pw = getpwuid(*uid);
        }
    }
    if (pw == nullptr) {
        std::fprintf(stderr, "%s: no such user `%s'\n", prog(), user.c_str());
        return EX_DATAERR;
    }
    const std::string pw_name = pw->pw_name;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    endpwent();

    // Drop every group of the starting user before the user ID itself, so
    // that nothing of root's group access is left behind.
    if (initgroups(pw_name.c_str(), gid) != 0) {
        std::fprintf(stderr, "%s: initgroups(): %s\n", prog(), std::strerror(errno));
        return EX_NOPERM;
    }
    if (setgid(gid) != 0) {
        std::fprintf(stderr, "%s: setgid(): %s\n", prog(), std::strerror(errno));
        return EX_NOPERM;
    }
    if (setuid(uid) != 0) {
        std::fprintf(stderr, "%s: setuid(): %s\n", prog(), std::strerror(errno));
        return EX_NOPERM;
    }
    return std::nullopt;
}

void batv_redirect_to_devnull() {
    const char* devnull = "/dev/null";
    int fd = open(devnull, O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s: open(): %s\n", prog(), devnull, std::strerror(errno));
        return;
    }
    for (int target = 0; target <= 2; ++target) {
        if (dup2(fd, target) < 0) {
            std::fprintf(stderr, "%s: %s: dup2(): %s\n", prog(), devnull, std::strerror(errno));
            break;
        }
    }
    // When one of the standard descriptors was closed at start, open() may
    // have returned it; it must stay open then.
    if (fd > 2) {
        close(fd);
    }
}

bool batv_write_pidfile(const std::string& path) {
    // Never through a symbolic link: whoever can write the directory could
    // otherwise point the file at anything the filter may write.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (settings.Syslog) {
            batv_log(LOG_ERR, "can't write pid to %s: %s", path.c_str(), std::strerror(errno));
        }
        return false;
    }
    file_ptr file(fdopen(fd, "w"));
    if (!file) {
        const int error = errno;
        close(fd);
        if (settings.Syslog) {
            batv_log(LOG_ERR, "can't write pid to %s: %s", path.c_str(), std::strerror(error));
        }
        return false;
    }
    std::fprintf(file.get(), "%ld\n", static_cast<long>(getpid()));
    if (std::fclose(file.release()) != 0) {
        if (settings.Syslog) {
            batv_log(LOG_ERR, "can't write pid to %s: %s", path.c_str(), std::strerror(errno));
        }
        // What was written may be incomplete; it names no process either way.
        unlink(path.c_str());
        return false;
    }
    return true;
}

std::optional<int> batv_open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is fd itself.
        const int opened = open("/dev/null", O_RDWR);
        if (opened != fd) {
            const int error = errno;
            if (opened >= 0) {
                close(opened);
            }
            std::fprintf(stderr, "%s: /dev/null: open(): %s\n", prog(),
                         std::strerror(opened >= 0 ? EBADF : error));
            return EX_OSERR;
        }
    }
    return std::nullopt;
}

void batv_log_startup_warnings() {
    if (settings.Syslog) {
        for (const std::string& warning : startup_warnings) {
            batv_log(LOG_WARNING, "%s", warning.c_str());
        }
    }
    startup_warnings.clear();
}
