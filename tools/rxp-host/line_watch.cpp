#include "tools/rxp-host/line_watch.h"

#include "protocol/reply_layout.h"
#include "tools/common/time_text.h"
#include "tools/rxp-host/host_output.h"

namespace rxphost {

using rxp::tools::LineDirection;

void LineWatch::OpenCapture(const std::string& path) {
    capture_.DiagnosticsTo(&Err(Priority::kWarning));
    capture_.Open(path);
}

void LineWatch::Sent(Clock::time_point when, unsigned poll, unsigned step,
                     const unsigned char* data, std::size_t size) {
    // A command sent while a reply is in hand: the device took the reply.
    Handled(ChunkOutcome::kAccepted);
    capture_.Write(when, poll, step, LineDirection::kToPowerSystem, data, size);
    last_drop_.clear();
    // Bytes held from before a poll starts are never completed by its replies.
    rxp::tools::FrameCutter::Piece held;
    if (cutter_.holding() && step == 1 && cutter_.Flush(&held) && trace_ != nullptr) {
        Trace(LineDirection::kFromPowerSystem, held.bytes, "incomplete");
    }
    const int needed = rxp::tools::ExpectedReplyPayload(data, size);
    payload_needed_ = needed < 0 ? 0 : static_cast<unsigned>(needed);
    if (trace_ == nullptr) return;
    Trace(LineDirection::kToPowerSystem, rxp::tools::Bytes(data, data + size),
          rxp::tools::CommandNameOfFrame(data, size) + ", poll " + std::to_string(poll) + " step " +
              std::to_string(step));
}

const std::vector<rxp::tools::FrameCutter::Piece>& LineWatch::Received(Clock::time_point when,
                                                                       unsigned poll, unsigned step,
                                                                       const unsigned char* data,
                                                                       std::size_t size) {
    capture_.Write(when, poll, step, LineDirection::kFromPowerSystem, data, size);
    pending_ = cutter_.Feed(data, size);
    marks_.assign(pending_.size(), std::string());
    pending_step_ = step;
    if (poll == 0) Handled(ChunkOutcome::kLate);
    return pending_;
}

void LineWatch::Mark(std::size_t index, const std::string& note) {
    if (index < marks_.size()) marks_[index] = note;
}

void LineWatch::Handled(ChunkOutcome outcome) {
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        const rxp::tools::FrameCutter::Piece& p = pending_[i];
        const bool marked = i < marks_.size() && !marks_[i].empty();
        // Without --trace a verdict is wanted only for a reply the device dropped (last_drop).
        if (trace_ == nullptr && (marked || !p.frame || outcome != ChunkOutcome::kNotAccepted)) {
            continue;
        }
        std::string note;
        if (marked) {
            note = marks_[i];
        } else if (p.frame) {
            if (outcome == ChunkOutcome::kLate) {
                note = rxp::tools::kLateNote;
            } else if (outcome == ChunkOutcome::kAccepted) {
                note = rxp::tools::AcceptedNote(pending_step_);
            } else {
                note = rxp::tools::ReplyDropReason(p.bytes.data(), p.bytes.size(), payload_needed_);
                if (note.empty()) note = "dropped by the device";
                last_drop_ = note;
            }
        }
        if (trace_ != nullptr) Trace(LineDirection::kFromPowerSystem, p.bytes, note);
    }
    pending_.clear();
    marks_.clear();
}

void LineWatch::PollFailed(unsigned poll, const std::string& reason) {
    capture_.Note("poll " + std::to_string(poll) + " failed: " + reason);
    rxp::tools::FrameCutter::Piece held;
    if (!cutter_.Flush(&held) || trace_ == nullptr) return;
    Trace(LineDirection::kFromPowerSystem, held.bytes,
          "incomplete when poll " + std::to_string(poll) + " was given up");
}

void LineWatch::Flush() {
    capture_.Flush();
    if (trace_ != nullptr) trace_->flush();
}

void LineWatch::Trace(LineDirection direction, const rxp::tools::Bytes& bytes,
                      const std::string& note) {
    // Handed over line by line: a diagnostic written after a frame (its poll failed) is
    // written by another stream of standard error, and must follow the frame's line.
    *trace_ << rxp::tools::FrameLine(
                   rxp::tools::IsoTimeNow(rxp::tools::TimePrecision::kMilliseconds), direction,
                   bytes.data(), bytes.size(), note)
            << '\n'
            << std::flush;
}

}  // namespace rxphost
