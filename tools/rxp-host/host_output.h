// The host's own lines on standard output (the cycle summaries, communication lost and
// restored, the count at the end): written by a thread of their own, so that a standard output
// nobody reads (a stalled journal, a full pipe) never holds up the polls. Lines wait in a bounded
// queue; what does not fit is dropped and counted, and the count is written as soon as writing
// works again, or on standard error at the end of the run.
#ifndef RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H
#define RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace rxphost {

// Text queued for standard output beyond which lines are dropped.
constexpr std::size_t kOutputQueueBytes = 64 * 1024;

// The host's standard output as a stream: every flush (std::endl, std::flush) hands the whole
// lines written so far to the writer. Only for the poll loop's thread and main().
std::ostream& Out();

// From now on the host's lines go to `fd` through the writer thread. Before this call they are
// written to standard output directly.
void StartOutput(int fd);
// Queues whole lines ("...\n", one or several); safe from any thread.
void OutputLines(const std::string& text);
// Called on the poll loop's thread before the host's own lines are queued, so that lines
// another source wrote before them (the plug-in's) are queued first.
void BeforeHostLines(void (*take_earlier_lines)());
// Waits up to `grace` for the queued lines to be written, then stops the writer and reports on
// standard error how many lines were dropped. Returns that number.
std::uint64_t FinishOutput(std::chrono::milliseconds grace);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H
