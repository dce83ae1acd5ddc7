// Option stage: initial values, the command line and completion.
#include "process/options.h"

#include <libmilter/mfapi.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "callbacks/settings.h"

command_line_record command_line;

namespace {

struct usage_line {
    const char* synopsis;
    const char* description;
};

// -b and -h are accepted but deliberately not advertised.
constexpr usage_line usage_lines[] = {
    {"-a allowaddrs", "file containing addresses to pass"},
    {"-A", "enable auto-restart"},
    {"-c conffile", "configuration file"},
    {"-d domainlist", "domain(s) to verify"},
    {"-D debuglevel", "set milter debug level"},
    {"-f", "don't fork-and-exit"},
    {"-i internallist", "internal host list"},
    {"-l", "log activity to system log"},
    {"-m mtalist", "MTA name(s) for which to sign"},
    {"-M macro[=value][,...]", "macro tests for signing"},
    {"-n", "don't actually do any filtering"},
    {"-P pidfile", "file to which to write pid"},
    {"-q", "quarantine messages that fail verification"},
    {"-r", "add header instead of filtering"},
    {"-s", "skip mail from authenticated clients"},
    {"-S", "request meaningful SMTP replies when rejecting"},
    {"-t ttl", "signature time-to-live (days)"},
    {"-u userid", "change to specified userid"},
    {"-v version", "key version"},
    {"-V", "print version and terminate"},
    {"-x", "experimental sendmail mode"},
};

// The text settings an option may give only once.
std::optional<std::string>* single_use_setting(int option) {
    switch (option) {
        case 'a':
            return &settings.DontSignMailTo;
        case 'c':
            return &settings.config_file;
        case 'd':
            return &settings.Domain;
        case 'i':
            return &settings.InternalHosts;
        case 'k':
            return &settings.KeyFile;
        case 'p':
            return &settings.Socket;
        case 'P':
            return &settings.PidFile;
        case 'u':
            return &settings.UserID;
        default:
            return nullptr;
    }
}

// A base-10 unsigned number that fits in 32 bits, with nothing left over.
std::optional<std::uint32_t> parse_unsigned(const char* text) {
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// glibc's getopt reorders the arguments unless POSIXLY_CORRECT is set when
// it initialises; the filter wants the POSIX rule that the first non-option
// argument ends the options. The variable is set only while parsing so that
// nothing else in the process sees it.
class posix_getopt_scope {
  public:
    posix_getopt_scope() {
        if (const char* old = std::getenv("POSIXLY_CORRECT")) {
            saved_ = old;
        } else {
            setenv("POSIXLY_CORRECT", "1", 1);
        }
        optind = 0;  // glibc: start over and reread the environment
    }
    ~posix_getopt_scope() {
        if (!saved_) {
            unsetenv("POSIXLY_CORRECT");
        }
    }
    posix_getopt_scope(const posix_getopt_scope&) = delete;
    posix_getopt_scope& operator=(const posix_getopt_scope&) = delete;

  private:
    std::optional<std::string> saved_;
};

}  // namespace

void batv_init_settings(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "";
    std::size_t slash = name.rfind('/');
    settings.progname = slash == std::string::npos ? name : name.substr(slash + 1);

    char host[max_host_length + 1] = {};
    if (gethostname(host, max_host_length) != 0) {
        host[0] = '\0';
    }
    host[max_host_length] = '\0';
    settings.hostname = host;
}

int batv_usage() {
    const char* name = settings.progname.c_str();
    std::fprintf(stderr, "%s: usage: %s -p socketfile -k key [options]\n", name, name);
    for (const usage_line& line : usage_lines) {
        std::fprintf(stderr, "\t%-22s\t%s\n", line.synopsis, line.description);
    }
    return EX_USAGE;
}

std::optional<int> batv_parse_options(int argc, char** argv) {
    const char* name = settings.progname.c_str();
    command_line = command_line_record{};
    posix_getopt_scope posix;
    int c;
    while ((c = getopt(argc, argv, option_string)) != -1) {
        if (std::optional<std::string>* setting = single_use_setting(c)) {
            if (setting->has_value()) {
                std::fprintf(stderr, "%s: multiple use of -%c not allowed\n", name, c);
                return EX_USAGE;
            }
            *setting = optarg;
            continue;
        }
        switch (c) {
            case 'A':
                settings.AutoRestart = 1;
                break;
            case 'b':
                settings.AllSenders = 0;
                break;
            case 'D': {
                char* end = nullptr;
                long level = std::strtol(optarg, &end, 10);
                if (*end != '\0') {
                    std::fprintf(stderr, "%s: invalid debug level `%s'\n", name, optarg);
                    return EX_USAGE;
                }
                settings.MilterDebug = static_cast<int>(level);
                command_line.milter_debug_given = true;
                smfi_setdbg(settings.MilterDebug);
                break;
            }
            case 'f':
                settings.Background = 0;
                break;
            case 'h':
                settings.XHeader = 1;
                break;
            case 'l':
                settings.Syslog = 1;
                break;
            case 'm':
                settings.MTA = optarg;
                break;
            case 'M':
                settings.MacroList = optarg;
                break;
            case 'n':
                settings.TestMode = 1;
                break;
            case 'q':
                settings.Quarantine = 1;
                break;
            case 'r':
                settings.AddAuthenticationResults = 1;
                break;
            case 's':
                settings.IgnoreAuthenticatedClients = 1;
                break;
            case 'S':
                settings.SetReplies = 1;
                break;
            case 't': {
                std::optional<std::uint32_t> ttl = parse_unsigned(optarg);
                if (!ttl) {
                    std::fprintf(stderr, "%s: invalid signature TTL `%s'\n", name, optarg);
                    return EX_USAGE;
                }
                settings.SignatureTTL = *ttl;
                break;
            }
            case 'v': {
                std::optional<std::uint32_t> version = parse_unsigned(optarg);
                if (!version || *version >= 10) {
                    std::fprintf(stderr, "%s: invalid key version `%s'\n", name, optarg);
                    return EX_USAGE;
                }
                settings.KeyVersion = static_cast<int>(*version);
                break;
            }
            case 'V':
                std::printf("%s: %s v%s\n", name, product_name, product_version);
                std::fflush(stdout);
                return EX_OK;
            case 'x':
                settings.SendmailFormat = 1;
                break;
            default:
                return batv_usage();
        }
    }
    return std::nullopt;
}

std::optional<int> batv_complete_settings() {
    if (!settings.Socket || !settings.KeyFile) {
        return batv_usage();
    }
    batv_apply_defaults(settings);
    return std::nullopt;
}

void batv_apply_defaults(settings_record& s) {
    if (s.KeyVersion == -1) {
        s.KeyVersion = 0;
    }
    if (s.SignatureTTL == -1) {
        s.SignatureTTL = 7;
    }
}
