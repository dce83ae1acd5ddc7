// Removing the UNIX-domain socket a previous filter left behind, and only
// that: a live listener, anything that is not a socket, paths an address
// cannot hold whole, other protocols and missing paths are left alone.
#include "process/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/blackbox.h"

namespace {

struct socket_handle {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ~socket_handle() { close(fd); }
};

// Binds a socket to path; with listen it stays live until the handle goes.
void bind_socket(const socket_handle& sock, const std::string& path, bool listening,
                 int backlog = 16) {
    ASSERT_GE(sock.fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    if (listening) {
        ASSERT_EQ(listen(sock.fd, backlog), 0) << std::strerror(errno);
    }
}

// The ways a specification names a UNIX-domain socket.
std::vector<std::string> unix_specs(const std::string& path) {
    return {path, "unix:" + path, "local:" + path, "UNIX:" + path, "Local:" + path};
}

std::string message_of(const std::optional<socket_failure>& failure) {
    return failure ? failure->message : "";
}

TEST(SocketCleanup, SpecificationsWithoutAPathPass) {
    for (const char* spec : {"inet:8893@127.0.0.1", "inet6:8893@[::1]", "relative.sock", ""}) {
        SCOPED_TRACE(spec);
        EXPECT_FALSE(batv_socket_cleanup(spec));
    }
    for (const char* spec : {"local:", "unix:", "LOCAL:"}) {
        SCOPED_TRACE(spec);
        const auto failure = batv_socket_cleanup(spec);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->message, std::string(spec) + ": no socket path");
        EXPECT_EQ(failure->status, EX_UNAVAILABLE);
    }
}

TEST(SocketCleanup, StaleSocketIsRemoved) {
    blackbox::temp_dir dir;
    const std::string path = dir.file("milter.sock");
    for (const std::string& spec : unix_specs(path)) {
        SCOPED_TRACE(spec);
        {
            const socket_handle stale;
            bind_socket(stale, path, false);
        }
        ASSERT_TRUE(blackbox::path_exists(path));
        EXPECT_FALSE(batv_socket_cleanup(spec));
        EXPECT_FALSE(blackbox::path_exists(path));
    }
}

TEST(SocketCleanup, LiveSocketIsInUse) {
    blackbox::temp_dir dir;
    const std::string path = dir.file("milter.sock");
    const socket_handle live;
    bind_socket(live, path, true);
    for (const std::string& spec : unix_specs(path)) {
        SCOPED_TRACE(spec);
        const auto failure = batv_socket_cleanup(spec);
        EXPECT_EQ(message_of(failure), path + ": socket in use by another process");
        EXPECT_TRUE(blackbox::path_exists(path));
    }
}

TEST(SocketCleanup, ListenerWithAFullBacklogIsInUse) {
    blackbox::temp_dir dir;
    const std::string path = dir.file("milter.sock");
    const socket_handle live;
    bind_socket(live, path, true, 0);
    // Fill the backlog; further connects would block or fail with EAGAIN.
    std::vector<std::unique_ptr<socket_handle>> clients;
    for (int i = 0; i < 4; ++i) {
        auto client = std::make_unique<socket_handle>();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        fcntl(client->fd, F_SETFL, O_NONBLOCK);
        connect(client->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        clients.push_back(std::move(client));
    }
    EXPECT_EQ(message_of(batv_socket_cleanup(path)), path + ": socket in use by another process");
    EXPECT_TRUE(blackbox::path_exists(path));
}

TEST(SocketCleanup, WhatIsNotASocketIsLeftUntouched) {
    blackbox::temp_dir dir;
    const std::string file = dir.file("plain");
    blackbox::write_file(file, "not a socket\n");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string stale = dir.file("stale.sock");
    {
        const socket_handle sock;
        bind_socket(sock, stale, false);
    }
    const std::string link_to_stale = dir.file("link.sock");
    ASSERT_EQ(symlink(stale.c_str(), link_to_stale.c_str()), 0);
    const std::string dangling = dir.file("dangling.sock");
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);

    for (const std::string& path :
         {file, fifo, link_to_stale, dangling, std::string("/dev/null"), dir.path()}) {
        for (const std::string& spec : unix_specs(path)) {
            SCOPED_TRACE(spec);
            const auto failure = batv_socket_cleanup(spec);
            EXPECT_EQ(message_of(failure), path + ": not a socket; left untouched");
            if (failure) {
                EXPECT_EQ(failure->status, EX_UNAVAILABLE);
            }
        }
    }
    struct stat st {};
    EXPECT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_EQ(lstat(link_to_stale.c_str(), &st), 0);
    EXPECT_EQ(lstat(dangling.c_str(), &st), 0);
    EXPECT_EQ(lstat(stale.c_str(), &st), 0) << "the link's target stays too";
    EXPECT_EQ(lstat("/dev/null", &st), 0);
}

TEST(SocketCleanup, PathTooLongForAnAddressIsRefusedNotCut) {
    blackbox::temp_dir dir;
    // The first 107 bytes name a stale socket; the whole path names nothing.
    std::string prefix = dir.path() + "/";
    const std::size_t limit = sizeof(sockaddr_un{}.sun_path) - 1;
    const std::string stale = prefix + std::string(limit - prefix.size(), 's');
    {
        const socket_handle sock;
        bind_socket(sock, stale, false);
    }
    const std::string longer = stale + "-longer";
    const auto failure = batv_socket_cleanup("local:" + longer);
    EXPECT_EQ(message_of(failure), longer + ": socket path too long");
    EXPECT_TRUE(blackbox::path_exists(stale));
}

TEST(SocketCleanup, NothingThereOrNoDirectoryPasses) {
    blackbox::temp_dir dir;
    const std::string file = dir.file("plain");
    blackbox::write_file(file, "x");
    EXPECT_FALSE(batv_socket_cleanup(dir.file("milter.sock")));
    EXPECT_FALSE(batv_socket_cleanup(dir.file("no/milter.sock")));
    EXPECT_EQ(message_of(batv_socket_cleanup(file + "/milter.sock")),
              file + "/milter.sock: lstat(): Not a directory");
}

}  // namespace
