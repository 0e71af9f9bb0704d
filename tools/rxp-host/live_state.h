// The bench host's live state for other programs, rewritten whole after every cycle and every
// failed poll: --state FILE as JSON, --metrics FILE in the Prometheus text exposition format
// for the node exporter's textfile collector. Both are replaced atomically (written beside the
// file, then renamed over it), so a reader never sees half a file.
//
//   {"comm": "up", "failed_polls_in_row": 0, "failed_polls_total": 2, "cycles": 41,
//    "last_cycle": {"time": "2024-05-01T12:00:41+02:00", "seconds": 1.291},
//    "record": {"published": "...", "age_seconds": 0.0, "fields": {...}, "modules": [...], ...},
//    "alarms": [{"ordinal": 52, "key": "alert_c_0", "id": "06025", "module": 7, ...}], ...}
#ifndef RXP_TOOLS_RXP_HOST_LIVE_STATE_H
#define RXP_TOOLS_RXP_HOST_LIVE_STATE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "protocol/reply_layout.h"
#include "tools/common/time_text.h"
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
};

// What the metrics tell of the host as a whole, beside the device's live state. Every series
// carries the port, so that instances on one machine (one per port) never share a series.
struct HostFacts {
    std::string port;
    std::string version;               // the build's, as --version shows it
    std::uint64_t history_failed = 0;  // records not stored in the --history database
    std::uint64_t events_lost = 0;     // events not written to the --events file
};

// The module (1..20) whose rule has this ordinal in a pass; 0 for the AC and DC rules.
unsigned ModuleOfOrdinal(unsigned short ordinal);

std::string StateJson(const LiveState& state, rxp::tools::WallClock::time_point now);
std::string MetricsText(const LiveState& state, const HostFacts& host);

// Replaces `path` with `content` atomically. False (and why in `error`) when it cannot.
bool ReplaceFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_LIVE_STATE_H
