// The running daemon on a TCP socket (inet: and inet6: on the loopback
// address), driven by a client that acknowledges as an MTA does, with the
// kernel's delayed ACKs, and by one that acknowledges every packet at once:
// both get the whole answer at end of message. The daemon's listening
// socket and the sockets it accepts have TCP_NODELAY set, in a single
// process and in a worker of the auto-restart supervisor; that is read
// from the daemon's own descriptors, copied with pidfd_getfd.
#include <libmilter/mfdef.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/protocol/fixture.h"
#include "tests/protocol/prvs_oracle.h"

namespace {

using filter_process::transport;
using milter_client::acks;
using milter_client::client_info;
using milter_client::message;
using milter_client::milter_connection;
using protocol_test::expect_healthy;
using protocol_test::format_changes;
using protocol_test::internal_client;
using protocol_test::outside_client;

const char* name_of(transport t) {
    return t == transport::inet ? "inet" : "inet6";
}

// The transports this machine has a loopback address for.
std::vector<transport> tcp_transports() {
    std::vector<transport> out = {transport::inet};
    if (filter_process::free_loopback_port(AF_INET6) != 0) {
        out.push_back(transport::inet6);
    }
    return out;
}

std::unique_ptr<filter_process::running_filter> start_tcp_daemon(
    transport t, const std::vector<std::string>& extra = {}) {
    filter_process::options opts;
    opts.binary = VELLICOR_BINARY;
    opts.args = filter_process::daemon_args(extra);
    opts.tsan_suppressions = TSAN_SUPPRESSIONS;
    opts.socket = t;
    return std::make_unique<filter_process::running_filter>(opts);
}

milter_connection tcp_session(const filter_process::running_filter& daemon,
                              const client_info& client, acks ack) {
    milter_connection conn(daemon.socket_spec(), ack);
    conn.negotiate();
    conn.macros(SMFIC_CONNECT, {{"j", "mx.test.example"}});
    const milter_client::response r = conn.connect(client);
    EXPECT_EQ(r.code, SMFIR_CONTINUE) << "connect answered " << milter_client::describe(r);
    return conn;
}

// A signed message and a bounce to a tagged recipient, each making changes
// at end of message: the writes that wait for an acknowledgement when
// Nagle's algorithm is on.
TEST(TcpSocket, EveryClientGetsTheWholeAnswer) {
    for (const transport t : tcp_transports()) {
        auto daemon = start_tcp_daemon(t);
        const auto tags = protocol_test::make_tags("user@example.com", daemon->key());
        for (const acks ack : {acks::delayed, acks::quick}) {
            SCOPED_TRACE(std::string(name_of(t)) +
                         (ack == acks::delayed ? ", delayed ACKs" : ", quick ACKs"));

            milter_connection out = tcp_session(*daemon, internal_client(), ack);
            const std::time_t before = std::time(nullptr);
            const auto sent = milter_client::send_message(
                out, {{{"i", "JOBTCP1"}},
                      {"<user@example.com>", "SIZE=1000", "BODY=8BITMIME"},
                      {{"<someone@example.net>"}},
                      {},
                      {},
                      {}});
            const std::time_t after = std::time(nullptr);
            ASSERT_TRUE(sent.eom);
            EXPECT_EQ(sent.eom->final.code, SMFIR_CONTINUE);
            std::vector<std::vector<std::string>> acceptable;
            for (const std::time_t when : {before, after}) {
                const unsigned day = (prvs_oracle::day_of(when) + 7) % 1000;
                acceptable.push_back(
                    {"chgfrom " +
                     protocol_test::tagged("user@example.com", 0, day, daemon->key(),
                                           protocol_test::form::standard) +
                     " SIZE=1000 BODY=8BITMIME"});
            }
            const auto changes = format_changes(*sent.eom);
            EXPECT_TRUE(changes == acceptable[0] || changes == acceptable[1])
                << milter_client::describe(*sent.eom);
            out.quit();

            milter_connection in = tcp_session(*daemon, outside_client(), ack);
            const auto bounce = milter_client::send_message(
                in, {{{"i", "JOBTCP2"}}, {"<>"}, {{"<" + tags.valid + ">"}}, {}, {}, {}});
            ASSERT_EQ(bounce.rcpts.size(), 1u);
            EXPECT_EQ(bounce.rcpts[0].code, SMFIR_CONTINUE);
            ASSERT_TRUE(bounce.eom);
            EXPECT_EQ(bounce.eom->final.code, SMFIR_CONTINUE);
            EXPECT_EQ(format_changes(*bounce.eom),
                      (std::vector<std::string>{"delrcpt <" + tags.valid + ">",
                                                "addrcpt " + tags.plain}));
            in.quit();
        }
        expect_healthy(*daemon);
    }
}

// ---- the daemon's own sockets

struct descriptor {
    int fd = -1;
    explicit descriptor(int d) : fd(d) {}
    ~descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
};

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (getsockopt(fd, level, name, &value, &length) != 0) {
        return -1;
    }
    return value;
}

