// The measurement record's fields by name, for the tools: the reply field table of the protocol
// (protocol/reply_layout.h) with the device id, the twenty module rows and the time stamp
// added, in record order. Values are read and written byte by byte, little-endian, as the
// record holds them.
#ifndef RXP_TOOLS_COMMON_RECORD_FIELDS_H
#define RXP_TOOLS_COMMON_RECORD_FIELDS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/reply_layout.h"

namespace rxp::tools {

using RecordBytes = std::array<unsigned char, kRecordSize>;

struct RecordField {
    std::string name;      // "phase_a_status", "dc_status[1]", "modules[6].status"
    std::string row_name;  // for a module field: "status"; else the same as name
    std::size_t offset;    // in the record
    std::size_t width;     // 1, 2 or 4
    unsigned module;       // 1..20 for a module field, 0 otherwise
};

// Every value field of bytes 0..281 in record order (device_id first, no time stamp).
const std::vector<RecordField>& RecordFields();
// The field of this name, or null.
const RecordField* FindRecordField(const std::string& name);

std::uint32_t ReadField(const unsigned char* record, std::size_t offset, std::size_t width);
void WriteField(unsigned char* record, std::size_t offset, std::size_t width, std::uint32_t value);
inline std::uint32_t ReadField(const unsigned char* record, const RecordField& f) {
    return ReadField(record, f.offset, f.width);
}

// The time stamp at record bytes 282..288: year (little-endian 16 bits), month, day, hour,
// minute, second.
struct RecordTime {
    unsigned year, month, day, hour, minute, second;
    bool IsZero() const;
    bool IsValid() const;      // a real calendar date and time of day
    std::string Text() const;  // "2024-05-01T12:34:56", no zone: the record has none
};
RecordTime ReadRecordTime(const unsigned char* record);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_RECORD_FIELDS_H
