// What the size of a list costs the running daemon. For each list the
// filter matches against while it handles mail, and for each size, a
// daemon is started whose one list of that kind has that many entries (the
// other lists stay at their defaults), and a milter-protocol load client
// drives it at a number of parallel MTA connections, opening a new milter
// connection for every message. Every message makes the daemon consult the
// whole list and still do its work, signing the sender:
//
//   peer list       a PeerList (named in a -c configuration file) of host
//                   names and domain suffixes, and as many networks: IPv4
//                   with prefix lengths and dotted masks, single addresses,
//                   IPv6 networks, a few negated lines. Nothing in it
//                   matches the client (localhost, 127.0.0.1), which the
//                   built-in internal hosts make internal.
//   internal hosts  a -i file of names, suffixes, IPv4 networks with
//                   prefix lengths and dotted masks, and IPv6 networks; its
//                   first line, 127.0.0.1, is the one that makes the client
//                   internal. The list runs in reverse file order, so a
//                   matcher that walks it reaches that entry last.
//   allow list      a -a file of patterns such as *@list17.example,
//                   user17@host17.example and a few with '*' elsewhere
//                   (bounce17*@*.example.org). None matches the sender or
//                   the recipient, and both are tested against it.
//
// Every answer is checked: the sender change at end of message must carry
// the tag computed from its definition. Before the load, a few probe
// messages show that the list was loaded to its last line and that its
// entries match what they should: a client or sender taken from the first
// and the last lines of the file is a peer, internal, or passed unsigned.
//
// The daemons of one kind run at the same time, each in a session of its
// own (the daemon calls setsid), so that the kernel schedules them alike;
// each round drives every size once, the order reversed every other round,
// and the figures are those of the median round. A run sends --messages
// messages, or stops starting new ones after --seconds, whichever comes
// first: "msgs" shows how many the median round sent, so the slow sizes of
// a walking matcher are visible as short runs.
//
// Figures: "start ms" is the time from fork until the daemon's socket
// accepts a connection, for a separate start of the same binary with the
// same arguments and list, polled every 0.25 ms (median over the rounds);
// "msg/s" the messages per second; "p50 ms" and "p99 ms" the latency of a
// message, from opening its milter connection to closing it after the
// answer at end of message; "cpu us/msg" the CPU time (user and system)
// the daemon used per message, read from /proc, the steadier figure on a
// shared machine; "RSS MiB" the daemon's resident memory (VmRSS) after
// all rounds; "ratio" its msg/s over that of the smallest size of its
// kind. A summary then sets the figures beside the goals for indexed
// lists.
//
//   list_bench [--sizes 10,1000,10000,100000] [--concurrency 8] [--rounds R]
//              [--messages N] [--seconds S] [--kinds peer,internal,allow]
//              [--vellicor PATH] [--daemon-arg ARG]...
#include <fcntl.h>
#include <libmilter/mfdef.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/daemon/load_result.h"
#include "tests/protocol/filter_process.h"
#include "tests/protocol/milter_client.h"
#include "tests/protocol/prvs_oracle.h"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;
using milter_client::client_info;
using milter_client::message;
using milter_client::milter_connection;

enum class list_kind { peer, internal, allow };

const char* name_of(list_kind k) {
    switch (k) {
        case list_kind::peer:
            return "peer list";
        case list_kind::internal:
            return "internal hosts";
        default:
            return "allow list";
    }
}

struct settings {
    std::vector<long> sizes = {10, 1000, 10000, 100000};
    std::vector<list_kind> kinds = {list_kind::peer, list_kind::internal, list_kind::allow};
    int concurrency = 8;
    int rounds = 3;
    long messages = 10000;
    double seconds = 5;
    std::string vellicor = VELLICOR_BINARY;
    std::vector<std::string> daemon_args;
};

std::string cat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view p : parts) {
        size += p.size();
    }
    std::string s;
    s.reserve(size);
    for (std::string_view p : parts) {
        s.append(p);
    }
    return s;
}

std::string num(long n) {
    return std::to_string(n);
}

std::string hex(long n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%lx", n & 0xffff);
    return buf;
}

// The dotted quad of the j-th /24 network of 10.0.0.0/8 with the last octet
// host. j wraps at 65536, beyond any size this program is run with.
std::string net10(long j, int host) {
    return cat({"10.", num((j >> 8) & 255), ".", num(j & 255), ".", num(host)});
}

