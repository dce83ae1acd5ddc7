// The shipped sample configuration: it loads as shipped, every key of the
// program's table is documented in it with its type, and its example lines,
// once uncommented, load and pass the configuration stage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "callbacks/settings.h"
#include "config/config.h"
#include "process/config_stage.h"

namespace {

namespace fs = std::filesystem;

const char* const sample_path = VELLICOR_SAMPLE;

std::string read_sample() {
    std::ifstream in(sample_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const char* type_word(std::int32_t type) {
    switch (type) {
        case CFG_STRING:
            return "string";
        case CFG_INTEGER:
            return "integer";
        case CFG_BOOLEAN:
            return "boolean";
        case CFG_INCLUDE:
            return "include";
    }
    return "?";
}

// Example lines are "#Key value": the key straight after the '#'. Prose
// lines have a blank after the '#'. Uncommenting every example line of a
// known key (Include aside, which would read another file) gives a
// configuration that sets every key.
std::string uncomment_examples(const std::string& text, const std::string& peer_path) {
    std::istringstream in(text);
    std::ostringstream out;
    const std::regex example("^#([A-Za-z-]+)[ \t]+(.*)$");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, example) && m[1] != "Include") {
            if (m[1] == "PeerList") {
                out << "PeerList " << peer_path << '\n';
            } else {
                out << line.substr(1) << '\n';
            }
        } else {
            out << line << '\n';
        }
    }
    return out.str();
}

TEST(SampleConfiguration, LoadsAsShipped) {
    std::uint32_t lineno = 0;
    char name[1025] = {};
    std::optional<config_list> cfg =
        config_load(sample_path, vellicor_config_keys, &lineno, name, sizeof name);
    ASSERT_TRUE(cfg) << name << ':' << lineno << ": " << config_error();
    // Everything is commented out.
    for (const config_def* d = vellicor_config_keys; d->def_name != nullptr; ++d) {
        std::int32_t number = 0;
        const char* text = nullptr;
        const int found = d->def_type == CFG_STRING
                              ? config_get(*cfg, d->def_name, &text, sizeof text)
                              : config_get(*cfg, d->def_name, &number, sizeof number);
        EXPECT_NE(found, 1) << d->def_name;
    }
    config_free(*cfg);
}

TEST(SampleConfiguration, DocumentsEveryKeyWithItsType) {
    // Each key has a heading "## Key (type...)" followed by its description
    // and an example line; the heading ends with who wins: an option, or
    // that the key always applies.
    const std::string text = read_sample();
    std::map<std::string, std::string> headings;  // key -> rest of the heading
    const std::regex heading("^## ([A-Za-z-]+) \\(([a-z]+)[^)]*\\) +(.*)$");
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, heading)) {
            EXPECT_TRUE(headings.emplace(m[1], std::string(m[2]) + "|" + std::string(m[3])).second)
                << "two headings for " << m[1];
        }
    }

    std::size_t keys = 0;
    const std::regex precedence(
        "option -[A-Za-z] wins|always applies|no option|with AutoRestart|"
        "no effect");
    for (const config_def* d = vellicor_config_keys; d->def_name != nullptr; ++d, ++keys) {
        SCOPED_TRACE(d->def_name);
        const auto it = headings.find(d->def_name);
        ASSERT_NE(it, headings.end()) << "no heading";
        const std::string type = it->second.substr(0, it->second.find('|'));
        const std::string who = it->second.substr(it->second.find('|') + 1);
        EXPECT_EQ(type, type_word(d->def_type));
        EXPECT_TRUE(std::regex_match(who, precedence)) << who;
        // An example line for the key.
        EXPECT_NE(text.find("\n#" + std::string(d->def_name) + " "), std::string::npos)
            << "no example line";
        headings.erase(it);
    }
    EXPECT_EQ(keys, 38u);
    for (const auto& [key, rest] : headings) ADD_FAILURE() << "heading for unknown key " << key;

    for (const char* inert : {"RemoveARAll", "RemoveARFrom"}) {
        SCOPED_TRACE(inert);
        const std::size_t at = text.find(std::string("## ") + inert);
        ASSERT_NE(at, std::string::npos);
        const std::size_t end = text.find("\n#" + std::string(inert) + " ", at);
        std::string block = text.substr(at, end - at);
        for (char& ch : block) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_NE(block.find("accepted for compatibility; no effect"), std::string::npos);
    }
}

TEST(SampleConfiguration, ExampleLinesAreValid) {
    const fs::path dir =
        fs::temp_directory_path() / ("vellicor-sample-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string peers = (dir / "peers").string();
    std::ofstream(peers) << "mx.example.net\n";
    const std::string conf = (dir / "sample.conf").string();
    std::ofstream(conf) << uncomment_examples(read_sample(), peers);

    std::uint32_t lineno = 0;
    char name[1025] = {};
    std::optional<config_list> cfg =
        config_load(conf.c_str(), vellicor_config_keys, &lineno, name, sizeof name);
    ASSERT_TRUE(cfg) << name << ':' << lineno << ": " << config_error();
    for (const config_def* d = vellicor_config_keys; d->def_name != nullptr; ++d) {
        if (d->def_type == CFG_INCLUDE)
            continue;
        std::int32_t number = 0;
        const char* value = nullptr;
        const int found = d->def_type == CFG_STRING
                              ? config_get(*cfg, d->def_name, &value, sizeof value)
                              : config_get(*cfg, d->def_name, &number, sizeof number);
        EXPECT_EQ(found, 1) << d->def_name << " has no example line";
    }
    config_free(*cfg);

    // The example values pass the stage's own checks too.
    settings = settings_record{};
    settings.progname = "vellicor";
    settings.config_file = conf;
    testing::internal::CaptureStderr();
    const std::optional<int> status = batv_config_stage();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, std::nullopt);
    EXPECT_EQ(err, "");
    EXPECT_EQ(settings.Socket, "local:/var/spool/postfix/vellicor/vellicor.sock");
    EXPECT_EQ(settings.KeyFile, "/etc/vellicor/key");
    EXPECT_EQ(settings.Mode, 3);

    // With AutoRestart on, the example rate is valid as well.
    settings = settings_record{};
    settings.progname = "vellicor";
    settings.AutoRestart = 1;
    settings.config_file = conf;
    testing::internal::CaptureStderr();
    EXPECT_EQ(batv_config_stage(), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GT(settings.AutoRestartRateCount, 0);
    EXPECT_GT(settings.AutoRestartRateInterval, 0u);

    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
