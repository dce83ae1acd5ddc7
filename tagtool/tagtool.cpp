// vellicor-tag: the command line, the loading steps the commands share, and
// the sign and check commands. Every step that decides something is the
// filter's own: its option parser for the options the two programs share,
// its configuration stage and loading steps, and the tag codec.
#include "tagtool/tagtool.h"

#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "callbacks/settings.h"
#include "callbacks/text.h"
#include "process/config_stage.h"
#include "process/load.h"
#include "process/options.h"
#include "process/startup.h"
#include "tags/tags.h"
#include "tagtool/settings_report.h"

namespace {

// Options come before the command ('+': the first operand ends them). Each
// one but -h is the filter's option of the same letter.
constexpr const char* tool_option_string = "+c:hk:t:v:x";

struct usage_line {
    const char* synopsis;
    const char* description;
};

constexpr usage_line usage_lines[] = {
    {"-c conffile", "configuration file"},
    {"-h", "print this text and exit"},
    {"-k keyfile", "key file"},
    {"-t ttl", "signature time-to-live (days)"},
    {"-v version", "key version"},
    {"-x", "sendmail tag form"},
};

enum class command_kind { sign, check, config };

struct tool_command {
    command_kind kind = command_kind::sign;
    std::string address;  // sign and check
};

const char* prog() {
    return settings.progname.c_str();
}

void print_usage(std::FILE* out) {
    const char* name = prog();
    const int indent = static_cast<int>(std::strlen(name) + std::strlen(": usage: "));
    std::fprintf(out, "%s: usage: %s [options] sign address\n", name, name);
    std::fprintf(out, "%*s%s [options] check address\n", indent, "", name);
    std::fprintf(out, "%*s%s -c conffile [options] config\n", indent, "", name);
    for (const usage_line& line : usage_lines) {
        std::fprintf(out, "\t%-22s\t%s\n", line.synopsis, line.description);
    }
}

int usage() {
    print_usage(stderr);
    return EX_USAGE;
}

// Reads the options. Those the filter has too are handed, in their order,
// to the filter's own option parser, so that their checks, their messages
// and their precedence over the configuration file are the filter's.
// first_operand receives the index of the command.
std::optional<int> parse_options(int argc, char** argv, int& first_operand) {
    std::vector<std::string> shared{argc > 0 ? argv[0] : "vellicor-tag"};
    int c;
    while ((c = getopt(argc, argv, tool_option_string)) != -1) {
        switch (c) {
            case 'h':
                print_usage(stdout);
                return EX_OK;
            case 'c':
            case 'k':
            case 't':
            case 'v':
                shared.push_back({'-', static_cast<char>(c)});
                shared.emplace_back(optarg);
                break;
            case 'x':
                shared.emplace_back("-x");
                break;
            default:
                return usage();
        }
    }
    first_operand = optind;

    std::vector<char*> shared_argv;
    for (std::string& arg : shared) {
        shared_argv.push_back(arg.data());
    }
    shared_argv.push_back(nullptr);
    return batv_parse_options(static_cast<int>(shared.size()), shared_argv.data());
}

// The command and its operands; nothing (the reason on standard error)
// when they are not what a command takes.
std::optional<tool_command> read_command(int argc, char** argv, int at) {
    if (at >= argc) {
        std::fprintf(stderr, "%s: no command given\n", prog());
        return std::nullopt;
    }
    const std::string_view name = argv[at];
    const int operands = argc - at - 1;
    if (name == "sign" || name == "check") {
        if (operands != 1) {
            std::fprintf(stderr, "%s: %s takes one address\n", prog(), argv[at]);
            return std::nullopt;
        }
        return tool_command{name == "sign" ? command_kind::sign : command_kind::check,
                            argv[at + 1]};
    }
    if (name == "config") {
        if (operands != 0) {
            std::fprintf(stderr, "%s: config takes no arguments\n", prog());
            return std::nullopt;
        }
        return tool_command{command_kind::config, {}};
    }
    std::fprintf(stderr, "%s: unknown command `%s'\n", prog(), argv[at]);
    return std::nullopt;
}

// A setting without which the filter does not start.
std::optional<int> require(const std::optional<std::string>& setting, const char* name) {
    if (!setting) {
        std::fprintf(stderr, "%s: %s: no %s given; the filter would not start\n", prog(),
                     settings.config_file->c_str(), name);
        return EX_USAGE;
    }
    return std::nullopt;
}

// The steps of the filter's start-up that read the configuration, the keys
// and the lists, in the filter's order, with its messages and exit
// statuses. Nothing is opened or started: no socket, no log, no PID file,
// no change of user.
std::optional<int> load_settings(command_kind kind) {
    if (settings.config_file) {
        if (auto status = batv_config_stage(settings)) {
            return status;
        }
    }
    if (kind == command_kind::config) {
        if (auto status = require(settings.Socket, "Socket")) {
            return status;
        }
        if (auto status = require(settings.KeyFile, "KeyFile")) {
            return status;
        }
    } else if (!settings.KeyFile) {
        std::fprintf(stderr, "%s: no key file given (-k or KeyFile)\n", prog());
        return usage();
    }
    batv_apply_defaults(settings);

    if (settings.BaseDirectory) {
        if (auto status = batv_change_directory(*settings.BaseDirectory)) {
            return status;
        }
    }
    if (auto status = batv_load_files(settings)) {
        return status;
    }
    if (kind == command_kind::config) {
        if (auto status = batv_check_facility(settings)) {
            return status;
        }
    }
    return std::nullopt;
}

tag_form configured_form() {
    return settings.SendmailFormat ? tag_form::sendmail : tag_form::standard;
}

std::uint32_t configured_ttl() {
    return static_cast<std::uint32_t>(settings.SignatureTTL);
}

// Standard output must have taken the whole result.
int finish_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: standard output: %s\n", prog(), std::strerror(errno));
        return EX_IOERR;
    }
    return EX_OK;
}

