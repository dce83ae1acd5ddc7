// Opening regular files and reading their lines whole.
#include "textfile/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

namespace {

// fgets reads at most this many characters less one at a time.
constexpr int piece_size = 512;

// A descriptor until it is handed over to a stream.
class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

textfile_open_result failure(const char* call, int error) {
    textfile_open_result result;
    result.failed_call = call;
    result.error = error;
    return result;
}

}  // namespace

textfile_open_result textfile_open(const char* path) {
    descriptor fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return failure("open", errno);
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        return failure("fstat", errno);
    }
    if (!S_ISREG(st.st_mode)) {
        textfile_open_result result;
        result.not_regular = true;
        return result;
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return failure("fcntl", errno);
    }
    textfile_open_result result;
    result.file.reset(fdopen(fd.get(), "r"));
    if (!result.file) {
        return failure("fdopen", errno);
    }
    fd.release();
    return result;
}

textfile_status textfile_reader::next(std::string& text) {
    text.clear();
    bool read_any = false;
    bool cut = false;       // a comment or a NUL ended the text
    bool overflow = false;  // text was dropped for its length
    const std::string_view stops =
        rule_ == textfile_comments::hash ? std::string_view("#\0", 2) : std::string_view("\0", 1);
    std::array<char, piece_size> buffer;
    while (true) {
        // fgets writes a NUL after the bytes read and leaves the rest of the
        // buffer alone: with the buffer filled with non-NUL bytes first, the
        // last NUL ends the piece even when the piece holds NUL bytes.
        buffer.fill('\n');
        if (std::fgets(buffer.data(), piece_size, file_) == nullptr) {
            if (std::ferror(file_)) {
                error_ = errno;
                return textfile_status::read_error;
            }
            if (!read_any) {
                return textfile_status::end;
            }
            break;
        }
        read_any = true;
        const std::string_view all(buffer.data(), buffer.size());
        std::string_view piece = all.substr(0, all.find_last_of('\0'));
        const bool line_ends = !piece.empty() && piece.back() == '\n';
        if (line_ends) {
            piece.remove_suffix(1);
        }
        if (!cut) {
            const std::size_t stop = piece.find_first_of(stops);
            if (stop != std::string_view::npos) {
                piece = piece.substr(0, stop);
                cut = true;
            }
            // One character more than the limit is kept, so that the CRLF
            // line end of a line at the limit can be told from text.
            const std::size_t room = textfile_max_line_length + 1 - text.size();
            if (piece.size() > room) {
                piece = piece.substr(0, room);
                overflow = true;
            }
            text.append(piece);
        }
        if (line_ends) {
            break;
        }
    }
    ++line_;
    if (!cut && !overflow && !text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return overflow || text.size() > textfile_max_line_length ? textfile_status::too_long
                                                              : textfile_status::line;
}
