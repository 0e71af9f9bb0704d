#include "tools/rxp-host/serial_line.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "protocol/frame.h"
#include "tools/common/frame_notation.h"
#include "tools/rxp-host/port_guard.h"

namespace rxphost {

namespace {

// The speeds termios can name on Linux.
constexpr unsigned kBauds[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

// What a path is when it is not a character device, in a person's words; empty when it is one
// or cannot be looked at (open says why then).
std::string NotADevice(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISCHR(st.st_mode)) return std::string();
    if (S_ISREG(st.st_mode)) return "a regular file";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    return "a block device";
}

std::string UserName(uid_t uid) {
    if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    if (const group* g = ::getgrgid(gid)) return g->gr_name;
    return std::to_string(gid);
}

// The groups the user is in by the group database, which a new login gives.
std::vector<gid_t> GroupsOfUser(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    if (p == nullptr) return {};
    const std::string name = p->pw_name;
    const gid_t primary = p->pw_gid;
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));  // count says how many there are
        if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) return {};
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

// A frame's header on the line: the start character, then address, group, command and length
// as two characters each. The length's characters are its last two.
constexpr std::size_t kHeaderChars = 1 + 2 * rxp::frame::kHeaderBytes;

// VMIN is a byte: the most characters a port gathers before it wakes the host.
constexpr std::size_t kMostGathered = 255;
// How long past their line time the rest of a reply is waited for: a reply shorter than the
// command asks for is handed over then.
constexpr unsigned kRestSlackCharacters = 3;

constexpr const char* kGiveAPort =
    "give the serial port (/dev/ttyS0, /dev/ttyUSB0, ...) or the link of rxp-sim";

}  // namespace

PortPermission PermissionOf(const std::string& port) {
    PortPermission p;
    struct stat st {};
    const bool known = ::stat(port.c_str(), &st) == 0;
    if (known) {
        p.owner = UserName(st.st_uid);
        p.group = GroupName(st.st_gid);
        p.system_group = st.st_gid == 0;
        p.mode = st.st_mode & 07777;
    } else {  // gone since the open: the serial ports' group of a Debian system
        p.group = "dialout";
    }
    p.user = UserName(::geteuid());
    std::vector<gid_t> ids(1, ::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> more(static_cast<std::size_t>(count));
        more.resize(static_cast<std::size_t>(std::max(0, ::getgroups(count, more.data()))));
        for (gid_t g : more) {
            if (std::find(ids.begin(), ids.end(), g) == ids.end()) ids.push_back(g);
        }
    }
    for (gid_t g : ids) p.groups.push_back(GroupName(g));
    if (known) {
        p.has_group = std::find(ids.begin(), ids.end(), st.st_gid) != ids.end();
        const std::vector<gid_t> of_user = GroupsOfUser(::geteuid());
        p.user_in_group = std::find(of_user.begin(), of_user.end(), st.st_gid) != of_user.end();
    }
    return p;
}

std::string PermissionHint(const PortPermission& p) {
    // Joining the group helps only when the group may read and write the port.
    const bool group_lets_in = p.owner.empty() || (!p.system_group && (p.mode & 0060) == 0060);
    if (group_lets_in && !p.has_group && !p.user_in_group) {
        return "add the user '" + p.user + "' to the " + p.group + " group (usermod -aG " +
               p.group + " " + p.user + ") and log in again, or run rxp-host as a user of that " +
               "group";
    }
    std::string groups;
    for (const std::string& g : p.groups) groups += (groups.empty() ? "" : ", ") + g;
    if (group_lets_in && !p.has_group) {
        return "the user '" + p.user + "' is in the " + p.group + " group, but this rxp-host " +
               "runs without it (groups " + groups + "); log in again, or restart the service, " +
               "to take it up";
    }
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", p.mode);
    return "the port is owned by " + p.owner + ":" + p.group + " with mode " + mode +
           "; the user '" + p.user + "' (groups " + groups + ") may not read and write it";
}

bool IsSupportedBaud(unsigned baud) {
    return baud == 0 || std::find(std::begin(kBauds), std::end(kBauds), baud) != std::end(kBauds);
}

