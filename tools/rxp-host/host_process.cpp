#include "tools/rxp-host/host_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>

namespace rxphost {

namespace {

// The state letter and the start time of /proc/PID/stat; false when it cannot be read. The
// command name (field 2) may hold spaces and parentheses: the fields are counted from the last
// ')'.
bool ReadStat(long pid, char* state, std::uint64_t* started) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // Field 3 is the state, field 22 the start time.
    for (int n = 3; n <= 22 && fields >> field; ++n) {
        if (n == 3) *state = field.empty() ? '?' : field[0];
        if (n == 22) {
            *started = std::stoull(field);
            return true;
        }
    }
    return false;
}

std::string PidNamespace() {
    char link[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/ns/pid", link, sizeof(link) - 1);
    return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

ProcessMark MarkOf(long pid) {
    ProcessMark mark;
    char state = '?';
    if (!ReadStat(pid, &state, &mark.started)) return mark;
    mark.pid = pid;
    mark.pid_namespace = PidNamespace();
    return mark;
}

ProcessMark ThisProcess() {
    return MarkOf(static_cast<long>(::getpid()));
}

ProcessSeen LookAt(const ProcessMark& mark) {
    if (mark.pid <= 0 || mark.pid_namespace.empty() || mark.pid_namespace != PidNamespace()) {
        return ProcessSeen::kCannotTell;
    }
    char state = '?';
    std::uint64_t started = 0;
    if (!ReadStat(mark.pid, &state, &started)) {
        // /proc may hide other users' processes (hidepid); a signal of 0 still tells whether
        // the pid is taken.
        if (::kill(static_cast<pid_t>(mark.pid), 0) != 0 && errno == ESRCH) {
            return ProcessSeen::kGone;
        }
        return ProcessSeen::kCannotTell;
    }
    if (started != mark.started || state == 'Z' || state == 'X') return ProcessSeen::kGone;
    if (state == 'T' || state == 't') return ProcessSeen::kFrozen;
    return ProcessSeen::kRunning;
}

}  // namespace rxphost
