#include "tools/rxp-sim/sim_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/common/frame_notation.h"
#include "tools/common/time_text.h"

namespace rxp::sim {

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

int OpenPseudoTerminal(std::string* slave_path, int* slave_fd) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) throw std::runtime_error(SystemError("cannot open a pseudo-terminal"));
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof(name)) != 0) {
        const std::string why = SystemError("cannot set up the pseudo-terminal");
        close(master);
        throw std::runtime_error(why);
    }
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        const std::string why = SystemError(std::string("cannot open ") + name);
        close(master);
        throw std::runtime_error(why);
    }
    // Raw both ways: no echo of what the simulator writes, no line editing, no CR/LF mapping.
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    *slave_path = name;
    *slave_fd = slave;
    return master;
}

int OpenSerialPort(boost::asio::io_context& io, const std::string& device, unsigned baud) {
    namespace asio = boost::asio;
    asio::serial_port port(io);
    boost::system::error_code ec;
    port.open(device, ec);
    if (ec) throw std::runtime_error(device + ": cannot open the serial port: " + ec.message());
    port.set_option(asio::serial_port::baud_rate(baud), ec);
    if (ec) {
        throw std::runtime_error(device + ": cannot set " + std::to_string(baud) +
                                 " bit/s: " + ec.message());
    }
    port.set_option(asio::serial_port::character_size(8), ec);
    if (!ec) port.set_option(asio::serial_port::parity(asio::serial_port::parity::none), ec);
    if (!ec) port.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one), ec);
    if (!ec) {
        port.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none), ec);
    }
    if (ec) throw std::runtime_error(device + ": cannot set 8N1: " + ec.message());
    // The line is driven through one descriptor type, a pty's or a port's alike.
    const int fd = dup(port.native_handle());
    if (fd < 0) throw std::runtime_error(SystemError(device));
    return fd;
}

SimLine::SimLine(boost::asio::io_context& io, int fd, Responder& power, LineModel line,
                 std::ostream* log, std::function<void(const std::string&)> on_error,
                 std::function<void(const std::string&)> on_notice)
    : line_(io, fd),
      timer_(io),
      power_(power),
      model_(line),
      log_(log),
      on_error_(std::move(on_error)),
      on_notice_(std::move(on_notice)) {}

void SimLine::Start() {
    Read();
}

void SimLine::Stop() {
    stopped_ = true;
    boost::system::error_code ignored;
    timer_.cancel();
    line_.cancel(ignored);
}

void SimLine::Read() {
    line_.async_read_some(
        boost::asio::buffer(rx_), [this](boost::system::error_code ec, std::size_t n) {
            if (stopped_ || ec == boost::asio::error::operation_aborted) return;
            if (ec) {
                on_error_("reading the line: " + ec.message());
                return;
            }
            const Clock::time_point now = Clock::now();
            for (const CommandReader::Frame& frame : reader_.Feed(rx_.data(), n, now)) {
                Handle(frame, now);
            }
            Read();
        });
}

void SimLine::Handle(const CommandReader::Frame& frame, Clock::time_point now) {
    using tools::LineDirection;
    std::vector<Exchange> answers = power_.Answer(frame);
    const std::string received_at = TimeAt(frame.start);
    const Exchange& first = answers.front();
    if (!first.notice.empty() && on_notice_) on_notice_(first.notice);
    Log(tools::FrameLine(
        received_at, LineDirection::kToPowerSystem, first.received.data(), first.received.size(),
        first.verdict == FrameVerdict::kAnswered ? first.meaning : "ignored: " + first.why));
    for (Exchange& x : answers) {
        if (x.verdict != FrameVerdict::kAnswered) continue;
        if (x.dropped) {
            Log(received_at + "    (" + x.note + ")");
            continue;
        }
        Send(x, now);
    }
}

void SimLine::Send(Exchange& x, Clock::time_point now) {
    model_.Schedule(x, now);
    const Bytes wire = x.Wire();
    std::size_t at = 0;
    bool new_front = false;
    for (const Exchange::Write& w : x.writes) {
        // After every write due at the same time: chunks of one reply keep their order.
        const auto pos =
            std::upper_bound(queue_.begin(), queue_.end(), w.at,
                             [](Clock::time_point t, const PendingWrite& p) { return t < p.at; });
        new_front = new_front || pos == queue_.begin();
        queue_.insert(pos,
                      PendingWrite{w.at, Bytes(wire.begin() + at, wire.begin() + at + w.size)});
        at += w.size;
    }
    if (log_ != nullptr) LogReply(x, wire);
    // A write due before the one the timer waits for: wait for it instead.
    if (new_front && waiting_) waiting_ = false;
    WriteNext();
}

// The reply as it goes on the line, frame by frame and noise apart, each at the time its first
// byte is due.
void SimLine::LogReply(const Exchange& x, const Bytes& wire) {
    tools::FrameCutter cutter;
    std::size_t offset = 0;  // of the next piece in `wire`
    std::size_t write = 0, written = 0;
    auto due = [&](std::size_t byte) {
        while (write + 1 < x.writes.size() && written + x.writes[write].size <= byte) {
            written += x.writes[write++].size;
        }
        return x.writes.empty() ? Clock::now() : x.writes[write].at;
    };
    std::vector<tools::FrameCutter::Piece> pieces = cutter.Feed(wire.data(), wire.size());
    tools::FrameCutter::Piece rest;
    if (cutter.Flush(&rest)) pieces.push_back(rest);
    for (const tools::FrameCutter::Piece& p : pieces) {
        Log(tools::FrameLine(TimeAt(due(offset)), tools::LineDirection::kFromPowerSystem,
                             p.bytes.data(), p.bytes.size(), p.frame ? x.note : ""));
        offset += p.bytes.size();
    }
}

std::string SimLine::TimeAt(Clock::time_point when) const {
    const auto wall = tools::WallClock::now() +
                      std::chrono::duration_cast<tools::WallClock::duration>(when - Clock::now());
    return tools::IsoTime(wall, tools::TimePrecision::kMilliseconds);
}

void SimLine::Log(const std::string& line) {
    if (log_ == nullptr) return;
    *log_ << line << std::endl;
}

void SimLine::WriteNext() {
    if (writing_ || waiting_ || queue_.empty() || stopped_) return;
    waiting_ = true;
    const unsigned armed = ++timer_armed_;
    timer_.expires_at(queue_.front().at);  // a wait still pending ends as aborted
    timer_.async_wait([this, armed](boost::system::error_code ec) {
        if (stopped_ || ec == boost::asio::error::operation_aborted) return;
        if (armed != timer_armed_) return;  // overtaken by a wait for an earlier write
        waiting_ = false;
        if (queue_.empty()) return;
        if (queue_.front().at > Clock::now()) {
            WriteNext();
            return;
        }
        writing_ = true;
        in_flight_ = std::move(queue_.front());
        queue_.pop_front();
        boost::asio::async_write(line_, boost::asio::buffer(in_flight_.bytes),
                                 [this](boost::system::error_code wec, std::size_t) {
                                     if (stopped_ || wec == boost::asio::error::operation_aborted)
                                         return;
                                     if (wec) {
                                         on_error_("writing the line: " + wec.message());
                                         return;
                                     }
                                     writing_ = false;
                                     WriteNext();
                                 });
    });
}

}  // namespace rxp::sim