// ---- the list files

// One line of a generated list file, and what it admits: a client that it
// makes a peer or internal, or a sender that it passes unsigned. Negated
// lines, and lines nothing reaches (an IPv6 network), admit nothing.
struct list_line {
    std::string text;
    std::optional<client_info> client;
    std::string sender;
};

constexpr std::uint16_t client_port = 40000;
// Outside every generated network and the client the load sends from.
constexpr const char* elsewhere = "192.0.2.99";

client_info named(std::string host) {
    return {std::move(host), '4', client_port, elsewhere};
}
client_info addressed(std::string address) {
    return {cat({"[", address, "]"}), '4', client_port, std::move(address)};
}

// Lines come in groups of ten, q numbering the group and c the line within
// it: five host names and suffixes, five networks, one line in a hundred
// negated. Each IPv4 network is a /24 of its own, so no two overlap.
list_line peer_line(long i) {
    const long q = i / 10;
    const long c = i % 10;
    const long j = 3 * q + (c == 1 ? 0 : c == 3 ? 1 : 2);
    switch (c) {
        case 0:
            return {cat({"mx", num(q), ".peer", num(q), ".example"}), {}, {}};
        case 1:
            return {cat({net10(j, 0), "/24"}), addressed(net10(j, 7)), {}};
        case 2:
            return {cat({".peer", num(q), ".example"}),
                    named(cat({"a.b.peer", num(q), ".example"})),
                    {}};
        case 3:
            return {cat({net10(j, 0), "/255.255.255.0"}), addressed(net10(j, 200)), {}};
        case 4:
            return {cat({"smtp", num(q), ".relay", num(q), ".example"}), {}, {}};
        case 5: {
            std::string single = cat({"192.168.", num((q >> 8) & 255), ".", num(q & 255)});
            return {single, addressed(single), {}};
        }
        case 6:
            return {cat({".relay", num(q), ".example"}),
                    named(cat({"mail.relay", num(q), ".example"})),
                    {}};
        case 7:
            return {cat({"2001:db8:", hex(q), "::/48"}), {}, {}};
        case 8:
            return {cat({"gw", num(q), ".peer", num(q), ".example"}), {}, {}};
        default:
            if (q % 10 == 0) {
                return {cat({"!", net10(j, 0), "/25"}), {}, {}};
            }
            return {cat({net10(j, 0), "/25"}), addressed(net10(j, 100)), {}};
    }
}

// The host-name lines of peer_line admit the client of that name.
list_line with_own_name(list_line l) {
    if (!l.client && !l.text.empty() && l.text[0] != '!' && l.text.find(':') == std::string::npos &&
        l.text.find('/') == std::string::npos) {
        l.client = named(l.text);
    }
    return l;
}

// The first line makes the load's client internal; the rest follow the
// groups of peer_line under other names, without negations (the internal
// hosts have none). An IPv6 network becomes a name entry nothing matches.
list_line internal_line(long i) {
    if (i == 0) {
        return {"127.0.0.1", addressed("127.0.0.1"), {}};
    }
    const long q = i / 10;
    const long c = i % 10;
    const long j = 3 * q + (c == 1 ? 0 : c == 3 ? 1 : 2);
    switch (c) {
        case 0:
            return {cat({"relay", num(q), ".int", num(q), ".example"}), {}, {}};
        case 1:
            return {cat({net10(j, 0), "/24"}), addressed(net10(j, 7)), {}};
        case 2:
            return {
                cat({".int", num(q), ".example"}), named(cat({"a.b.int", num(q), ".example"})), {}};
        case 3:
            return {cat({net10(j, 0), "/255.255.255.0"}), addressed(net10(j, 200)), {}};
        case 4:
            return {cat({"smtp", num(q), ".office", num(q), ".example"}), {}, {}};
        case 5: {
            std::string single = cat({"192.168.", num((q >> 8) & 255), ".", num(q & 255)});
            return {single, addressed(single), {}};
        }
        case 6:
            return {cat({".office", num(q), ".example"}),
                    named(cat({"mail.office", num(q), ".example"})),
                    {}};
        case 7:
            return {cat({"2001:db8:", hex(q), "::/48"}), {}, {}};
        case 8:
            return {cat({"gw", num(q), ".int", num(q), ".example"}), {}, {}};
        default:
            return {cat({net10(j, 0), "/255.255.255.128"}), addressed(net10(j, 100)), {}};
    }
}

