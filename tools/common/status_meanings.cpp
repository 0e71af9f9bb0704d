#include "tools/common/status_meanings.h"

namespace rxp::tools {

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The rule that tests this bit (or this value) of the byte at the record offset.
const AlarmRule* FindRule(const RecordField& field, RuleTest test, unsigned operand) {
    if (field.module != 0) {
        for (const AlarmRule& r : kModuleRules) {
            if (field.offset - kModuleRowsOffset - kModuleRowSize * (field.module - 1) ==
                    r.record_offset &&
                r.test == test && r.operand == operand) {
                return &r;
            }
        }
        return nullptr;
    }
    for (const AlarmRule& r : kAcRules) {
        if (r.record_offset == field.offset && r.test == test && r.operand == operand) return &r;
    }
    for (const AlarmRule& r : kDcRules) {
        if (r.record_offset == field.offset && r.test == test && r.operand == operand) return &r;
    }
    return nullptr;
}

AlarmMeaning Meaning(const RecordField& field, int bit, const AlarmRule* rule) {
    AlarmMeaning m{bit, rule, ""};
    if (rule != nullptr) {
        m.alarm_text = field.module != 0
                           ? kModuleLabel + std::to_string(field.module) + rule->alarm_text
                           : rule->alarm_text;
    }
    return m;
}

}  // namespace

bool IsStatusField(const RecordField& field) {
    return field.width == 1 &&
           (field.name.find("status") != std::string::npos || EndsWith(field.name, "_state"));
}

StatusReading ReadStatusOf(const RecordField& field, std::uint8_t value) {
    StatusReading reading{&field, value, field.name.find("status") != std::string::npos, {}};
    if (reading.bitwise) {
        for (int bit = 7; bit >= 0; --bit) {
            if (((reading.value >> bit) & 1U) == 0) continue;
            reading.meanings.push_back(
                Meaning(field, bit, FindRule(field, kBitSet, static_cast<unsigned>(bit))));
        }
    } else if (reading.value != 0) {
        reading.meanings.push_back(Meaning(field, -1, FindRule(field, kValueIs, reading.value)));
    }
    return reading;
}

std::vector<StatusReading> ReadStatus(const unsigned char* record) {
    std::vector<StatusReading> out;
    for (const RecordField& field : RecordFields()) {
        if (IsStatusField(field)) out.push_back(ReadStatusOf(field, record[field.offset]));
    }
    return out;
}

}  // namespace rxp::tools
