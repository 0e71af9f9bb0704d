// What the bus lets through to the polled device: the host reads every reply frame before its
// bytes reach the device, which looks at none of a reply's address, group and command bytes.
//
//   - A frame the device would take (whole, length and checksum right) from another address
//     than the polled device's is not its reply: a late reply of another device, or a unit on
//     the bus that answers what was not asked of it.
//   - A frame that began before the command outstanding was written, or a second whole frame in
//     one chunk, is not that command's reply: it was on its way before the command the device
//     sent for the first went out. Two units set to one address answer every command twice.
//   - A frame that began before the command outstanding was on the line (its characters at
//     --baud) is not its reply on a serial port: a unit cannot answer what it has not received.
//     A pseudo-terminal passes the command at once, and its far end (the simulator, a replayed
//     capture) may answer at once; there such a frame is refused only when it does not answer
//     the command outstanding (its code bytes, and for a module its number, are another
//     command's): a second unit's reply to the command before.
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
    // The command frame `chars` was written at `when`.
    void CommandWritten(Clock::time_point when, const unsigned char* chars, std::size_t size);

    // The pieces of a chunk read at `now` while `polled` is polled; `was_holding` and
    // `holding`: a frame was begun and not ended before and after the chunk.
    // The verdicts stay valid until the next call (one buffer for the run: a call a chunk).
    const std::vector<Judged>& Judge(const std::vector<Piece>& pieces, unsigned polled,
                                     Clock::time_point now, bool was_holding, bool holding);

private:
    bool AnswersCommand(const rxp::tools::Bytes& reply_chars) const;

    std::vector<Judged> judged_;

    unsigned baud_;
    bool addresses_;
    bool on_pseudo_terminal_ = false;
    rxp::tools::Bytes command_;  // the outstanding command, decoded
    Clock::time_point command_written_;
    Clock::time_point on_the_line_;  // the command's last character has gone out at --baud
    Clock::time_point held_since_;   // when the frame held incomplete began
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_REPLY_CHECK_H