list_line allow_line(long i) {
    const long c = i % 10;
    if (c == 8) {
        return {cat({"bounce", num(i), "*@*.example.org"}),
                {},
                cat({"bounce", num(i), "-x@lists.example.org"})};
    }
    if (c == 9) {
        return {cat({"news", num(i), "@*.list", num(i), ".example"}),
                {},
                cat({"news", num(i), "@a.list", num(i), ".example"})};
    }
    if (c % 2 == 0) {
        return {cat({"*@list", num(i), ".example"}), {}, cat({"someone@list", num(i), ".example"})};
    }
    return {cat({"user", num(i), "@host", num(i), ".example"}),
            {},
            cat({"user", num(i), "@host", num(i), ".example"})};
}

list_line line_of(list_kind k, long i) {
    switch (k) {
        case list_kind::peer:
            return with_own_name(peer_line(i));
        case list_kind::internal:
            return with_own_name(internal_line(i));
        default:
            return allow_line(i);
    }
}

bool admits_something(const list_line& l) {
    return l.client || !l.sender.empty();
}

// The files of one daemon, in the benchmark's own directory: the list, and
// for the PeerList the configuration file that names it.
struct list_files {
    std::string list;
    std::string config;
};

void write_file(const std::string& path, const std::string& content) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!f || std::fwrite(content.data(), 1, content.size(), f.get()) != content.size()) {
        throw std::runtime_error(cat({path, ": ", std::strerror(errno)}));
    }
}

list_files write_list(const std::string& dir, list_kind k, long entries) {
    static const char* const stems[] = {"peers", "internal", "allow"};
    const std::string stem = cat({dir, "/", stems[static_cast<int>(k)], "-", num(entries)});
    std::string text;
    text.reserve(static_cast<std::size_t>(entries) * 32);
    for (long i = 0; i < entries; ++i) {
        text += line_of(k, i).text;
        text += '\n';
    }
    list_files files{stem + ".list", {}};
    write_file(files.list, text);
    if (k == list_kind::peer) {
        files.config = stem + ".conf";
        write_file(files.config, cat({"PeerList ", files.list, "\n"}));
    }
    return files;
}

// The daemon's arguments after the program name, with the placeholders of
// filter_process::daemon_args.
std::vector<std::string> daemon_arguments(const settings& s, list_kind k, const list_files& f) {
    std::vector<std::string> extra = s.daemon_args;
    switch (k) {
        case list_kind::peer:
            extra.insert(extra.end(), {"-c", f.config});
            break;
        case list_kind::internal:
            extra.insert(extra.end(), {"-i", f.list});
            break;
        case list_kind::allow:
            extra.insert(extra.end(), {"-a", f.list});
            break;
    }
    return filter_process::daemon_args(extra);
}

// ---- start-up time

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos;
         at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

bool socket_accepts(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    ::close(fd);
    return rc == 0;
}

// Starts the daemon with args (placeholders for a socket and a key file in
// dir), its output thrown away, and returns the milliseconds from fork until
// its socket accepts a connection; the daemon is killed at once after.
// Nothing when it ended first or did not serve within a minute.
std::optional<double> time_startup(const std::string& binary, const std::vector<std::string>& args,
                                   const std::string& dir) {
    static int serial = 0;
    const std::string socket_path = cat({dir, "/startup-", num(++serial), ".sock"});
    const std::string keyfile = dir + "/startup.key";
    if (!std::filesystem::exists(keyfile)) {
        write_file(keyfile, filter_process::random_key() + "\n");
        ::chmod(keyfile.c_str(), 0600);
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) {
        return std::nullopt;
    }
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);

    std::vector<std::string> full = {binary};
    for (const std::string& a : args) {
        full.push_back(replace_all(replace_all(a, "{socket}", socket_path), "{keyfile}", keyfile));
    }
    std::vector<char*> argv;
    for (std::string& a : full) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int nullfd = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    const auto started = clock_type::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (nullfd >= 0) {
            ::dup2(nullfd, 0);
            ::dup2(nullfd, 1);
            ::dup2(nullfd, 2);
        }
        ::execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    if (nullfd >= 0) {
        ::close(nullfd);
    }
    if (pid < 0) {
        return std::nullopt;
    }
    std::optional<double> ms;
    const auto deadline = started + std::chrono::minutes(1);
    int status = 0;
    bool reaped = false;
    while (clock_type::now() < deadline) {
        if (socket_accepts(addr)) {
            ms = std::chrono::duration<double, std::milli>(clock_type::now() - started).count();
            break;
        }
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    if (!reaped) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ::unlink(socket_path.c_str());
    return ms;
}

