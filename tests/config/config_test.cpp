// Tests of the configuration reader: values by type, line handling, Include
// files and reading order, failure reports, typed lookup and the key table.
#include "config/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A private directory for the files of one test, removed afterwards.
class temp_dir {
  public:
    temp_dir() {
        std::string pattern = (fs::temp_directory_path() / "config_test.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        }
        root_ = pattern;
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    std::string path(const std::string& name) const { return (root_ / name).string(); }

    // Writes a file; "{dir}" in the content stands for this directory.
    std::string write(const std::string& name, std::string content) const {
        const std::string dir = root_.string();
        for (auto at = content.find("{dir}"); at != std::string::npos;
             at = content.find("{dir}", at + dir.size())) {
            content.replace(at, 5, dir);
        }
        const std::string file = path(name);
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream out(file, std::ios::binary);
        out << content;
        return file;
    }

    const fs::path& root() const { return root_; }

  private:
    fs::path root_;
};

constexpr std::uint32_t untouched_line = 987654;
constexpr const char* untouched_path = "untouched";

struct load_result {
    std::optional<config_list> list;
    std::int32_t code = 0;
    std::uint32_t line = untouched_line;
    std::string path;
};

load_result load(const char* filename, const config_def* def = vellicor_config_keys) {
    load_result result;
    std::array<char, 1025> errpath{};
    std::strcpy(errpath.data(), untouched_path);
    result.list = config_load(filename, def, &result.line, errpath.data(), errpath.size());
    result.code = config_errcode;
    result.path = errpath.data();
    return result;
}

load_result load(const std::string& filename) {
    return load(filename.c_str());
}

const config_def* program_key(const char* name) {
    for (const config_def* def = vellicor_config_keys; def->def_name != nullptr; ++def) {
        if (std::strcmp(def->def_name, name) == 0) {
            return def;
        }
    }
    return nullptr;
}

// The value of key as config_get hands it out, in text form; "absent" when
// the key is not there.
std::string value_of(const config_list& list, const char* key) {
    const config_def* def = program_key(key);
    if (def == nullptr) {
        return "no such key in the table";
    }
    if (def->def_type == CFG_STRING) {
        const char* text = nullptr;
        const int found = config_get(list, key, &text, sizeof text);
        return found == 1 ? std::string(text) : found == 0 ? "absent" : "size mismatch";
    }
    std::int32_t number = 0;
    const int found = config_get(list, key, &number, sizeof number);
    return found == 1 ? std::to_string(number) : found == 0 ? "absent" : "size mismatch";
}

// An entry as "Name=value"; the empty-file record shows as "=".
std::string render(const config_entry& entry) {
    std::string value;
    switch (entry.ce_type) {
        case CFG_INTEGER:
            value = std::to_string(entry.ce_int);
            break;
        case CFG_BOOLEAN:
            value = std::to_string(entry.ce_bool);
            break;
        default:
            value = entry.ce_text;
            break;
    }
    return std::string(entry.ce_name) + "=" + value;
}

std::vector<std::string> render(const config_list& list) {
    std::vector<std::string> out;
    for (const auto& entry : list) {
        out.push_back(render(entry));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Values of one line, by type.

TEST(ConfigValues, OneLineGivesItsValue) {
    struct case_ {
        std::string line;
        const char* key;
        std::string value;
    };
    const case_ cases[] = {
        // Booleans: the first character decides, the last token wins.
        {"Syslog yes", "Syslog", "1"},
        {"Syslog yes no", "Syslog", "0"},
        {"Syslog no yes", "Syslog", "1"},
        {"Syslog Nonsense", "Syslog", "0"},
        {"Syslog 0", "Syslog", "0"},
        {"Syslog F", "Syslog", "0"},
        {"Syslog false", "Syslog", "0"},
        {"Syslog 1", "Syslog", "1"},
        {"Syslog T", "Syslog", "1"},
        {"Syslog Yes", "Syslog", "1"},
        {"Syslog tRUE", "Syslog", "1"},
        {"Syslog yes\r", "Syslog", "1"},
        {"X-Header 1 1 0 1 n", "X-Header", "0"},
        // Integers: strtol with base 0, the low 32 bits kept.
        {"KeyVersion 0x10", "KeyVersion", "16"},
        {"KeyVersion 010", "KeyVersion", "8"},
        {"KeyVersion 7", "KeyVersion", "7"},
        {"KeyVersion -1", "KeyVersion", "-1"},
        {"KeyVersion +3", "KeyVersion", "3"},
        {"KeyVersion 0", "KeyVersion", "0"},
        {"SignatureTTL 12 34", "SignatureTTL", "12"},
        {"SignatureTTL 4294967297", "SignatureTTL", "1"},
        {"SignatureTTL 0xffffffff", "SignatureTTL", "-1"},
        {"SignatureTTL 2147483648", "SignatureTTL", "-2147483648"},
        // Strings: the second token, unchanged.
        {"Socket a b", "Socket", "a"},
        {"Socket inet:8891@localhost", "Socket", "inet:8891@localhost"},
        {" \t Socket\t\t a \t", "Socket", "a"},
        {"Mode sv # comment", "Mode", "sv"},
        {"Mode sv#comment", "Mode", "sv"},
        // The carriage return of a CRLF line end is not part of the value.
        {"Socket a\r", "Socket", "a"},
        {"KeyVersion 5\r", "KeyVersion", "5"},
        {"Mode sv \r", "Mode", "sv"},
        {"Socket a\fb", "Socket", "a\fb"},
        {"Socket \xc3\xa9t\xc3\xa9", "Socket", "\xc3\xa9t\xc3\xa9"},
        {"Domain CASE.Example", "Domain", "CASE.Example"},
        // Keys match without regard to case.
        {"sYsLoG 1", "Syslog", "1"},
        {"KEYVERSION 5", "KeyVersion", "5"},
        {"mta a,b", "MTA", "a,b"},
        {"x-header yes", "X-Header", "1"},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto result = load(dir.write("one.conf", c.line + "\n"));
        ASSERT_TRUE(result.list);
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(result.line, untouched_line);
        EXPECT_EQ(result.path, untouched_path);
        ASSERT_EQ(result.list->size(), 1u);
        // The name is the table's text, not the file's.
        EXPECT_EQ(result.list->front().ce_name, program_key(c.key)->def_name);
        EXPECT_EQ(value_of(*result.list, c.key), c.value);
    }
}

// ---------------------------------------------------------------------------
// Lines that fail, with their codes and the line numbers reported.

TEST(ConfigLines, FailingLineIsReported) {
    struct case_ {
        const char* what;
        std::string content;
        std::int32_t code;
        std::uint32_t line;
    };
    const case_ cases[] = {
        {"bad boolean token", "Syslog yes maybe\n", 3, 1},
        {"bad boolean first", "Syslog maybe yes\n", 3, 1},
        {"trailing characters", "KeyVersion 12abc\n", 3, 1},
        {"no digits", "KeyVersion abc\n", 3, 1},
        {"hex prefix alone", "KeyVersion 0x\n", 3, 1},
        {"sign alone", "KeyVersion -\n", 3, 1},
        {"string key alone", "Socket\n", 1, 1},
        {"key alone before comment", "# first\n\nSocket   # none\n", 1, 3},
        {"boolean key alone", "Syslog\t\n", 1, 1},
        {"integer key alone", "KeyVersion\n", 1, 1},
        {"include key alone", "Include\n", 1, 1},
        {"unknown key", "Bogus 1\n", 2, 1},
        {"unknown key alone", "Bogus\n", 2, 1},
        {"key alone before a CRLF line end", "Syslog\r\n", 1, 1},
        {"carriage return inside a line", "KeyVersion 5\r \n", 3, 1},
        {"key and value not split on form feed", "Socket\fa\n", 2, 1},
        {"after good lines", "Socket a\nSyslog yes\n\n# c\nSyslog sure\n", 3, 5},
        {"stops at the first bad line", "Socket a\nBogus\nKeyVersion x\n", 2, 2},
        // Long lines are read whole: each counts as one line.
        {"511 characters and the newline count as one line",
         "Socket a" + std::string(503, ' ') + "\nBogus 1\n", 2, 2},
        {"510 characters and the newline count as one line",
         "Socket a" + std::string(502, ' ') + "\nBogus 1\n", 2, 2},
        {"a long comment counts as one line", "#" + std::string(599, 'x') + "\nSocket a\nBogus 1\n",
         2, 3},
        {"a long comment after a value counts as one line",
         "Socket a # " + std::string(2000, 'c') + "\nBogus 1\n", 2, 2},
        {"CRLF line ends are counted like LF ones", "Socket a\r\n\r\n# c\r\nBogus 1\r\n", 2, 4},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.write("bad.conf", c.content);
        const auto result = load(file);
        EXPECT_FALSE(result.list);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.line, c.line);
        EXPECT_EQ(result.path, file);
    }
}

// Up to its comment a line may hold 511 characters; a longer one is refused
// at its own line, and no part of it is ever read as a line of its own.
TEST(ConfigLines, LineLongerThan511CharactersIsRefused) {
    const std::string value511 = "Socket " + std::string(504, 's');
    struct case_ {
        const char* what;
        std::string content;
        std::uint32_t line;
    };
    const case_ cases[] = {
        {"512 characters", value511 + "s\n", 1},
        {"512 characters on the last line, without newline", "Syslog 1\n" + value511 + "s", 2},
        {"blanks count", "Socket a" + std::string(592, ' ') + "\nSyslog yes\n", 1},
        {"the tail would look like a setting", std::string(511, ' ') + "Syslog yes\n", 1},
        {"a long line before its comment", value511 + "ss # comment\n", 1},
        {"a carriage return inside counts", value511 + "\r \n", 1},
        {"after a long comment", "#" + std::string(700, 'c') + "\n\n" + value511 + "ss\n", 3},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.write("long.conf", c.content);
        const auto result = load(file);
        EXPECT_FALSE(result.list);
        EXPECT_EQ(result.code, 5);
        EXPECT_STREQ(config_error_reason(), "line longer than 511 characters");
        EXPECT_EQ(result.line, c.line);
        EXPECT_EQ(result.path, file);
    }
}

TEST(ConfigLines, LinesUpTo511CharactersAndCommentsOfAnyLength) {
    const std::string value511 = "Socket " + std::string(504, 's');
    struct case_ {
        const char* what;
        std::string content;
        std::vector<std::string> list;
    };
    const case_ cases[] = {
        {"511 characters", value511 + "\n", {"Socket=" + std::string(504, 's')}},
        {"511 characters and a CRLF line end",
         value511 + "\r\n",
         {"Socket=" + std::string(504, 's')}},
        {"511 characters without newline", value511, {"Socket=" + std::string(504, 's')}},
        {"511 characters and a long comment",
         value511 + "#" + std::string(900, 'c') + "\n",
         {"Socket=" + std::string(504, 's')}},
        // The tail of a long comment is comment too, however it reads.
        {"a long comment ending in a setting",
         "Socket a\n#" + std::string(600, 'c') + " Socket evil\nSyslog yes\n",
         {"Syslog=1", "Socket=a"}},
        {"a comment line of 100000 characters", "#" + std::string(100000, '#') + "\n", {"="}},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = load(dir.write("long.conf", c.content));
        ASSERT_TRUE(result.list) << "code " << result.code << " line " << result.line;
        EXPECT_EQ(render(*result.list), c.list);
    }
}

// A file saved with CRLF line ends reads like one saved with LF: no value,
// and no path of an included file, ends in a carriage return.
TEST(ConfigLines, CrlfFileReadsLikeLfFile) {
    temp_dir dir;
    dir.write("inc.conf", "PidFile /run/x.pid\r\nAutoRestartCount 3\r\n");
    const std::string crlf =
        "# saved on Windows\r\nSocket local:/run/v.sock\r\nKeyVersion 5\r\n"
        "Syslog yes\r\nMode sv # both\r\nInclude {dir}/inc.conf\r\n\r\nLogWhy no";
    std::string lf = crlf;
    for (std::size_t at; (at = lf.find('\r')) != std::string::npos;) {
        lf.erase(at, 1);
    }
    const auto from_crlf = load(dir.write("crlf.conf", crlf));
    const auto from_lf = load(dir.write("lf.conf", lf));
    ASSERT_TRUE(from_crlf.list) << "code " << from_crlf.code << " line " << from_crlf.line;
    ASSERT_TRUE(from_lf.list);
    EXPECT_EQ(render(*from_crlf.list), render(*from_lf.list));
    EXPECT_EQ(
        render(*from_crlf.list),
        (std::vector<std::string>{"LogWhy=0", "AutoRestartCount=3", "PidFile=/run/x.pid", "Mode=sv",
                                  "Syslog=1", "KeyVersion=5", "Socket=local:/run/v.sock"}));
}

TEST(ConfigLines, FileWithoutSettingsGivesTheEmptyRecord) {
    const std::string cases[] = {
        "", "\n\n\n", "# only a comment\n", " \t \n# one\n\t# two\n", "# no newline at the end",
    };
    temp_dir dir;
    for (const auto& content : cases) {
        SCOPED_TRACE(content);
        const auto result = load(dir.write("empty.conf", content));
        ASSERT_TRUE(result.list);
        EXPECT_EQ(result.code, 0);
        ASSERT_EQ(result.list->size(), 1u);
        const config_entry& record = result.list->front();
        EXPECT_EQ(record.ce_type, CFG_STRING);
        EXPECT_EQ(record.ce_bool, 0);
        EXPECT_EQ(record.ce_int, 0);
        EXPECT_STREQ(record.ce_name, "");
        EXPECT_EQ(record.ce_text, "");
        // The record matches no key, not even an empty name.
        EXPECT_EQ(value_of(*result.list, "Syslog"), "absent");
        const char* text = untouched_path;
        EXPECT_EQ(config_get(*result.list, "", &text, sizeof text), 0);
        EXPECT_STREQ(text, untouched_path);
    }
}

// ---------------------------------------------------------------------------
// Include files and reading order.

TEST(ConfigOrder, SettingReadLastComesFirst) {
    struct case_ {
        const char* what;
        std::map<std::string, std::string> files;  // main.conf is loaded
        std::vector<std::string> list;
    };
    const case_ cases[] = {
        {"key given twice",
         {{"main.conf", "Socket a\nSyslog yes\nSocket b\n"}},
         {"Socket=b", "Syslog=1", "Socket=a"}},
        {"include in the middle",
         {{"main.conf", "Socket a\nInclude {dir}/inc.conf\nSocket c\n"},
          {"inc.conf", "Socket b\nSyslog yes\n"}},
         {"Socket=c", "Syslog=1", "Socket=b", "Socket=a"}},
        {"included setting read last",
         {{"main.conf", "Socket a\nInclude {dir}/inc.conf\n"}, {"inc.conf", "Socket b\n"}},
         {"Socket=b", "Socket=a"}},
        {"include on the first line",
         {{"main.conf", "Include {dir}/inc.conf\nSyslog no\n"},
          {"inc.conf", "Syslog yes\nSocket inner\n"}},
         {"Syslog=0", "Socket=inner", "Syslog=1"}},
        {"only an include",
         {{"main.conf", "include {dir}/inc.conf\n"}, {"inc.conf", "KeyVersion 3\n"}},
         {"KeyVersion=3"}},
        {"nested includes",
         {{"main.conf", "Socket 1\nInclude {dir}/a.conf\nSocket 5\n"},
          {"a.conf", "Socket 2\nInclude {dir}/b.conf\nSocket 4\n"},
          {"b.conf", "Socket 3\n"}},
         {"Socket=5", "Socket=4", "Socket=3", "Socket=2", "Socket=1"}},
        {"included empty file keeps its record",
         {{"main.conf", "Socket a\nInclude {dir}/empty.conf\nSyslog yes\n"},
          {"empty.conf", "# nothing\n"}},
         {"Syslog=1", "=", "Socket=a"}},
        {"file of only an empty include",
         {{"main.conf", "Include {dir}/empty.conf\n"}, {"empty.conf", ""}},
         {"="}},
        {"include value followed by more tokens",
         {{"main.conf", "Include {dir}/inc.conf ignored\n"}, {"inc.conf", "Socket b\n"}},
         {"Socket=b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        for (const auto& [name, content] : c.files) {
            dir.write(name, content);
        }
        const auto result = load(dir.path("main.conf"));
        ASSERT_TRUE(result.list);
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(render(*result.list), c.list);
    }
}

TEST(ConfigOrder, LaterValueWinsInLookup) {
    temp_dir dir;
    dir.write("inc.conf", "Socket inner\nKeyVersion 2\n");
    const auto result =
        load(dir.write("main.conf", "KeyVersion 1\nSocket outer\nInclude {dir}/inc.conf\n"));
    ASSERT_TRUE(result.list);
    EXPECT_EQ(value_of(*result.list, "Socket"), "inner");
    EXPECT_EQ(value_of(*result.list, "KeyVersion"), "2");
}

// Include paths are taken as they stand: relative to the working directory,
// not to the including file.
TEST(ConfigOrder, RelativeIncludeFollowsWorkingDirectory) {
    temp_dir dir;
    dir.write("inc.conf", "Socket from-cwd\n");
    dir.write("sub/inc.conf", "Socket beside-main\n");
    const std::string main = dir.write("sub/main.conf", "Include inc.conf\n");
    const fs::path before = fs::current_path();
    fs::current_path(dir.root());
    const auto result = load(main);
    fs::current_path(before);
    ASSERT_TRUE(result.list);
    EXPECT_EQ(value_of(*result.list, "Socket"), "from-cwd");
}

// ---------------------------------------------------------------------------
// Failures in included files and at the nesting limit.

TEST(ConfigInclude, FailureNamesTheFileAndLine) {
    struct case_ {
        const char* what;
        std::map<std::string, std::string> files;
        std::int32_t code;
        std::uint32_t line;
        const char* file;  // under the test directory
    };
    const case_ cases[] = {
        {"unknown key in an included file",
         {{"main.conf", "Socket a\n\nInclude {dir}/inc.conf\n"},
          {"inc.conf", "Syslog 1\nBogus x\n"}},
         2,
         2,
         "inc.conf"},
        {"bad value two levels down",
         {{"main.conf", "Include {dir}/a.conf\n"},
          {"a.conf", "\n\nInclude {dir}/b.conf\n"},
          {"b.conf", "\n\n\nKeyVersion 9z\n"}},
         3,
         4,
         "b.conf"},
        {"included file missing",
         {{"main.conf", "Socket a\nInclude {dir}/missing.conf\n"}},
         5,
         0,
         "missing.conf"},
        {"included path is a directory",
         {{"main.conf", "Include {dir}/sub\n"}, {"sub/x.conf", ""}},
         5,
         0,
         "sub"},
        {"included line too long",
         {{"main.conf", "Socket a\nInclude {dir}/inc.conf\n"},
          {"inc.conf", "\nSocket " + std::string(600, 'x') + "\n"}},
         5,
         2,
         "inc.conf"},
        {"bad line after a good include",
         {{"main.conf", "Include {dir}/inc.conf\nSocket\n"}, {"inc.conf", "Socket b\n"}},
         1,
         2,
         "main.conf"},
        {"file including itself",
         {{"main.conf", "Socket a\n\nInclude {dir}/main.conf\n"}},
         4,
         3,
         "main.conf"},
        {"two files including each other",
         {{"main.conf", "Include {dir}/other.conf\n"},
          {"other.conf", "Socket a\nInclude {dir}/main.conf\n"}},
         4,
         2,
         "other.conf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        for (const auto& [name, content] : c.files) {
            dir.write(name, content);
        }
        const auto result = load(dir.path("main.conf"));
        EXPECT_FALSE(result.list);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.line, c.line);
        EXPECT_EQ(result.path, dir.path(c.file));
    }
}

// A chain of files, each including the next from its second line.
std::string write_chain(const temp_dir& dir, int files) {
    for (int i = 0; i < files; ++i) {
        const std::string name = "f" + std::to_string(i) + ".conf";
        std::string content = "KeyVersion " + std::to_string(i) + "\n";
        if (i + 1 < files) {
            content += "Include {dir}/f" + std::to_string(i + 1) + ".conf\n";
        }
        content += "Socket f" + std::to_string(i) + "\n";
        dir.write(name, content);
    }
    return dir.path("f0.conf");
}

TEST(ConfigInclude, SixFilesDeepLoad) {
    temp_dir dir;
    const auto result = load(write_chain(dir, 6));
    ASSERT_TRUE(result.list);
    EXPECT_EQ(result.list->size(), 12u);
    EXPECT_EQ(value_of(*result.list, "Socket"), "f0");
    EXPECT_EQ(render(result.list->back()), "KeyVersion=0");
    EXPECT_EQ(render((*result.list)[5]), "Socket=f5");
}

TEST(ConfigInclude, SeventhFileIsTooDeep) {
    temp_dir dir;
    const auto result = load(write_chain(dir, 7));
    EXPECT_FALSE(result.list);
    EXPECT_EQ(result.code, 4);
    EXPECT_STREQ(config_error(), "nesting too deep");
    // The Include line of the sixth file is the one that went too deep.
    EXPECT_EQ(result.line, 2u);
    EXPECT_EQ(result.path, dir.path("f5.conf"));
}

TEST(ConfigInclude, LevelBeyondTheLimitOpensNothing) {
    std::uint32_t line = untouched_line;
    std::array<char, 64> errpath{};
    const auto list = config_load_level("/nonexistent/never-opened.conf", vellicor_config_keys,
                                        &line, errpath.data(), errpath.size(), 6);
    EXPECT_FALSE(list);
    EXPECT_EQ(config_errcode, 4);  // not 5: the file was not opened
}

// ---------------------------------------------------------------------------
// Opening files and reporting where reading stopped.

TEST(ConfigReport, FileThatCannotBeRead) {
    temp_dir dir;
    fs::create_directories(dir.path("adir"));
    struct case_ {
        std::string file;
        const char* reason;
    };
    // Only regular files are read; a device is refused before any read.
    // (FIFOs, which must not even block the open, are tried black-box.)
    const case_ cases[] = {
        {dir.path("missing.conf"), "No such file or directory"},
        {dir.path("adir"), "not a regular file"},
        {dir.path("adir/missing/x.conf"), "No such file or directory"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto result = load(c.file);
        EXPECT_FALSE(result.list);
        EXPECT_EQ(result.code, 5);
        EXPECT_STREQ(config_error(), "error reading configuration file");
        EXPECT_STREQ(config_error_reason(), c.reason);
        EXPECT_EQ(result.line, 0u);
        EXPECT_EQ(result.path, c.file);
    }
}

TEST(ConfigReport, ReasonOnlyForReadErrors) {
    temp_dir dir;
    EXPECT_FALSE(load(dir.path("missing.conf")).list);
    EXPECT_STRNE(config_error_reason(), "");
    // A later failure of another kind, and a later success, have no reason.
    EXPECT_FALSE(load(dir.write("bad.conf", "Bogus 1\n")).list);
    EXPECT_STREQ(config_error_reason(), "");
    EXPECT_FALSE(load(dir.path("missing.conf")).list);
    EXPECT_TRUE(load(dir.write("good.conf", "Socket a\n")).list);
    EXPECT_STREQ(config_error_reason(), "");
}

TEST(ConfigReport, PathIsCutToTheBuffer) {
    temp_dir dir;
    const std::string file = dir.write("a-rather-long-file-name.conf", "Bogus\n");
    struct case_ {
        std::size_t size;
        std::string expect;
    };
    const case_ cases[] = {
        {file.size() + 1, file},
        {file.size(), file.substr(0, file.size() - 1)},
        {8, file.substr(0, 7)},
        {1, ""},
        {0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::array<char, 1025> errpath;
        errpath.fill('X');
        errpath.back() = '\0';
        std::uint32_t line = 0;
        EXPECT_FALSE(
            config_load(file.c_str(), vellicor_config_keys, &line, errpath.data(), c.size));
        EXPECT_EQ(line, 1u);
        if (c.size == 0) {
            EXPECT_EQ(errpath[0], 'X');
        } else {
            EXPECT_EQ(std::string(errpath.data()), c.expect);
        }
    }
}

TEST(ConfigReport, AbsentOutValuesAreSkipped) {
    temp_dir dir;
    const std::string files[] = {dir.write("bad.conf", "Socket\n"), dir.path("missing.conf"),
                                 write_chain(dir, 7)};
    const std::int32_t codes[] = {1, 5, 4};
    for (std::size_t i = 0; i < std::size(files); ++i) {
        SCOPED_TRACE(files[i]);
        EXPECT_FALSE(config_load(files[i].c_str(), vellicor_config_keys, nullptr, nullptr, 0));
        EXPECT_EQ(config_errcode, codes[i]);
        std::uint32_t line = 0;
        EXPECT_FALSE(config_load(files[i].c_str(), vellicor_config_keys, &line, nullptr, 100));
        char errpath[100] = "";
        EXPECT_FALSE(
            config_load(files[i].c_str(), vellicor_config_keys, nullptr, errpath, sizeof errpath));
        EXPECT_NE(errpath[0], '\0');
    }
}

// ---------------------------------------------------------------------------
// Standard input. Each case runs in a child whose standard input is a file,
// so the test process keeps its own.

struct stdin_case {
    const char* what;
    const char* top;            // "-", null, or a file under the test directory
    std::string top_content;    // for a file
    std::string stdin_content;  // what standard input holds
    bool ok;
    std::string socket;  // on success: the Socket value
    std::int32_t code;   // on failure
    std::uint32_t line;
    const char* path;  // "(stdin)" or a file under the test directory
};

// Runs in the child; returns what went wrong, or nothing.
std::string check_stdin_case(const temp_dir& dir, const stdin_case& c) {
    if (std::freopen(dir.path("stdin").c_str(), "r", stdin) == nullptr) {
        return "freopen failed";
    }
    const std::string top = c.top != nullptr && std::strcmp(c.top, "-") != 0 ? dir.path(c.top) : "";
    const auto result = load(c.top == nullptr ? nullptr : top.empty() ? c.top : top.c_str());
    std::string problems;
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
        problems += "standard input was closed; ";
    }
    if (c.ok) {
        if (!result.list) {
            return problems + "load failed with code " + std::to_string(result.code);
        }
        const std::string socket = value_of(*result.list, "Socket");
        if (socket != c.socket) {
            problems += "Socket is " + socket + "; ";
        }
        return problems;
    }
    if (result.list) {
        return problems + "load succeeded";
    }
    const std::string path = std::strcmp(c.path, "(stdin)") == 0 ? c.path : dir.path(c.path);
    if (result.code != c.code || result.line != c.line || result.path != path) {
        problems += "reported code " + std::to_string(result.code) + " line " +
                    std::to_string(result.line) + " path " + result.path;
    }
    return problems;
}

TEST(ConfigStdinDeathTest, DashAndNullReadStandardInput) {
    const stdin_case cases[] = {
        {"dash", "-", "", "Socket a\nSyslog yes\n", true, "a", 0, 0, ""},
        {"null name", nullptr, "", "Socket b\n", true, "b", 0, 0, ""},
        {"empty input", "-", "", "", true, "absent", 0, 0, ""},
        {"failure names (stdin)", "-", "", "Socket a\n\nSocket\n", false, "", 1, 3, "(stdin)"},
        {"unknown key on standard input", nullptr, "", "Bogus 1\n", false, "", 2, 1, "(stdin)"},
        {"include of dash", "main.conf", "Socket file\nInclude -\n", "Socket piped\n", true,
         "piped", 0, 0, ""},
        {"failure in included standard input", "main.conf", "Syslog yes\nInclude -\n",
         "\nKeyVersion q\n", false, "", 3, 2, "(stdin)"},
        {"failure in a file included from standard input", "-", "", "Include {dir}/inc.conf\n",
         false, "", 2, 1, "inc.conf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        dir.write("stdin", c.stdin_content);
        dir.write("inc.conf", "Bogus\n");
        if (c.top != nullptr && std::strcmp(c.top, "-") != 0) {
            dir.write(c.top, c.top_content);
        }
        EXPECT_EXIT(
            {
                const std::string problems = check_stdin_case(dir, c);
                std::fputs(problems.c_str(), stderr);
                std::fflush(stderr);
                std::_Exit(problems.empty() ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "^$");
    }
}

// ---------------------------------------------------------------------------
// Typed lookup.

TEST(ConfigGet, DestinationMustFitTheType) {
    temp_dir dir;
    const auto result =
        load(dir.write("get.conf", "Syslog yes\nKeyVersion 7\nSocket sock\nKeyVersion -2\n"));
    ASSERT_TRUE(result.list);
    const config_list& list = *result.list;
    const char* socket_text = nullptr;
    for (const auto& entry : list) {
        if (entry.ce_name == program_key("Socket")->def_name) {
            socket_text = entry.ce_text.c_str();
        }
    }
    ASSERT_NE(socket_text, nullptr);

    struct case_ {
        const char* key;
        std::size_t size;
        int ret;
        std::int32_t code;
        bool pointer;  // the destination receives a text reference
        std::int64_t number;
    };
    const case_ cases[] = {
        {"Syslog", 4, 1, -1, false, 1},
        {"syslog", 4, 1, -1, false, 1},
        {"Syslog", sizeof(const char*), -1, 3, false, 0},
        {"Syslog", 1, -1, 3, false, 0},
        {"KeyVersion", 4, 1, -1, false, -2},
        {"KeyVersion", 8, -1, 3, false, 0},
        {"KeyVersion", 2, -1, 3, false, 0},
        {"Socket", sizeof(const char*), 1, -1, true, 0},
        {"SOCKET", sizeof(const char*), 1, -1, true, 0},
        {"Socket", 4, -1, 3, false, 0},
        {"Mode", 4, 0, 0, false, 0},
        {"Mode", sizeof(const char*), 0, 0, false, 0},
        {"NotInTheTable", 4, 0, 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " size " + std::to_string(c.size));
        alignas(8) std::array<unsigned char, 16> dest;
        dest.fill(0xab);
        config_errcode = 42;
        EXPECT_EQ(config_get(list, c.key, dest.data(), c.size), c.ret);
        EXPECT_EQ(config_errcode, c.code);
        std::size_t written = 0;
        if (c.ret == 1 && c.pointer) {
            const char* text = nullptr;
            std::memcpy(&text, dest.data(), sizeof text);
            EXPECT_EQ(text, socket_text);  // the list's own text, not a copy
            written = sizeof text;
        } else if (c.ret == 1) {
            std::int32_t number = 0;
            std::memcpy(&number, dest.data(), sizeof number);
            EXPECT_EQ(number, c.number);
            written = sizeof number;
        }
        for (std::size_t i = written; i < dest.size(); ++i) {
            EXPECT_EQ(dest[i], 0xab) << "byte " << i;
        }
    }
}

// The whole number of an integer key, which config_get cuts to 32 bits.
TEST(ConfigGet, WholeNumberOfAnIntegerKey) {
    struct case_ {
        std::string content;
        const char* key;
        int ret;
        std::int64_t value;  // when found
        std::int32_t low;    // what config_get hands out
    };
    const case_ cases[] = {
        {"SignatureTTL 7\n", "SignatureTTL", 1, 7, 7},
        {"SignatureTTL -5\n", "SignatureTTL", 1, -5, -5},
        {"SignatureTTL 4294967295\n", "SignatureTTL", 1, 4294967295, -1},
        {"SignatureTTL 0xffffffff\n", "SignatureTTL", 1, 4294967295, -1},
        {"SignatureTTL 4294967297\n", "SignatureTTL", 1, 4294967297, 1},
        {"SignatureTTL 0x100000010\n", "SignatureTTL", 1, 0x100000010, 16},
        {"SignatureTTL 9223372036854775807\n", "SignatureTTL", 1, INT64_MAX, -1},
        {"SignatureTTL 9223372036854775808\n", "SignatureTTL", -1, 0, -1},
        {"SignatureTTL -99999999999999999999\n", "SignatureTTL", -1, 0, 0},
        {"SignatureTTL 1\nSignatureTTL 2\n", "SignatureTTL", 1, 2, 2},
        {"Socket s\n", "SignatureTTL", 0, 0, 0},
        {"Socket s\n", "Socket", -1, 0, 0},
        {"Syslog yes\n", "Syslog", -1, 0, 0},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const auto result = load(dir.write("int.conf", c.content));
        ASSERT_TRUE(result.list);
        std::int64_t value = 42;
        EXPECT_EQ(config_get_int64(*result.list, c.key, value), c.ret);
        EXPECT_EQ(value, c.ret == 1 ? c.value : 42);
        EXPECT_EQ(config_errcode, c.ret == 1 ? -1 : c.ret == 0 ? 0 : 3);
        if (program_key(c.key)->def_type == CFG_INTEGER && c.ret != 0) {
            EXPECT_EQ(value_of(*result.list, c.key), std::to_string(c.low));
        }
    }
}

TEST(ConfigGet, TextStaysValidWhileTheListIsKept) {
    temp_dir dir;
    auto result = load(dir.write("keep.conf", "Socket s\nPidFile /run/x.pid\n"));
    ASSERT_TRUE(result.list);
    const char* socket = nullptr;
    const char* pidfile = nullptr;
    ASSERT_EQ(config_get(*result.list, "Socket", &socket, sizeof socket), 1);
    ASSERT_EQ(config_get(*result.list, "PidFile", &pidfile, sizeof pidfile), 1);
    const config_list kept = std::move(*result.list);
    result.list.reset();
    EXPECT_STREQ(socket, "s");
    EXPECT_STREQ(pidfile, "/run/x.pid");
    EXPECT_EQ(value_of(kept, "Socket"), "s");
}

TEST(ConfigGet, FreedListHoldsNothing) {
    temp_dir dir;
    auto result = load(dir.write("free.conf", "Socket s\n"));
    ASSERT_TRUE(result.list);
    config_free(*result.list);
    EXPECT_TRUE(result.list->empty());
    EXPECT_EQ(value_of(*result.list, "Socket"), "absent");
    config_free(*result.list);  // an empty list releases nothing
}

// ---------------------------------------------------------------------------
// Required keys.

const char required_name[] = "Name";
const char flag_name[] = "Flag";
const config_def required_table[] = {
    {"Other", CFG_INTEGER, 0},
    {required_name, CFG_STRING, 1},
    {flag_name, CFG_BOOLEAN, 1},
    {nullptr, -1, 0},
};

TEST(ConfigCheck, FirstMissingRequiredKeyInTableOrder) {
    struct case_ {
        const char* content;
        const char* missing;
    };
    const case_ cases[] = {
        {"name x\nflag yes\n", nullptr}, {"Flag no\nName x\nOther 3\n", nullptr},
        {"Name x\n", flag_name},         {"Flag 1\n", required_name},
        {"Other 1\n", required_name},    {"# empty\n", required_name},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        const auto result = load(dir.write("req.conf", c.content).c_str(), required_table);
        ASSERT_TRUE(result.list);
        EXPECT_EQ(config_check(*result.list, required_table), c.missing);
        EXPECT_EQ(config_errcode, c.missing == nullptr ? 0 : 1);
    }
}

TEST(ConfigCheck, EntryMustNameTheTableEntryItself) {
    // An equal text at another address is not the table's key.
    static const char copy[] = "Name";
    config_list list(2);
    list[0].ce_name = copy;
    list[1].ce_name = flag_name;
    EXPECT_EQ(config_check(list, required_table), required_name);
    list[0].ce_name = required_name;
    EXPECT_EQ(config_check(list, required_table), nullptr);
}

TEST(ConfigCheck, ProgramTableRequiresNothing) {
    config_list empty_record(1);
    EXPECT_EQ(config_check(empty_record, vellicor_config_keys), nullptr);
    EXPECT_EQ(config_errcode, 0);
}

// ---------------------------------------------------------------------------
// Error texts and the key table.

TEST(ConfigError, TextOfEachCode) {
    struct case_ {
        std::int32_t code;
        const char* text;
    };
    const case_ cases[] = {
        {-1, "unknown error"},
        {0, "no error"},
        {1, "required value missing"},
        {2, "unrecognized parameter"},
        {3, "illegal value"},
        {4, "nesting too deep"},
        {5, "error reading configuration file"},
        {6, "memory allocation failure"},
        {7, "unknown error"},
        {-2, "unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        config_errcode = c.code;
        EXPECT_STREQ(config_error(), c.text);
    }
}

TEST(ConfigKeys, ProgramTable) {
    struct case_ {
        std::int32_t type;
        std::vector<const char*> names;
    };
    const case_ cases[] = {
        {CFG_STRING,
         {"AuthservID", "AutoRestartRate", "BaseDirectory", "Domain", "DontSignMailTo",
          "InternalHosts", "KeyFile", "KeyList", "MacroList", "Mode", "MTA", "PeerList", "PidFile",
          "RemoveARFrom", "Socket", "SyslogFacility", "UserID"}},
        {CFG_INTEGER, {"AutoRestartCount", "KeyVersion", "MilterDebug", "SignatureTTL"}},
        {CFG_BOOLEAN,
         {"AddAuthenticationResults", "AllSenders", "AuthservIDWithJobID", "AutoRestart",
          "Background", "EnableCoredumps", "IgnoreAuthenticatedClients", "LogResults", "LogWhy",
          "Quarantine",
          "RemoveARAll", "SendmailFormat", "SetReplies", "Syslog", "TestMode", "X-Header"}},
        {CFG_INCLUDE, {"Include"}},
    };
    std::size_t expected = 0;
    for (const auto& c : cases) {
        for (const char* name : c.names) {
            SCOPED_TRACE(name);
            const config_def* def = program_key(name);
            ASSERT_NE(def, nullptr);
            EXPECT_EQ(def->def_type, c.type);
            ++expected;
        }
    }
    std::size_t count = 0;
    const config_def* def = vellicor_config_keys;
    for (; def->def_name != nullptr; ++def, ++count) {
        SCOPED_TRACE(def->def_name);
        EXPECT_EQ(def->def_required, 0);
        if (count > 0) {
            EXPECT_LT(strcasecmp(def[-1].def_name, def->def_name), 0) << "out of order";
        }
    }
    EXPECT_EQ(count, 38u);
    EXPECT_EQ(expected, 38u);
    EXPECT_EQ(def->def_type, -1);
    EXPECT_EQ(def->def_required, 0);
}

// ---------------------------------------------------------------------------
// Arguments that must be given.

TEST(ConfigDeathTest, MissingArgumentsAreCaught) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#else
    config_list list(1);
    std::int32_t flag = 0;
    EXPECT_DEATH(config_get(list, nullptr, &flag, sizeof flag), "name");
    EXPECT_DEATH(config_get(list, "Syslog", nullptr, sizeof flag), "value");
    EXPECT_DEATH(config_get(list, "Syslog", &flag, 0), "size");
    EXPECT_DEATH(config_check(list, nullptr), "def");
    EXPECT_DEATH(config_load_level("-", nullptr, nullptr, nullptr, 0, 0), "def");
#endif
}

}  // namespace
