// Reading a measurement record for people and programs: every field by name as an unsigned
// number, every status byte with the alarm meaning of each set bit, the time stamp as a date
// and time. The field names and meanings come from the plug-in's own tables.
#ifndef RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H
#define RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H

#include <json/json.h>

#include <cstddef>
#include <string>
#include <vector>

#include "tools/common/json_text.h"
#include "tools/common/record_fields.h"
#include "tools/rxp-record/units.h"

namespace rxp::record {

using Bytes = std::vector<unsigned char>;

// Empty for a record of the right size, else why it is refused.
std::string SizeProblem(std::size_t size);

// Where a record came from, shown above it.
struct Origin {
    std::string label;   // "rec.bin", "standard input", "history.db"
    long long row = 0;   // history row id; 0 when not from a database
    std::string stored;  // the row's time
    // The row's bus address is shown (a history of several addresses); -1: not known.
    bool shows_address = false;
    int address = -1;
};

// A record of exactly 289 bytes. With units, values the units file names are shown scaled with
// their unit, the stored value beside them.
std::string FormatTable(const unsigned char* record, const Origin& origin,
                        const Units& units = Units());
// The record as JSON: "source" (and "row", "stored" for a row of a database), "time",
// "time_valid", "fields" by name, "modules" as rows, and "status": every set status bit and
// non-zero state value with its alarm. The text is what FormatJsonLine writes of ToJson.
std::string RecordJsonText(const unsigned char* record, const Origin& origin);
Json::Value ToJson(const unsigned char* record, const Origin& origin);
// The record's own members of that object as JSON text, for a program that adds its own.
void AddRecordJsonMembers(const unsigned char* record, tools::JsonMembers* members);
// One line of JSON, UTF-8 texts as they are.
std::string FormatJsonLine(const Json::Value& value);

// CSV (RFC 4180), one record a line: "time,row," (with `address`, "time,row,address,") then the
// fields, named in the head with their unit and given scaled when the units file names them.
std::string CsvHead(const std::vector<const tools::RecordField*>& fields, const Units& units,
                    bool address = false);
std::string CsvLine(const std::string& time, long long row, const unsigned char* record,
                    const std::vector<const tools::RecordField*>& fields, const Units& units,
                    const Origin* address_of = nullptr);
// A CSV cell: quoted when it holds a comma, a quote or a line break.
std::string CsvCell(const std::string& text);

// Text from a file or the command line made safe to print in a message: every control
// character written as an escape ("\n", "\x1B"), so that it can neither end the message nor
// drive the terminal.
std::string Printable(const std::string& text);

// Fields by their names, "a,b,c"; throws std::runtime_error naming one that is not a field.
std::vector<const tools::RecordField*> FieldsByName(const std::string& names);

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_RECORD_VIEW_H