// ---- driving a daemon

const client_info internal_client = {"localhost", '4', client_port, "127.0.0.1"};
const client_info outside_client = {"mx.example.net", '4', client_port, "192.0.2.10"};

message make_message(const std::string& plain, const std::string& id) {
    message m;
    m.mail_macros = {{"i", id}};
    m.mail_args = {cat({"<", plain, ">"})};
    m.rcpts = {{"<someone@example.net>"}};
    m.eom_macros = {{"i", id}};
    return m;
}

// The messages of the load: a few dozen distinct senders, none of which
// any list line admits.
constexpr std::size_t load_senders = 64;

std::string load_sender(std::size_t n) {
    return cat({"user", num(static_cast<long>(n)), "@example.com"});
}

// The tag signing gives plain at time t with the default key number and
// lifetime.
std::string tag_at(std::time_t t, const std::string& plain, const std::string& key) {
    return prvs_oracle::standard_address(0, (prvs_oracle::day_of(t) + 7) % 1000, plain, key);
}

// The tags of the load's senders for one daemon's key, made once for the
// day the run starts; a message that crosses into another day is checked
// against tags computed for its own moments.
struct expected_tags {
    std::string key;
    std::time_t made = 0;
    std::vector<std::string> tags;

    explicit expected_tags(std::string k) : key(std::move(k)), made(std::time(nullptr)) {
        for (std::size_t n = 0; n < load_senders; ++n) {
            tags.push_back(tag_at(made, load_sender(n), key));
        }
    }
    bool matches(std::size_t n, const std::string& got, std::time_t begin) const {
        if (got == tags[n]) {
            return true;
        }
        const std::string plain = load_sender(n);
        return got == tag_at(begin, plain, key) || got == tag_at(std::time(nullptr), plain, key);
    }
};

// What the daemon answered to one message on a connection of its own.
struct answer {
    char connect = 0;
    std::optional<milter_client::eom_result> eom;  // none when it ended at connect
};

answer one_message(const std::string& socket, const client_info& client, const message& msg) {
    milter_connection conn(socket);
    conn.negotiate();
    conn.macros(SMFIC_CONNECT, {{"j", "mx.bench.example"}});
    answer a;
    a.connect = conn.connect(client).code;
    if (a.connect == SMFIR_CONTINUE) {
        a.eom = milter_client::send_message(conn, msg).eom;
    }
    conn.quit();
    return a;
}

// The sender the daemon installed, when the answer is a signed message
// (one change, the sender, and the message let through); else empty.
std::string tagged_sender(const answer& a) {
    if (a.connect != SMFIR_CONTINUE || !a.eom || a.eom->final.code != SMFIR_CONTINUE ||
        a.eom->changes.size() != 1 || a.eom->changes[0].code != SMFIR_CHGFROM ||
        a.eom->changes[0].args.empty()) {
        return {};
    }
    return a.eom->changes[0].args[0];
}

