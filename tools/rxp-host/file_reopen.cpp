#include "tools/rxp-host/file_reopen.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rxphost {

namespace {

struct Remembered {
    std::string path;
    dev_t device;
    ino_t inode;
};

std::vector<Remembered>& Files() {
    static std::vector<Remembered> files;
    return files;
}

// This process's descriptors open on the file `device`/`inode`.
std::vector<int> HeldOn(dev_t device, ino_t inode) {
    std::vector<int> held;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return held;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) continue;
        struct stat st;
        if (::fstat(static_cast<int>(fd), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device &&
            st.st_ino == inode) {
            held.push_back(static_cast<int>(fd));
        }
    }
    ::closedir(dir);
    return held;
}

}  // namespace

void RememberForReopen(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    Files().push_back(Remembered{path, st.st_dev, st.st_ino});
}

bool ReopenRemembered(std::string* error) {
    bool ok = true;
    for (Remembered& file : Files()) {
        struct stat st;
        if (::stat(file.path.c_str(), &st) == 0 && st.st_dev == file.device &&
            st.st_ino == file.inode) {
            continue;  // not rotated
        }
        const std::vector<int> held = HeldOn(file.device, file.inode);
        if (held.empty()) continue;
        const int fresh =
            ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fresh < 0 || ::fstat(fresh, &st) != 0) {
            if (!error->empty()) *error += "; ";
            *error += "cannot open '" + file.path + "' again: " + std::strerror(errno) +
                      "; writing on to the file it was renamed to";
            if (fresh >= 0) ::close(fresh);
            ok = false;
            continue;
        }
        for (const int fd : held) ::dup3(fresh, fd, O_CLOEXEC);
        ::close(fresh);
        file.device = st.st_dev;
        file.inode = st.st_ino;
    }
    return ok;
}

}  // namespace rxphost
