// Reading the KeyList, and the key table the loading steps build from it
// and the key file.
#include "process/load.h"

#include <gtest/gtest.h>
#include <sysexits.h>

#include <optional>
#include <string>

#include "callbacks/settings.h"
#include "tests/support/blackbox.h"

namespace {

class KeyListTest : public testing::Test {
  protected:
    void SetUp() override {
        settings = settings_record{};
        settings.progname = "vellicor";
        blackbox::write_file(dir.file("k3"), "three\n", 0600);
        blackbox::write_file(dir.file("k7"), "seven\nsecond line\n", 0600);
        blackbox::write_file(dir.file("with blank"), "blank\n", 0600);
    }
    // Loads a list with the given text against KeyVersion 0: the status,
    // with what it printed in stderr_text and the keys in keys.
    std::optional<int> load(const std::string& text) {
        blackbox::write_file(list, text, 0644);
        keys = key_table{};
        keys[0] = "current";
        testing::internal::CaptureStderr();
        std::optional<int> status = batv_load_key_list(list, 0, keys);
        stderr_text = testing::internal::GetCapturedStderr();
        return status;
    }

    blackbox::temp_dir dir;
    std::string list = dir.file("keylist");
    key_table keys;
    std::string stderr_text;
};

TEST_F(KeyListTest, ReadsEachRetiredKeyUnderItsNumber) {
    const std::string k3 = dir.file("k3");
    const std::string k7 = dir.file("k7");
    struct case_ {
        const char* name;
        std::string text;
    };
    const case_ cases[] = {
        {"plain lines", "3 " + k3 + "\n7 " + k7 + "\n"},
        {"comments, blank lines, tabs and CRLF",
         "# retired keys\n\n  3\t" + k3 + "   # since May\r\n\t7  " + k7 + "\n   \n"},
        {"no newline at the end", "7 " + k7 + "\n3 " + k3},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text), std::nullopt) << stderr_text;
        EXPECT_EQ(stderr_text, "");
        key_table expected;
        expected[0] = "current";
        expected[3] = "three";
        expected[7] = "seven";
        EXPECT_EQ(keys, expected);
    }
    // A path with a blank in it is taken whole.
    EXPECT_EQ(load("5 " + dir.file("with blank") + "\n"), std::nullopt);
    EXPECT_EQ(keys[5], std::optional<std::string>("blank"));
    // An empty list adds nothing.
    EXPECT_EQ(load(""), std::nullopt);
    EXPECT_EQ(keys[0], std::optional<std::string>("current"));
}

TEST_F(KeyListTest, FaultsEndStartUpWithTheFileAndLine) {
    const std::string k3 = dir.file("k3");
    const std::string missing = dir.file("missing");
    struct case_ {
        const char* name;
        std::string text;
        int status;
        std::string message;  // after "vellicor: <list>: "
    };
    const case_ cases[] = {
        {"no path", "3\n", EX_CONFIG, "line 1: expected a key number 0-9 and a key file"},
        {"no blank after the number", "3" + k3 + "\n", EX_CONFIG,
         "line 1: expected a key number 0-9 and a key file"},
        {"two digits", "# c\n10 " + k3 + "\n", EX_CONFIG,
         "line 2: expected a key number 0-9 and a key file"},
        {"a letter", "k " + k3 + "\n", EX_CONFIG,
         "line 1: expected a key number 0-9 and a key file"},
        {"the current number", "0 " + k3 + "\n", EX_CONFIG, "line 1: key 0 is the current KeyVersion"},
        {"a number twice", "3 " + k3 + "\n3 " + k3 + "\n", EX_CONFIG, "line 2: key 3 is listed twice"},
        {"an unreadable key file", "3 " + k3 + "\n4 " + missing + "\n", EX_UNAVAILABLE,
         "line 2: " + missing + ": fopen(): No such file or directory"},
        {"a key file that is a directory", "4 " + dir.path() + "\n", EX_UNAVAILABLE,
         "line 1: " + dir.path() + ": not a regular file"},
        {"a line too long", "3 /" + std::string(600, 'x') + "\n", EX_CONFIG,
         "line 1 is longer than 511 characters"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text), c.status);
        EXPECT_EQ(stderr_text, "vellicor: " + list + ": " + c.message + "\n");
        // Nothing of a faulty list is taken.
        key_table expected;
        expected[0] = "current";
        EXPECT_EQ(keys, expected);
    }
}

TEST_F(KeyListTest, TheListItselfMustBeARegularFile) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(batv_load_key_list(dir.path(), 0, keys), EX_UNAVAILABLE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vellicor: " + dir.path() + ": not a regular file\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(batv_load_key_list(dir.file("none"), 0, keys), EX_UNAVAILABLE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vellicor: " + dir.file("none") + ": open(): No such file or directory\n");
}

// The table that verification uses: the key file's secret under KeyVersion,
// the retired keys under theirs.
TEST_F(KeyListTest, FilesBuildTheVerificationTable) {
    blackbox::write_file(dir.file("key"), "current-secret\n", 0600);
    blackbox::write_file(list, "3 " + dir.file("k3") + "\n", 0644);
    settings.KeyFile = dir.file("key");
    settings.KeyVersion = 5;
    settings.KeyList = list;
    ASSERT_EQ(batv_load_files(settings), std::nullopt);
    key_table expected;
    expected[3] = "three";
    expected[5] = "current-secret";
    EXPECT_EQ(settings.verify_keys, expected);
    EXPECT_EQ(settings.key_text, "current-secret");

    settings.KeyList.reset();
    ASSERT_EQ(batv_load_files(settings), std::nullopt);
    key_table current_only;
    current_only[5] = "current-secret";
    EXPECT_EQ(settings.verify_keys, current_only);
}

}  // namespace
