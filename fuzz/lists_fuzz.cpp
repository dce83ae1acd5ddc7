// fuzz-libs: lists
// Arbitrary bytes as the content of every list file (allow list, internal
// hosts, domain file, PeerList) and as the text of every comma-separated
// list setting. Checks that each loader either fails the way start-up
// expects or builds records that keep the shapes the callbacks rely on, and
// that the internal hosts and the PeerList give an IPv4-mapped IPv6 client
// the verdict they give the IPv4 client it stands for. The indexed matchers
// must give the verdicts of the walk over the records they replace
// (tests/lists/reference_match.h), for clients made of the input's first
// bytes and for host names made of its lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lists/lists.h"
#include "tests/lists/reference_match.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool has_any_of(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

bool ends_blank(std::string_view text) {
    return !text.empty() && batv_isblank(text.substr(text.size() - 1));
}

// The failure every list file gives for a line longer than 511 characters.
bool is_long_line_failure(const list_failure& failure, const std::string& path) {
    return failure.message.starts_with(path + ": line ") &&
           failure.message.ends_with(" is longer than 511 characters\n");
}

// The bytes live in an anonymous in-memory file that the loaders open by
// path, as they open a real list file.
struct input_file {
    int fd = memfd_create("list", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    ~input_file() { close(fd); }

    void fill(const std::uint8_t* data, std::size_t size) const {
        check(ftruncate(fd, 0) == 0);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            check(n > 0);
            done += static_cast<std::size_t>(n);
        }
    }
};

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Client addresses made of the input's first bytes, so that they meet the
// entries the input spells now and then: an IPv4 client, the IPv4-mapped
// IPv6 client that stands for it, and an IPv6 client.
struct clients {
    sockaddr_in v4{};
    sockaddr_in6 mapped{};
    sockaddr_in6 v6{};

    clients(const std::uint8_t* data, std::size_t size) {
        std::array<std::uint8_t, 16> bytes{};
        if (size > 0) {
            std::memcpy(bytes.data(), data, size < bytes.size() ? size : bytes.size());
        }
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, bytes.data(), 4);
        mapped.sin6_family = AF_INET6;
        mapped.sin6_addr.s6_addr[10] = 0xff;
        mapped.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&mapped.sin6_addr.s6_addr[12], bytes.data(), 4);
        v6.sin6_family = AF_INET6;
        std::memcpy(v6.sin6_addr.s6_addr, bytes.data(), bytes.size());
    }

    const sockaddr* ipv4() const { return reinterpret_cast<const sockaddr*>(&v4); }
    const sockaddr* none() const { return nullptr; }
    const sockaddr* ipv4_mapped() const { return reinterpret_cast<const sockaddr*>(&mapped); }
    const sockaddr* ipv6() const { return reinterpret_cast<const sockaddr*>(&v6); }
};

bool is_mapped_network(const ipv6_network& network) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return network.n6_prefix >= 96 && std::memcmp(network.n6_addr.data(), prefix, 12) == 0;
}

// Host names a client may give, made of the input: each line as it is, in
// upper case, and with a label in front; the tails of the first line that
// begin at a '.'; and a few fixed names.
std::vector<std::string> host_names(std::string_view bytes) {
    std::vector<std::string> names = {"", "mx.example.net", "localhost", "LOCALHOST"};
    std::size_t start = 0;
    while (start <= bytes.size() && names.size() < 64) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        // A host name is a C string, as libmilter hands it over.
        const std::string line(std::string(bytes.substr(start, end - start)).c_str());
        std::string upper = line;
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        if (start == 0) {
            for (std::size_t dot = line.find('.'); dot != std::string::npos;
                 dot = line.find('.', dot + 1)) {
                names.push_back(line.substr(dot));
            }
        }
        names.push_back(line);
        names.push_back(upper);
        names.push_back("x." + line);
        start = end + 1;
    }
    return names;
}

void fuzz_allow_list(const std::string& path) {
    allow_list_t list;
    if (const auto failure = load_allow_list(path, list)) {
        check(failure->status == 69);
        check(failure->message.starts_with("regcomp(): ") || is_long_line_failure(*failure, path));
        check(failure->message.ends_with("\n"));
        check(list.empty());
        return;
    }
    for (const auto& entry : list) {
        // A glob, or a compiled pattern where the line is more than one.
        check((entry.ae_regex != nullptr) != entry.ae_glob.has_value());
    }
    vlcf_allow_match(list, "someone@example.com");
}

