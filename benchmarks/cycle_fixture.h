// What the benchmarks share: the reply stream of a real polling cycle, a cycle driven through the
// host's own declarations, and a console sink for RoundDone's "rvSize is" line.
#ifndef RXP_BENCHMARKS_CYCLE_FIXTURE_H
#define RXP_BENCHMARKS_CYCLE_FIXTURE_H

#include <cstddef>
#include <streambuf>
#include <vector>

#include "host/smd_device.h"

namespace rxpbench {

// The 25 reply frames of one cycle, as the power system model sends them.
struct CycleReplies {
    CycleReplies();
    std::vector<std::vector<unsigned char>> frames;
    std::size_t bytes = 0;  // characters on the line per cycle
};

// One complete cycle: RefreshStatus, then each reply handed to process as one chunk. True when
// the device answered as for a complete cycle (true 24 times, then false).
bool RunCycle(SMDSPDevice& device, CycleReplies& replies);

// Takes what is written to it and keeps only the number of lines.
class LineCountingSink : public std::streambuf {
public:
    std::size_t lines() const { return lines_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    std::size_t lines_ = 0;
};

}  // namespace rxpbench

#endif  // RXP_BENCHMARKS_CYCLE_FIXTURE_H
