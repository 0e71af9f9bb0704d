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
// Lines starting with '#' are notes ("# poll 3 failed: timeout") and are skipped by readers.
#ifndef RXP_TOOLS_COMMON_CAPTURE_H
#define RXP_TOOLS_COMMON_CAPTURE_H

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tools/common/frame_notation.h"

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

    // Creates the file and writes its head. Throws std::runtime_error naming the file.
    void Open(const std::string& path);
    bool enabled() const { return out_.is_open(); }

    void Write(Clock::time_point when, unsigned poll, unsigned step, LineDirection direction,
               const unsigned char* data, std::size_t size);
    void Note(const std::string& text);
    void Flush();

private:
    std::ofstream out_;
    std::string path_;
    Clock::time_point start_;
    bool failed_reported_ = false;
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
