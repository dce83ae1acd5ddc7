// Processes, SMTP and queue reading for the end-to-end tests.
#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace e2e {

namespace {

using clock = std::chrono::steady_clock;

// Generous: the machine may be loaded and the filter built with sanitizers.
constexpr auto start_timeout = std::chrono::seconds(60);
constexpr int io_timeout_ms = 60'000;

class fd_guard {
  public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

std::string errno_text(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

void pause_briefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& arg : argv) {
        out.push_back(const_cast<char*>(arg.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

bool unix_socket_accepts(const std::filesystem::path& path) {
    fd_guard fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    return connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// A line-oriented SMTP client session over TCP to 127.0.0.1.
class smtp_session {
  public:
    // Connects from source, an IPv4 address, when one is given.
    std::optional<std::string> open(int port, const std::string& source = "") {
        fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd_.get() < 0) {
            return errno_text("socket()");
        }
        if (!source.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) {
                return "not an IPv4 address: " + source;
            }
            if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                return errno_text("bind()");
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            return errno_text("connect()");
        }
        return std::nullopt;
    }

    // Reads one reply, following its continuation lines ("250-...").
    std::optional<std::string> read_reply(smtp_reply& reply) {
        for (;;) {
            std::string line;
            if (auto failure = read_line(line)) {
                return failure;
            }
            if (line.size() < 3 || line.find_first_not_of("0123456789") < 3) {
                return "malformed reply line: " + line;
            }
            if (line.size() == 3 || line[3] == ' ') {
                reply.code = std::stoi(line.substr(0, 3));
                reply.line = line;
                return std::nullopt;
            }
            if (line[3] != '-') {
                return "malformed reply line: " + line;
            }
        }
    }

    std::optional<std::string> send_line(std::string_view line) {
        std::string out(line);
        out += "\r\n";
        std::string_view rest = out;
        while (!rest.empty()) {
            ssize_t n = send(fd_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return errno_text("send()");
            }
            rest.remove_prefix(static_cast<size_t>(n));
        }
        return std::nullopt;
    }

    std::optional<std::string> command(std::string_view line, smtp_reply& reply) {
        if (auto failure = send_line(line)) {
            return failure;
        }
        if (auto failure = read_reply(reply)) {
            return std::string(line) + ": " + *failure;
        }
        return std::nullopt;
    }

  private:
    std::optional<std::string> read_line(std::string& line) {
        for (;;) {
            auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return std::nullopt;
            }
            pollfd pfd{fd_.get(), POLLIN, 0};
            int ready = poll(&pfd, 1, io_timeout_ms);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                return "no reply from the SMTP server within 60 seconds";
            }
            char chunk[4096];
            ssize_t n = recv(fd_.get(), chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return "connection closed by the SMTP server";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    fd_guard fd_;
    std::string buffer_;
};

// Expects a reply code; gives an explanation otherwise.
std::optional<std::string> expect_code(const smtp_reply& reply, int code, std::string_view what) {
    if (reply.code == code) {
        return std::nullopt;
    }
    return std::string(what) + " answered: " + reply.line;
}

// The smallest JSON reader that postqueue -j needs: objects, arrays,
// strings, numbers and literals.
struct json_value {
    enum kind_type { null_kind, bool_kind, number_kind, string_kind, array_kind, object_kind };
    kind_type kind = null_kind;
    std::string text;                // string_kind, and the literal text of a number
    std::vector<std::string> names;  // object_kind: member names, parallel to items
    std::vector<json_value> items;   // array elements or object member values

    const json_value* member(std::string_view name) const {
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                return &items[i];
            }
        }
        return nullptr;
    }
};

class json_reader {
  public:
    explicit json_reader(std::string_view text) : text_(text) {}

    bool read_document(json_value& value) {
        if (!read_value(value)) {
            return false;
        }
        skip_blanks();
        return pos_ == text_.size();
    }

  private:
    void skip_blanks() {
        while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) != nullptr) {
            ++pos_;
        }
    }

