#include "tools/rxp-host/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rxphost {

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* content,
                     std::string* why) {
    // Opened without waiting (a FIFO without a writer would hold the open), then looked at.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode)                          ? "it is a directory"
               : S_ISFIFO(st.st_mode)                       ? "it is a FIFO, not a regular file"
               : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "it is a device, not a regular file"
                                                            : "it is not a regular file";
        ::close(fd);
        return false;
    }
    content->clear();
    char block[4096];
    while (content->size() < limit) {
        const std::size_t want = std::min(sizeof(block), limit - content->size());
        const ssize_t n = ::read(fd, block, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content->append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string PrintableText(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

}  // namespace rxphost
