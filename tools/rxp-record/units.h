// A site's units for the record's values. The record holds values as the power system sent them;
// what a value means in volts or amperes is the site's knowledge, given in a units file:
//
//   {
//     "phase_a_value1": {"scale": 0.1, "unit": "V"},
//     "modules[*].value2": {"scale": 0.1, "unit": "A"},
//     "dc_value1": {"unit": "V"}
//   }
//
// Keys are field names as rxp-record shows them; "modules[*].NAME" stands for that value of
// every module, and an exact name wins over it. "scale" multiplies the stored value (default 1),
// "unit" is shown after it (default none). Without a units file, values are shown as stored.
#ifndef RXP_TOOLS_RXP_RECORD_UNITS_H
#define RXP_TOOLS_RXP_RECORD_UNITS_H

#include <cstdint>
#include <map>
#include <string>

#include "tools/common/record_fields.h"

namespace rxp::record {

struct Unit {
    double scale = 1.0;
    std::string unit;
};

class Units {
public:
    Units() = default;
    // Throws std::runtime_error naming the file and the key that cannot be used.
    static Units Load(const std::string& path);
    static Units FromText(const std::string& text, const std::string& source);

    // The unit of a field, or null when the file says nothing of it.
    const Unit* For(const tools::RecordField& field) const;
    bool empty() const { return units_.empty(); }

    // The value for people: scaled when the field has a unit ("220.5"), else as stored.
    std::string Value(const tools::RecordField& field, std::uint32_t stored) const;
    double Scaled(const tools::RecordField& field, std::uint32_t stored) const;
    // "phase_a_value1 (V)", or the bare name.
    std::string Label(const tools::RecordField& field) const;

private:
    std::map<std::string, Unit> units_;  // by field name or "modules[*].NAME"
};

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_UNITS_H
