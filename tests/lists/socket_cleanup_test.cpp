// Removing the UNIX-domain socket a previous filter left behind, and only
// that: a live listener, other protocols and missing paths are left alone.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "lists/lists.h"
#include "tests/lists/temp_dir.h"

namespace {

struct socket_handle {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ~socket_handle() { close(fd); }
};

// Binds a socket to path; with listen it stays live until the handle goes.
// Nothing accepts, so the backlog has room for every probe a test makes: a
// connect to a full backlog would wait.
void bind_socket(const socket_handle& sock, const std::string& path, bool listening) {
    ASSERT_GE(sock.fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    if (listening) {
        ASSERT_EQ(listen(sock.fd, 16), 0) << std::strerror(errno);
    }
}

// The three ways a specification names a UNIX-domain socket.
std::vector<std::string> unix_specs(const std::string& path) {
    return {path, "unix:" + path, "local:" + path, "UNIX:" + path, "Local:" + path};
}

TEST(VlcfSocketCleanup, SpecificationsWithoutAPath) {
    struct case_ {
        const char* spec;
        int result;
    };
    const case_ cases[] = {
        {"inet:8893@127.0.0.1", 0}, {"inet6:8893@[::1]", 0}, {"relative.sock", 0}, {"", 0},
        {"local:", EINVAL},         {"unix:", EINVAL},       {"LOCAL:", EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spec);
        EXPECT_EQ(vlcf_socket_cleanup(c.spec), c.result);
    }
}

TEST(VlcfSocketCleanup, StaleSocketIsRemoved) {
    temp_dir dir;
    const std::string path = (dir.path() / "milter.sock").string();
    for (const std::string& spec : unix_specs(path)) {
        SCOPED_TRACE(spec);
        {
            const socket_handle stale;
            bind_socket(stale, path, false);
        }
        ASSERT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(vlcf_socket_cleanup(spec.c_str()), 0);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

TEST(VlcfSocketCleanup, LiveSocketIsInUse) {
    temp_dir dir;
    const std::string path = (dir.path() / "milter.sock").string();
    const socket_handle live;
    bind_socket(live, path, true);
    for (const std::string& spec : unix_specs(path)) {
        SCOPED_TRACE(spec);
        EXPECT_EQ(vlcf_socket_cleanup(spec.c_str()), EADDRINUSE);
        EXPECT_TRUE(std::filesystem::exists(path));
    }
}

TEST(VlcfSocketCleanup, PathsThatCannotHoldASocket) {
    temp_dir dir;
    const std::string file = dir.write("plain", "not a socket\n");
    struct case_ {
        std::string name;
        std::string path;
        int result;
    };
    const case_ cases[] = {
        {"nothing there yet", (dir.path() / "milter.sock").string(), 0},
        {"missing directory", (dir.path() / "no" / "milter.sock").string(), 0},
        {"below a plain file", file + "/milter.sock", ENOTDIR},
    };
    for (const auto& c : cases) {
        for (const std::string& spec : unix_specs(c.path)) {
            SCOPED_TRACE(c.name + ": " + spec);
            EXPECT_EQ(vlcf_socket_cleanup(spec.c_str()), c.result);
        }
    }
    EXPECT_TRUE(std::filesystem::exists(file));
}

}  // namespace
