// The bench host's live state for other programs, rewritten whole after every cycle and every
// failed poll: --state FILE as JSON, --metrics FILE in the Prometheus text exposition format
// for the node exporter's textfile collector. Both are replaced atomically (written to a temp
// file of their own beside the file, "<file>.tmp.XXXXXX", flushed to disk, then renamed over
// it), so a reader never sees half a file or an empty one.
//
//   {"time": "...", "host": "running", "pid": 812, "pid_started": 1523,
//    "pid_namespace": "pid:[4026531836]", "port": "/dev/ttyS1", "version": "...",
//    "history_failed": 0, "events_lost": 0, "capture_lost": 0, "output_dropped": 0,
//    "history_waiting": 0,
//    "devices": [{"address": 1, "device_id": 17, "comm": "up", "failed_polls_in_row": 0,
//      "failed_polls_total": 2, "polls": 43, "cycles": 41, "other_address_frames": 0,
//      "second_replies": 0, "late_replies": 0, "replies": 1025, "line_reads": 2050,
//      "line_wakeups": 2050, "line_system_calls": 6150,
//      "last_cycle": {"time": "2024-05-01T12:00:41+02:00", "seconds": 1.291},
//      "record": {"published": "...", "age_seconds": 0.0, "fields": {...}, ...},
//      "alarms": [{"ordinal": 52, "key": "alert_c_0", "id": "06025", "module": 7, ...}]}, ...]}
//
// With one device on the bus its members stand at the top level as well, as they did before
// the host drove several. When the run ends the files are written once more with "host":
// "stopped", "stopped_at" and every device's "comm": "stopped" (rxp_comm_up 0,
// rxp_host_running 0), so that no reader takes a stopped host's last state for a running one. Every
// device series of the metrics carries the labels port, address and device_id; the host's own
// series the label port.
#ifndef RXP_TOOLS_RXP_HOST_LIVE_STATE_H
#define RXP_TOOLS_RXP_HOST_LIVE_STATE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/reply_layout.h"
#include "tools/common/time_text.h"
#include "tools/rxp-host/host_process.h"
#include "tools/rxp-host/summary.h"

namespace rxphost {

struct LiveState {
    enum class Comm { kUnknown, kUp, kLost };
    Comm comm = Comm::kUnknown;
    unsigned failed_in_row = 0;
    std::uint64_t failed_total = 0;
    std::uint64_t polls = 0;
    std::uint64_t cycles = 0;
    bool has_cycle = false;
    rxp::tools::WallClock::time_point cycle_time{};  // when the last cycle completed
    double cycle_seconds = 0;                        // its first command to publication
    bool has_record = false;
    rxp::tools::WallClock::time_point record_time{};  // when the last record was published
    std::array<unsigned char, rxp::kRecordSize> record{};
    std::map<unsigned short, AlarmNote> alarms;  // the raised ones, by ordinal
    unsigned address = 1;                        // the device's bus address
    unsigned device_id = 1;                      // the device id stamped into its records
    // What the line cost while the device was polled (and until the next one was): reply
    // frames handed to it, and the host's system calls on the port for them.
    std::uint64_t replies = 0;
    std::uint64_t line_reads = 0;         // read calls
    std::uint64_t line_wakeups = 0;       // times the port woke the host
    std::uint64_t line_system_calls = 0;  // reads, writes, waits and changes of the port's
                                          // settings
};

// What the metrics tell of the host as a whole, beside the device's live state. Every series
// carries the port, so that instances on one machine (one per port) never share a series.
struct HostFacts {
    std::string port;
    std::string version;                // the build's, as --version shows it
    std::uint64_t history_failed = 0;   // records not stored in the --history database
    std::uint64_t events_lost = 0;      // events not written to the --events file
    std::uint64_t capture_lost = 0;     // capture lines not written to the --capture file
    std::uint64_t output_dropped = 0;   // lines of standard output or error nobody read
    std::uint64_t history_waiting = 0;  // records held in memory behind a locked database
    // The run is over (a signal, --cycles, --deadline): no device is "up" any more, whatever it
    // last said.
    bool stopped = false;
    rxp::tools::WallClock::time_point stopped_at{};
    // The host's process, for a reader to see whether it still runs (host_process.h).
    ProcessMark process;
};

// The module (1..20) whose rule has this ordinal in a pass; 0 for the AC and DC rules.
unsigned ModuleOfOrdinal(unsigned short ordinal);

// One device on the bus, as the state and metrics files show it; its address and device id
// are in `live`.
struct BusDeviceState {
    const LiveState* live;
    std::uint64_t other_address_frames;  // reply frames from another address, not taken
    std::uint64_t second_replies;        // second replies to one command, not taken
    std::uint64_t late_replies;          // its replies that came in another device's poll
};

struct BusState {
    HostFacts host;
    std::vector<BusDeviceState> devices;  // in address order
};

std::string StateJson(const BusState& state, rxp::tools::WallClock::time_point now);
std::string MetricsText(const BusState& state);

// Replaces `path` with `content` atomically. False (and why in `error`) when it cannot.
bool ReplaceFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_LIVE_STATE_H
