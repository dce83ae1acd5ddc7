// TCP_NODELAY on the listening milter socket: set on listening IPv4 and
// IPv6 TCP sockets and nothing else, passed on by the kernel to the sockets
// accepted from them, caught up on connections that were already queued
// when it was set, and a warning where a TCP socket was asked for and none
// turned up.
#include "process/nodelay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "callbacks/settings.h"
#include "logging/log.h"
#include "tests/support/blackbox.h"

namespace {

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

// TCP_NODELAY as the kernel reports it, or -1 when it cannot be read.
int nodelay_of(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0) {
        return -1;
    }
    return value != 0 ? 1 : 0;
}

// A TCP socket bound to the loopback address of family, listening when
// asked to; fd -1 when the family has no loopback address here.
struct tcp_socket {
    socket_handle sock;
    sockaddr_storage address{};
    socklen_t length = 0;

    tcp_socket(int family, bool listening) : sock(socket(family, SOCK_STREAM, 0)) {
        if (sock.fd < 0) {
            return;
        }
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in;
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof *in6;
        }
        if (bind(sock.fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && listen(sock.fd, 4) != 0) ||
            getsockname(sock.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            close(sock.fd);
            sock.fd = -1;
        }
    }

    // A connection to this socket, not yet accepted; false if it failed.
    bool connect_one(socket_handle& client) const {
        client.fd = socket(address.ss_family, SOCK_STREAM, 0);
        return client.fd >= 0 &&
               connect(client.fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }

    // A connection to this socket, accepted: the accepted end's descriptor.
    int accept_one(socket_handle& client) const {
        return connect_one(client) ? accept(sock.fd, nullptr, nullptr) : -1;
    }

    // Waits until count connections have completed their handshake and sit
    // in the accept queue; false if they do not within a second.
    bool wait_queued(unsigned count) const {
        for (int tries = 0; tries < 100; ++tries) {
            tcp_info info{};
            socklen_t size = sizeof info;
            if (getsockopt(sock.fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
                info.tcpi_unacked == count) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

// A listening UNIX-domain socket in dir.
int unix_listener(const blackbox::temp_dir& dir) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.file("milter.sock");
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::string> warnings;
void record_warning(int priority, const char* line) {
    if (priority == LOG_WARNING) {
        warnings.push_back(line);
    }
}

class Nodelay : public testing::Test {
  protected:
    void SetUp() override {
        settings = settings_record{};
        settings.progname = "vellicor";
        settings.Syslog = 1;
        warnings.clear();
        batv_set_log_sink(record_warning);
    }
    void TearDown() override {
        batv_set_log_sink(nullptr);
        settings = settings_record{};
    }
};

// Only the listening TCP sockets get the option: not a UNIX-domain
// listener, and not a TCP socket that is bound but does not listen.
TEST_F(Nodelay, SetOnListeningTcpSocketsOnly) {
    const tcp_socket inet(AF_INET, true);
    const tcp_socket inet6(AF_INET6, true);
    const tcp_socket bound_only(AF_INET, false);
    ASSERT_GE(inet.sock.fd, 0) << std::strerror(errno);
    ASSERT_GE(bound_only.sock.fd, 0) << std::strerror(errno);
    // A machine without an IPv6 loopback address tests IPv4 alone.
    const bool has_inet6 = inet6.sock.fd >= 0;
    blackbox::temp_dir dir;
    const socket_handle local(unix_listener(dir));
    ASSERT_GE(local.fd, 0) << std::strerror(errno);
    ASSERT_EQ(nodelay_of(inet.sock.fd), 0);

    testing::internal::CaptureStderr();
    const nodelay_result result = batv_set_nodelay("inet:8894@127.0.0.1");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(result.listening, has_inet6 ? 2 : 1);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(nodelay_of(inet.sock.fd), 1);
    if (has_inet6) {
        EXPECT_EQ(nodelay_of(inet6.sock.fd), 1);
    }
    EXPECT_EQ(nodelay_of(bound_only.sock.fd), 0);
    // The option does not exist for a UNIX-domain socket, and nothing tried
    // to give it one.
    EXPECT_EQ(nodelay_of(local.fd), -1);
    EXPECT_TRUE(warnings.empty());
    // Nothing was queued, so there is nothing to catch up on.
    EXPECT_EQ(result.queued, 0);
    EXPECT_EQ(batv_nodelay_catch_up(), 0);
}

// What the design rests on: a socket accepted from a listener with the
// option has it too, and one accepted before the option was set does not
// (so the option comes from the listener, not from a default).
TEST_F(Nodelay, AcceptedSocketsInheritIt) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const tcp_socket listener(family, true);
        if (listener.sock.fd < 0) {
            ASSERT_NE(family, AF_INET) << std::strerror(errno);
            continue;  // no IPv6 loopback here
        }
        socket_handle early_client(-1);
        const socket_handle early(listener.accept_one(early_client));
        ASSERT_GE(early.fd, 0) << std::strerror(errno);

        testing::internal::CaptureStderr();
        batv_set_nodelay(family == AF_INET ? "inet:8894@127.0.0.1" : "inet6:8894@[::1]");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

        socket_handle client(-1);
        const socket_handle accepted(listener.accept_one(client));
        ASSERT_GE(accepted.fd, 0) << std::strerror(errno);
        EXPECT_EQ(nodelay_of(accepted.fd), 1);
        EXPECT_EQ(nodelay_of(early.fd), 0);
        // The client end is the MTA's business.
        EXPECT_EQ(nodelay_of(client.fd), 0);
    }
}

// An MTA that connects between listen() and the option completes its
// handshake on a socket made without it, and the milter library accepts it
// so. The sessions' first callbacks set it, on the queued connections and on
// nothing else, and stop once as many have called as were queued.
TEST_F(Nodelay, ConnectionsQueuedBeforeTheOptionAreCaughtUp) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const tcp_socket listener(family, true);
        if (listener.sock.fd < 0) {
            ASSERT_NE(family, AF_INET) << std::strerror(errno);
            continue;  // no IPv6 loopback here
        }
        socket_handle first_client(-1);
        socket_handle second_client(-1);
        ASSERT_TRUE(listener.connect_one(first_client)) << std::strerror(errno);
        ASSERT_TRUE(listener.connect_one(second_client)) << std::strerror(errno);
        ASSERT_TRUE(listener.wait_queued(2));

        testing::internal::CaptureStderr();
        const nodelay_result result = batv_set_nodelay("inet:8894@127.0.0.1");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(result.queued, 2);
        const tcp_socket elsewhere(family, true);
        socket_handle other_client(-1);
        const socket_handle other(elsewhere.accept_one(other_client));
        ASSERT_GE(other.fd, 0) << std::strerror(errno);

        // The first session's connection is accepted before the second.
        const socket_handle first(accept(listener.sock.fd, nullptr, nullptr));
        ASSERT_GE(first.fd, 0) << std::strerror(errno);
        EXPECT_EQ(nodelay_of(first.fd), 0) << "the kernel passed the option on after all";
        EXPECT_EQ(batv_nodelay_catch_up(), 1);
        EXPECT_EQ(nodelay_of(first.fd), 1);

        const socket_handle second(accept(listener.sock.fd, nullptr, nullptr));
        ASSERT_GE(second.fd, 0) << std::strerror(errno);
        EXPECT_EQ(batv_nodelay_catch_up(), 1);
        EXPECT_EQ(nodelay_of(second.fd), 1);

        // A socket accepted from a listener that came after the option, and
        // the client ends, are not the milter library's.
        EXPECT_EQ(nodelay_of(other.fd), 0);
        EXPECT_EQ(nodelay_of(first_client.fd), 0);
        EXPECT_EQ(nodelay_of(other_client.fd), 0);

        // Two were queued, two sessions have called: done.
        const int off = 0;
        ASSERT_EQ(setsockopt(first.fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off), 0);
        EXPECT_EQ(batv_nodelay_catch_up(), 0);
        EXPECT_EQ(nodelay_of(first.fd), 0);
    }
}

// A TCP socket address without a listening TCP socket is worth a warning;
// a UNIX-domain one is not, whatever the spelling.
TEST_F(Nodelay, WarnsOnlyWhenATcpSocketIsMissing) {
    struct case_ {
        const char* spec;
        bool warns;
    };
    const case_ cases[] = {
        {"inet:8894@127.0.0.1", true},      {"INET6:8894@[::1]", true},
        {"unix:/run/vellicor.sock", false}, {"local:/run/vellicor.sock", false},
        {"/run/vellicor.sock", false},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.spec);
        warnings.clear();
        testing::internal::CaptureStderr();
        const nodelay_result result = batv_set_nodelay(c.spec);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result.listening, 0);
        const std::string text = std::string(c.spec) +
                                 ": no listening TCP socket found to set TCP_NODELAY on; replies "
                                 "may wait for the MTA's acknowledgements";
        EXPECT_EQ(printed, c.warns ? "vellicor: " + text + "\n" : "");
        EXPECT_EQ(warnings, c.warns ? std::vector<std::string>{text} : std::vector<std::string>{});
    }
    // Without Syslog the warning is on standard error only.
    settings.Syslog = 0;
    warnings.clear();
    testing::internal::CaptureStderr();
    batv_set_nodelay("inet:8894@127.0.0.1");
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
