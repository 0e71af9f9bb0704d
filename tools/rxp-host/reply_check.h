// What the bus lets through to the polled device: the host reads every reply frame before its
// bytes reach the device, which looks at none of a reply's address, group and command bytes.
//
//   - A frame the device would take (whole, length and checksum right) from another address
//     than the polled device's is not its reply: a late reply of another device, or a unit on
//     the bus that answers what was not asked of it.
//   - A frame that began before the command outstanding was on the line is not that command's
//     reply: a unit cannot answer a command it has not received. Nor is a second whole frame in
//     one chunk, which was on its way before the command the device sends for the first went
//     out. Two units set to one address answer every command twice.
//
// The line time of a command counts where the line keeps to --baud: always on a serial port; on
// a pseudo-terminal (a simulator, which may answer at once) only when the first reply of the run
// took its line time, and never again after a poll whose only reply was refused as too early.
#ifndef RXP_TOOLS_RXP_HOST_REPLY_CHECK_H
#define RXP_TOOLS_RXP_HOST_REPLY_CHECK_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/common/frame_notation.h"

namespace rxphost {

class ReplyCheck {
public:
    using Clock = std::chrono::steady_clock;
    using Piece = rxp::tools::FrameCutter::Piece;

    enum class Verdict { kPass, kOtherAddress, kSecondReply };
    struct Judged {
        Verdict verdict;
        int from;  // the frame's address, -1 when it is no frame the device would take
    };

    // `baud` 0: the port's speed is left as it is, no line time counts. `addresses` false: a
    // frame from any address goes to the polled device.
    ReplyCheck(unsigned baud, bool addresses);

    // The port is open; `port` as given (a link to a pseudo-terminal is followed).
    void LineOpened(const std::string& port);
    void PollStarted() { refused_early_ = false; }
    void CommandWritten(Clock::time_point when, std::size_t size);
    // The poll under way got no reply in time.
    void PollTimedOut();

    // The pieces of a chunk read at `now` while `polled` is polled; `was_holding` and
    // `holding`: a frame was begun and not ended before and after the chunk.
    std::vector<Judged> Judge(const std::vector<Piece>& pieces, unsigned polled,
                              Clock::time_point now, bool was_holding, bool holding);

private:
    enum class Pace { kUnknown, kPaced, kUnpaced };

    unsigned baud_;
    bool addresses_;
    Pace pace_ = Pace::kUnknown;
    bool on_pseudo_terminal_ = false;
    bool refused_early_ = false;  // in the poll under way
    std::size_t command_size_ = 0;
    Clock::time_point command_written_;
    Clock::time_point replies_from_;  // a frame begun before is no reply to the command
    Clock::time_point held_since_;    // when the frame held incomplete began
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_REPLY_CHECK_H
