// The host as a process that another program on the machine can look at: its pid, when the
// kernel started it and its pid namespace, written into the state file, so that a reader can
// tell whether the host that wrote the file still runs, runs frozen (stopped by a signal), or
// is gone without having said so (killed), and never mistakes a program given the pid since for
// it.
#ifndef RXP_TOOLS_RXP_HOST_HOST_PROCESS_H
#define RXP_TOOLS_RXP_HOST_HOST_PROCESS_H

#include <cstdint>
#include <string>

namespace rxphost {

struct ProcessMark {
    long pid = 0;
    std::uint64_t started = 0;  // clock ticks since boot (/proc/PID/stat, field 22)
    std::string pid_namespace;  // "pid:[4026531836]"
};

// This process, or the one with `pid` (a mark with pid 0 when there is none).
ProcessMark ThisProcess();
ProcessMark MarkOf(long pid);

enum class ProcessSeen {
    kRunning,
    kFrozen,      // stopped by a signal (SIGSTOP, a debugger): it polls nothing
    kGone,        // no such process any more, or another one under the pid
    kCannotTell,  // another pid namespace (a container), or /proc shows nothing of it
};
ProcessSeen LookAt(const ProcessMark& mark);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HOST_PROCESS_H
