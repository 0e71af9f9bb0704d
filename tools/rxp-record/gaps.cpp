#include "tools/rxp-record/gaps.h"

#include <algorithm>
#include <vector>

namespace rxp::record {

double GapFinder::Next(tools::WallClock::time_point when) {
    const bool first = !has_previous_;
    const double interval = std::chrono::duration<double>(when - previous_).count();
    has_previous_ = true;
    previous_ = when;
    // A record stamped in the same second as the one before (times are kept to the second),
    // or before it, has no interval to learn from.
    if (first || interval <= 0) return 0;

    bool gap;
    if (fixed_seconds_ > 0) {
        gap = interval > fixed_seconds_;
    } else if (recent_.empty()) {
        gap = false;
    } else {
        std::vector<double> sorted(recent_.begin(), recent_.end());
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        gap = interval > kGapIntervals * sorted[sorted.size() / 2];
    }
    recent_.push_back(interval);
    if (recent_.size() > kIntervalsKept) recent_.pop_front();
    return gap ? interval : 0;
}

double BusGapFinder::Next(int address, tools::WallClock::time_point when) {
    return by_address_.try_emplace(address, fixed_seconds_).first->second.Next(when);
}

}  // namespace rxp::record
