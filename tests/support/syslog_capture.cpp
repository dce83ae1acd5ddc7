// A datagram socket standing in for /dev/log.
#include "tests/support/syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace blackbox {

std::optional<syslog_line> parse_syslog_line(const std::string& datagram) {
    syslog_line line;
    line.raw = datagram;
    if (datagram.empty() || datagram[0] != '<') {
        return std::nullopt;
    }
    std::size_t close = datagram.find('>');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    line.priority = std::atoi(datagram.substr(1, close - 1).c_str());
    // The time stamp "Mmm dd hh:mm:ss " has a fixed width.
    std::size_t tag = close + 1 + 16;
    if (tag > datagram.size()) {
        return std::nullopt;
    }
    std::size_t colon = datagram.find(": ", tag);
    if (colon == std::string::npos) {
        line.message = datagram.substr(tag);
        return line;
    }
    std::string head = datagram.substr(tag, colon - tag);
    line.message = datagram.substr(colon + 2);
    std::size_t bracket = head.find('[');
    if (bracket != std::string::npos && head.back() == ']') {
        line.ident = head.substr(0, bracket);
        line.pid = std::atol(head.substr(bracket + 1).c_str());
    } else {
        line.ident = head;
    }
    return line;
}

syslog_capture::syslog_capture(const std::string& directory) : path_(directory + "/log.sock") {
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("syslog socket path too long: " + path_);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int error = errno;
        if (fd_ >= 0) {
            close(fd_);
        }
        throw std::runtime_error("bind " + path_ + ": " + std::strerror(error));
    }
    chmod(path_.c_str(), 0666);
    // Long start-up lines must not be dropped.
    int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

syslog_capture::~syslog_capture() {
    close(fd_);
    unlink(path_.c_str());
}

std::optional<syslog_line> syslog_capture::next(milliseconds timeout) {
    pollfd pfd{fd_, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&pfd, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return std::nullopt;
    }
    std::string buffer(1 << 16, '\0');
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) {
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(n));
    // Some C libraries end the datagram with a NUL or a newline.
    while (!buffer.empty() && (buffer.back() == '\0' || buffer.back() == '\n')) {
        buffer.pop_back();
    }
    std::optional<syslog_line> line = parse_syslog_line(buffer);
    if (!line) {
        line = syslog_line{};
        line->raw = buffer;
        line->message = buffer;
    }
    lines_.push_back(*line);
    return line;
}

std::optional<syslog_line> syslog_capture::wait_for(
    const std::function<bool(const syslog_line&)>& match, milliseconds timeout) {
    for (const syslog_line& seen : lines_) {
        if (match(seen)) {
            return seen;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            return std::nullopt;
        }
        std::optional<syslog_line> line = next(left);
        if (!line) {
            return std::nullopt;
        }
        if (match(*line)) {
            return line;
        }
    }
}

std::optional<syslog_line> syslog_capture::wait_for_prefix(const std::string& prefix,
                                                           milliseconds timeout) {
    return wait_for([&](const syslog_line& l) { return l.message.rfind(prefix, 0) == 0; }, timeout);
}

void syslog_capture::drain() {
    while (next(milliseconds{0})) {
    }
}

}  // namespace blackbox
