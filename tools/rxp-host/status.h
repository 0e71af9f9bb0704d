// rxp-host --status STATE_FILE: a quick look at a running host for people and monitoring checks.
// Reads the live state the host keeps with --state (one device at the top level, or several in
// "devices") and prints `key: value` lines: the verdict first, then the state file's age, the
// port, the host's storage failures, and per device its comm state, the age of its last record,
// its failed polls and its active alarms with their texts. The exit code is the verdict, as
// monitoring checks read it.
#ifndef RXP_TOOLS_RXP_HOST_STATUS_H
#define RXP_TOOLS_RXP_HOST_STATUS_H

#include <ostream>
#include <string>

#include "tools/common/time_text.h"

namespace rxphost {

constexpr int kStatusOk = 0;        // every device answers, records are fresh, no alarm
constexpr int kStatusWarning = 1;   // an alarm raised, no cycle completed yet, storage failing
constexpr int kStatusCritical = 2;  // communication lost, the host stopped, or too old
constexpr int kStatusUnknown = 3;   // no state file, not a state, or dated ahead of the clock

// Records and a state file older than this many seconds are stale (--status-max-age).
constexpr double kDefaultStatusMaxAge = 300;

// The status of the state in `text` (read from `path`, named in the lines) at `now`.
int StatusOfState(const std::string& path, const std::string& text,
                  rxp::tools::WallClock::time_point now, double max_age, std::ostream& out);
// Reads `path` and prints its status to `out`; returns the exit code.
int ShowStatus(const std::string& path, double max_age, std::ostream& out);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_STATUS_H