    bool take(char c) {
        skip_blanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool read_string(std::string& out) {
        if (!take('"')) {
            return false;
        }
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) {
                return false;
            }
            char e = text_[pos_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) {
                        return false;
                    }
                    unsigned long code =
                        std::strtoul(std::string(text_.substr(pos_, 4)).c_str(), nullptr, 16);
                    pos_ += 4;
                    // Addresses are ASCII here; anything else stays visible.
                    if (code < 0x80) {
                        out += static_cast<char>(code);
                    } else {
                        out += "\\u" + std::string(text_.substr(pos_ - 4, 4));
                    }
                    break;
                }
                default:
                    out += e;
                    break;
            }
        }
        return false;
    }

    bool read_value(json_value& value) {
        skip_blanks();
        if (pos_ >= text_.size()) {
            return false;
        }
        char c = text_[pos_];
        if (c == '"') {
            value.kind = json_value::string_kind;
            return read_string(value.text);
        }
        if (c == '{') {
            ++pos_;
            value.kind = json_value::object_kind;
            if (take('}')) {
                return true;
            }
            do {
                std::string name;
                json_value item;
                if (!read_string(name) || !take(':') || !read_value(item)) {
                    return false;
                }
                value.names.push_back(std::move(name));
                value.items.push_back(std::move(item));
            } while (take(','));
            return take('}');
        }
        if (c == '[') {
            ++pos_;
            value.kind = json_value::array_kind;
            if (take(']')) {
                return true;
            }
            do {
                json_value item;
                if (!read_value(item)) {
                    return false;
                }
                value.items.push_back(std::move(item));
            } while (take(','));
            return take(']');
        }
        for (std::string_view literal : {"true", "false", "null"}) {
            if (text_.substr(pos_, literal.size()) == literal) {
                pos_ += literal.size();
                value.kind = literal == "null" ? json_value::null_kind : json_value::bool_kind;
                value.text = literal;
                return true;
            }
        }
        size_t start = pos_;
        while (pos_ < text_.size() && std::strchr("+-.eE0123456789", text_[pos_]) != nullptr) {
            ++pos_;
        }
        if (pos_ == start) {
            return false;
        }
        value.kind = json_value::number_kind;
        value.text = text_.substr(start, pos_ - start);
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

std::string string_member(const json_value& object, std::string_view name) {
    const json_value* item = object.member(name);
    return item != nullptr && item->kind == json_value::string_kind ? item->text : std::string();
}

}  // namespace

