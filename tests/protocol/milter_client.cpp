// The MTA side of the milter protocol over a UNIX-domain socket or TCP.
//
// Every packet is a 32-bit length in network byte order (the command letter
// included), the command letter and the payload. Texts in a payload end with
// NUL; numbers are 32-bit (16-bit for the client port) in network byte order.
#include "tests/protocol/milter_client.h"

#include <arpa/inet.h>
#include <libmilter/mfdef.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

namespace milter_client {

namespace {

// Longest payload a filter may send; libmilter's limit is far below it.
constexpr std::uint32_t max_packet = 16 * 1024 * 1024;

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void put_uint32(std::string& out, std::uint32_t v) {
    std::uint32_t n = htonl(v);
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
}

std::uint32_t get_uint32(std::string_view in, std::size_t at) {
    std::uint32_t n;
    std::memcpy(&n, in.data() + at, sizeof n);
    return ntohl(n);
}

void put_text(std::string& out, std::string_view s) {
    out.append(s);
    out.push_back('\0');
}

// Splits a payload of NUL-terminated texts.
std::vector<std::string> split_texts(std::string_view payload) {
    std::vector<std::string> out;
    while (!payload.empty()) {
        std::size_t end = payload.find('\0');
        if (end == std::string_view::npos) {
            throw milter_error("unterminated text in filter reply");
        }
        out.emplace_back(payload.substr(0, end));
        payload.remove_prefix(end + 1);
    }
    return out;
}

// The "no reply" protocol flag for the step a command letter starts.
std::uint32_t no_reply_flag(char command) {
    switch (command) {
        case SMFIC_CONNECT:
            return SMFIP_NR_CONN;
        case SMFIC_HELO:
            return SMFIP_NR_HELO;
        case SMFIC_MAIL:
            return SMFIP_NR_MAIL;
        case SMFIC_RCPT:
            return SMFIP_NR_RCPT;
        case SMFIC_DATA:
            return SMFIP_NR_DATA;
        case SMFIC_HEADER:
            return SMFIP_NR_HDR;
        case SMFIC_EOH:
            return SMFIP_NR_EOH;
        case SMFIC_BODY:
            return SMFIP_NR_BODY;
        default:
            return 0;
    }
}

bool is_modification(char code) {
    switch (code) {
        case SMFIR_ADDRCPT:
        case SMFIR_DELRCPT:
        case SMFIR_ADDRCPT_PAR:
        case SMFIR_REPLBODY:
        case SMFIR_CHGFROM:
        case SMFIR_ADDHEADER:
        case SMFIR_INSHEADER:
        case SMFIR_CHGHEADER:
        case SMFIR_QUARANTINE:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<smtp_reply> parse_reply(std::string_view text) {
    if (text.size() < 4 || text[3] != ' ') {
        return std::nullopt;
    }
    smtp_reply r;
    for (int i = 0; i < 3; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        r.code = r.code * 10 + (text[i] - '0');
    }
    text.remove_prefix(4);
    std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    r.extended = std::string(text.substr(0, blank));
    r.text = std::string(text.substr(blank + 1));
    return r;
}

milter_connection::milter_connection(const std::string& socket_path,
                                     std::chrono::milliseconds timeout)
    : timeout_(timeout) {
    connect_unix(socket_path);
}

milter_connection::milter_connection(const std::string& spec, acks ack,
                                     std::chrono::milliseconds timeout)
    : timeout_(timeout) {
    const std::size_t colon = spec.find(':');
    std::string kind = colon == std::string::npos ? std::string() : spec.substr(0, colon);
    for (char& c : kind) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (kind != "inet" && kind != "inet6") {
        connect_unix(kind == "unix" || kind == "local" ? spec.substr(colon + 1) : spec);
        return;
    }
    const std::string rest = spec.substr(colon + 1);
    const std::size_t at = rest.find('@');
    const std::string port = rest.substr(0, at);
    std::string host = at == std::string::npos ? std::string() : rest.substr(at + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const int family = kind == "inet" ? AF_INET : AF_INET6;
    if (host.empty()) {
        host = family == AF_INET ? "127.0.0.1" : "::1";
    }
    connect_tcp(family, host, port);
    // The client's writes go out at once; what is measured is the filter.
    const int on = 1;
    if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        std::string why = errno_text("setsockopt(TCP_NODELAY)");
        close_socket();
        throw milter_error(why);
    }
    quick_ack_ = ack == acks::quick;
    if (quick_ack_) {
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
}

void milter_connection::connect_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        throw milter_error("socket path too long: " + path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw milter_error(errno_text("socket()"));
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string why = errno_text(("connect(" + path + ")").c_str());
        close_socket();
        throw milter_error(why);
    }
}

void milter_connection::connect_tcp(int family, const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        throw milter_error("getaddrinfo(" + host + ", " + port + "): " + ::gai_strerror(rc));
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    std::string why;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) {
            why = errno_text("socket()");
            continue;
        }
        if (::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) {
            return;
        }
        why = errno_text(("connect(" + port + "@" + host + ")").c_str());
        close_socket();
    }
    throw milter_error(why);
}

milter_connection::~milter_connection() {
    close_socket();
}

milter_connection::milter_connection(milter_connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeout_(other.timeout_),
      quick_ack_(other.quick_ack_),
      agreed_(other.agreed_),
      in_(std::move(other.in_)),
      in_at_(std::exchange(other.in_at_, 0)) {}

milter_connection& milter_connection::operator=(milter_connection&& other) noexcept {
    if (this != &other) {
        close_socket();
        fd_ = std::exchange(other.fd_, -1);
        timeout_ = other.timeout_;
        quick_ack_ = other.quick_ack_;
        agreed_ = other.agreed_;
        in_ = std::move(other.in_);
        in_at_ = std::exchange(other.in_at_, 0);
    }
    return *this;
}

void milter_connection::close_socket() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void milter_connection::send_packet(char command, std::string_view payload) {
    if (fd_ < 0) {
        throw milter_error("connection is closed");
    }
    std::string packet;
    packet.reserve(5 + payload.size());
    put_uint32(packet, static_cast<std::uint32_t>(payload.size() + 1));
    packet.push_back(command);
    packet.append(payload);
    std::size_t sent = 0;
    while (sent < packet.size()) {
        pollfd p{fd_, POLLOUT, 0};
        int n = ::poll(&p, 1, static_cast<int>(timeout_.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw milter_error(n == 0 ? "timeout writing to the filter" : errno_text("poll()"));
        }
        ssize_t w = ::send(fd_, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw milter_error(errno_text("send()"));
        }
        sent += static_cast<std::size_t>(w);
    }
}

void milter_connection::fill(std::size_t wanted) {
    // Whatever the filter has sent is taken in one read, so that a run of
    // packets (the changes at end of message) costs one system call.
    while (in_.size() - in_at_ < wanted) {
        if (in_at_ > 0) {
            in_.erase(0, in_at_);
            in_at_ = 0;
        }
        pollfd p{fd_, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(timeout_.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw milter_error(n == 0 ? "timeout waiting for the filter" : errno_text("poll()"));
        }
        char chunk[16384];
        ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw milter_error(errno_text("recv()"));
        }
        if (r == 0) {
            throw milter_error("the filter closed the connection");
        }
        in_.append(chunk, static_cast<std::size_t>(r));
        // The kernel leaves quick-ACK mode on its own; an eager client
        // turns it on again after every read.
        if (quick_ack_) {
            const int on = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        }
    }
}

std::pair<char, std::string> milter_connection::read_packet() {
    if (fd_ < 0) {
        throw milter_error("connection is closed");
    }
    fill(4);
    std::uint32_t length = get_uint32(in_, in_at_);
    if (length == 0 || length > max_packet) {
        throw milter_error("bad packet length " + std::to_string(length));
    }
    fill(4 + length);
    char command = in_[in_at_ + 4];
    std::string payload = in_.substr(in_at_ + 5, length - 1);
    in_at_ += 4 + length;
    return {command, std::move(payload)};
}

response milter_connection::read_response(std::uint32_t no_reply) {
    if (no_reply != 0 && (agreed_.steps & no_reply) != 0) {
        return {};
    }
    for (;;) {
        auto [code, payload] = read_packet();
        if (code == SMFIR_PROGRESS) {
            continue;
        }
        if (is_modification(code)) {
            throw milter_error(std::string("change '") + code + "' outside end of message");
        }
        response r;
        r.code = code;
        if (code == SMFIR_REPLYCODE) {
            std::size_t end = payload.find('\0');
            r.text = payload.substr(0, end);
        }
        return r;
    }
}

negotiated milter_connection::negotiate(std::uint32_t actions, std::uint32_t steps,
                                        std::uint32_t version) {
    std::string payload;
    put_uint32(payload, version);
    put_uint32(payload, actions);
    put_uint32(payload, steps);
    send_packet(SMFIC_OPTNEG, payload);
    auto [code, reply] = read_packet();
    if (code != SMFIC_OPTNEG) {
        throw milter_error(std::string("negotiation answered with '") + code + "'");
    }
    if (reply.size() < 12) {
        throw milter_error("short negotiation reply");
    }
    agreed_.version = get_uint32(reply, 0);
    agreed_.actions = get_uint32(reply, 4);
    agreed_.steps = get_uint32(reply, 8);
    return agreed_;
}

void milter_connection::macros(char stage, const macro_list& list) {
    std::string payload(1, stage);
    for (const auto& [name, value] : list) {
        put_text(payload, name);
        put_text(payload, value);
    }
    send_packet(SMFIC_MACRO, payload);
}

response milter_connection::connect(const client_info& client) {
    if (!sends(SMFIP_NOCONNECT)) {
        return {};
    }
    std::string payload;
    put_text(payload, client.host);
    payload.push_back(client.family);
    if (client.family != SMFIA_UNKNOWN) {
        std::uint16_t port = htons(client.port);
        payload.append(reinterpret_cast<const char*>(&port), sizeof port);
        put_text(payload, client.address);
    }
    send_packet(SMFIC_CONNECT, payload);
    return read_response(SMFIP_NR_CONN);
}

std::optional<response> milter_connection::helo(std::string_view name) {
    if (!sends(SMFIP_NOHELO)) {
        return std::nullopt;
    }
    std::string payload;
    put_text(payload, name);
    send_packet(SMFIC_HELO, payload);
    return read_response(no_reply_flag(SMFIC_HELO));
}

response milter_connection::mail(const std::vector<std::string>& args) {
    if (!sends(SMFIP_NOMAIL)) {
        return {};
    }
    std::string payload;
    for (const auto& a : args) {
        put_text(payload, a);
    }
    send_packet(SMFIC_MAIL, payload);
    return read_response(no_reply_flag(SMFIC_MAIL));
}

response milter_connection::rcpt(const std::vector<std::string>& args) {
    if (!sends(SMFIP_NORCPT)) {
        return {};
    }
    std::string payload;
    for (const auto& a : args) {
        put_text(payload, a);
    }
    send_packet(SMFIC_RCPT, payload);
    return read_response(no_reply_flag(SMFIC_RCPT));
}

std::optional<response> milter_connection::data() {
    if (!sends(SMFIP_NODATA)) {
        return std::nullopt;
    }
    send_packet(SMFIC_DATA, {});
    return read_response(no_reply_flag(SMFIC_DATA));
}

std::optional<response> milter_connection::header(std::string_view name, std::string_view value) {
    if (!sends(SMFIP_NOHDRS)) {
        return std::nullopt;
    }
    std::string payload;
    put_text(payload, name);
    put_text(payload, value);
    send_packet(SMFIC_HEADER, payload);
    return read_response(no_reply_flag(SMFIC_HEADER));
}

std::optional<response> milter_connection::eoh() {
    if (!sends(SMFIP_NOEOH)) {
        return std::nullopt;
    }
    send_packet(SMFIC_EOH, {});
    return read_response(no_reply_flag(SMFIC_EOH));
}

std::optional<response> milter_connection::body(std::string_view chunk) {
    if (!sends(SMFIP_NOBODY)) {
        return std::nullopt;
    }
    send_packet(SMFIC_BODY, chunk);
    return read_response(no_reply_flag(SMFIC_BODY));
}

eom_result milter_connection::eom() {
    send_packet(SMFIC_BODYEOB, {});
    eom_result result;
    for (;;) {
        auto [code, payload] = read_packet();
        if (code == SMFIR_PROGRESS) {
            continue;
        }
        if (!is_modification(code)) {
            result.final.code = code;
            if (code == SMFIR_REPLYCODE) {
                result.final.text = payload.substr(0, payload.find('\0'));
            }
            return result;
        }
        modification m;
        m.code = code;
        std::string_view texts = payload;
        if (code == SMFIR_INSHEADER || code == SMFIR_CHGHEADER) {
            if (payload.size() < 4) {
                throw milter_error("short header change");
            }
            m.index = get_uint32(payload, 0);
            texts.remove_prefix(4);
        }
        if (code != SMFIR_REPLBODY) {
            m.args = split_texts(texts);
        }
        m.data = std::move(payload);
        result.changes.push_back(std::move(m));
    }
}

void milter_connection::abort() {
    send_packet(SMFIC_ABORT, {});
}

void milter_connection::quit() {
    if (fd_ >= 0) {
        send_packet(SMFIC_QUIT, {});
        close_socket();
    }
}

void milter_connection::quit_nc() {
    send_packet(SMFIC_QUIT_NC, {});
}

void milter_connection::drop() {
    close_socket();
}

message_result send_message(milter_connection& conn, const message& msg) {
    message_result result;
    if (!msg.mail_macros.empty()) {
        conn.macros(SMFIC_MAIL, msg.mail_macros);
    }
    result.mail = conn.mail(msg.mail_args);
    if (result.mail.replied() && result.mail.code != SMFIR_CONTINUE) {
        return result;
    }
    bool any_accepted = false;
    for (const auto& rcpt : msg.rcpts) {
        response r = conn.rcpt(rcpt);
        any_accepted = any_accepted || !r.replied() || r.code == SMFIR_CONTINUE;
        result.rcpts.push_back(std::move(r));
    }
    if (!any_accepted) {
        conn.abort();
        return result;
    }
    conn.data();
    for (const auto& [name, value] : msg.headers) {
        conn.header(name, value);
    }
    conn.eoh();
    if (!msg.body.empty()) {
        conn.body(msg.body);
    }
    if (!msg.eom_macros.empty()) {
        conn.macros(SMFIC_BODYEOB, msg.eom_macros);
    }
    result.eom = conn.eom();
    return result;
}

std::string describe(const response& r) {
    if (!r.replied()) {
        return "(no reply)";
    }
    std::string s = std::string("'") + r.code + "'";
    if (!r.text.empty()) {
        s += " \"" + r.text + "\"";
    }
    return s;
}

std::string describe(const eom_result& r) {
    std::ostringstream out;
    for (const auto& m : r.changes) {
        out << "'" << m.code << "'";
        if (m.code == SMFIR_INSHEADER || m.code == SMFIR_CHGHEADER) {
            out << " [" << m.index << "]";
        }
        for (const auto& a : m.args) {
            out << " \"" << a << "\"";
        }
        out << "\n";
    }
    out << "final " << describe(r.final) << "\n";
    return out.str();
}

}  // namespace milter_client
