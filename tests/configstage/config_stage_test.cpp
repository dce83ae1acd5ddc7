// Unit tests of the configuration stage: the Mode and AutoRestartRate
// parsers, and the stage itself run in this process against files in a
// temporary directory, with the settings record inspected afterwards.
#include "process/config_stage.h"

#include <gtest/gtest.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "callbacks/settings.h"
#include "process/options.h"

namespace {

namespace fs = std::filesystem;

// A directory under /tmp removed with everything in it.
class temp_dir {
  public:
    temp_dir() {
        std::string pattern = (fs::temp_directory_path() / "vellicor-cfgstage-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const fs::path& path() const { return path_; }
    std::string write(const std::string& name, const std::string& content) const {
        const fs::path p = path_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

  private:
    fs::path path_;
};

// Every setting the stage can touch, in one text, so that a test sees any
// change it did not expect.
std::string describe(const settings_record& s) {
    std::ostringstream out;
    auto text = [&](const char* name, const std::optional<std::string>& v) {
        out << name << '=' << (v ? "\"" + *v + "\"" : std::string("none")) << '\n';
    };
    out << "AddAuthenticationResults=" << s.AddAuthenticationResults << '\n'
        << "AllSenders=" << s.AllSenders << '\n';
    text("AuthservID", s.AuthservID);
    out << "AuthservIDWithJobID=" << s.AuthservIDWithJobID << '\n'
        << "IgnoreAuthenticatedClients=" << s.IgnoreAuthenticatedClients << '\n'
        << "KeyVersion=" << s.KeyVersion << '\n'
        << "LogResults=" << s.LogResults << '\n'
        << "LogWhy=" << s.LogWhy << '\n'
        << "Mode=" << s.Mode << '\n'
        << "Quarantine=" << s.Quarantine << '\n'
        << "SendmailFormat=" << s.SendmailFormat << '\n'
        << "SetReplies=" << s.SetReplies << '\n'
        << "SignatureTTL=" << s.SignatureTTL << '\n'
        << "Syslog=" << s.Syslog << '\n'
        << "TestMode=" << s.TestMode << '\n'
        << "X-Header=" << s.XHeader << '\n';
    text("DontSignMailTo", s.DontSignMailTo);
    text("InternalHosts", s.InternalHosts);
    text("Domain", s.Domain);
    text("MTA", s.MTA);
    text("MacroList", s.MacroList);
    out << "peer_list=";
    for (const peer_entry& e : s.peer_list) out << (e.pe_negate ? "!" : "") << e.pe_name << '|';
    out << '\n';
    out << "AutoRestart=" << s.AutoRestart << '\n'
        << "AutoRestartCount=" << s.AutoRestartCount << '\n'
        << "AutoRestartRate=" << s.AutoRestartRateCount << '/' << s.AutoRestartRateInterval << '\n'
        << "Background=" << s.Background << '\n';
    text("BaseDirectory", s.BaseDirectory);
    out << "EnableCoredumps=" << s.EnableCoredumps << '\n';
    text("KeyFile", s.KeyFile);
    text("KeyList", s.KeyList);
    out << "MilterDebug=" << s.MilterDebug << '\n';
    text("PidFile", s.PidFile);
    text("Socket", s.Socket);
    text("SyslogFacility", s.SyslogFacility);
    text("UserID", s.UserID);
    return out.str();
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

using adjust = std::function<void(settings_record&)>;

// What the stage did: its status, what it printed, and the settings.
struct outcome {
    std::optional<int> status;
    std::string err;
};

// Runs the stage on a configuration text after the options have set what
// options_given sets.
outcome run_stage(const std::string& conf_path, const adjust& options_given) {
    settings = settings_record{};
    command_line = command_line_record{};
    settings.progname = "vellicor";
    if (options_given)
        options_given(settings);
    settings.config_file = conf_path;
    testing::internal::CaptureStderr();
    outcome o;
    o.status = batv_config_stage();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// The record the options alone give, changed by what the file should do.
std::string expected_settings(const adjust& options_given, const adjust& file_effect) {
    settings_record s;
    s.progname = "vellicor";
    if (options_given)
        options_given(s);
    if (file_effect)
        file_effect(s);
    return describe(s);
}

// ---------------------------------------------------------------------------
// Mode

TEST(ParseMode, LettersAddTheirBits) {
    struct case_ {
        const char* value;
        std::optional<int> mode;
    };
    const case_ cases[] = {
        {"s", 1},
        {"v", 2},
        {"sv", 3},
        {"vs", 3},
        {"ss", 1},
        {"vvsv", 3},
        {"", 0},
        {"V", std::nullopt},
        {"S", std::nullopt},
        {"sV", std::nullopt},
        {"x", std::nullopt},
        {"s,v", std::nullopt},
        {"sv\r", std::nullopt},
        {"3", std::nullopt},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(batv_parse_mode(c.value), c.mode);
    }
}

// ---------------------------------------------------------------------------
// AutoRestartRate

TEST(ParseRestartRate, CountSlashIntervalAndUnit) {
    struct case_ {
        const char* value;
        bool valid;
        int count;
        std::uint32_t interval;
    };
    const case_ cases[] = {
        {"5/10m", true, 5, 600},
        {"5/90", true, 5, 90},
        {"5/90s", true, 5, 90},
        {"5/90S", true, 5, 90},
        {"5/10M", true, 5, 600},
        {"3/2h", true, 3, 7200},
        {"3/2H", true, 3, 7200},
        {"1/1d", true, 1, 86400},
        {"1/1D", true, 1, 86400},
        {"/10", true, 0, 10},  // no count: the limit stays off
        {"0/10", true, 0, 10},
        {"5/010", true, 5, 10},  // base 10, not octal
        {"5/4294967295", true, 5, 4294967295u},
        {"5/49710d", true, 5, 49710u * 86400u},
        {"2147483647/1", true, 2147483647, 1},
        // Broken forms.
        {"510", false, 0, 0},
        {"", false, 0, 0},
        {"5/10ms", false, 0, 0},
        {"5/10x", false, 0, 0},
        {"5/10/", false, 0, 0},
        {"5/10 ", false, 0, 0},
        {"5x/10", false, 0, 0},
        {"a/10", false, 0, 0},
        {"-1/10", false, 0, 0},
        // An interval of no seconds.
        {"5/0", false, 0, 0},
        {"5/", false, 0, 0},
        {"5/m", false, 0, 0},
        {"5/0d", false, 0, 0},
        // Numbers that do not fit their fields.
        {"5/-10", false, 0, 0},
        {"5/4294967296", false, 0, 0},
        {"5/49711d", false, 0, 0},
        {"5/99999999999999999999999", false, 0, 0},
        {"2147483648/1", false, 0, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.value);
        const std::optional<restart_rate> rate = batv_parse_restart_rate(c.value);
        ASSERT_EQ(rate.has_value(), c.valid);
        if (rate) {
            EXPECT_EQ(rate->count, c.count);
            EXPECT_EQ(rate->interval, c.interval);
        }
    }
}

// ---------------------------------------------------------------------------
// Precedence of options over keys

// One option (as the option stage records it) against one key.
struct precedence_case {
    const char* name;
    adjust options_given;  // null: no option
    std::string config;
    adjust file_effect;  // what the key must change; null: nothing
};

void run_precedence(const precedence_case* cases, std::size_t n) {
    temp_dir dir;
    for (std::size_t i = 0; i < n; ++i) {
        const precedence_case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string conf = dir.write("case.conf", c.config);
        const outcome o = run_stage(conf, c.options_given);
        EXPECT_EQ(o.status, std::nullopt);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(describe(settings), expected_settings(c.options_given, c.file_effect));
    }
}

TEST(ConfigStagePrecedence, FlagsThatOptionsTurnOn) {
    // An option can only set these flags, so the key is read only while the
    // flag is still off; a key of false never matters.
    struct flag {
        const char* key;
        int settings_record::*member;
    };
    const flag flags[] = {
        {"AddAuthenticationResults", &settings_record::AddAuthenticationResults},
        {"AutoRestart", &settings_record::AutoRestart},
        {"IgnoreAuthenticatedClients", &settings_record::IgnoreAuthenticatedClients},
        {"Quarantine", &settings_record::Quarantine},
        {"SendmailFormat", &settings_record::SendmailFormat},
        {"SetReplies", &settings_record::SetReplies},
        {"Syslog", &settings_record::Syslog},
        {"TestMode", &settings_record::TestMode},
        {"X-Header", &settings_record::XHeader},
    };
    for (const flag& f : flags) {
        SCOPED_TRACE(f.key);
        const auto m = f.member;
        const adjust on = [m](settings_record& s) { s.*m = 1; };
        const precedence_case cases[] = {
            {"no option, key true", nullptr, std::string(f.key) + " yes\n", on},
            {"no option, key false", nullptr, std::string(f.key) + " no\n", nullptr},
            {"option, key false", on, std::string(f.key) + " false\n", nullptr},
            {"option, key true", on, std::string(f.key) + " true\n", nullptr},
            {"no option, no key", nullptr, "Mode sv\n", nullptr},
        };
        run_precedence(cases, std::size(cases));
    }
}

TEST(ConfigStagePrecedence, FlagsThatOptionsTurnOff) {
    // -b and -f clear these; the key is read only while they are still on.
    struct flag {
        const char* key;
        int settings_record::*member;
    };
    const flag flags[] = {
        {"AllSenders", &settings_record::AllSenders},
        {"Background", &settings_record::Background},
    };
    for (const flag& f : flags) {
        SCOPED_TRACE(f.key);
        const auto m = f.member;
        const adjust off = [m](settings_record& s) { s.*m = 0; };
        const precedence_case cases[] = {
            {"no option, key false", nullptr, std::string(f.key) + " false\n", off},
            {"no option, key true", nullptr, std::string(f.key) + " yes\n", nullptr},
            {"option, key true", off, std::string(f.key) + " yes\n", nullptr},
            {"no option, last token decides", nullptr, std::string(f.key) + " yes no\n", off},
        };
        run_precedence(cases, std::size(cases));
    }
}

TEST(ConfigStagePrecedence, FlagsWithoutOption) {
    struct flag {
        const char* key;
        int settings_record::*member;
    };
    const flag flags[] = {
        {"AuthservIDWithJobID", &settings_record::AuthservIDWithJobID},
        {"EnableCoredumps", &settings_record::EnableCoredumps},
        {"LogResults", &settings_record::LogResults},
        {"LogWhy", &settings_record::LogWhy},
    };
    for (const flag& f : flags) {
        SCOPED_TRACE(f.key);
        const auto m = f.member;
        const precedence_case cases[] = {
            {"key true", nullptr, std::string(f.key) + " yes\n",
             [m](settings_record& s) { s.*m = 1; }},
            {"key false", nullptr, std::string(f.key) + " no\n", nullptr},
            {"key given twice, the later wins", nullptr,
             std::string(f.key) + " yes\n" + f.key + " no\n", nullptr},
        };
        run_precedence(cases, std::size(cases));
    }
}

TEST(ConfigStagePrecedence, TextsThatOptionsGive) {
    struct text {
        const char* key;
        std::optional<std::string> settings_record::*member;
    };
    const text texts[] = {
        {"Domain", &settings_record::Domain},                  // -d
        {"DontSignMailTo", &settings_record::DontSignMailTo},  // -a
        {"InternalHosts", &settings_record::InternalHosts},    // -i
        {"KeyFile", &settings_record::KeyFile},                // -k
        {"MacroList", &settings_record::MacroList},            // -M
        {"MTA", &settings_record::MTA},                        // -m
        {"PidFile", &settings_record::PidFile},                // -P
        {"Socket", &settings_record::Socket},                  // -p
        {"UserID", &settings_record::UserID},                  // -u
    };
    for (const text& t : texts) {
        SCOPED_TRACE(t.key);
        const auto m = t.member;
        const adjust option = [m](settings_record& s) { s.*m = "from-option"; };
        const precedence_case cases[] = {
            {"no option", nullptr, std::string(t.key) + " from-file\n",
             [m](settings_record& s) { s.*m = "from-file"; }},
            {"option", option, std::string(t.key) + " from-file\n", nullptr},
            {"no option, no key", nullptr, "LogWhy no\n", nullptr},
            {"key in small letters", nullptr, lower(t.key) + "\tfrom-file\n",
             [m](settings_record& s) { s.*m = "from-file"; }},
        };
        run_precedence(cases, std::size(cases));
    }
}

TEST(ConfigStagePrecedence, TextsWithoutOption) {
    struct text {
        const char* key;
        std::optional<std::string> settings_record::*member;
    };
    const text texts[] = {
        {"AuthservID", &settings_record::AuthservID},
        {"BaseDirectory", &settings_record::BaseDirectory},
        {"KeyList", &settings_record::KeyList},
        {"SyslogFacility", &settings_record::SyslogFacility},
    };
    for (const text& t : texts) {
        SCOPED_TRACE(t.key);
        const auto m = t.member;
        const precedence_case cases[] = {
            {"key", nullptr, std::string(t.key) + " value\n",
             [m](settings_record& s) { s.*m = "value"; }},
            {"second token only", nullptr, std::string(t.key) + " first second\n",
             [m](settings_record& s) { s.*m = "first"; }},
            {"the setting read last wins", nullptr,
             std::string(t.key) + " one\n" + t.key + " two\n",
             [m](settings_record& s) { s.*m = "two"; }},
        };
        run_precedence(cases, std::size(cases));
    }
}

TEST(ConfigStagePrecedence, Numbers) {
    const precedence_case cases[] = {
        // KeyVersion: -v sets it; -1 in the file is no value.
        {"KeyVersion from the file", nullptr, "KeyVersion 5\n",
         [](settings_record& s) { s.KeyVersion = 5; }},
        {"KeyVersion 0", nullptr, "KeyVersion 0\n", [](settings_record& s) { s.KeyVersion = 0; }},
        {"KeyVersion 9", nullptr, "KeyVersion 9\n", [](settings_record& s) { s.KeyVersion = 9; }},
        {"KeyVersion -1 leaves it unset", nullptr, "KeyVersion -1\n", nullptr},
        {"KeyVersion in hexadecimal", nullptr, "KeyVersion 0x7\n",
         [](settings_record& s) { s.KeyVersion = 7; }},
        {"-v wins", [](settings_record& s) { s.KeyVersion = 3; }, "KeyVersion 5\n", nullptr},
        {"-v wins, a bad key is not examined", [](settings_record& s) { s.KeyVersion = 3; },
         "KeyVersion 12\n", nullptr},
        {"-v 0 wins", [](settings_record& s) { s.KeyVersion = 0; }, "KeyVersion 5\n", nullptr},
        // SignatureTTL: -t sets it; the file's value must lie in the range
        // of -t, 0 to 4294967295, as a whole number.
        {"SignatureTTL from the file", nullptr, "SignatureTTL 30\n",
         [](settings_record& s) { s.SignatureTTL = 30; }},
        {"SignatureTTL 0", nullptr, "SignatureTTL 0\n",
         [](settings_record& s) { s.SignatureTTL = 0; }},
        {"SignatureTTL -1 counts as not set", nullptr, "SignatureTTL -1\n", nullptr},
        {"SignatureTTL at the top of the range", nullptr, "SignatureTTL 4294967295\n",
         [](settings_record& s) { s.SignatureTTL = 4294967295; }},
        {"SignatureTTL in hexadecimal", nullptr, "SignatureTTL 0xffffffff\n",
         [](settings_record& s) { s.SignatureTTL = 4294967295; }},
        {"-t wins", [](settings_record& s) { s.SignatureTTL = 14; }, "SignatureTTL 30\n", nullptr},
        {"-t 0 wins", [](settings_record& s) { s.SignatureTTL = 0; }, "SignatureTTL 30\n", nullptr},
        {"-t wins, a bad key is not examined", [](settings_record& s) { s.SignatureTTL = 14; },
         "SignatureTTL -5\n", nullptr},
        // MilterDebug: -D sets it; without -D the file's value or -1.
        {"MilterDebug from the file", nullptr, "MilterDebug 4\n",
         [](settings_record& s) { s.MilterDebug = 4; }},
        {"MilterDebug absent", nullptr, "LogWhy no\n", nullptr},
        {"-D wins",
         [](settings_record& s) {
             s.MilterDebug = 2;
             command_line.milter_debug_given = true;
         },
         "MilterDebug 4\n", nullptr},
        {"-D -1 wins too",
         [](settings_record& s) {
             s.MilterDebug = -1;
             command_line.milter_debug_given = true;
         },
         "MilterDebug 4\n", nullptr},
    };
    run_precedence(cases, std::size(cases));
}

TEST(ConfigStagePrecedence, Mode) {
    const precedence_case cases[] = {
        {"v", nullptr, "Mode v\n", [](settings_record& s) { s.Mode = 2; }},
        {"s", nullptr, "Mode s\n", [](settings_record& s) { s.Mode = 1; }},
        {"vs", nullptr, "Mode vs\n", nullptr},
        {"with a comment", nullptr, "Mode v # verify only\n",
         [](settings_record& s) { s.Mode = 2; }},
        {"with a CRLF line end", nullptr, "Mode v\r\n", [](settings_record& s) { s.Mode = 2; }},
        {"absent", nullptr, "LogWhy no\n", nullptr},
    };
    run_precedence(cases, std::size(cases));
}

TEST(ConfigStagePrecedence, AutoRestartLimitsOnlyWithAutoRestart) {
    const adjust option_A = [](settings_record& s) { s.AutoRestart = 1; };
    const precedence_case cases[] = {
        {"off: neither key read, a bad rate included", nullptr,
         "AutoRestartCount 4\nAutoRestartRate nonsense\n", nullptr},
        {"-A: both read", option_A, "AutoRestartCount 4\nAutoRestartRate 5/10m\n",
         [](settings_record& s) {
             s.AutoRestartCount = 4;
             s.AutoRestartRateCount = 5;
             s.AutoRestartRateInterval = 600;
         }},
        {"key: both read", nullptr, "AutoRestartRate 5/90\nAutoRestart yes\nAutoRestartCount 2\n",
         [](settings_record& s) {
             s.AutoRestart = 1;
             s.AutoRestartCount = 2;
             s.AutoRestartRateCount = 5;
             s.AutoRestartRateInterval = 90;
         }},
        {"/10 leaves the rate count at 0", option_A, "AutoRestartRate /10\n",
         [](settings_record& s) { s.AutoRestartRateInterval = 10; }},
        {"key false after -A", option_A, "AutoRestart no\nAutoRestartCount 3\n",
         [](settings_record& s) { s.AutoRestartCount = 3; }},
    };
    run_precedence(cases, std::size(cases));
}

TEST(ConfigStagePrecedence, KeysWithoutEffect) {
    const precedence_case cases[] = {
        {"RemoveARAll, RemoveARFrom", nullptr, "RemoveARAll yes\nRemoveARFrom example.com\n",
         nullptr},
        {"an empty file", nullptr, "", nullptr},
        {"comments only", nullptr, "# nothing\n   \n", nullptr},
    };
    run_precedence(cases, std::size(cases));
}

// ---------------------------------------------------------------------------
// PeerList

TEST(ConfigStagePeerList, LoadedAtOnceRelativeToTheCurrentDirectory) {
    temp_dir dir;
    dir.write("start/peers", "mx.example.net\n!10.0.0.5\n.example.org\n");
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir.path() / "start");
    // BaseDirectory names a directory without the file: the PeerList is read
    // before the working directory changes.
    const std::string conf =
        dir.write("c.conf", "BaseDirectory " + dir.path().string() + "\nPeerList peers\n");
    const outcome o = run_stage(conf, nullptr);
    fs::current_path(old_cwd);

    EXPECT_EQ(o.status, std::nullopt);
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(settings.peer_list.size(), 3u);
    EXPECT_FALSE(settings.peer_list[0].pe_negate);
    EXPECT_EQ(settings.peer_list[0].pe_name, "mx.example.net");
    EXPECT_TRUE(settings.peer_list[1].pe_negate);
    EXPECT_EQ(settings.peer_list[1].pe_name, "10.0.0.5");
    EXPECT_EQ(settings.peer_list[2].pe_name, ".example.org");
}

// ---------------------------------------------------------------------------
// Failures

struct failure_case {
    const char* name;
    adjust options_given;
    std::string config;   // "@" stands for the configuration file's path
    std::string message;  // likewise
    int status;
};

std::string expand(std::string text, const std::string& conf) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, conf);
    return text;
}

TEST(ConfigStageFailures, MessagesAndStatuses) {
    temp_dir dir;
    const std::string missing = (dir.path() / "missing").string();
    const failure_case cases[] = {
        {"KeyVersion 12", nullptr, "KeyVersion 12\n", "vellicor: @: invalid key version\n",
         EX_CONFIG},
        {"KeyVersion 10", nullptr, "KeyVersion 10\n", "vellicor: @: invalid key version\n",
         EX_CONFIG},
        {"KeyVersion -2", nullptr, "KeyVersion -2\n", "vellicor: @: invalid key version\n",
         EX_CONFIG},
        {"KeyVersion low 32 bits negative", nullptr, "KeyVersion 0x80000000\n",
         "vellicor: @: invalid key version\n", EX_CONFIG},
        {"Mode V", nullptr, "Mode V\n", "vellicor: @: invalid mode\n", EX_CONFIG},
        {"Mode sx", nullptr, "Mode sx\n", "vellicor: @: invalid mode\n", EX_CONFIG},
        {"Mode with a carriage return inside", nullptr, "Mode sv\r \n",
         "vellicor: @: invalid mode\n", EX_CONFIG},
        // SignatureTTL outside 0 to 4294967295, counted as a whole number.
        {"SignatureTTL -5", nullptr, "SignatureTTL -5\n", "vellicor: @: invalid signature TTL\n",
         EX_CONFIG},
        {"SignatureTTL -2", nullptr, "SignatureTTL -2\n", "vellicor: @: invalid signature TTL\n",
         EX_CONFIG},
        {"SignatureTTL 4294967296", nullptr, "SignatureTTL 4294967296\n",
         "vellicor: @: invalid signature TTL\n", EX_CONFIG},
        {"SignatureTTL whose low 32 bits are small", nullptr, "SignatureTTL 0x100000010\n",
         "vellicor: @: invalid signature TTL\n", EX_CONFIG},
        {"SignatureTTL beyond 64 bits", nullptr, "SignatureTTL 99999999999999999999\n",
         "vellicor: @: invalid signature TTL\n", EX_CONFIG},
        {"SignatureTTL the setting read last counts", nullptr, "SignatureTTL 7\nSignatureTTL -5\n",
         "vellicor: @: invalid signature TTL\n", EX_CONFIG},
        {"AutoRestartRate with -A", [](settings_record& s) { s.AutoRestart = 1; },
         "AutoRestartRate 5/10ms\n", "vellicor: AutoRestartRate invalid\n", EX_CONFIG},
        {"AutoRestartRate with the key", nullptr, "AutoRestart yes\nAutoRestartRate 5/0\n",
         "vellicor: AutoRestartRate invalid\n", EX_CONFIG},
        {"AutoRestartRate without slash", nullptr, "AutoRestart 1\nAutoRestartRate 10\n",
         "vellicor: AutoRestartRate invalid\n", EX_CONFIG},
        {"PeerList cannot be opened", nullptr, "PeerList " + missing + "\n",
         "vellicor: " + missing + ": fopen(): No such file or directory\n", EX_UNAVAILABLE},
        {"PeerList is a directory", nullptr, "PeerList " + dir.path().string() + "\n",
         "vellicor: " + dir.path().string() + ": not a regular file\n", EX_UNAVAILABLE},
        {"PeerList with a long line", nullptr,
         "PeerList " + dir.write("long-peers", "mx.b.c\n" + std::string(512, 'p') + "\n") + "\n",
         "vellicor: " + (dir.path() / "long-peers").string() +
             ": line 2 is longer than 511 characters\n",
         EX_UNAVAILABLE},
        // Of several faults, the first in lookup order.
        {"rate before key version", nullptr,
         "PeerList " + missing + "\nMode V\nKeyVersion 12\nAutoRestartRate x\nAutoRestart y\n",
         "vellicor: AutoRestartRate invalid\n", EX_CONFIG},
        {"key version before mode", nullptr,
         "PeerList " + missing + "\nMode V\nKeyVersion 12\nAutoRestartRate x\n",
         "vellicor: @: invalid key version\n", EX_CONFIG},
        {"mode before PeerList", nullptr, "PeerList " + missing + "\nMode V\n",
         "vellicor: @: invalid mode\n", EX_CONFIG},
        // Reader failures name the file and line at fault.
        {"unknown key", nullptr, "Socket x\n\nNoSuchKey 1\n",
         "vellicor: @: configuration error at line 3: unrecognized parameter\n", EX_CONFIG},
        {"key without value", nullptr, "# first\nSocket\n",
         "vellicor: @: configuration error at line 2: required value missing\n", EX_CONFIG},
        {"bad integer", nullptr, "KeyVersion 12abc\n",
         "vellicor: @: configuration error at line 1: illegal value\n", EX_CONFIG},
        {"bad boolean", nullptr, "Syslog yes maybe\n",
         "vellicor: @: configuration error at line 1: illegal value\n", EX_CONFIG},
        {"included file at fault", nullptr,
         "Socket x\nInclude " + dir.write("inc.conf", "LogWhy yes\n\nMode\n"),
         "vellicor: " + (dir.path() / "inc.conf").string() +
             ": configuration error at line 3: required value missing\n",
         EX_CONFIG},
        {"included file missing", nullptr, "Include " + missing + "\n",
         "vellicor: " + missing +
             ": configuration error at line 0: error reading configuration "
             "file: No such file or directory\n",
         EX_CONFIG},
        {"included file not a regular file", nullptr, "Include /dev/null\n",
         "vellicor: /dev/null: configuration error at line 0: error reading configuration "
         "file: not a regular file\n",
         EX_CONFIG},
        {"line too long", nullptr, "Socket x\nSocket " + std::string(600, 'y') + "\n",
         "vellicor: @: configuration error at line 2: error reading configuration "
         "file: line longer than 511 characters\n",
         EX_CONFIG},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string conf = dir.write("case.conf", c.config);
        const outcome o = run_stage(conf, c.options_given);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.err, expand(c.message, conf));
    }
}

TEST(ConfigStageFailures, MissingFile) {
    temp_dir dir;
    const std::string conf = (dir.path() / "none.conf").string();
    const outcome o = run_stage(conf, nullptr);
    EXPECT_EQ(o.status, EX_CONFIG);
    EXPECT_EQ(o.err, "vellicor: " + conf +
                         ": configuration error at line 0: error reading configuration file: No "
                         "such file or directory\n");
}

// -D counts as given whatever level it names, -1 included: the option
// stage records it, and the MilterDebug key then stays unread.
TEST(ConfigStagePrecedence, DebugLevelFromTheCommandLine) {
    temp_dir dir;
    const std::string conf = dir.write("debug.conf", "MilterDebug 4\n");
    struct case_ {
        std::vector<std::string> args;
        int level;
    };
    const case_ cases[] = {
        {{}, 4},
        {{"-D", "-1"}, -1},
        {{"-D", "2"}, 2},
        {{"-D", "5", "-D", "-1"}, -1},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        settings = settings_record{};
        batv_init_settings("vellicor");
        std::vector<std::string> args = {"vellicor", "-c", conf};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(batv_parse_options(static_cast<int>(args.size()), argv.data()), std::nullopt);
        testing::internal::CaptureStderr();
        EXPECT_EQ(batv_config_stage(), std::nullopt);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(settings.MilterDebug, c.level);
    }
}

TEST(ConfigStageFailures, NameCutTo1024Characters) {
    // A path longer than the name buffer is read in full, but the message
    // shows its first 1024 characters.
    temp_dir dir;
    fs::path deep = dir.path();
    while (deep.string().size() < 1100) deep /= std::string(100, 'd');
    const std::string conf =
        dir.write(fs::relative(deep / "c.conf", dir.path()).string(), "NoSuchKey 1\n");
    ASSERT_GT(conf.size(), 1024u);
    const outcome o = run_stage(conf, nullptr);
    EXPECT_EQ(o.status, EX_CONFIG);
    EXPECT_EQ(o.err, "vellicor: " + conf.substr(0, 1024) +
                         ": configuration error at line 1: unrecognized parameter\n");
}

}  // namespace
