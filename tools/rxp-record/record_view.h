// Reading a measurement record for people and programs: every field by name as an unsigned
// number, every status byte with the alarm meaning of each set bit, the time stamp as a date
// and time. The field names and meanings come from the plug-in's own tables.
#ifndef RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H
#define RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H

#include <json/json.h>

#include <cstddef>
#include <string>
#include <vector>

namespace rxp::record {

using Bytes = std::vector<unsigned char>;

// Empty for a record of the right size, else why it is refused.
std::string SizeProblem(std::size_t size);

// Bytes from hex text: pairs of hex digits, white space anywhere between pairs. Throws
// std::runtime_error naming the position of the first character that is not one.
Bytes ParseHex(const std::string& text);

// Where a record came from, shown above it.
struct Origin {
    std::string label;   // "rec.bin", "standard input", "history.db"
    long long row = 0;   // history row id; 0 when not from a database
    std::string stored;  // the row's time
};

// A record of exactly 289 bytes.
std::string FormatTable(const unsigned char* record, const Origin& origin);
Json::Value ToJson(const unsigned char* record, const Origin& origin);
// One line of JSON, UTF-8 texts as they are.
std::string FormatJsonLine(const Json::Value& value);

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H