// The port of a socket address, or nothing for other families.
std::optional<unsigned> port_of(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return std::nullopt;
}

std::optional<unsigned> local_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return std::nullopt;
    }
    return port_of(address);
}

std::optional<unsigned> peer_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return std::nullopt;
    }
    return port_of(address);
}

// TCP_NODELAY on the sockets of a process that are bound to a port: the
// listening one and the one accepted from a given client port.
struct daemon_sockets {
    std::string refused;  // why the process's descriptors could not be read
    int listening = -1;   // TCP_NODELAY of the listening socket, -1 if none was found
    int accepted = -1;    // the same for the accepted socket
};

daemon_sockets inspect(pid_t pid, unsigned port, unsigned client_port) {
    daemon_sockets out;
    const descriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd.fd < 0) {
        out.refused = std::string("pidfd_open(): ") + std::strerror(errno);
        return out;
    }
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const int target = std::stoi(entry.path().filename().string());
        const descriptor copy(static_cast<int>(syscall(SYS_pidfd_getfd, pidfd.fd, target, 0)));
        if (copy.fd < 0) {
            if (errno == EPERM || errno == ENOSYS || errno == EACCES) {
                out.refused = std::string("pidfd_getfd(): ") + std::strerror(errno);
                return out;
            }
            continue;  // closed in the meantime
        }
        if (local_port(copy.fd) != port ||
            int_option(copy.fd, SOL_SOCKET, SO_PROTOCOL) != IPPROTO_TCP) {
            continue;
        }
        const int nodelay = int_option(copy.fd, IPPROTO_TCP, TCP_NODELAY) != 0 ? 1 : 0;
        if (int_option(copy.fd, SOL_SOCKET, SO_ACCEPTCONN) == 1) {
            out.listening = nodelay;
        } else if (peer_port(copy.fd) == client_port) {
            out.accepted = nodelay;
        }
    }
    if (ec) {
        out.refused = "/proc/" + std::to_string(pid) + "/fd: " + ec.message();
    }
    return out;
}

// The worker the auto-restart supervisor started, once it serves.
std::optional<pid_t> worker_of(pid_t supervisor) {
    std::ifstream in("/proc/" + std::to_string(supervisor) + "/task/" + std::to_string(supervisor) +
                     "/children");
    pid_t child = 0;
    if (in >> child) {
        return child;
    }
    return std::nullopt;
}

TEST(TcpSocket, DaemonSocketsHaveNoDelay) {
    struct case_ {
        const char* name;
        std::vector<std::string> args;
        bool supervised;
    };
    const case_ cases[] = {
        {"single process", {}, false},
        {"auto-restart worker", {"-A"}, true},
    };
    for (const transport t : tcp_transports()) {
        for (const case_& c : cases) {
            SCOPED_TRACE(std::string(name_of(t)) + ", " + c.name);
            auto daemon = start_tcp_daemon(t, c.args);
            milter_connection conn = tcp_session(*daemon, internal_client(), acks::delayed);
            const auto client_port = local_port(conn.descriptor());
            ASSERT_TRUE(client_port);

            pid_t server = daemon->pid();
            if (c.supervised) {
                const auto worker = worker_of(daemon->pid());
                ASSERT_TRUE(worker) << "no worker under the supervisor";
                server = *worker;
            }
            const daemon_sockets found = inspect(server, daemon->port(), *client_port);
            if (!found.refused.empty()) {
                GTEST_SKIP() << "the daemon's descriptors cannot be read here (needs Linux 5.6 "
                                "and the right to trace the daemon): "
                             << found.refused;
            }
            EXPECT_EQ(found.listening, 1) << "TCP_NODELAY of the listening socket (-1: not found)";
            EXPECT_EQ(found.accepted, 1) << "TCP_NODELAY of the accepted socket (-1: not found)";
            conn.quit();
            expect_healthy(*daemon);
        }
    }
}

}  // namespace
