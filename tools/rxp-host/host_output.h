// The host's own lines on standard output (the cycle summaries, communication lost and
// restored, the count at the end) and on standard error (diagnostics, --trace): each stream is
// written by a thread of its own, so that a stream nobody reads (a stalled journal, a full
// pipe) never holds up the polls. Lines wait in a bounded queue per stream; what does not fit
// is dropped and counted, and the count is written as soon as writing works again (and at the
// end of the run).
//
// Every line has a syslog priority. When a stream is connected to the journal (systemd's
// JOURNAL_STREAM names its device and inode), each line goes out with the sd-daemon prefix
// "<N>", so that `journalctl -p warning` shows failures and not the per-cycle summaries;
// elsewhere lines go out as they are.
#ifndef RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H
#define RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace rxphost {

// Text queued for one stream beyond which lines are dropped.
constexpr std::size_t kOutputQueueBytes = 64 * 1024;

// Syslog priorities, as journald reads them from a line's "<N>" prefix.
enum class Priority : int {
    kError = 3,    // the run cannot go on as asked: a file, the port, the plug-in
    kWarning = 4,  // a failure the run rides out: a failed poll, lost lines, a stray reply
    kNotice = 5,   // a change worth a look: communication restored, a signal, the end of a run
    kInfo = 6,     // the summaries after cycles
    kDebug = 7,    // --trace, the plug-in's own console lines
};

// The host's standard output and standard error as streams, one per priority: every flush
// (std::endl, std::flush) hands the whole lines written so far to the stream's writer. Only
// for the poll loop's thread and main().
std::ostream& Out(Priority priority = Priority::kInfo);
std::ostream& Err(Priority priority);

// From now on the host's lines go to `out_fd` and `err_fd` through the writer threads. Before
// this call they are written directly, as they come.
void StartOutput(int out_fd, int err_fd);
// Queues whole lines ("...\n", one or several) for standard output; safe from any thread.
void OutputLines(const std::string& text, Priority priority);
// Called on the poll loop's thread before the host's own lines are queued, so that lines
// another source wrote before them (the plug-in's) are queued first.
void BeforeHostLines(void (*take_earlier_lines)());
// Lines dropped so far on standard output and standard error together.
std::uint64_t OutputDropped();
// Waits up to `grace` for the queued lines to be written, then stops the writers and reports
// how many lines were dropped. Returns that number.
std::uint64_t FinishOutput(std::chrono::milliseconds grace);

// Whether `fd` is the journal stream systemd connected (JOURNAL_STREAM=DEVICE:INODE).
bool IsJournalStream(int fd);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HOST_OUTPUT_H
