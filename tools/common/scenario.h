// A simulated power system's values: what it reports in every cycle, by the record's field
// names. Every field has a healthy default, so an empty scenario is a quiet, healthy system.
//
//   {
//     "description": "module 7 fan fault in cycles 2 and 3",
//     "phase_a_value1": 2200,
//     "modules": { "7": { "value2": 130, "status": "0x00" } },
//     "dc_status": [0, 0, 0, 0, 0, 0],
//     "changes": [
//       { "cycle": 2, "set": { "modules": { "7": { "status": "0x10" } } } },
//       { "cycle": 4, "set": { "modules": { "7": { "status": 0 } } } }
//     ]
//   }
//
// Values are unsigned numbers, or strings in decimal or with 0x; they must fit the field.
// Modules are listed by number, 1 to 20. A change applies from the given cycle on (cycle 1 is
// the first the power system answers), so the Nth record the host publishes is the first to
// show a change for cycle N. Changes for the same cycle apply in file order.
#ifndef RXP_TOOLS_COMMON_SCENARIO_H
#define RXP_TOOLS_COMMON_SCENARIO_H

#include <json/json.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/common/record_fields.h"

namespace rxp::tools {

// A scenario that cannot be used; the text names the file and the field.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Scenario {
public:
    // The quiet, healthy system.
    Scenario();

    // `source` names the file in error messages.
    static Scenario FromJson(const Json::Value& root, const std::string& source);
    static Scenario FromText(const std::string& text, const std::string& source);
    static Scenario Load(const std::string& path);

    // The record image the power system reports in cycle `cycle` (1 = first). Bytes 0..3 and the
    // time stamp are zero: they are the host's.
    RecordBytes StateForCycle(unsigned cycle) const;
    // The last cycle at which a change applies (0 without changes).
    unsigned LastChangeCycle() const;
    const std::string& description() const { return description_; }

    // The healthy defaults, as a record image.
    static const RecordBytes& Healthy();

private:
    struct Change {
        unsigned cycle;
        RecordBytes mask;    // 1 where the change sets a byte
        RecordBytes values;  // the bytes it sets
    };

    RecordBytes base_;
    std::vector<Change> changes_;  // sorted by cycle, file order kept within a cycle
    std::string description_;
};

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_SCENARIO_H
