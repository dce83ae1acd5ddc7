// Socket checks before the milter library opens the socket. libmilter's own
// removal of an old socket would take over one that a running filter still
// serves, and an unchecked unlink would delete whatever the path names; so
// the path is examined with lstat, probed with connect on exactly the bytes
// that are then removed, and only a socket that refuses is unlinked.
#include "process/socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "callbacks/settings.h"
#include "logging/log.h"

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (ascii_lower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// A descriptor closed when it goes out of scope.
struct socket_handle {
    int fd;
    explicit socket_handle(int descriptor) : fd(descriptor) {}
    ~socket_handle() {
        if (fd >= 0) {
            close(fd);
        }
    }
    socket_handle(const socket_handle&) = delete;
    socket_handle& operator=(const socket_handle&) = delete;
};

socket_failure failure(const std::string& path, std::string_view what) {
    std::string message = path;
    message += ": ";
    message += what;
    return socket_failure{std::move(message), EX_UNAVAILABLE};
}

socket_failure call_failure(const std::string& path, std::string_view call, int error) {
    std::string what(call);
    what += "(): ";
    what += std::strerror(error);
    return failure(path, what);
}

}  // namespace

std::optional<std::string> batv_socket_path(const std::string& spec) {
    const std::string_view text(spec);
    if (text.starts_with('/')) {
        return spec;
    }
    for (std::string_view prefix : {std::string_view("local:"), std::string_view("unix:")}) {
        if (starts_with_ignoring_case(text, prefix)) {
            return std::string(text.substr(prefix.size()));
        }
    }
    return std::nullopt;
}

std::optional<socket_failure> batv_socket_cleanup(const std::string& spec) {
    const std::optional<std::string> found = batv_socket_path(spec);
    if (!found) {
        return std::nullopt;
    }
    const std::string& path = *found;
    if (path.empty()) {
        return socket_failure{spec + ": no socket path", EX_UNAVAILABLE};
    }

    sockaddr_un address{};
    // The probe must name the very path that is removed: a path the
    // address cannot hold whole is refused, never cut.
    if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        return failure(path, "socket path too long");
    }

    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        // Nothing there (or a directory on the way missing): libmilter
        // creates the socket or reports why it cannot.
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return call_failure(path, "lstat", errno);
    }
    if (!S_ISSOCK(st.st_mode)) {
        return failure(path, "not a socket; left untouched");
    }

    const socket_handle sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (sock.fd < 0) {
        return call_failure(path, "socket", errno);
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (connect(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return failure(path, "socket in use by another process");
    }
    switch (errno) {
        case ECONNREFUSED:
            // Nobody listens: the socket a previous filter left behind.
            if (unlink(path.c_str()) != 0 && errno != ENOENT) {
                return call_failure(path, "unlink", errno);
            }
            return std::nullopt;
        case ENOENT:
            return std::nullopt;  // removed since the lstat
        case EAGAIN:
            // A listener whose backlog is full is alive all the same.
            return failure(path, "socket in use by another process");
        default:
            return call_failure(path, "connect", errno);
    }
}

std::optional<int> batv_check_socket(const std::string& spec) {
    const std::optional<socket_failure> failure = batv_socket_cleanup(spec);
    if (!failure) {
        return std::nullopt;
    }
    if (settings.Syslog) {
        batv_log(LOG_ERR, "%s", failure->message.c_str());
    }
    std::fprintf(stderr, "%s: %s\n", settings.progname.c_str(), failure->message.c_str());
    return failure->status;
}
