// A private directory for the files a test writes, removed with everything
// in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

class temp_dir {
  public:
    temp_dir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lists_test.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp(" << pattern << ") failed";
        }
        path_ = pattern;
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes content, byte for byte, to a file called name; returns its path.
    std::string write(const std::string& name, std::string_view content) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        EXPECT_TRUE(out) << "cannot write " << file;
        return file.string();
    }

  private:
    std::filesystem::path path_;
};
