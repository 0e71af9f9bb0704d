// The simulated power system without its serial line: command frames in, reply frames out.
// The line, the clock and the log are the program's (sim_line.h); this part is plain
// computation, so that tests can drive it byte by byte.
//
// It answers what the real equipment answers: a well-formed command frame for its address whose
// checksum is right, with one reply frame built from the scenario's values through the
// protocol's reply field table. Anything else on the line is ignored.
//
//   command 0x40/0x02:  ~ 01 40 02 00 87 CR
//   reply:              ~ 01 40 02 02 01F4 57 CR      payload 01 F4 = ac_value 500
#ifndef RXP_TOOLS_RXP_SIM_SIM_CORE_H
#define RXP_TOOLS_RXP_SIM_SIM_CORE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/reply_layout.h"
#include "tools/common/capture.h"
#include "tools/common/scenario.h"

namespace rxp::sim {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Faults injected on purpose. Counts are of replies, 1 = the first reply the simulator builds;
// 0 switches a fault off. Random choices (noise, chunk sizes) come from one generator seeded
// with `seed`, so a run with the same options and the same commands sends the same bytes.
struct FaultOptions {
    unsigned noise_max = 0;      // 1..noise_max noise bytes before every reply
    unsigned split_max = 0;      // replies in chunks of 1..split_max bytes
    unsigned corrupt_every = 0;  // every Nth reply with a wrong checksum
    unsigned drop_every = 0;     // every Nth reply not sent
    unsigned short_every = 0;    // every Nth reply one payload byte short (checksum right)
    unsigned delay_ms = 0;       // extra delay before a reply ...
    unsigned delay_every = 1;    // ... for every Nth reply
    std::uint32_t seed = 1;
};

// Cuts command frames out of the bytes received: everything from a start character up to the
// next end character. Bytes outside a frame are line noise and are dropped; a start character
// inside a frame starts the frame again, since the equipment resynchronises on it.
class CommandReader {
public:
    // A command frame can carry at most 255 data bytes.
    static constexpr std::size_t kMaxFrameChars = 2 * frame::kMaxDataBytes + 12;

    struct Frame {
        Bytes chars;              // start character to end character
        Clock::time_point start;  // when its start character was received
    };

    // Appends received bytes; returns the frames they complete.
    std::vector<Frame> Feed(const unsigned char* data, std::size_t size, Clock::time_point now);
    std::size_t dropped_bytes() const { return dropped_; }

private:
    Bytes pending_;
    Clock::time_point start_{};
    bool collecting_ = false;
    std::size_t dropped_ = 0;
};

// One decoded command frame.
struct Command {
    std::uint8_t address = 0;
    std::uint8_t group = 0;
    std::uint8_t command = 0;
    Bytes data;
};

enum class FrameVerdict {
    kAnswered,   // a command for us: a reply was built (it may still be dropped)
    kMalformed,  // not a frame of the protocol's characters and length
    kBadChecksum,
    kOtherAddress,
    kUnknownCommand,  // a well-formed command this power system does not know
};

// Decodes the characters of a frame (start to end character). Returns kAnswered for a
// well-formed frame with a right checksum, else why it is not one; `why` explains.
FrameVerdict DecodeCommand(const Bytes& chars, Command* out, std::string* why);

// The poll command a group/command pair names, or null.
const PollCommand* FindCommand(std::uint8_t group, std::uint8_t command);

// The intact reply frame to a poll command, its payload built from a record image: every field
// of the step, big-endian, at its payload offset; for the module command, payload byte 0 is the
// module number and the values come from that module's row.
Bytes BuildReply(const tools::RecordBytes& state, std::uint8_t address, const PollCommand& cmd,
                 unsigned module);

// What the simulator does with one received frame.
struct Exchange {
    Bytes received;  // the frame's characters as received
    Clock::time_point received_start{};
    FrameVerdict verdict = FrameVerdict::kMalformed;
    std::string why;  // for an ignored frame
    Command command;
    std::string meaning;              // "0x41/0x0E module 7"
    unsigned reply_number = 0;        // 1-based, counts every reply built
    unsigned cycle = 0;               // the cycle whose values the reply carries (1-based)
    Bytes reply;                      // the reply frame as sent (after faults); empty when dropped
    Bytes noise;                      // sent before the reply
    std::vector<std::size_t> chunks;  // noise + reply are written in chunks of these sizes
    bool dropped = false;
    bool corrupted = false;
    bool shortened = false;
    std::chrono::milliseconds delay{0};
    unsigned device = 0;           // which power system of the bus replies (see LineModel)
    bool completes_cycle = false;  // the intact last reply of a cycle
    // A replayed reply: every chunk at its own delay after the command was complete, instead
    // of the line model's timing.
    std::vector<std::chrono::nanoseconds> chunk_delays;
    std::string note;  // what a log says about the reply: "reply 3, cycle 1, in 4 chunks"
    // What the operator is told on standard error, once, about this frame ("the capture is
    // played out"); empty for most.
    std::string notice;
    // The writes that put noise + reply on the line, in order (see LineModel).
    struct Write {
        Clock::time_point at;
        std::size_t size;
    };
    std::vector<Write> writes;

