// Reading the filter's text files: the configuration, its Include files,
// the list files and the key. Only regular files are read (a device or a
// FIFO would never end, or block start-up before its first byte), and lines
// are read whole: a carriage return before the newline belongs to the line
// end, and a line too long is reported, never cut into two. Below the
// configuration reader and the list loaders, which both use it; depends on
// nothing of ours.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct textfile_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using textfile_ptr = std::unique_ptr<std::FILE, textfile_closer>;

// An opened file, or why there is none: the call that failed with its error
// number, or not_regular for a file that opened but is no regular file.
struct textfile_open_result {
    textfile_ptr file;
    const char* failed_call = nullptr;  // "open", "fstat", "fcntl", "fdopen"
    int error = 0;
    bool not_regular = false;
};

// Opens path for reading, refusing anything but a regular file. The open
// does not wait for a FIFO's writer; blocking reads are turned back on once
// the file is known to be regular.
textfile_open_result textfile_open(const char* path);

// The longest line, not counting its comment and its line end.
inline constexpr std::size_t textfile_max_line_length = 511;

enum class textfile_comments { none, hash };
enum class textfile_status { line, end, too_long, read_error };

// Reads whole lines of one open file and counts them.
class textfile_reader {
  public:
    textfile_reader(std::FILE* file, textfile_comments rule) : file_(file), rule_(rule) {}

    // Reads the next line into text: the part before its first NUL (and its
    // first '#' with hash comments), without the line end. A line whose text
    // is longer than textfile_max_line_length is read to its end but
    // reported as too long; a comment may be of any length.
    textfile_status next(std::string& text);

    // The number of the line read last, counting from 1.
    std::uint32_t line_number() const { return line_; }
    // The system's error number of a read error.
    int error() const { return error_; }

  private:
    std::FILE* file_;
    textfile_comments rule_;
    std::uint32_t line_ = 0;
    int error_ = 0;
};
