// The short text a person reads after every completed cycle: what the record's status bytes
// say and which alarms rose or cleared in this cycle.
#ifndef RXP_TOOLS_RXP_HOST_SUMMARY_H
#define RXP_TOOLS_RXP_HOST_SUMMARY_H

#include <cstddef>
#include <string>
#include <vector>

namespace rxphost {

struct AlarmNote {
    unsigned short ordinal;
    std::string signal_key;
    std::string alarm_id;
    std::string alarm_name;
    std::string alarm_text;
    bool raised;  // false: cleared
};

struct CycleReport {
    std::string title;            // "cycle 3" or "cached record"
    std::string time;             // ISO 8601 with the UTC offset
    double seconds;               // poll start to publication; negative when not measured
    const unsigned char* record;  // the 289 bytes published
    std::vector<AlarmNote> changes;
    std::size_t active_alarms;
    // The first record of the device, or the one that ended a loss of communication.
    bool comm_changed = false;
};

// --summary: after every cycle, only after cycles that changed something (an alarm raised or
// cleared, the first record, communication restored), or never.
enum class SummaryMode { kAll, kChanges, kNone };
// Parses "all", "changes" or "none"; false for anything else.
bool ParseSummaryMode(const std::string& text, SummaryMode* mode);
// Whether `report` is shown under `mode`.
bool ShowCycleReport(SummaryMode mode, const CycleReport& report);

// Several lines, each ended by '\n'.
std::string FormatCycleReport(const CycleReport& report);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_SUMMARY_H