void ReplyGauge::Feed(const unsigned char* data, std::size_t size) {
    began_ = false;
    for (std::size_t i = 0; i < size;) {
        if (!in_frame_) {
            // Noise between frames: nothing is due until a frame starts.
            const void* start = std::memchr(data + i, rxp::frame::kStart, size - i);
            if (start == nullptr) return;
            in_frame_ = true;
            began_ = true;
            seen_ = 1;
            length_ = 0;
            i = static_cast<std::size_t>(static_cast<const unsigned char*>(start) - data) + 1;
            continue;
        }
        if (seen_ >= kHeaderChars) {
            // The header is in: on to the end character, or as far as the device would hold.
            const std::size_t room = rxp::frame::kRxBufferSize - seen_;
            const std::size_t left = std::min(size - i, room);
            const void* end = std::memchr(data + i, rxp::frame::kEnd, left);
            const std::size_t taken =
                end ? static_cast<std::size_t>(static_cast<const unsigned char*>(end) - data) + 1 -
                          i
                    : left;
            seen_ += taken;
            i += taken;
            if (end != nullptr || seen_ >= rxp::frame::kRxBufferSize) in_frame_ = false;
            continue;
        }
        const unsigned char c = data[i++];
        ++seen_;
        if (c == rxp::frame::kEnd) {
            in_frame_ = false;
        } else if (seen_ == kHeaderChars - 1) {
            length_high_ = c;
        } else if (seen_ == kHeaderChars) {
            length_ = rxp::frame::FrameChars(rxp::frame::DecodePair(length_high_, c));
        }
    }
}

std::size_t ReplyGauge::due() const {
    if (!in_frame_) return 0;
    if (length_ == 0) return kHeaderChars - seen_;
    // Longer than its header said: its end character is all that can be waited for.
    return length_ > seen_ ? length_ - seen_ : 1;
}

std::size_t ReplyGauge::due(std::size_t expected) const {
    if (in_frame_ && length_ == 0 && expected > seen_) return expected - seen_;
    return due();
}

SerialLine::SerialLine(boost::asio::io_context& io) : port_(io), reopen_timer_(io) {}

void SerialLine::Open(const std::string& device, unsigned baud) {
    using boost::asio::serial_port_base;
    device_ = device;
    baud_ = baud;
    boost::system::error_code ec;
    const std::string kind = NotADevice(device);
    if (!kind.empty()) {
        throw std::runtime_error("port '" + device + "' is " + kind + ", not a serial port; " +
                                 kGiveAPort);
    }
    port_.open(device, ec);
    if (ec == boost::system::errc::device_or_resource_busy) {
        // TIOCEXCL of another program.
        const std::string holder = LockHolder(device);
        throw PortInUse("port '" + device + "' is in use by " +
                        (holder.empty() ? std::string("another program") : holder) + " (" +
                        ec.message() + ")");
    }
    if (ec == boost::system::errc::permission_denied) {
        throw std::runtime_error("cannot open port '" + device + "': permission denied; " +
                                 PermissionHint(PermissionOf(device)));
    }
    if (ec == boost::system::errc::no_such_file_or_directory) {
        throw std::runtime_error("cannot open port '" + device +
                                 "': no such device; check the name (ls /dev/ttyS* "
                                 "/dev/ttyUSB*) and that the adapter is plugged in");
    }
    if (ec == boost::system::errc::inappropriate_io_control_operation) {
        throw std::runtime_error("port '" + device + "' is a device but not a serial port; " +
                                 kGiveAPort);
    }
    if (ec) throw std::runtime_error("cannot open port '" + device + "': " + ec.message());
    std::string why;
    if (!ClaimPort(port_.native_handle(), device, &why)) {
        port_.close(ec);
        throw PortInUse(why);
    }

    // Asio opens the port raw; the frame settings are set here explicitly all the same.
    if (baud != 0) port_.set_option(serial_port_base::baud_rate(baud), ec);
    if (!ec) port_.set_option(serial_port_base::character_size(8), ec);
    if (!ec) port_.set_option(serial_port_base::parity(serial_port_base::parity::none), ec);
    if (!ec) {
        port_.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one), ec);
    }
    if (!ec) {
        port_.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none), ec);
    }
    if (ec) {
        ReleasePort(port_.native_handle());
        port_.close(ec);
        throw std::runtime_error("cannot configure port '" + device + "': " + ec.message());
    }
    // Every character wakes the host until a reply is awaited.
    gathering_.Attach(port_.native_handle());
    // A serial port keeps to its speed; a pseudo-terminal shows whether its far end does.
    std::error_code ignored;
    paced_ = baud_ != 0 &&
             std::filesystem::canonical(device, ignored).string().rfind("/dev/pts/", 0) != 0;
    awaiting_ = false;
    gauge_.Forget();
    // Bytes left over from before the host started belong to no poll.
    ::tcflush(port_.native_handle(), TCIOFLUSH);
}

