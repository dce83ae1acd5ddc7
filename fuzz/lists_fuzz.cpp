// fuzz-libs: lists
// Arbitrary bytes as the content of every list file (allow list, internal
// hosts, domain file, PeerList) and as the text of every comma-separated
// list setting. Checks that each loader either fails the way start-up
// expects or builds records that keep the shapes the callbacks rely on.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lists/lists.h"

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
        check(entry.ae_regex != nullptr);
        regexec(entry.ae_regex.get(), "someone@example.com", 0, nullptr, 0);
    }
}

void fuzz_internal_hosts(const std::string& path) {
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
        if (entry.ih_name) {
            check(entry.ih_addr == 0 && entry.ih_mask == 0);
            // A name is never empty: "/8" is refused, not read as a name.
            check(!batv_isblank(*entry.ih_name));
            check(!has_any_of(*entry.ih_name, std::string_view("/#\n\0", 4)));
            check(entry.ih_name->size() <= 511);
        }
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

void fuzz_peer_list(const std::string& path, std::size_t size) {
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

    fuzz_allow_list(file.path);
    fuzz_internal_hosts(file.path);
    fuzz_domain_file(file.path);
    fuzz_peer_list(file.path, size);
    fuzz_comma_lists(std::string(bytes));
    return 0;
}
