// The host's alarm state, kept per rule ordinal: signal keys repeat within a pass (the module
// rules share the phase C keys), the ordinal does not.
#ifndef RXP_TOOLS_RXP_HOST_ALARM_BOOK_H
#define RXP_TOOLS_RXP_HOST_ALARM_BOOK_H

#include <cstddef>
#include <vector>

namespace rxphost {

enum class AlarmChange { kNone, kRaised, kCleared };

class AlarmBook {
public:
    AlarmBook();

    // The state of one rule in this pass. The first state seen for an ordinal counts as a
    // change from "not raised": true raises the alarm, false says nothing.
    AlarmChange Update(unsigned short ordinal, bool state);
    // Ordinals whose alarm is raised now.
    std::size_t active() const { return active_; }

private:
    enum : signed char { kUnknown = -1, kClear = 0, kRaised = 1 };
    std::vector<signed char> states_;  // by ordinal, 0..65535
    std::size_t active_ = 0;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_ALARM_BOOK_H