    Bytes Wire() const;  // noise + reply, as the line carries them
};

// The serial line's timing. With a speed, a character takes 10 bit times (start bit, 8 data
// bits, stop bit); a reply starts only when the command would have fully arrived and the line
// is free. Then every character is written when it has gone out (a split reply: every chunk
// when its last character has). Deadlines are computed from the reply's start, never added up,
// so a long stream does not drift. Without a speed (0) replies go out at once; split chunks are
// then kept `kSplitGap` apart so that a reader still sees them one by one.
//
// A power system answers its commands in turn: a reply starts only after its own reply before
// it, a delayed one included. On a bus several power systems answer independently: a reply held
// back by a delay keeps its stretch of line time, and a reply of another power system goes out
// before it when it fits into the line time left free, else after it. Replies never overlap on
// the line.
class LineModel {
public:
    static constexpr std::chrono::milliseconds kSplitGap{2};

    explicit LineModel(unsigned baud) : baud_(baud) {}
    unsigned baud() const { return baud_; }
    // Time that `chars` characters take on the line.
    std::chrono::nanoseconds CharsTime(std::size_t chars) const;
    // Fills `exchange.writes`; `now` is when the command was complete.
    void Schedule(Exchange& exchange, Clock::time_point now);

private:
    struct Busy {
        Clock::time_point from, to;
    };
    // The earliest start at or after `desired` for a reply that takes `length`.
    Clock::time_point Fit(Clock::time_point desired, Clock::duration length) const;
    void Reserve(Clock::time_point from, Clock::time_point to);

    unsigned baud_;
    std::vector<Busy> busy_;  // line time promised to replies, by start, never overlapping
    std::map<unsigned, Clock::time_point> device_free_;  // when each one's last reply ends
};

// What answers the commands on the line: the power systems on the bus, or a replayed capture.
class Responder {
public:
    virtual ~Responder() = default;
    // Takes one received frame; returns one exchange per reply sent for it, in the order they
    // go on the line, or one exchange without a reply whose verdict says why none is sent.
    virtual std::vector<Exchange> Answer(const CommandReader::Frame& frame) = 0;
    // One line for the end of the run: "120 replies, 4 completed cycles".
    virtual std::string Tally() const = 0;
};

class PowerSystem : public Responder {
public:
    PowerSystem(tools::Scenario scenario, std::uint8_t address, FaultOptions faults);

    // Takes one received frame; always returns an exchange (an ignored frame has no reply).
    Exchange OnFrame(const CommandReader::Frame& frame);
    std::vector<Exchange> Answer(const CommandReader::Frame& frame) override;
    std::string Tally() const override;

    unsigned completed_cycles() const { return completed_; }
    unsigned replies() const { return replies_; }
    std::uint8_t address() const { return address_; }

private:
    void ApplyFaults(Exchange& x);
    unsigned Random(unsigned low, unsigned high);  // uniform in low..high

    tools::Scenario scenario_;
    std::uint8_t address_;
    FaultOptions faults_;
    std::mt19937 random_;
    unsigned replies_ = 0;
    unsigned completed_ = 0;
};

// A captured session played back (tools/common/capture.h): every command is answered with the
// bytes captured for it, noise, faults and chunks as they came. A bus is played back device by
// device: a command goes to the captured commands of the address it carries, in that device's
// order, whatever the other devices were asked meanwhile. Commands are matched in capture
// order; a command that is not the next one captured skips ahead to its next occurrence.
//
// A command that does not occur again means the capture is played out for its address: the
// operator is told once (Exchange::notice), and that address is not answered any more, or with
// End::kLoop the capture of that address starts over from its first command.
class CaptureReplay : public Responder {
public:
    enum class Timing {
        kAtOnce,      // replies at once, chunks kSplitGap apart; late bytes at their delay
        kAsCaptured,  // every chunk at its captured delay after the command
    };
    enum class End {
        kStop,  // a played-out address answers nothing more
        kLoop,  // a played-out address starts over
    };

    CaptureReplay(std::vector<tools::CapturedExchange> exchanges, Timing timing,
                  End end = End::kStop);

    Exchange OnFrame(const CommandReader::Frame& frame);
    std::vector<Exchange> Answer(const CommandReader::Frame& frame) override;
    std::string Tally() const override;
    std::size_t answered() const { return answered_; }

private:
    // The captured commands of one address, as indices into exchanges_.
    struct Device {
        std::vector<std::size_t> commands;
        std::size_t next = 0;  // into `commands`
        bool played_out = false;
        unsigned loops = 0;
    };

    std::vector<tools::CapturedExchange> exchanges_;
    Timing timing_;
    End end_;
    std::map<std::uint8_t, Device> devices_;
    std::size_t answered_ = 0;
    std::size_t skipped_ = 0;
};

}  // namespace rxp::sim

#endif  // RXP_TOOLS_RXP_SIM_SIM_CORE_H
