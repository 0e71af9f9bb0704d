// The bench host's end of the serial line: one port, raw 8N1, opened with Boost.Asio. All of the
// host's serial I/O happens here; the rest of the host sees chunks in and frames out.
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
    bool Write(const unsigned char* data, std::size_t size, std::string* error);
    bool writing() const { return !unwritten_.empty(); }

    // Hands every chunk read from the port to `on_chunk` until a read fails; then `on_error`
    // is told once ("reading failed: ...") and reading stops until StartReading is called
    // again. A write that fails after Write returned is told there too ("writing failed: ...").
    void StartReading(ChunkHandler on_chunk, ErrorHandler on_error);
    bool reading() const { return reading_; }
    bool is_open() const { return port_.is_open(); }
    const std::string& device() const { return device_; }

private:
    void ReadNext();
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
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_SERIAL_LINE_H
