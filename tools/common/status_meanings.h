// What the status bytes of a record say: for every set bit of a status byte, and for every
// non-zero state value, the alarm the plug-in's rule table attaches to it. The meanings come
// from alarms/alarm_rules.h, the same rows the plug-in evaluates.
#ifndef RXP_TOOLS_COMMON_STATUS_MEANINGS_H
#define RXP_TOOLS_COMMON_STATUS_MEANINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "alarms/alarm_rules.h"
#include "tools/common/record_fields.h"

namespace rxp::tools {

struct AlarmMeaning {
    int bit;                 // 0..7 for a status bit, -1 for a state value
    const AlarmRule* rule;   // null: no alarm rule reads this bit or value
    std::string alarm_text;  // the rule's text, with the module label for a module rule
};

struct StatusReading {
    const RecordField* field;
    std::uint8_t value;
    bool bitwise;                        // a status byte (bits) rather than a state value
    std::vector<AlarmMeaning> meanings;  // set bits from bit 7 down, or the value's meaning
};

// Every status byte and state value of the record, in record order, whether set or not.
std::vector<StatusReading> ReadStatus(const unsigned char* record);
// The reading of one status field (IsStatusField) holding `value`.
StatusReading ReadStatusOf(const RecordField& field, std::uint8_t value);

// True for the fields ReadStatus reports on.
bool IsStatusField(const RecordField& field);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_STATUS_MEANINGS_H
