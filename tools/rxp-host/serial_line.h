// The bench host's end of the serial line: one port, raw 8N1, opened with Boost.Asio. All of the
// host's serial I/O happens here; the rest of the host sees chunks in and frames out.
//
// A reply is read in two pieces, not by the character. Its start character is read as it
// arrives, so that the reply check sees when the reply began. The rest of the reply the command
// asks for is then read once it is in: on a line that keeps to its speed (a serial port, or a
// pseudo-terminal whose far end has shown it does) after sleeping its line time; otherwise the
// port gathers it (termios VMIN, which a pseudo-terminal's line discipline keeps as a serial
// port's does) and the host waits for it, at most the line time of those characters and a few
// more. A reply whose header says more, or that comes slower than the line, is gathered on by
// its header without waiting: the port wakes the host when the rest is in, or the reply's time
// runs out and what came is handed over (TakeWaiting). While no reply is awaited every
// character is read as it comes.
#ifndef RXP_TOOLS_RXP_HOST_SERIAL_LINE_H
#define RXP_TOOLS_RXP_HOST_SERIAL_LINE_H

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/rxp-host/port_gathering.h"

namespace rxphost {

// True for the line speeds a serial port can be set to; 0 means "leave the port's speed as it
// is" (a pseudo-terminal has no speed).
bool IsSupportedBaud(unsigned baud);

// Who a port belongs to and who asks for it, for the hint when it may not be opened.
struct PortPermission {
    std::string owner;                // the port's user, "root"
    std::string group;                // the port's group, "dialout"
    bool system_group = false;        // the port's group is root's (gid 0): nobody is added to it
    unsigned mode = 0;                // permission bits, 0660
    std::string user;                 // who the host runs as
    std::vector<std::string> groups;  // the groups the host runs with, its own first
    bool has_group = false;           // the port's group among `groups`
    bool user_in_group = false;       // the group database puts the user in the port's group
};

// The port's and the host's facts as the system has them now.
PortPermission PermissionOf(const std::string& port);

// What to do about a port the user may not open: join the port's group when that would let the
// user in and the user is not in it yet; otherwise who owns the port, its mode and the user's
// groups, for whoever made the port to fix.
std::string PermissionHint(const PortPermission& permission);

// The port is held by another program: the host does not share a line.
class PortInUse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How much of the frame in progress on the line is still to come, from the characters read so
// far: the rest of its header (start character, address, codes, length) first, then the rest
// its length names. A start character inside a frame is an ordinary one and an end character
// ends the frame, as the device reads them.
class ReplyGauge {
public:
    void Feed(const unsigned char* data, std::size_t size);
    void Forget() { in_frame_ = false; }
    // Characters still due: 0 while no frame is in progress, at least 1 while one is.
    std::size_t due() const;
    // The same for a frame expected to be `expected` characters long (0: unknown) while its
    // header is not in yet; its header decides once it is.
    std::size_t due(std::size_t expected) const;
    // The frame in progress began with the last Feed.
    bool began() const { return in_frame_ && began_; }

private:
    bool in_frame_ = false;
    std::size_t seen_ = 0;    // characters of the frame in progress, its start character included
    std::size_t length_ = 0;  // its characters in all once its header is in; 0 before
    unsigned char length_high_ = 0;
    bool began_ = false;
};

class SerialLine {
public:
    using ChunkHandler = std::function<void(unsigned char* data, std::size_t size)>;
    using ErrorHandler = std::function<void(const std::string& what)>;

    explicit SerialLine(boost::asio::io_context& io);

    // Opens the port raw, 8 data bits, no parity, one stop bit, no flow control, claims it for
    // this host alone and drops whatever is waiting in its buffers. Throws PortInUse when
    // another program holds it, std::runtime_error otherwise; both name the port.
    void Open(const std::string& device, unsigned baud);
    // Closes the port, and stops the attempts of Reopen.
    void Close();
    // Closes the port and opens it again, with the device and speed of the last Open, every
    // `interval` until that works; then `on_open` is told. Every attempt that fails is told to
    // `on_failure` with Open's reason.
    void Reopen(std::chrono::milliseconds interval, std::function<void()> on_open,
                std::function<void(const std::string& why)> on_failure);

    // Writes one frame; false (and the reason in `error`) when the port refuses it. Never
    // waits: what the port does not take at once (a peer that does not read, flow held back)
    // is written as it can, and writing() tells it is still under way; a failure then goes to
    // the error handler of StartReading.
    // A frame written is a command, and its replies are awaited from then on; a frame held
    // incomplete from before is not waited for.
    bool Write(const unsigned char* data, std::size_t size, std::string* error);
    bool writing() const { return !unwritten_.empty(); }
    // No reply is awaited any more (the poll ended): every character is read as it comes again,
    // so that bytes on a line that should be quiet are seen at once.
    void StopAwaiting();

    // Hands every chunk read from the port to `on_chunk` until a read fails; then `on_error`
    // is told once ("reading failed: ...") and reading stops until StartReading is called
    // again. A write that fails after Write returned is told there too ("writing failed: ...").
    // Reopen starts reading again with the same handlers.
    void StartReading(ChunkHandler on_chunk, ErrorHandler on_error);
    bool reading() const { return reading_; }
    // Reads what the port holds now, without waiting for the rest of a frame, and hands it to
    // the chunk handler: for when a reply's time is up.
    void TakeWaiting();

    // System calls on the port, for the counts of the state and metrics.
    struct Counts {
        std::uint64_t reads = 0;     // read calls
        std::uint64_t waits = 0;     // waits for the port begun (each re-arms its event)
        std::uint64_t wakeups = 0;   // times the port woke the host: characters to read, a hang-up
        std::uint64_t writes = 0;    // write calls
        std::uint64_t settings = 0;  // changes of the characters the port gathers
    };
    // The counts since the last call.
    Counts TakeCounts();
    bool is_open() const { return port_.is_open(); }
    const std::string& device() const { return device_; }

private:
    void WaitForCharacters();
    // Hands over a chunk read; false when reading stopped (closed by the chunk handler).
    bool Deliver(std::size_t size);
    // Reads until the port holds nothing more; false when reading stopped (failed, or closed
    // by the chunk handler).
    bool ReadAvailable();
    void ReadFailed(const boost::system::error_code& ec);
    // Sets the characters the port gathers before it wakes the host to what is awaited now.
    void Gather();
    // Waits, at most the line time of the characters and a few more, for the rest of the reply
    // just begun; false when reading stopped.
    bool WaitForReplyRest();
    void TryReopen();

    boost::asio::serial_port port_;
    boost::asio::steady_timer reopen_timer_;
    std::string device_;
    unsigned baud_ = 0;
    std::chrono::milliseconds reopen_interval_{0};
    std::function<void()> on_reopen_;
    std::function<void(const std::string&)> on_reopen_failure_;
    std::array<unsigned char, 4096> chunk_{};
    std::vector<unsigned char> unwritten_;  // of the last frame, still going out
    ChunkHandler on_chunk_;
    ErrorHandler on_error_;
    bool reading_ = false;
    std::uint64_t generation_ = 0;  // of the open port; rises at every Close
    PortGathering gathering_;
    bool awaiting_ = false;     // a reply is awaited
    std::size_t expected_ = 0;  // characters of the reply to the last command; 0: unknown
    bool paced_ = false;        // the far end keeps to the line speed
    using Clock = std::chrono::steady_clock;
    Clock::time_point began_at_;  // when the last wait for the port ended
    ReplyGauge gauge_;
    Counts counts_;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_SERIAL_LINE_H
