// Pieces of the end-to-end tests: the filter process, a private Postfix
// instance, an SMTP client, the reading of Postfix's queue, and an
// independent computation of the tags the filter is expected to make.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

// A program's exit status and what it wrote.
struct command_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH) and waits for it.
command_result run_command(const std::vector<std::string>& argv);

// A fresh directory that the postfix user can search, removed with all its
// contents at the end; in the system's temporary directory unless another
// parent is given.
class temp_dir {
  public:
    temp_dir();
    explicit temp_dir(const std::filesystem::path& parent);
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view text);
std::string read_file(const std::filesystem::path& path);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int free_port();

// The filter, run in the foreground with its output in a log file. It is
// killed with SIGKILL at the end: these tests do not check the graceful
// stop, which takes libmilter about five seconds.
class filter_process {
  public:
    filter_process() = default;
    ~filter_process();
    filter_process(const filter_process&) = delete;
    filter_process& operator=(const filter_process&) = delete;

    // Starts the binary with argv, waits until it has written pid_file and
    // accepts connections on socket_path, then makes the socket writable
    // for the postfix group. Returns an explanation when that fails.
    std::optional<std::string> start(const std::vector<std::string>& argv,
                                     const std::filesystem::path& log_file,
                                     const std::filesystem::path& pid_file,
                                     const std::filesystem::path& socket_path);
    // True while the process has not ended.
    bool running();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

// A Postfix instance run by scripts/postfix-instance.sh, stopped at the end.
class postfix_instance {
  public:
    postfix_instance() = default;
    ~postfix_instance();
    postfix_instance(const postfix_instance&) = delete;
    postfix_instance& operator=(const postfix_instance&) = delete;

    std::optional<std::string> start(const std::filesystem::path& dir, int port,
                                     const std::string& milter);
    const std::filesystem::path& dir() const { return dir_; }
    std::string config_dir() const { return (dir_ / "etc").string(); }
    int port() const { return port_; }

  private:
    std::filesystem::path dir_;
    int port_ = 0;
};

// One SMTP reply: its code and its last line, code included, as in
// "550 5.7.1 BATV signature validation failed".
struct smtp_reply {
    int code = 0;
    std::string line;
};

// The client identity that XCLIENT gives a session.
struct outside_client {
    std::string addr;
    std::string name;
};

struct transaction {
    std::string sender;                   // without angle brackets
    std::string mail_parameters;          // ESMTP parameters of MAIL FROM, or empty
    std::vector<std::string> recipients;  // without angle brackets
};

struct transaction_result {
    smtp_reply mail;
    std::vector<smtp_reply> rcpt;
    std::optional<smtp_reply> data;  // the reply to the message's final dot
    // From Postfix's "250 2.0.0 Ok: queued as ID" or Sendmail's
    // "250 2.0.0 ID Message accepted for delivery".
    std::string queue_id;
    std::string failure;  // what went wrong in the dialogue, if anything
};

// Sends one message over its own session: EHLO, XCLIENT and EHLO again when
// a client is given, MAIL, RCPT for each recipient, and DATA when at least
// one recipient was accepted.
transaction_result send_mail(int port, const std::optional<outside_client>& client,
                             const transaction& mail);

// The same dialogue without XCLIENT, over a connection from the loopback
// address source (127.0.0.2, say): the way to be an outside client to an
// MTA without XCLIENT, such as Sendmail, which sees the address itself.
transaction_result send_mail_from(int port, const std::string& source, const transaction& mail);

// A message as postqueue -j lists it.
struct queued_message {
    std::string queue_name;
    std::string queue_id;
    std::string sender;
    std::vector<std::string> recipients;
};

// Every message in the instance's queues, or an explanation.
std::optional<std::string> list_queue(const std::string& config_dir,
                                      std::vector<queued_message>& messages);

// A queue file as postcat -eh shows it.
struct queue_file {
    std::multimap<std::string, std::string> envelope;  // record name to value
    std::vector<std::string> headers;  // "Name: value", continuation lines joined by newlines
};

std::optional<std::string> read_queue_file(const std::string& config_dir,
                                           const std::string& queue_id, queue_file& file);

// Tags as the filter should make them, computed here with OpenSSL's EVP
// interface from the published rules: "prvs=" K DDD HHHHHH "=" address,
// where HHHHHH are the first three bytes of SHA-1 over K, DDD, the address
// and the secret key.
std::string tag_hash(int key_number, unsigned day, std::string_view address, std::string_view key);
std::string tagged_address(int key_number, unsigned day, std::string_view address,
                           std::string_view key);
// The sendmail form of the same tag, local "+prvs=" K DDD HHHHHH "@" domain,
// with the same hash over the plain address.
std::string sendmail_tagged_address(int key_number, unsigned day, std::string_view address,
                                    std::string_view key);
// Day number within the 1000-day cycle at time now.
unsigned cycle_day(std::time_t now);

}  // namespace e2e