std::string describe(const answer& a) {
    if (a.connect != SMFIR_CONTINUE) {
        return cat({"connect answered '", std::string(1, a.connect ? a.connect : '?'), "'"});
    }
    if (!a.eom) {
        return "no end of message";
    }
    std::string text = milter_client::describe(*a.eom);
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

using result = load_result;

// Shared by the load threads: the first wrong answer, shown once.
std::mutex first_error_lock;
bool first_error_shown = false;

void report_error(std::string_view what) {
    std::lock_guard lock(first_error_lock);
    if (!first_error_shown) {
        first_error_shown = true;
        std::fprintf(stderr, "first wrong answer: %.*s\n", static_cast<int>(what.size()),
                     what.data());
    }
}

// Sends up to s.messages messages, each on a new connection, s.concurrency
// at a time, starting no new one after s.seconds.
result drive(const settings& s, const filter_process::running_filter& filter,
             const std::vector<message>& load, const expected_tags& expected) {
    const std::string& socket = filter.socket_path();
    const double cpu_before = filter.cpu_seconds();
    std::atomic<long> next{0};
    std::atomic<long> errors{0};
    std::mutex merge;
    std::vector<double> all;
    all.reserve(static_cast<std::size_t>(s.messages));
    const auto started = clock_type::now();
    const auto deadline = s.seconds > 0
                              ? started + std::chrono::duration_cast<clock_type::duration>(
                                              std::chrono::duration<double>(s.seconds))
                              : clock_type::time_point::max();
    {
        std::vector<std::jthread> pool;
        for (int t = 0; t < s.concurrency; ++t) {
            pool.emplace_back([&] {
                std::vector<double> mine;
                for (long i = next++;
                     i < s.messages && (i < s.concurrency || clock_type::now() < deadline);
                     i = next++) {
                    const std::size_t n = static_cast<std::size_t>(i) % load.size();
                    const std::time_t wall = std::time(nullptr);
                    const auto begin = clock_type::now();
                    try {
                        answer a = one_message(socket, internal_client, load[n]);
                        const auto end = clock_type::now();
                        if (!expected.matches(n, tagged_sender(a), wall)) {
                            ++errors;
                            report_error(describe(a));
                        }
                        mine.push_back(
                            std::chrono::duration<double, std::micro>(end - begin).count());
                    } catch (const std::exception& e) {
                        ++errors;
                        report_error(e.what());
                    }
                }
                std::lock_guard lock(merge);
                all.insert(all.end(), mine.begin(), mine.end());
            });
        }
    }
    result r;
    r.seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    r.cpu_seconds = filter.cpu_seconds() - cpu_before;
    r.messages = static_cast<long>(all.size());
    r.errors = errors;
    std::sort(all.begin(), all.end());
    r.latency_us = std::move(all);
    return r;
}

// Messages whose outcome shows that the whole file was loaded and its
// entries mean what they should; returns the number of wrong answers.
long probe(list_kind k, long entries, const filter_process::running_filter& filter) {
    enum class want { peer, signed_sender, unsigned_sender };
    struct probe_case {
        std::string what;
        client_info client;
        std::string sender;
        want outcome;
    };
    std::vector<probe_case> cases;
    std::vector<long> lines = {0};
    for (long i = entries - 1; i > 0; --i) {
        if (admits_something(line_of(k, i))) {
            lines.push_back(i);
            break;
        }
    }
    for (long i : lines) {
        const list_line l = line_of(k, i);
        if (!admits_something(l)) {
            continue;
        }
        const std::string what = cat({"line ", num(i + 1), " (", l.text, ")"});
        switch (k) {
            case list_kind::peer:
                cases.push_back({what, *l.client, "user@example.com", want::peer});
                break;
            case list_kind::internal:
                cases.push_back({what, *l.client, "user@example.com", want::signed_sender});
                break;
            case list_kind::allow:
                cases.push_back({what, internal_client, l.sender, want::unsigned_sender});
                break;
        }
    }
    if (k == list_kind::internal) {
        cases.push_back(
            {"an outside client", outside_client, "user@example.com", want::unsigned_sender});
    }
    long wrong = 0;
    for (const probe_case& c : cases) {
        const std::time_t before = std::time(nullptr);
        answer a;
        try {
            a = one_message(filter.socket_path(), c.client, make_message(c.sender, "P1"));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s, %ld entries, %s: %s\n", name_of(k), entries, c.what.c_str(),
                         e.what());
            ++wrong;
            continue;
        }
        bool ok = false;
        switch (c.outcome) {
            case want::peer:
                ok = a.connect == SMFIR_ACCEPT;
                break;
            case want::signed_sender: {
                const std::string got = tagged_sender(a);
                ok = got == tag_at(before, c.sender, filter.key()) ||
                     got == tag_at(std::time(nullptr), c.sender, filter.key());
                break;
            }
            case want::unsigned_sender:
                ok = a.connect == SMFIR_CONTINUE && a.eom && a.eom->final.code == SMFIR_CONTINUE &&
                     std::none_of(a.eom->changes.begin(), a.eom->changes.end(),
                                  [](const auto& m) { return m.code == SMFIR_CHGFROM; });
                break;
        }
        if (!ok) {
            std::fprintf(stderr, "%s, %ld entries, probe from %s: unexpected answer: %s\n",
                         name_of(k), entries, c.what.c_str(), describe(a).c_str());
            ++wrong;
        }
    }
    return wrong;
}

