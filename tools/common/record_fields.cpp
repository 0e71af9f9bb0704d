#include "tools/common/record_fields.h"

#include <algorithm>

#include "tools/common/time_text.h"

namespace rxp::tools {

namespace {

std::vector<RecordField> BuildFields() {
    std::vector<RecordField> fields;
    fields.push_back({"device_id", "device_id", offsetof(RXP517_T36B2_Data_t, device_id),
                      sizeof(RXP517_T36B2_Data_t().device_id), 0});
    for (const ReplyField& f : kReplyFields) {
        if (f.step != kStepModule) {
            fields.push_back({f.name, f.name, f.record_offset, f.width, 0});
            continue;
        }
        for (unsigned m = 1; m <= kModuleCount; ++m) {
            fields.push_back({"modules[" + std::to_string(m - 1) + "]." + f.name, f.name,
                              kModuleRowsOffset + kModuleRowSize * (m - 1) + f.record_offset,
                              f.width, m});
        }
    }
    // Record order; module fields by module, then by their place in the row.
    std::stable_sort(fields.begin(), fields.end(), [](const RecordField& a, const RecordField& b) {
        return a.offset < b.offset;
    });
    return fields;
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

const std::vector<RecordField>& RecordFields() {
    static const std::vector<RecordField> fields = BuildFields();
    return fields;
}

const RecordField* FindRecordField(const std::string& name) {
    for (const RecordField& f : RecordFields()) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

std::uint32_t ReadField(const unsigned char* record, std::size_t offset, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t b = width; b-- > 0;) v = (v << 8) | record[offset + b];
    return v;
}

void WriteField(unsigned char* record, std::size_t offset, std::size_t width, std::uint32_t value) {
    for (std::size_t b = 0; b < width; ++b) {
        record[offset + b] = static_cast<unsigned char>(value >> (8 * b));
    }
}

bool RecordTime::IsZero() const {
    return year == 0 && month == 0 && day == 0 && hour == 0 && minute == 0 && second == 0;
}

bool RecordTime::IsValid() const {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const unsigned days = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
    return day <= days && hour < 24 && minute < 60 && second < 60;
}

std::string RecordTime::Text() const {
    return IsoDateTime(year, month, day, hour, minute, second);
}

RecordTime ReadRecordTime(const unsigned char* record) {
    const unsigned char* t = record + kTimestampOffset;
    return RecordTime{static_cast<unsigned>(t[0] | (t[1] << 8)), t[2], t[3], t[4], t[5], t[6]};
}

}  // namespace rxp::tools
