// A capture of the power system's line: every chunk the bench host sent and received, with a
// monotonic time stamp and the poll and step it belonged to, so that a site's traffic can be
// read afterwards and replayed in the lab by the simulator. Text, one chunk a line:
//
//   # rxp-host capture
//   # started 2024-05-01T12:00:00.000+02:00
//   0.000125 1 1 -> 7E303134303031303038360D
//   0.016480 1 1 <- 7E3031343030313046...0D
//   1.203377 - - <- 7E30313430...0D
//
//   seconds  since the capture started, on a monotonic clock (microseconds)
//   poll     the poll the chunk belongs to, 1 = the first; "-" when no poll was running
//   step     the command of that poll the host was sending or waiting a reply for, 1..25
//   dir      "->" host to power system, "<-" power system to host
//   bytes    the chunk exactly as written or read, upper-case hex
//
// Lines starting with '#' are notes ("# poll 3 failed: timeout") and are skipped by readers. The
// file is appended to: every run of the host starts with its own two head lines. Lines are
// written whole or not at all; after lines were lost (a full disk) the first line that gets
// through is preceded by a note "# 12 lines could not be written".
#ifndef RXP_TOOLS_COMMON_CAPTURE_H
#define RXP_TOOLS_COMMON_CAPTURE_H

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "tools/common/frame_notation.h"
#include "tools/common/line_file.h"

namespace rxp::tools {

struct CaptureChunk {
    double seconds = 0;
    unsigned poll = 0;  // 0: no poll running
    unsigned step = 0;
    LineDirection direction = LineDirection::kToPowerSystem;
    Bytes bytes;
};

// One run of rxp-host in a capture file. The host appends: every run starts with its head line
// "# rxp-host capture" and its "# started <time>" line, and its seconds count from 0 again.
struct CaptureRun {
    std::string started;      // as written in the "# started" line; empty when there is none
    unsigned first_line = 0;  // where the run starts in the file, 1 = the first line
    std::vector<CaptureChunk> chunks;
};

struct Capture {
    std::vector<CaptureRun> runs;  // in file order; none for a file without chunks or heads
    // Lines left out, each "FILE: line N: why": a torn last line (the writer stopped in the
    // middle of it: a crash, a power loss, a full disk), or one a new run was glued to.
    std::vector<std::string> warnings;
};

class CaptureWriter {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the file for appending (creating it) and writes the head of this run: the lines
    // "# rxp-host capture" and "# started <time>" mark where a run begins, its seconds counting
    // from 0 again. Throws std::runtime_error naming the file.
    void Open(const std::string& path);
    bool enabled() const { return file_.is_open(); }
    // Opens the file again at its path when it was renamed away (log rotation); false when the
    // path still names the file open, which is kept. The run goes on: the new file starts with
    // the run's head lines, its seconds counting on from the same start. Throws
    // std::runtime_error naming the file; the file open before stays then.
    bool Reopen();

    void Write(Clock::time_point when, unsigned poll, unsigned step, LineDirection direction,
               const unsigned char* data, std::size_t size);
    void Note(const std::string& text);
    // Lines go out as they are written; kept for the callers that mark the end of a step.
    void Flush() {}
    // Where the writer's own messages (a torn line ended, lines lost, writing again) go;
    // standard error unless set.
    void DiagnosticsTo(std::ostream* out) { diagnostics_ = out; }

    // Lines that could not be written (a full disk), over the whole run. Writing resumes with
    // the first line that gets through, after a note of how many were lost.
    std::uint64_t lost() const { return lost_total_; }

private:
    void Put(const std::string& line);

    LineFile file_;
    std::ostream* diagnostics_ = &std::cerr;
    Clock::time_point start_;
    std::string started_;  // the "# started" line of this run
    std::string head_;     // of this run, until it is written
    std::uint64_t lost_total_ = 0;
    std::uint64_t lost_unreported_ = 0;
};

// Reads a capture file. A torn last line is left out with a warning; any other line that is
// not a chunk, a note or empty throws std::runtime_error naming the file and line.
Capture ReadCapture(const std::string& path);

// The capture in the frame notation, one line per frame or run of noise, each reply with the
// verdict the plug-in gives it. With several runs, each under a heading line
// "== run 2 of 3, started <time>, line 41 ==".
std::string FormatCapture(const Capture& capture);

// The commands of a capture, each with what came back for it: every chunk received after it
// and before the next command, at its delay after the command. Runs follow each other.
struct CapturedExchange {
    Bytes command;
    struct Reply {
        double delay;  // seconds after the command
        bool late;     // received while no poll was running
        Bytes bytes;
    };
    std::vector<Reply> replies;
};
std::vector<CapturedExchange> CapturedExchanges(const Capture& capture);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_CAPTURE_H