command_result run_command(const std::vector<std::string>& argv) {
    command_result result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        result.err = errno_text("pipe2()");
        return result;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        result.err = errno_text("pipe2()");
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    fd_guard out_read(out_pipe[0]), out_write(out_pipe[1]);
    fd_guard err_read(err_pipe[0]), err_write(err_pipe[1]);
    auto args = c_argv(argv);
    pid_t pid = fork();
    if (pid < 0) {
        result.err = errno_text("fork()");
        return result;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
        dup2(out_write.get(), STDOUT_FILENO);
        dup2(err_write.get(), STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    out_write.reset();
    err_write.reset();
    pollfd pfds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(pfds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (pfds[i].fd < 0 || pfds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            ssize_t n = read(pfds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                pfds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

temp_dir::temp_dir() : temp_dir(std::filesystem::temp_directory_path()) {}

temp_dir::temp_dir(const std::filesystem::path& parent) {
    std::string pattern = (parent / "vellicor-e2e.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp()");
    }
    path_ = pattern;
    // Postfix's processes run as postfix and reach the instance through here.
    std::filesystem::permissions(
        path_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                   std::filesystem::perms::others_exec);
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int free_port() {
    fd_guard fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return -1;
    }
    return ntohs(addr.sin_port);
}

filter_process::~filter_process() {
    if (pid_ > 0 && running()) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
    }
}

bool filter_process::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
        status_ = status;
        pid_ = -pid_;  // reaped; keep the number for messages
        return false;
    }
    return got == 0;
}

std::optional<std::string> filter_process::start(const std::vector<std::string>& argv,
                                                 const std::filesystem::path& log_file,
                                                 const std::filesystem::path& pid_file,
                                                 const std::filesystem::path& socket_path) {
    auto args = c_argv(argv);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        return errno_text("fork()");
    }
    if (pid_ == 0) {
        // Dies with the test, whatever way the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (log < 0 || null < 0) {
            _exit(127);
        }
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    std::string expected_pid = std::to_string(pid_) + "\n";
    auto deadline = clock::now() + start_timeout;
    for (;;) {
        if (!running()) {
            return "the filter ended during start-up (status " + std::to_string(status_) +
                   "); its output: " + read_file(log_file);
        }
        if (read_file(pid_file) == expected_pid && unix_socket_accepts(socket_path)) {
            break;
        }
        if (clock::now() > deadline) {
            return "the filter did not write its PID file and accept connections within 60 "
                   "seconds; its output: " +
                   read_file(log_file);
        }
        pause_briefly();
    }
    // libmilter creates the socket with the process umask; Postfix's smtpd
    // runs as postfix and needs to write to it.
    const group* postfix_group = getgrnam("postfix");
    if (postfix_group == nullptr) {
        return "no group postfix";
    }
    if (chown(socket_path.c_str(), static_cast<uid_t>(-1), postfix_group->gr_gid) != 0 ||
        chmod(socket_path.c_str(), 0660) != 0) {
        return errno_text("chown() or chmod() of the milter socket");
    }
    return std::nullopt;
}

postfix_instance::~postfix_instance() {
    if (port_ != 0) {
        run_command({POSTFIX_INSTANCE_SCRIPT, "stop", dir_.string()});
    }
}

std::optional<std::string> postfix_instance::start(const std::filesystem::path& dir, int port,
                                                   const std::string& milter) {
    command_result result =
        run_command({POSTFIX_INSTANCE_SCRIPT, "start", dir.string(), std::to_string(port), milter});
    if (result.status != 0) {
        // The script stops what it started when it fails.
        return "postfix-instance.sh start failed: " + result.err + result.out;
    }
    dir_ = dir;
    port_ = port;
    return std::nullopt;
}

namespace {

transaction_result send_over(int port, const std::string& source,
                             const std::optional<outside_client>& client,
                             const transaction& mail) {
    transaction_result result;
    smtp_session session;
    smtp_reply reply;
    auto fail = [&](std::string why) {
        result.failure = std::move(why);
        return result;
    };
    if (auto failure = session.open(port, source)) {
        return fail(*failure);
    }
    if (auto failure = session.read_reply(reply)) {
        return fail("greeting: " + *failure);
    }
    if (auto failure = expect_code(reply, 220, "the greeting")) {
        return fail(*failure);
    }
    if (auto failure = session.command("EHLO client.example.org", reply)) {
        return fail(*failure);
    }
    if (auto failure = expect_code(reply, 250, "EHLO")) {
        return fail(*failure);
    }
    if (client) {
        // The server greets again and hands the session, with the new client
        // identity, to a new milter connection.
        if (auto failure =
                session.command("XCLIENT ADDR=" + client->addr + " NAME=" + client->name, reply)) {
            return fail(*failure);
        }
        if (auto failure = expect_code(reply, 220, "XCLIENT")) {
            return fail(*failure);
        }
        if (auto failure = session.command("EHLO " + client->name, reply)) {
            return fail(*failure);
        }
        if (auto failure = expect_code(reply, 250, "EHLO after XCLIENT")) {
            return fail(*failure);
        }
    }
    std::string mail_from = "MAIL FROM:<" + mail.sender + ">";
    if (!mail.mail_parameters.empty()) {
        mail_from += " " + mail.mail_parameters;
    }
    if (auto failure = session.command(mail_from, result.mail)) {
        return fail(*failure);
    }
    bool accepted = false;
    if (result.mail.code == 250) {
        for (const auto& recipient : mail.recipients) {
            smtp_reply rcpt;
            if (auto failure = session.command("RCPT TO:<" + recipient + ">", rcpt)) {
                return fail(*failure);
            }
            accepted = accepted || rcpt.code == 250;
            result.rcpt.push_back(rcpt);
        }
    }
    if (accepted) {
        if (auto failure = session.command("DATA", reply)) {
            return fail(*failure);
        }
        if (auto failure = expect_code(reply, 354, "DATA")) {
            return fail(*failure);
        }
        std::string to;
        for (const auto& recipient : mail.recipients) {
            to += (to.empty() ? "" : ", ") + ("<" + recipient + ">");
        }
        const std::string lines[] = {
            "From: <" +
                (mail.sender.empty() ? std::string("MAILER-DAEMON@example.net") : mail.sender) +
                ">",
            "To: " + to,
            "Subject: end-to-end test",
            "Message-ID: <e2e." + std::to_string(getpid()) + "." +
                std::to_string(clock::now().time_since_epoch().count()) + "@example.org>",
            "",
            "A message of the end-to-end tests.",
        };
        for (const auto& line : lines) {
            if (auto failure = session.send_line(line)) {
                return fail(*failure);
            }
        }
        smtp_reply end;
        if (auto failure = session.command(".", end)) {
            return fail(*failure);
        }
        result.data = end;
        constexpr std::string_view queued = "250 2.0.0 Ok: queued as ";
        constexpr std::string_view accepted_prefix = "250 2.0.0 ";
        constexpr std::string_view accepted_suffix = " Message accepted for delivery";
        if (end.line.starts_with(queued)) {
            result.queue_id = end.line.substr(queued.size());
        } else if (end.line.starts_with(accepted_prefix) && end.line.ends_with(accepted_suffix)) {
            result.queue_id = end.line.substr(
                accepted_prefix.size(),
                end.line.size() - accepted_prefix.size() - accepted_suffix.size());
        }
    } else {
        if (auto failure = session.command("RSET", reply)) {
            return fail(*failure);
        }
    }
    if (auto failure = session.command("QUIT", reply)) {
        return fail(*failure);
    }
    return result;
}

}  // namespace

transaction_result send_mail(int port, const std::optional<outside_client>& client,
                             const transaction& mail) {
    return send_over(port, "", client, mail);
}

transaction_result send_mail_from(int port, const std::string& source, const transaction& mail) {
    return send_over(port, source, std::nullopt, mail);
}

std::optional<std::string> list_queue(const std::string& config_dir,
                                      std::vector<queued_message>& messages) {
    command_result result = run_command({"postqueue", "-c", config_dir, "-j"});
    if (result.status != 0) {
        return "postqueue -j failed: " + result.err;
    }
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        json_value object;
        if (!json_reader(line).read_document(object) || object.kind != json_value::object_kind) {
            return "postqueue -j wrote something that is not a JSON object: " + line;
        }
        queued_message message;
        message.queue_name = string_member(object, "queue_name");
        message.queue_id = string_member(object, "queue_id");
        message.sender = string_member(object, "sender");
        if (const json_value* recipients = object.member("recipients")) {
            for (const auto& recipient : recipients->items) {
                message.recipients.push_back(string_member(recipient, "address"));
            }
        }
        messages.push_back(std::move(message));
    }
    return std::nullopt;
}