void SerialLine::Close() {
    boost::system::error_code ignored;
    reopen_timer_.cancel();
    if (port_.is_open()) ReleasePort(port_.native_handle());
    port_.cancel(ignored);
    port_.close(ignored);
    reading_ = false;
    unwritten_.clear();  // the write under way ends aborted, without reading it again
    awaiting_ = false;
    gauge_.Forget();
    ++generation_;
}

void SerialLine::Reopen(std::chrono::milliseconds interval, std::function<void()> on_open,
                        std::function<void(const std::string& why)> on_failure) {
    Close();
    reopen_interval_ = interval;
    on_reopen_ = std::move(on_open);
    on_reopen_failure_ = std::move(on_failure);
    reopen_timer_.expires_after(reopen_interval_);
    reopen_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) TryReopen();
    });
}

void SerialLine::TryReopen() {
    try {
        Open(device_, baud_);
    } catch (const std::runtime_error& e) {
        if (on_reopen_failure_) on_reopen_failure_(e.what());
        reopen_timer_.expires_after(reopen_interval_);
        reopen_timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) TryReopen();
        });
        return;
    }
    reading_ = true;
    WaitForCharacters();
    if (on_reopen_) on_reopen_();
}

bool SerialLine::Write(const unsigned char* data, std::size_t size, std::string* error) {
    if (!port_.is_open()) {
        if (error != nullptr) *error = "port closed";
        return false;
    }
    if (writing()) {
        if (error != nullptr) *error = "the port has not taken the last frame yet";
        return false;
    }
    if (!awaiting_) {
        awaiting_ = true;
        gauge_.Forget();
        Gather();
    }
    const int payload = rxp::tools::ExpectedReplyPayload(data, size);
    expected_ = payload < 0 ? 0 : rxp::frame::FrameChars(static_cast<std::size_t>(payload));
    // The port is non-blocking (Asio opens it so): a write takes what fits and never waits.
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(port_.native_handle(), data + done, size - done);
        ++counts_.writes;
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (error != nullptr) *error = std::strerror(errno);
            return false;
        } else {
            break;
        }
    }
    if (done == size) return true;
    unwritten_.assign(data + done, data + size);
    const std::uint64_t generation = generation_;
    boost::asio::async_write(
        port_, boost::asio::buffer(unwritten_),
        [this, generation](const boost::system::error_code& ec, std::size_t) {
            if (generation != generation_) return;
            unwritten_.clear();
            if (ec && ec != boost::asio::error::operation_aborted && on_error_) {
                on_error_("writing failed: " + ec.message());
            }
        });
    return true;
}

void SerialLine::StopAwaiting() {
    awaiting_ = false;
    Gather();
}

void SerialLine::StartReading(ChunkHandler on_chunk, ErrorHandler on_error) {
    on_chunk_ = std::move(on_chunk);
    on_error_ = std::move(on_error);
    if (reading_ || !port_.is_open()) return;
    reading_ = true;
    WaitForCharacters();
}

void SerialLine::TakeWaiting() {
    if (!reading_ || !port_.is_open()) return;
    if (ReadAvailable()) Gather();
}

SerialLine::Counts SerialLine::TakeCounts() {
    const Counts taken = counts_;
    counts_ = Counts{};
    return taken;
}

void SerialLine::Gather() {
    if (!port_.is_open()) return;
    const std::size_t due = awaiting_ ? gauge_.due() : 0;
    const unsigned wanted = static_cast<unsigned>(std::clamp<std::size_t>(due, 1, kMostGathered));
    if (wanted == gathering_.characters()) return;
    ++counts_.settings;
    // A port that refuses fails its next read as well, and says why there.
    gathering_.Set(wanted);
}