// The tagged address the filter would make for a sender now. Addresses the
// filter does not sign are refused with EX_DATAERR.
int sign(const std::string& address) {
    if (address.size() > max_address_length) {
        std::fprintf(stderr, "%s: address longer than %zu characters\n", prog(),
                     max_address_length);
        return EX_DATAERR;
    }
    if (address.find('@') == std::string::npos) {
        std::fprintf(stderr, "%s: `%s': no `@'; the filter signs only addresses with a domain\n",
                     prog(), address.c_str());
        return EX_DATAERR;
    }
    if (batv_is_tagged(address, configured_form())) {
        std::fprintf(stderr, "%s: `%s' is tagged already; the filter leaves it as it is\n", prog(),
                     address.c_str());
        return EX_DATAERR;
    }
    const unsigned day = batv_expiry_day(std::time(nullptr), configured_ttl());
    const std::optional<std::string> tagged =
        batv_tag_address(address, settings.KeyVersion, day, settings.key_text, configured_form());
    if (!tagged) {
        std::fprintf(stderr, "%s: `%s': the tagged address would exceed %zu characters\n", prog(),
                     address.c_str(), max_address_length);
        return EX_DATAERR;
    }
    std::printf("%s\n", tagged->c_str());
    return finish_output();
}

std::string day_count(unsigned days) {
    return std::to_string(days) + (days == 1 ? " day" : " days");
}

struct verdict {
    std::string line;
    bool valid = false;
};

// What the filter would decide about a recipient, and why. The filter
// examines at most max_address_length characters; so does this. A hash that
// does not match is reported before expiry, as the filter rejects it.
verdict judge(std::string_view given) {
    const std::string_view address = cut_text(given, max_address_length);
    const std::string shown(address);
    const tag_form form = configured_form();
    if (!batv_is_tagged(address, form)) {
        return {"not a tagged address: " + shown};
    }
    const std::time_t now = std::time(nullptr);
    const tag_check check =
        batv_validate_tag(address, form, settings.verify_keys, configured_ttl(), now);
    switch (check.tc_status) {
        case TAG_SYNTAX:
            return {"syntax error: " + shown};
        case TAG_BADVERSION:
            return {"unknown key number " + std::to_string(check.tc_key_number) + ": " + shown};
        case TAG_PARSED:
            break;
    }
    if (!check.tc_hash_ok) {
        return {"forged: " + check.tc_plain + ": signature mismatch"};
    }
    const unsigned today = batv_expiry_day(now, 0);
    const unsigned day = static_cast<unsigned>(check.tc_day);
    if (check.tc_expired) {
        const unsigned ago = (today + tag_days_per_cycle - day) % tag_days_per_cycle;
        return {"expired: " + check.tc_plain + ": expired " + day_count(ago) + " ago"};
    }
    const unsigned ahead = (day + tag_days_per_cycle - today) % tag_days_per_cycle;
    return {"valid: " + check.tc_plain + ", key " + std::to_string(check.tc_key_number) +
                ", expires in " + day_count(ahead),
            true};
}

// Exit status 0 for a valid tag, 1 for anything else.
int check(const std::string& address) {
    const verdict v = judge(address);
    std::printf("%s\n", v.line.c_str());
    const int status = finish_output();
    if (status != EX_OK) {
        return status;
    }
    return v.valid ? 0 : 1;
}

}  // namespace

int tagtool_main(int argc, char** argv) {
    batv_init_settings(argc > 0 ? argv[0] : "vellicor-tag");

    int first_operand = argc;
    if (auto status = parse_options(argc, argv, first_operand)) {
        return *status;
    }
    const std::optional<tool_command> command = read_command(argc, argv, first_operand);
    if (!command) {
        return usage();
    }
    if (command->kind == command_kind::config && !settings.config_file) {
        std::fprintf(stderr, "%s: config needs a configuration file (-c)\n", prog());
        return usage();
    }

    if (auto status = load_settings(command->kind)) {
        return *status;
    }
    switch (command->kind) {
        case command_kind::sign:
            return sign(command->address);
        case command_kind::check:
            return check(command->address);
        case command_kind::config:
            tagtool_print_settings(stdout, settings);
            return finish_output();
    }
    return EX_SOFTWARE;
}