std::optional<std::string> read_queue_file(const std::string& config_dir,
                                           const std::string& queue_id, queue_file& file) {
    command_result result = run_command({"postcat", "-c", config_dir, "-eh", "-q", queue_id});
    if (result.status != 0) {
        return "postcat -q " + queue_id + " failed: " + result.err;
    }
    enum { before, envelope, headers, after } section = before;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("*** ")) {
            if (line.starts_with("*** ENVELOPE RECORDS")) {
                section = envelope;
            } else if (line.starts_with("*** MESSAGE CONTENTS")) {
                section = headers;
            } else {
                section = after;
            }
            continue;
        }
        if (section == envelope) {
            auto colon = line.find(": ");
            if (colon != std::string::npos) {
                file.envelope.emplace(line.substr(0, colon), line.substr(colon + 2));
            }
        } else if (section == headers) {
            if ((line.starts_with(" ") || line.starts_with("\t")) && !file.headers.empty()) {
                file.headers.back() += "\n" + line;
            } else {
                file.headers.push_back(line);
            }
        }
    }
    return std::nullopt;
}

std::string tag_hash(int key_number, unsigned day, std::string_view address, std::string_view key) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%1d%03u", key_number, day);
    std::string input = std::string(prefix) + std::string(address) + std::string(key);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) != 1 ||
        length < 3) {
        return "";
    }
    char hex[7];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X", digest[0], digest[1], digest[2]);
    return hex;
}

std::string tagged_address(int key_number, unsigned day, std::string_view address,
                           std::string_view key) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "prvs=%1d%03u", key_number, day);
    return std::string(prefix) + tag_hash(key_number, day, address, key) + "=" +
           std::string(address);
}

std::string sendmail_tagged_address(int key_number, unsigned day, std::string_view address,
                                    std::string_view key) {
    const std::size_t at = address.rfind('@');
    char tag[16];
    std::snprintf(tag, sizeof tag, "+prvs=%1d%03u", key_number, day);
    return std::string(address.substr(0, at)) + tag + tag_hash(key_number, day, address, key) +
           std::string(address.substr(at));
}

unsigned cycle_day(std::time_t now) {
    return static_cast<unsigned>((now / 86400) % 1000);
}

}  // namespace e2e
