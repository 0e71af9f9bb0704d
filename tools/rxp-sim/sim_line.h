// The simulator's serial line: one place for all its I/O. Bytes read from the line go through
// the command reader to the power system; its replies are written at the times the line model
// gives them; every command and reply can be logged in the frame notation
// (tools/common/frame_notation.h).
#ifndef RXP_TOOLS_RXP_SIM_SIM_LINE_H
#define RXP_TOOLS_RXP_SIM_SIM_LINE_H

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <ostream>
#include <string>

#include "tools/rxp-sim/sim_core.h"

namespace rxp::sim {

// Opens a pseudo-terminal pair in raw mode. Returns the master side's descriptor and sets
// `slave_path`; `slave_fd` stays open for the simulator's life, so that the line survives a
// host that closes and opens it again. Throws std::runtime_error.
int OpenPseudoTerminal(std::string* slave_path, int* slave_fd);

// Opens a serial device raw, 8N1, without flow control, at `baud`; returns its descriptor.
// Throws std::runtime_error naming the device.
int OpenSerialPort(boost::asio::io_context& io, const std::string& device, unsigned baud);

class SimLine {
public:
    // Takes ownership of `fd`. `log` may be null; `on_error` is called once if the line fails;
    // `on_notice` gets what the responder has to tell the operator (Exchange::notice).
    SimLine(boost::asio::io_context& io, int fd, Responder& power, LineModel line,
            std::ostream* log, std::function<void(const std::string&)> on_error,
            std::function<void(const std::string&)> on_notice = {});

    void Start();
    void Stop();

private:
    struct PendingWrite {
        Clock::time_point at;
        Bytes bytes;
    };

    void Read();
    void Handle(const CommandReader::Frame& frame, Clock::time_point now);
    void Send(Exchange& x, Clock::time_point now);
    void LogReply(const Exchange& x, const Bytes& wire);
    void Log(const std::string& line);
    std::string TimeAt(Clock::time_point when) const;
    void WriteNext();

    boost::asio::posix::stream_descriptor line_;
    boost::asio::steady_timer timer_;
    Responder& power_;
    LineModel model_;
    CommandReader reader_;
    std::ostream* log_;
    std::function<void(const std::string&)> on_error_;
    std::function<void(const std::string&)> on_notice_;
    std::array<unsigned char, 1024> rx_{};
    // Writes by due time; a reply of another power system may come due before a delayed one.
    std::deque<PendingWrite> queue_;
    PendingWrite in_flight_;    // being written: out of the queue, so that it stays put
    bool writing_ = false;      // a write is on its way
    unsigned timer_armed_ = 0;  // counts timer waits; a wait overtaken by another is void
    bool waiting_ = false;      // the timer waits for the queue's front
    bool stopped_ = false;
};

}  // namespace rxp::sim

#endif  // RXP_TOOLS_RXP_SIM_SIM_LINE_H
