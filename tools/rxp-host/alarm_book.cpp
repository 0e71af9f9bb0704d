#include "tools/rxp-host/alarm_book.h"

namespace rxphost {

AlarmBook::AlarmBook() : states_(65536, kUnknown) {}

AlarmChange AlarmBook::Update(unsigned short ordinal, bool state) {
    signed char& known = states_[ordinal];
    const signed char now = state ? kRaised : kClear;
    if (known == now) return AlarmChange::kNone;
    const bool first = known == kUnknown;
    known = now;
    if (state) {
        ++active_;
        return AlarmChange::kRaised;
    }
    if (first) return AlarmChange::kNone;
    --active_;
    return AlarmChange::kCleared;
}

}  // namespace rxphost
