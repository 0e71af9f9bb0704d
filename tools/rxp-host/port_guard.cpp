#include "tools/rxp-host/port_guard.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace rxphost {

std::string LockHolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    // /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5 0 EOF"
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, kind, mode, access, pid, where;
        in >> number >> kind;
        if (kind == "->") in >> kind;  // a waiter, listed under the holder
        in >> mode >> access >> pid >> where;
        if (kind != "FLOCK") continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (inode != st.st_ino || ::makedev(major, minor) != st.st_dev) continue;
        if (pid == std::to_string(::getpid())) continue;
        std::string name;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::getline(comm, name);
        return "pid " + pid + (name.empty() ? "" : " (" + name + ")");
    }
    return "";
}

bool ClaimPort(int fd, const std::string& port, std::string* why) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            const std::string holder = LockHolder(port);
            *why = "port '" + port + "' is in use by " +
                   (holder.empty() ? std::string("another program") : holder);
        } else {
            *why = "cannot lock port '" + port + "': " + std::strerror(error);
        }
        return false;
    }
    // Not every port is a terminal that knows TIOCEXCL; the lock above is what counts then.
    ::ioctl(fd, TIOCEXCL);
    return true;
}

void ReleasePort(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

}  // namespace rxphost
