// The MTA side of the milter protocol, version 6, over a UNIX-domain socket
// or TCP: enough of it to drive a filter the way Postfix and Sendmail do and to see
// everything the filter answers, including what miltertest cannot show (the
// sender change with its ESMTP arguments, reply texts at any stage, and the
// order of the changes at end of message).
//
// One milter_connection is one MTA connection to the filter; it is used from
// one thread at a time. Failures of the socket or of the protocol (a closed
// connection, a timeout, a malformed packet) throw milter_error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace milter_client {

inline constexpr std::uint32_t protocol_version = 6;
// What Postfix 3.7 and Sendmail 8.17 offer.
inline constexpr std::uint32_t all_actions = 0x1ff;
inline constexpr std::uint32_t all_steps = 0x1fffff;

class milter_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The filter's answer to one protocol step.
struct response {
    char code = 0;     // an SMFIR_ letter; 0 when the step was not sent or has no reply
    std::string text;  // for SMFIR_REPLYCODE the whole reply, e.g. "550 5.7.1 text"

    bool replied() const { return code != 0; }
};

// A reply text split into its parts: "550 5.7.1 text" gives 550, "5.7.1",
// "text". Nothing when the text is not of that shape.
struct smtp_reply {
    int code = 0;
    std::string extended;
    std::string text;
};
std::optional<smtp_reply> parse_reply(std::string_view text);

// One change the filter asked for at end of message.
struct modification {
    char code = 0;                  // SMFIR_CHGFROM, SMFIR_ADDRCPT, SMFIR_INSHEADER, ...
    std::uint32_t index = 0;        // header index of SMFIR_INSHEADER and SMFIR_CHGHEADER
    std::vector<std::string> args;  // the texts of the packet, in order
    std::string data;               // the raw payload (the body of SMFIR_REPLBODY)
};

struct eom_result {
    std::vector<modification> changes;  // in the order the filter sent them
    response final;                     // the verdict that ended end of message
};

// What the filter asked for in negotiation.
struct negotiated {
    std::uint32_t version = 0;
    std::uint32_t actions = 0;
    std::uint32_t steps = 0;
};

// A client address as the connect step carries it.
struct client_info {
    std::string host;
    char family = '4';  // '4', '6', 'L' or 'U'
    std::uint16_t port = 0;
    std::string address;
};

using macro_list = std::vector<std::pair<std::string, std::string>>;

// How a client on a TCP connection acknowledges what the filter sends.
enum class acks {
    // As the kernel does by default, and so as MTAs do: an acknowledgement
    // waits for data going the other way, or for the delayed-ACK timer.
    delayed,
    // TCP_QUICKACK re-armed after every read: every packet is acknowledged
    // at once, so that a filter's small writes never wait for one.
    quick,
};

class milter_connection {
  public:
    // Connects to the filter's UNIX-domain socket at socket_path. Every
    // later read and write waits at most timeout.
    explicit milter_connection(const std::string& socket_path,
                               std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Connects to a socket address as a filter takes it:
    // "inet:PORT@HOST" or "inet6:PORT@HOST" (HOST a name or an address, an
    // IPv6 address possibly in brackets; the loopback address without
    // "@HOST"), or "unix:/path", "local:/path" or a bare path. Over TCP the
    // client's own writes are never held back (TCP_NODELAY), so that only
    // the filter's side can wait on acknowledgements, and ack says how the
    // client acknowledges; it means nothing on a UNIX-domain socket.
    milter_connection(const std::string& spec, acks ack,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
    ~milter_connection();
    milter_connection(milter_connection&& other) noexcept;
    milter_connection& operator=(milter_connection&& other) noexcept;
    milter_connection(const milter_connection&) = delete;
    milter_connection& operator=(const milter_connection&) = delete;

    negotiated negotiate(std::uint32_t actions = all_actions, std::uint32_t steps = all_steps,
                         std::uint32_t version = protocol_version);
    const negotiated& agreed() const { return agreed_; }
    // True when the filter did not ask the MTA to leave out the step whose
    // SMFIP_NO... flag is given.
    bool sends(std::uint32_t no_flag) const { return (agreed_.steps & no_flag) == 0; }

    // Macros for the step whose command letter is given (SMFIC_CONNECT,
    // SMFIC_MAIL, SMFIC_RCPT, SMFIC_BODYEOB, ...). No reply.
    void macros(char stage, const macro_list& list);

    // Steps the filter negotiated away are not sent: connect, mail and rcpt
    // then answer a response without a code, the others nothing.
    response connect(const client_info& client);
    std::optional<response> helo(std::string_view name);
    response mail(const std::vector<std::string>& args);
    response rcpt(const std::vector<std::string>& args);
    std::optional<response> data();
    std::optional<response> header(std::string_view name, std::string_view value);
    std::optional<response> eoh();
    std::optional<response> body(std::string_view chunk);
    eom_result eom();
    // Abort the transaction: no reply.
    void abort();
    // End the session and close the socket.
    void quit();
    // End the SMTP session but keep the milter connection for another one
    // (SMFIC_QUIT_NC), which starts with connect and no new negotiation. No
    // reply. libmilter honours it only after end of message and ignores it
    // anywhere else.
    void quit_nc();
    // Close the socket without a word, as an MTA that died would.
    void drop();

    bool is_open() const { return fd_ >= 0; }
    // The socket, for a test that looks at it (its address, its options).
    int descriptor() const { return fd_; }

  private:
    void connect_unix(const std::string& path);
    void connect_tcp(int family, const std::string& host, const std::string& port);
    void send_packet(char command, std::string_view payload);
    // Reads one packet: the command letter and the payload.
    std::pair<char, std::string> read_packet();
    // Reads until at least wanted bytes are buffered.
    void fill(std::size_t wanted);
    response read_response(std::uint32_t no_reply_flag);
    void close_socket() noexcept;

    int fd_ = -1;
    std::chrono::milliseconds timeout_;
    bool quick_ack_ = false;  // TCP_QUICKACK after every read
    negotiated agreed_;
    std::string in_;         // received, not yet taken
    std::size_t in_at_ = 0;  // where the untaken part begins
};

// One message as an MTA hands it to the filter.
struct message {
    macro_list mail_macros;
    std::vector<std::string> mail_args;           // sender first, then ESMTP arguments
    std::vector<std::vector<std::string>> rcpts;  // each: recipient, then ESMTP arguments
    macro_list eom_macros;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct message_result {
    response mail;
    std::vector<response> rcpts;    // one per recipient sent
    std::optional<eom_result> eom;  // none when the message ended before its data
};

// Runs one transaction the way an MTA does: MAIL, each RCPT, and, when the
// sender and at least one recipient were accepted, DATA, the headers, end of
// headers, the body and end of message, each step only where the filter
// asked for it. A rejected or temp-failed sender ends the transaction at
// once; a transaction whose recipients were all refused is aborted.
message_result send_message(milter_connection& conn, const message& msg);

// A printable account of an answer and a list of changes, for test output.
std::string describe(const response& r);
std::string describe(const eom_result& r);

}  // namespace milter_client