template <class T, class Less>
T median_of(std::vector<T> v, Less less) {
    std::sort(v.begin(), v.end(), less);
    return v[v.size() / 2];
}

// The figures of one kind at one size.
struct row {
    long entries = 0;
    std::optional<double> startup_ms;
    result run;
    long rss_kib = -1;
};

struct kind_report {
    list_kind kind;
    std::vector<row> rows;
};

long total_errors = 0;
bool daemon_died = false;

kind_report measure(const settings& s, list_kind k, const std::string& dir) {
    kind_report report{k, {}};
    const auto gen_started = clock_type::now();
    std::vector<list_files> files;
    for (long n : s.sizes) {
        files.push_back(write_list(dir, k, n));
    }
    std::printf("\n%s: list files written in %.0f ms\n", name_of(k),
                std::chrono::duration<double, std::milli>(clock_type::now() - gen_started).count());
    std::fflush(stdout);

    std::vector<std::unique_ptr<filter_process::running_filter>> daemons;
    std::vector<expected_tags> expected;
    for (std::size_t z = 0; z < s.sizes.size(); ++z) {
        filter_process::options o;
        o.binary = s.vellicor;
        o.args = daemon_arguments(s, k, files[z]);
        daemons.push_back(std::make_unique<filter_process::running_filter>(o));
        expected.emplace_back(daemons.back()->key());
        total_errors += probe(k, s.sizes[z], *daemons.back());
    }

    std::vector<message> load;
    for (std::size_t n = 0; n < load_senders; ++n) {
        load.push_back(make_message(load_sender(n), cat({"L", num(static_cast<long>(n))})));
    }
    std::vector<std::vector<double>> startups(s.sizes.size());
    std::vector<std::vector<result>> runs(s.sizes.size());
    for (int r = 0; r < s.rounds; ++r) {
        for (std::size_t at = 0; at < s.sizes.size(); ++at) {
            const std::size_t z = r % 2 == 0 ? at : s.sizes.size() - 1 - at;
            if (auto ms = time_startup(s.vellicor, daemon_arguments(s, k, files[z]), dir)) {
                startups[z].push_back(*ms);
            }
            result res = drive(s, *daemons[z], load, expected[z]);
            total_errors += res.errors;
            runs[z].push_back(std::move(res));
        }
    }
    for (std::size_t z = 0; z < s.sizes.size(); ++z) {
        row w;
        w.entries = s.sizes[z];
        if (!startups[z].empty()) {
            w.startup_ms = median_of(startups[z], std::less<double>());
        }
        w.run = median_of(runs[z],
                          [](const result& a, const result& b) { return a.rate() < b.rate(); });
        w.rss_kib = daemons[z]->rss_kib();
        if (!daemons[z]->alive()) {
            std::printf("%s, %ld entries: the daemon died\n", name_of(k), s.sizes[z]);
            daemon_died = true;
        }
        report.rows.push_back(std::move(w));
    }
    return report;
}

void print_report(const kind_report& kr) {
    std::printf("%-15s %7s %6s %9s %8s %9s %9s %10s %8s %7s\n", "list", "entries", "msgs",
                "start ms", "msg/s", "p50 ms", "p99 ms", "cpu us/msg", "RSS MiB", "ratio");
    const double base = kr.rows.empty() ? 0 : kr.rows.front().run.rate();
    for (const row& w : kr.rows) {
        char start[32] = "-";
        if (w.startup_ms) {
            std::snprintf(start, sizeof start, "%.1f", *w.startup_ms);
        }
        std::printf("%-15s %7ld %6ld %9s %8.0f %9.2f %9.2f %10.0f %8.1f %7.3f\n", name_of(kr.kind),
                    w.entries, w.run.messages, start, w.run.rate(), w.run.percentile(0.5) / 1000,
                    w.run.percentile(0.99) / 1000, w.run.cpu_us(), w.rss_kib / 1024.0,
                    base > 0 ? w.run.rate() / base : 0.0);
    }
    std::fflush(stdout);
}

const row* row_with(const kind_report& kr, long entries) {
    for (const row& w : kr.rows) {
        if (w.entries == entries) {
            return &w;
        }
    }
    return nullptr;
}

