// What the bench host shows and keeps of its serial line: with --trace, every frame sent and
// received on standard error in the frame notation (tools/common/frame_notation.h), each reply
// with its verdict; with --capture, every chunk in a capture file (tools/common/capture.h).
#ifndef RXP_TOOLS_RXP_HOST_LINE_WATCH_H
#define RXP_TOOLS_RXP_HOST_LINE_WATCH_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/common/capture.h"
#include "tools/common/frame_notation.h"

namespace rxphost {

// What the device made of a received chunk.
enum class ChunkOutcome {
    kLate,         // no poll was running: not handed to the device
    kAccepted,     // a reply completed and the device took it (next command or publication)
    kNotAccepted,  // anything else: still collecting, or a reply dropped
};

class LineWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Throws std::runtime_error naming the file.
    void OpenCapture(const std::string& path);
    // Opens the capture file again at its path, when it was renamed (log rotation).
    bool ReopenCapture() { return capture_.Reopen(); }
    bool capture_enabled() const { return capture_.enabled(); }
    void TraceTo(std::ostream* out) { trace_ = out; }
    bool enabled() const { return trace_ != nullptr || capture_.enabled(); }

    // A command frame written as step `step` (1..25) of poll `poll`.
    void Sent(Clock::time_point when, unsigned poll, unsigned step, const unsigned char* data,
              std::size_t size);
    // A chunk read from the port, before it goes to the device; `poll` 0 while none runs (the
    // chunk then goes nowhere). Returns the frames and noise completed by it, which are shown
    // once Handled says what the device did.
    const std::vector<rxp::tools::FrameCutter::Piece>& Received(Clock::time_point when,
                                                                unsigned poll, unsigned step,
                                                                const unsigned char* data,
                                                                std::size_t size);
    // The verdict on piece `index` of the last chunk, when the host kept it from the device.
    void Mark(std::size_t index, const std::string& note);
    void Handled(ChunkOutcome outcome);
    // A frame has begun and not yet ended.
    bool holding() const { return cutter_.holding(); }
    // The verdict on the last reply the device dropped since the last command, e.g. "dropped:
    // checksum expected 86 got 87"; empty when none was.
    const std::string& last_drop() const { return last_drop_; }
    // A poll given up: whatever part of a reply is held is shown as incomplete.
    void PollFailed(unsigned poll, const std::string& reason);
    void Flush();
    // Capture lines that could not be written (see CaptureWriter::lost).
    std::uint64_t capture_lost() const { return capture_.lost(); }

private:
    void Trace(rxp::tools::LineDirection direction, const rxp::tools::Bytes& bytes,
               const std::string& note);

    std::ostream* trace_ = nullptr;
    rxp::tools::CaptureWriter capture_;
    rxp::tools::FrameCutter cutter_;
    unsigned payload_needed_ = 0;  // of the reply to the last command sent
    std::string last_drop_;
    std::vector<rxp::tools::FrameCutter::Piece> pending_;  // of the chunk in hand
    std::vector<std::string> marks_;                       // by piece of pending_
    unsigned pending_step_ = 0;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_LINE_WATCH_H
