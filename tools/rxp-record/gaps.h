// Where cycles are missing from a run of records in time order: a time between two records
// longer than a few of the usual intervals (the median of the intervals just before), or
// longer than a fixed number of seconds when one is given (--gap). A plot breaks its lines
// there, and a CSV can mark the record after each gap. On a bus each device's records are a
// run of their own (BusGapFinder).
#ifndef RXP_TOOLS_RXP_RECORD_GAPS_H
#define RXP_TOOLS_RXP_RECORD_GAPS_H

#include <cstddef>
#include <deque>
#include <map>

#include "tools/common/time_text.h"

namespace rxp::record {

// A time between two records longer than this many usual intervals is a gap: a failed poll or
// two (a timeout, the quiet gap after it) is not, six minutes of a one-second cycle are.
constexpr double kGapIntervals = 5;
// The usual interval is the median of this many intervals before the one looked at.
constexpr std::size_t kIntervalsKept = 15;

class GapFinder {
public:
    // `fixed_seconds` > 0: a gap is any interval longer than that.
    explicit GapFinder(double fixed_seconds = 0) : fixed_seconds_(fixed_seconds) {}

    // The seconds since the previous record when they make a gap; 0 otherwise (also for the
    // first record, and for a record not after the previous one).
    double Next(tools::WallClock::time_point when);

private:
    double fixed_seconds_;
    bool has_previous_ = false;
    tools::WallClock::time_point previous_{};
    std::deque<double> recent_;  // the last intervals longer than 0, oldest first
};

// The gaps of a history of several addresses, one GapFinder per address: the rows of a bus
// interleave (device 1, device 2 a second later, device 1 again at the next round), so the
// time between two rows says nothing of either device's cycle. A device's gap is where its own
// records are missing, whatever the others did meanwhile.
class BusGapFinder {
public:
    explicit BusGapFinder(double fixed_seconds = 0) : fixed_seconds_(fixed_seconds) {}

    // As GapFinder::Next among the records of `address` (-1: not known, one device's records).
    double Next(int address, tools::WallClock::time_point when);

private:
    double fixed_seconds_;
    std::map<int, GapFinder> by_address_;
};

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_GAPS_H