// The figures the indexed lists are to reach, beside the measured ones.
void print_goals(const std::vector<kind_report>& reports) {
    std::printf("\ngoals (ratio to the smallest size; 16 MB = 15625 KiB):\n");
    for (const kind_report& kr : reports) {
        const double base = kr.rows.empty() ? 0 : kr.rows.front().run.rate();
        const long at = kr.kind == list_kind::allow ? 10000 : 100000;
        if (const row* w = row_with(kr, at); w && base > 0) {
            const double ratio = w->run.rate() / base;
            std::printf("  %-15s %6ld entries: ratio %.3f (goal >= 0.85: %s)\n", name_of(kr.kind),
                        at, ratio, ratio >= 0.85 ? "met" : "not met");
        }
        if (const row* w = row_with(kr, 10000); w && kr.kind == list_kind::allow) {
            std::printf("  %-15s %6d entries: RSS %ld KiB (goal <= 16 MB: %s)\n", name_of(kr.kind),
                        10000, w->rss_kib,
                        w->rss_kib >= 0 && w->rss_kib <= 15625 ? "met" : "not met");
        }
        if (const row* w = row_with(kr, 100000); w && w->startup_ms) {
            std::printf("  %-15s %6d entries: start-up %.1f ms (goal < 1000 ms: %s)\n",
                        name_of(kr.kind), 100000, *w->startup_ms,
                        *w->startup_ms < 1000 ? "met" : "not met");
        }
    }
}


std::optional<std::vector<list_kind>> parse_kinds(const char* text) {
    std::vector<list_kind> out;
    std::string_view s(text);
    while (!s.empty()) {
        const std::size_t comma = s.find(',');
        const std::string_view piece = s.substr(0, comma);
        if (piece == "peer") {
            out.push_back(list_kind::peer);
        } else if (piece == "internal") {
            out.push_back(list_kind::internal);
        } else if (piece == "allow") {
            out.push_back(list_kind::allow);
        } else if (!piece.empty()) {
            return std::nullopt;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        s.remove_prefix(comma + 1);
    }
    return out;
}

int usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s [--sizes 10,1000,10000,100000] [--concurrency 8] [--rounds R]\n"
                 "       [--messages N] [--seconds S] [--kinds peer,internal,allow]\n"
                 "       [--vellicor PATH] [--daemon-arg ARG]...\n",
                 prog);
    return 64;
}

// Removes the benchmark's directory of list files at the end.
struct work_dir {
    std::string path;
    work_dir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "vellicor-listbench-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) {
            throw std::runtime_error(cat({"mkdtemp(): ", std::strerror(errno)}));
        }
        path = templ;
    }
    ~work_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
};

int run(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            return usage(argv[0]);
        }
        const char* v = argv[++i];
        if (a == "--sizes") {
            s.sizes = parse_number_list(v);
        } else if (a == "--concurrency") {
            s.concurrency = std::max(1, std::atoi(v));
        } else if (a == "--rounds") {
            s.rounds = std::max(1, std::atoi(v));
        } else if (a == "--messages") {
            s.messages = std::max(1L, std::atol(v));
        } else if (a == "--seconds") {
            s.seconds = std::atof(v);
        } else if (a == "--kinds") {
            auto kinds = parse_kinds(v);
            if (!kinds) {
                return usage(argv[0]);
            }
            s.kinds = *kinds;
        } else if (a == "--vellicor") {
            s.vellicor = v;
        } else if (a == "--daemon-arg") {
            s.daemon_args.push_back(v);
        } else {
            return usage(argv[0]);
        }
    }
    if (s.sizes.empty() ||
        std::any_of(s.sizes.begin(), s.sizes.end(), [](long n) { return n < 1; })) {
        return usage(argv[0]);
    }

    std::sort(s.sizes.begin(), s.sizes.end());
    s.sizes.erase(std::unique(s.sizes.begin(), s.sizes.end()), s.sizes.end());

    std::printf("%d connections, a new connection per message; each run sends %ld messages",
                s.concurrency, s.messages);
    if (s.seconds > 0) {
        std::printf(" or starts none after %g s", s.seconds);
    }
    std::printf(";\n%d rounds, sizes alternated, median round shown\n", s.rounds);
    work_dir dir;
    std::vector<kind_report> reports;
    for (list_kind k : s.kinds) {
        reports.push_back(measure(s, k, dir.path));
        print_report(reports.back());
    }
    print_goals(reports);
    std::printf("errors (wrong or missing answers): %ld\n", total_errors);
    if (daemon_died) {
        return 1;
    }
    return total_errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
}
