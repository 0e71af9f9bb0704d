// rxp-host --list-alarms: the evaluations of one alarm pass as the loaded plug-in makes them.
// Nothing here knows the rules: the plug-in is handed probe records (LoadFromCache runs a whole
// end of cycle with its alarm pass) and the list is what its calls to CheckThresholdBool say,
// so it is right for whichever plug-in is installed. Each evaluation's record byte is the one
// whose value alone changes its state; the test on that byte is read from its 256 values.
#ifndef RXP_TOOLS_RXP_HOST_ALARM_LIST_H
#define RXP_TOOLS_RXP_HOST_ALARM_LIST_H

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/rxp-host/plugin_loader.h"

namespace rxphost {

struct ListedAlarm {
    unsigned ordinal = 0;
    std::string key, id, name, text;  // as the plug-in hands them over
    // The record bytes whose value alone changes the state (one for a rule on a byte).
    std::vector<std::size_t> bytes;
    std::bitset<256> holds;  // with one byte: its values for which the state is true
    int bit = -1;            // the state is this bit of the byte, when it is
    int value = -1;          // the state is "the byte equals this value", when it is
    unsigned module = 0;     // 1..20 when the byte is in a module's row
    std::string field;       // the record field of the byte ("modules[6].status")
};

// Runs the plug-in's alarm pass over probe records. Throws std::runtime_error when the
// plug-in refuses a record or a pass differs from the first in its calls.
std::vector<ListedAlarm> ProbeAlarms(const LoadedPlugin& plugin);

enum class ListFormat { kTable, kCsv, kJson, kMarkdown };
// "table", "csv", "json" or "markdown"; false for anything else.
bool ParseListFormat(const std::string& text, ListFormat* format);

// The list with the English glosses, ended by a line end.
std::string FormatAlarmList(const std::vector<ListedAlarm>& alarms, ListFormat format);

// rxp-host --list-alarms: loads the plug-in, probes it, prints the list. Returns the exit code.
int ListAlarms(const std::string& plugin_path, ListFormat format);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_ALARM_LIST_H