void fuzz_internal_hosts(const std::string& path, const clients& client,
                         const std::vector<std::string>& hosts) {
    internal_hosts_t list;
    if (const auto failure = load_internal_hosts(path, list)) {
        check(failure->status == 69);
        check((failure->message.starts_with(path + ": invalid CIDR specification `") &&
               failure->message.ends_with("'\n")) ||
              is_long_line_failure(*failure, path));
        check(list.empty());
        return;
    }
    for (const auto& entry : list) {
        // A record from a file has one part: a name, an IPv4 address with
        // its mask, or an IPv6 network.
        if (entry.ih_name) {
            check(entry.ih_addr == 0 && entry.ih_mask == 0 && !entry.ih_net6);
            // A name is never empty: "/8" is refused, not read as a name.
            check(!batv_isblank(*entry.ih_name));
            check(!has_any_of(*entry.ih_name, std::string_view("/#\n\0", 4)));
            check(entry.ih_name->size() <= 511);
        }
        if (entry.ih_net6) {
            check(entry.ih_addr == 0 && entry.ih_mask == 0);
            check(entry.ih_net6->n6_prefix <= 128);
            // IPv4-mapped networks of 96 bits or more are kept as IPv4.
            check(!is_mapped_network(*entry.ih_net6));
        }
    }
    for (const std::string& name : hosts) {
        for (const sockaddr* address :
             {client.ipv4(), client.ipv4_mapped(), client.ipv6(), client.none()}) {
            check(vlcf_internal_match(list, name, address) ==
                  reference::internal_match(list, name, address));
        }
    }
    const std::string host = "mx.example.net";
    check(vlcf_internal_match(list, host, client.ipv4()) ==
          vlcf_internal_match(list, host, client.ipv4_mapped()));
    const bool by_name = vlcf_internal_match(list, host, nullptr);
    if (by_name) {
        check(vlcf_internal_match(list, host, client.ipv6()));
    }
}

void fuzz_domain_file(const std::string& path) {
    domain_list_t list;
    if (const auto failure = load_domain_list(path, list)) {
        check(failure->status == 71);
        check(is_long_line_failure(*failure, path));
        check(list.empty());
        return;
    }
    for (const auto& entry : list) {
        check(!entry.de_name.empty() && entry.de_name.size() <= 511);
        check(!has_any_of(entry.de_name, std::string_view("#\n\0", 3)));
        check(!ends_blank(entry.de_name));
    }
}

void fuzz_peer_list(const std::string& path, std::size_t size, const clients& client,
                    const std::vector<std::string>& hosts) {
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "r"));
    check(file != nullptr);
    peer_list_t list;
    if (!vlcf_load_list(file.get(), list)) {
        // Only a line longer than 511 characters stops it.
        check(list.empty());
        check(size > 511);
        return;
    }
    std::size_t text = 0;
    for (const auto& entry : list) {
        check(!has_any_of(entry.pe_name, std::string_view("\n\0", 2)));
        check(entry.pe_name.size() + (entry.pe_negate ? 1 : 0) <= 511);
        text += entry.pe_name.size();
    }
    check(text <= size);
    const int v4 = vlcf_checkip(list, client.ipv4());
    check(v4 == 0 || v4 == 1);
    check(vlcf_checkip(list, client.ipv4_mapped()) == v4);
    const int v6 = vlcf_checkip(list, client.ipv6());
    check(v6 == 0 || v6 == 1);
    check(v4 == reference::checkip(list, client.ipv4()));
    check(v6 == reference::checkip(list, client.ipv6()));
    for (const std::string& name : hosts) {
        check(vlcf_checkhost(list, name.c_str()) == reference::checkhost(list, name.c_str()));
    }
}

void fuzz_comma_lists(const std::string& value) {
    // The domain list takes the text as names unless it names an existing
    // file; the in-memory file's path does not occur here by chance, but an
    // existing path such as "/" does, and reading it as a domain file may
    // fail as reading any domain file may.
    const bool as_names = value.empty() || value.front() != '/' || access(value.c_str(), F_OK) != 0;
    domain_list_t domains;
    const std::optional<list_failure> domain_failure = load_domain_list(value, domains);
    check(!domain_failure || (!as_names && domain_failure->status == 71));
    mta_list_t mtas;
    check(!load_mta_list(value, mtas).has_value());
    macro_list_t macros;
    check(!load_macro_list(value, macros).has_value());

    if (as_names) {
        check(domains.size() == mtas.size());
        for (std::size_t i = 0; i < mtas.size(); ++i) {
            // The domain list holds the same items, last first.
            check(domains[domains.size() - 1 - i].de_name == mtas[i]);
        }
    }
    for (const auto& name : mtas) {
        check(!name.empty() && !has_any_of(name, std::string_view(",\0", 2)));
    }
    check(macros.macro_names.size() == mtas.size());
    check(macros.macro_values.size() == mtas.size());
    for (std::size_t i = 0; i < mtas.size(); ++i) {
        const std::string& name = macros.macro_names[i];
        const auto& alternatives = macros.macro_values[i];
        check(!has_any_of(name, ",="));
        if (alternatives) {
            check(name + "=" + *alternatives == mtas[i]);
        } else {
            check(name == mtas[i]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const input_file file;
    check(file.fd >= 0);
    file.fill(data, size);

    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string regex = batv_mkregexp(bytes);
    check(regex.size() <= 512 && regex.front() == '^');

    const clients client(data, size);
    const std::vector<std::string> hosts = host_names(bytes);
    fuzz_allow_list(file.path);
    fuzz_internal_hosts(file.path, client, hosts);
    fuzz_domain_file(file.path);
    fuzz_peer_list(file.path, size, client, hosts);
    fuzz_comma_lists(std::string(bytes));
    return 0;
}