// The wait is for readiness alone (Asio re-arms the port's edge-triggered event for it); the
// read is the host's own, one a wake, so that every read is counted. The next wait is always
// queued by the handler that read last, so no wake falls between a read and the next wait.
void SerialLine::WaitForCharacters() {
    Gather();
    // A wait still pending when the port was closed completes later, aborted; by then the port
    // may be open again with a wait of its own, which it must not stop.
    const std::uint64_t generation = generation_;
    ++counts_.waits;
    port_.async_read_some(boost::asio::null_buffers(),
                          [this, generation](const boost::system::error_code& ec, std::size_t) {
                              if (generation != generation_) return;
                              if (ec == boost::asio::error::operation_aborted) {
                                  reading_ = false;
                                  return;
                              }
                              if (ec) {
                                  ReadFailed(ec);
                                  return;
                              }
                              ++counts_.wakeups;
                              began_at_ = Clock::now();
                              if (!ReadAvailable()) return;
                              if (awaiting_ && gauge_.began() && !WaitForReplyRest()) return;
                              WaitForCharacters();
                          });
}

bool SerialLine::Deliver(std::size_t size) {
    const std::uint64_t generation = generation_;
    gauge_.Feed(chunk_.data(), size);
    if (on_chunk_) on_chunk_(chunk_.data(), size);
    return generation == generation_ && reading_;
}

bool SerialLine::ReadAvailable() {
    for (;;) {
        const ssize_t n = ::read(port_.native_handle(), chunk_.data(), chunk_.size());
        ++counts_.reads;
        if (n > 0) {
            if (!Deliver(static_cast<std::size_t>(n))) return false;
            if (static_cast<std::size_t>(n) < chunk_.size()) return true;
            continue;  // a full buffer: the port may hold more
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // 0: the port hung up.
        ReadFailed(n == 0 ? boost::system::error_code(boost::asio::error::eof)
                          : boost::system::error_code(errno, boost::system::system_category()));
        return false;
    }
}

bool SerialLine::WaitForReplyRest() {
    const std::size_t rest = std::min(gauge_.due(expected_), kMostGathered);
    if (rest == 0) return true;
    const std::chrono::duration<double> character(baud_ != 0 ? 10.0 / baud_ : 0.001);
    if (paced_) {
        // The rest comes at the line's pace after the characters in hand, which were in before
        // the host woke: sleep, away from the port (a wait on the port would wake the host,
        // inside the kernel, at every character), until the last of it is due by the time of
        // that wake. The host woke later than the characters came and wakes later than it
        // asks, so one read mostly takes the rest whole, at most a character after the line
        // delivered it; characters not in yet by then (a device slower than its line) are
        // waited for on the port below.
        const auto due = began_at_ + std::chrono::duration_cast<Clock::duration>(
                                         static_cast<double>(rest) * character);
        const auto since_epoch =
            std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch());
        timespec until{};
        until.tv_sec = static_cast<time_t>(since_epoch.count() / 1000000000);
        until.tv_nsec = static_cast<long>(since_epoch.count() % 1000000000);
        ++counts_.wakeups;
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        if (!ReadAvailable()) return false;
        if (gauge_.due() == 0) return true;
        // Slower, or longer than the command asks for: gathered on below.
    }
    const std::size_t left = std::min(gauge_.due(expected_), kMostGathered);
    const auto wait_for = std::chrono::duration_cast<std::chrono::nanoseconds>(
        (static_cast<double>(left) + kRestSlackCharacters) * character);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(wait_for.count() / 1000000000);
    wait.tv_nsec = static_cast<long>(wait_for.count() % 1000000000);
    if (gathering_.characters() != left) {
        ++counts_.settings;
        gathering_.Set(static_cast<unsigned>(left));
    }
    pollfd port{port_.native_handle(), POLLIN, 0};
    ++counts_.wakeups;
    const int ready = ::ppoll(&port, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) {
        ReadFailed(boost::system::error_code(errno, boost::system::system_category()));
        return false;
    }
    // A pseudo-terminal whose far end takes the line time of the rest of a reply keeps to the
    // line speed, as a serial port does.
    if (ready > 0 && !paced_ && baud_ != 0 &&
        Clock::now() - began_at_ >= 0.8 * static_cast<double>(left) * character) {
        paced_ = true;
    }
    return ReadAvailable();
}

void SerialLine::ReadFailed(const boost::system::error_code& ec) {
    reading_ = false;
    if (on_error_) on_error_("reading failed: " + ec.message());
}

}  // namespace rxphost
