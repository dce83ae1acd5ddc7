// TCP_NODELAY on the socket the milter library listens on.
//
// libmilter writes each change at end of message (a sender change, a
// recipient deleted or added, a header) and then the final reply as a
// packet of its own. With Nagle's algorithm on, a small packet waits until
// the peer has acknowledged the one before it; an MTA that delays its
// acknowledgements, as Linux does by default, holds every changed message
// for the length of its delayed-ACK timer, about 40 ms.
//
// libmilter offers no hook on its sockets, and the filter links it as a
// shared library, so wrapping accept at link time would not reach the
// calls the library makes inside itself. The option goes on the listening
// socket instead, right after smfi_opensocket: Linux copies TCP_NODELAY
// from a listening socket to every socket accepted from it. The library
// does not hand out its descriptor either, so it is found among the
// process's descriptors as the listening TCP stream socket; at that point
// in start-up it is the only one (a descriptor inherited in the form
// "fd:N" is found the same way).
//
// libmilter opens the socket once and keeps it: smfi_main serves the
// socket that smfi_opensocket opened, and its accept loop gives up after
// repeated failures rather than opening a new one. A library that did
// re-open its socket would lose the option on the new one.
//
// smfi_opensocket listens before the option can be set, so an MTA that
// connects in between (at a restart under load, for instance) completes its
// handshake on a socket made before the listener had the option; the
// kernel queues it without TCP_NODELAY and libmilter accepts it so. How many
// wait in the queue is known once the option is set: for a listening
// socket, TCP_INFO's tcpi_unacked is the length of its accept queue. They
// are the first connections libmilter accepts, and each session's first
// callback, while any of them may still be waiting, looks through the
// process's descriptors for accepted sockets of the milter port without the
// option and sets it. That runs before the first reply of those sessions,
// and after start-up it is a single atomic load.
#include "process/nodelay.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "callbacks/settings.h"
#include "logging/log.h"

namespace {

// When /proc is not there, descriptors below this are tried one by one.
constexpr int descriptor_scan_limit = 65536;

std::vector<int> open_descriptors() {
    std::vector<int> found;
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name(entry->d_name);
            int fd = -1;
            const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
            if (error == std::errc{} && end == name.data() + name.size() && fd != own) {
                found.push_back(fd);
            }
        }
        closedir(dir);
        return found;
    }
    rlimit limit{};
    rlim_t bound = descriptor_scan_limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < bound) {
        bound = limit.rlim_cur;
    }
    for (int fd = 0; static_cast<rlim_t>(fd) < bound; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            found.push_back(fd);
        }
    }
    return found;
}

bool socket_option_is(int fd, int name, std::initializer_list<int> wanted) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, name, &value, &length) != 0) {
        return false;
    }
    return std::find(wanted.begin(), wanted.end(), value) != wanted.end();
}

bool is_tcp(int fd) {
    return socket_option_is(fd, SO_TYPE, {SOCK_STREAM}) &&
           socket_option_is(fd, SO_DOMAIN, {AF_INET, AF_INET6}) &&
           socket_option_is(fd, SO_PROTOCOL, {IPPROTO_TCP});
}

bool is_listening_tcp(int fd) {
    return socket_option_is(fd, SO_ACCEPTCONN, {1}) && is_tcp(fd);
}

// The family and port a socket is bound to; family 0 when it cannot be read.
std::pair<int, unsigned> bound_to(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {0, 0};
    }
    if (address.ss_family == AF_INET) {
        return {AF_INET, ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port)};
    }
    if (address.ss_family == AF_INET6) {
        return {AF_INET6, ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port)};
    }
    return {0, 0};
}

// Connections in the accept queue of a listening socket.
int queued_connections(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state != TCP_LISTEN) {
        return 0;
    }
    return static_cast<int>(info.tcpi_unacked);
}

bool has_nodelay(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
}

// The listening sockets that got the option, as family and port. Written at
// start-up before libmilter starts any session thread, only read after.
std::vector<std::pair<int, unsigned>> listeners;
// Sessions whose first callback still looks for accepted sockets without
// the option: as many as were queued when the option was set.
std::atomic<int> catch_ups_left{0};

bool names_tcp(std::string_view spec) {
    auto starts_with_ignoring_case = [&](std::string_view prefix) {
        return spec.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), spec.begin(), [](char p, char c) {
                   return p == (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
               });
    };
    return starts_with_ignoring_case("inet:") || starts_with_ignoring_case("inet6:");
}

void warn(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", settings.progname.c_str(), text.c_str());
    if (settings.Syslog) {
        batv_log(LOG_WARNING, "%s", text.c_str());
    }
}

}  // namespace

nodelay_result batv_set_nodelay(const std::string& spec) {
    nodelay_result result;
    std::vector<std::pair<int, unsigned>> found;
    for (const int fd : open_descriptors()) {
        if (!is_listening_tcp(fd)) {
            continue;
        }
        ++result.listening;
        const int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
            if (result.failed++ == 0) {
                result.error = errno;
            }
            continue;
        }
        // Read after the option is set: a connection completed in between
        // is counted although it has the option, which costs one look more.
        result.queued += queued_connections(fd);
        found.push_back(bound_to(fd));
    }
    listeners = std::move(found);
    catch_ups_left.store(result.queued, std::memory_order_relaxed);
    if (result.failed > 0) {
        warn(spec + ": setsockopt(TCP_NODELAY): " + std::strerror(result.error) +
             "; replies may wait for the MTA's acknowledgements");
    } else if (result.listening == 0 && names_tcp(spec)) {
        warn(spec + ": no listening TCP socket found to set TCP_NODELAY on; replies may wait " +
             "for the MTA's acknowledgements");
    }
    return result;
}

int batv_nodelay_catch_up() noexcept {
    int left = catch_ups_left.load(std::memory_order_relaxed);
    do {
        if (left <= 0) {
            return 0;
        }
    } while (!catch_ups_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed));

    int set = 0;
    try {
        for (const int fd : open_descriptors()) {
            // Another session may close a descriptor and open a new one
            // under its number meanwhile; every check is on the socket as it
            // is now, and at worst another milter connection gets the option
            // a second time.
            if (socket_option_is(fd, SO_ACCEPTCONN, {0}) && is_tcp(fd) && !has_nodelay(fd) &&
                std::find(listeners.begin(), listeners.end(), bound_to(fd)) != listeners.end()) {
                const int on = 1;
                if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) {
                    ++set;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        // Without memory for the list of descriptors the session goes on
        // as it is; its replies may wait for the MTA's acknowledgements.
    }
    return set;
}
