#include "tools/common/line_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace rxp::tools {

namespace {

std::string Why(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return "it is a directory";
    if (S_ISFIFO(st.st_mode)) return "it is a FIFO, not a regular file";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "it is a device, not a regular file";
    return "it is not a regular file";
}

// A line that would not fit is not begun: past the file size limit (RLIMIT_FSIZE), or where the
// file system cannot reserve its space (a full disk or quota). A file system that cannot
// reserve space ahead says so, and the write itself tells then.
bool Fits(int fd, off_t before, std::size_t size, std::string* error) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<unsigned long long>(before) + size > limit.rlim_cur) {
        *error = "the file size limit of " + std::to_string(limit.rlim_cur) + " bytes is reached";
        return false;
    }
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, before, static_cast<off_t>(size)) != 0 &&
        (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

LineFile::~LineFile() {
    if (fd_ >= 0) ::close(fd_);
}

void LineFile::Open(const std::string& path, const std::string& what) {
    auto fail = [&](const std::string& why) {
        throw std::runtime_error("cannot open " + what + " '" + path + "': " + why);
    };
    // Looked at before it is opened: opening a FIFO for writing waits for a reader.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) fail(Why(st));
    // Read too: the last byte tells whether the last line was ended.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) fail(std::strerror(errno));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string why = Why(st);
        ::close(fd);
        fail(why);
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    ended_torn_line_ = false;
    char last = '\n';
    if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
        ssize_t n = -1;
        do {
            n = ::write(fd, "\n", 1);
        } while (n < 0 && errno == EINTR);
        ended_torn_line_ = n == 1;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    path_ = path;
}

bool LineFile::Replaced() const {
    struct stat at_path {};
    struct stat open {};
    if (fd_ < 0 || ::fstat(fd_, &open) != 0) return true;
    return ::stat(path_.c_str(), &at_path) != 0 || at_path.st_dev != open.st_dev ||
           at_path.st_ino != open.st_ino;
}

bool LineFile::Append(const std::string& text, std::string* error) {
    if (fd_ < 0) {
        *error = "not open";
        return false;
    }
    // One write. After a short one the rest is never written on its own: the file may have been
    // truncated or rotated in between, and the tail would stand alone as a broken line.
    const off_t before = ::lseek(fd_, 0, SEEK_END);
    if (before >= 0 && !Fits(fd_, before, text.size(), error)) return false;
    ssize_t n = -1;
    do {
        n = ::write(fd_, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(text.size())) return true;
    if (n < 0) {
        *error = std::strerror(errno);
        return false;
    }
    *error = "the file system took " + std::to_string(n) + " of " + std::to_string(text.size()) +
             " bytes (disk full or file size limit)";
    if (n > 0 && (before < 0 || !CutBackPartialLine(fd_, before, static_cast<std::size_t>(n)))) {
        *error += "; a partial line is left";
    }
    return false;
}

bool CutBackPartialLine(int fd, off_t before, std::size_t written) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size != before + static_cast<off_t>(written)) return false;
    if (::ftruncate(fd, before) != 0) return false;
    // Another program may have cut the file shorter between the look at its size and the cut;
    // the cut then filled the file up to `before` with zero bytes. Those are taken off again.
    return TrimZeroTail(fd);
}

bool TrimZeroTail(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    off_t end = st.st_size;
    std::vector<char> block(4096);
    while (end > 0) {
        const off_t from =
            end > static_cast<off_t>(block.size()) ? end - static_cast<off_t>(block.size()) : 0;
        const ssize_t n = ::pread(fd, block.data(), static_cast<std::size_t>(end - from), from);
        if (n != end - from) return false;
        off_t i = n;
        while (i > 0 && block[static_cast<std::size_t>(i - 1)] == '\0') --i;
        if (i > 0) {
            end = from + i;
            break;
        }
        end = from;
    }
    return end == st.st_size || ::ftruncate(fd, end) == 0;
}

}  // namespace rxp::tools
