// The settings report of `vellicor-tag config'.
#include "tagtool/settings_report.h"

#include <cstdint>
#include <string_view>

#include "callbacks/settings.h"

namespace {

std::string entry_count(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

class report {
  public:
    explicit report(std::FILE* out) : out_(out) {}

    void flag(const char* name, int value) { line(name, value != 0 ? "yes" : "no"); }
    void number(const char* name, std::int64_t value) { line(name, std::to_string(value)); }
    void text(const char* name, const std::optional<std::string>& value) {
        if (value) {
            line(name, *value);
        } else {
            unset(name);
        }
    }
    // A list setting: its source and how many entries were loaded from it.
    void list(const char* name, const std::optional<std::string>& source, std::size_t entries) {
        if (source) {
            std::fprintf(out_, "%s %s # %s\n", name, source->c_str(), entry_count(entries).c_str());
        } else {
            unset(name);
        }
    }
    void line(const char* name, const std::string& value) {
        std::fprintf(out_, "%s %s\n", name, value.c_str());
    }
    void unset(const char* name, const std::string& meaning = {}) {
        std::fprintf(out_, "# %s not set%s%s\n", name, meaning.empty() ? "" : ": ",
                     meaning.c_str());
    }
    void comment(const std::string& text) { std::fprintf(out_, "# %s\n", text.c_str()); }

  private:
    std::FILE* out_;
};

std::string mode_text(int mode) {
    std::string text;
    if (mode & mode_sign) {
        text += 's';
    }
    if (mode & mode_verify) {
        text += 'v';
    }
    return text;
}

}  // namespace

void tagtool_print_settings(std::FILE* out, const settings_record& s) {
    report r(out);
    r.flag("AddAuthenticationResults", s.AddAuthenticationResults);
    r.flag("AllSenders", s.AllSenders);
    if (s.AuthservID) {
        r.line("AuthservID", *s.AuthservID);
    } else {
        r.unset("AuthservID", "the MTA's host name (macro j)");
    }
    r.flag("AuthservIDWithJobID", s.AuthservIDWithJobID);
    r.flag("AutoRestart", s.AutoRestart);
    r.number("AutoRestartCount", s.AutoRestartCount);
    if (s.AutoRestartRateInterval != 0) {
        r.line("AutoRestartRate", std::to_string(s.AutoRestartRateCount) + "/" +
                                      std::to_string(s.AutoRestartRateInterval) + "s");
    } else {
        r.unset("AutoRestartRate");
    }
    r.flag("Background", s.Background);
    r.text("BaseDirectory", s.BaseDirectory);
    r.list("Domain", s.Domain, s.domain_list.size());
    r.list("DontSignMailTo", s.DontSignMailTo, s.allow_list.size());
    r.flag("EnableCoredumps", s.EnableCoredumps);
    r.flag("IgnoreAuthenticatedClients", s.IgnoreAuthenticatedClients);
    if (s.InternalHosts) {
        r.list("InternalHosts", s.InternalHosts, s.internal_hosts.size());
    } else {
        r.unset("InternalHosts", "the built-in list, " + entry_count(s.internal_hosts.size()));
    }
    r.text("KeyFile", s.KeyFile);
    if (s.KeyList) {
        std::size_t n = 0;
        for (const std::optional<std::string>& path : s.retired_key_files) {
            n += path ? 1 : 0;
        }
        std::fprintf(out, "KeyList %s # %zu retired key%s\n", s.KeyList->c_str(), n,
                     n == 1 ? "" : "s");
        for (std::size_t number = 0; number < s.retired_key_files.size(); ++number) {
            if (s.retired_key_files[number]) {
                r.comment("KeyList key " + std::to_string(number) + " " +
                          *s.retired_key_files[number]);
            }
        }
    } else {
        r.unset("KeyList");
    }
    r.number("KeyVersion", s.KeyVersion);
    r.flag("LogResults", s.LogResults);
    r.flag("LogWhy", s.LogWhy);
    r.list("MacroList", s.MacroList, s.macro_list.macro_names.size());
    r.number("MilterDebug", s.MilterDebug);
    if (s.Mode != 0) {
        r.line("Mode", mode_text(s.Mode));
    } else {
        r.unset("Mode", "neither signing nor verifying");
    }
    r.list("MTA", s.MTA, s.mta_list.size());
    r.list("PeerList", s.PeerList, s.peer_list.size());
    r.text("PidFile", s.PidFile);
    r.flag("Quarantine", s.Quarantine);
    r.flag("SendmailFormat", s.SendmailFormat);
    r.flag("SetReplies", s.SetReplies);
    r.number("SignatureTTL", s.SignatureTTL);
    r.text("Socket", s.Socket);
    r.flag("Syslog", s.Syslog);
    if (s.SyslogFacility) {
        r.line("SyslogFacility", *s.SyslogFacility);
    } else {
        r.unset("SyslogFacility", "mail");
    }
    r.flag("TestMode", s.TestMode);
    r.text("UserID", s.UserID);
    r.flag("X-Header", s.XHeader);
}
