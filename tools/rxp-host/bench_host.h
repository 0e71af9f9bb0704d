// rxp-host's core, the bus: one serial line (an RS-485 bus) with one or more power systems on
// it. It loads the plug-in, makes one device session per configured device (device_session.h),
// and owns the line: one request outstanding at a time, the devices polled in turn a whole cycle
// each, rounds paced by --interval, a quiet line after every failed poll, the port reopened when
// it fails, and the address of every reply frame checked before its bytes reach a device.
#ifndef RXP_TOOLS_RXP_HOST_BENCH_HOST_H
#define RXP_TOOLS_RXP_HOST_BENCH_HOST_H

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/rxp-host/device_session.h"
#include "tools/rxp-host/event_log.h"
#include "tools/rxp-host/history_writer.h"
#include "tools/rxp-host/host_process.h"
#include "tools/rxp-host/line_watch.h"
#include "tools/rxp-host/plugin_loader.h"
#include "tools/rxp-host/reply_check.h"
#include "tools/rxp-host/serial_line.h"
#include "tools/rxp-host/service_notify.h"

namespace rxphost {

struct HostOptions {
    std::string plugin;
    std::string port;
    unsigned baud = 9600;  // 0: leave the port's speed as it is
    // The devices on the bus, 1..kMaxDevices, distinct addresses; main() puts the one-device
    // form (--address, --settings, --cache) here as one entry.
    std::vector<DeviceConfig> devices;
    bool address_check = true;  // false: replies from any address go to the polled device
    std::uint64_t cycles = 0;   // for every device; 0: until SIGINT or SIGTERM
    double interval = 1.0;      // seconds from the start of one round to the start of the next
    double timeout = 1.0;       // seconds allowed for each reply
    double deadline = 0;        // seconds for the requested cycles; 0: no deadline
    std::string events;
    std::string history;
    unsigned history_keep_days = 0;  // > 0: rows older than that are deleted
    bool trace = false;
    std::string capture;                      // every chunk sent and received, for rxp-sim --replay
    std::string state;                        // live state, JSON
    std::string metrics;                      // live state, Prometheus text format
    bool events_changes = false;              // --events-level changes
    SummaryMode summary = SummaryMode::kAll;  // --summary
};

// Exit codes. When several apply, the smallest but 0 is returned.
constexpr int kExitDone = 0;         // cycles done or stopped by a signal, everything kept
constexpr int kExitFailed = 1;       // could not start: plug-in, port (or in use), files
constexpr int kExitUsage = 2;        // a usage error
constexpr int kExitHistoryLost = 3;  // records that could not be stored in the history
constexpr int kExitEventsLost = 4;   // events that could not be written to the events file
constexpr int kExitDeadline = 5;     // --deadline passed before --cycles were completed
constexpr int kExitCaptureLost = 6;  // capture lines that could not be written to --capture
constexpr int kExitCyclesShort = 7;  // --cycles not completed by every device: the others lost

// After a failed poll nothing is sent until the line has been quiet for the reply timeout plus
// this many character times: a reply that was only late arrives and is thrown away then,
// instead of being taken for the reply to the next poll's first command.
constexpr unsigned kQuietCharacters = 10;
// A line that never goes quiet (a second master on the bus, a getty on the port, noise) must not
// stop the polls unreported: a poll that could not start within this many quiet gaps of its
// time counts as failed, "busy", and the host waits for quiet again.
constexpr unsigned kQuietWaitRounds = 3;
// A port that hung up or failed is closed and opened again at this fixed interval, so that the
// length of an outage can be read from the log.
constexpr std::chrono::milliseconds kReopenInterval{1000};
// At the end of the run, how long the records still queued may wait for a locked database.
constexpr std::chrono::milliseconds kHistoryGrace{10000};

// The shortest --timeout: a few character times at the line speed (1 ms a character when the
// port's speed is left as it is). Below it no reply can arrive and no cycle complete.
constexpr unsigned kTimeoutFloorCharacters = 5;
double TimeoutFloor(unsigned baud);

// Devices one host drives on one bus.
constexpr std::size_t kMaxDevices = 32;
// A lost device (kFailedPollsForLoss failed polls in a row) is polled once every this many
// rounds while other devices on the bus still answer, so that an unplugged cabinet costs them at
// most one reply timeout and quiet wait per kLostRetryRounds rounds. When no device answers,
// every device is polled in every round.
constexpr std::uint64_t kLostRetryRounds = 6;

class BenchHost {
public:
    explicit BenchHost(const HostOptions& options);
    ~BenchHost();

    // Loads the plug-in, makes the devices, applies settings, opens the port and loads the
    // caches. Throws StartupError.
    void Start();
    // Polls until the cycles are done or a signal arrives; returns the exit code.
    int Run();

    std::uint64_t cycles() const { return cycles_; }
    std::uint64_t polls() const { return polls_; }

private:
    using Clock = std::chrono::steady_clock;

    void WriteStartEvent();
    void WarnOfSharedDeviceIds();
    void StartReading();
    void StartRound();
    void StartPoll();
    void WaitForQuiet(Clock::time_point now);
    void FailBusyPoll();
    bool SendFrame(DeviceSession& session, const unsigned char* data, unsigned int size);
    void LineDown(const std::string& what);
    void LineOpenAgain();
    void ReportHistoryFailures();
    void WaitForSignal();
    void ReopenFiles();
    void OnDeadline();
    int ExitCode() const;
    void OnChunk(unsigned char* data, std::size_t size);
    void ArmReplyTimer();
    void WaitForReplyDue();
    void CancelReplyTimer();
    void OnReplyDue();
    void CompleteCycle();
    void FailPoll(const std::string& reason, const std::string& detail);
    void EndPoll();
    void ScheduleNext();
    bool AllCyclesDone() const;
    void NotTaken(DeviceSession& session, std::size_t piece, int from);
    void ReportFixedAddressUnit();
    void Warn(DeviceSession& about, const std::string& reason, Json::Value fields);
    std::size_t IndexOfAddress(int address) const;
    void ReportDevicesShort();
    void Stop();
    // The port's system calls since the last tally, to the device polled (or polled last).
    void TallyLine();
    void WriteLiveState();
    void WaitUntil(boost::asio::steady_timer& timer, Clock::time_point due,
                   std::function<void()> then);
    void Progress();
    std::size_t DevicesUp() const;
    std::string ServiceStatus() const;

    HostOptions options_;
    boost::asio::io_context io_;
    SerialLine line_;
    boost::asio::steady_timer poll_timer_;
    boost::asio::steady_timer reply_timer_;
    boost::asio::steady_timer deadline_timer_;
    boost::asio::signal_set signals_;

    // The plug-in outlives the devices it made.
    std::unique_ptr<LoadedPlugin> plugin_;
    EventLog events_;
    std::unique_ptr<HistoryWriter> history_;
    std::vector<std::unique_ptr<DeviceSession>> sessions_;  // in address order
    struct BusCounts {
        std::uint64_t last_try_round = 0;
        std::uint64_t other_address = 0;   // frames from another address, not taken
        std::uint64_t second_replies = 0;  // a second reply to one command, not taken
        std::uint64_t late_replies = 0;    // its own replies that came in another device's poll
        std::uint64_t own_frames = 0;      // frames from its own address while it was polled
        int other_from = -1;  // the one other address its polls got frames from; -2: several
        bool other_address_reported = false;
        bool second_reply_reported = false;
        bool late_reported = false;
    };
    std::vector<BusCounts> counts_;     // by session
    DeviceSession* current_ = nullptr;  // polled now, or last
    std::size_t current_index_ = 0;

    bool stopping_ = false;
    bool poll_active_ = false;
    bool line_down_ = false;
    bool line_lost_reported_ = false;
    bool reopen_failure_reported_ = false;
    bool deadline_passed_ = false;
    bool signalled_ = false;                // SIGINT or SIGTERM ended the run
    bool devices_short_ = false;            // the run ended with devices short of --cycles
    Clock::duration quiet_gap_{};           // see kQuietCharacters
    Clock::time_point quiet_until_;         // no poll starts before
    Clock::time_point quiet_wait_limit_{};  // a poll not started by then fails; {}: no wait
    std::uint64_t polls_ = 0;               // on the whole bus
    std::uint64_t cycles_ = 0;              // on the whole bus
    std::uint64_t rounds_ = 0;
    std::vector<std::size_t> round_;  // sessions still to poll in this round, in order
    std::size_t round_next_ = 0;
    std::uint64_t reply_generation_ = 0;  // of the reply timer's wait
    bool reply_timer_armed_ = false;
    Clock::time_point reply_due_;  // the last command's reply is due
    Clock::time_point poll_started_;
    Clock::time_point next_round_due_;

    std::vector<unsigned char> last_command_;
    ReplyCheck check_;
    std::vector<unsigned char> to_device_;
    std::string write_error_;
    unsigned step_ = 0;  // commands sent in the poll under way
    LineWatch watch_;
    bool live_error_reported_ = false;

    ServiceNotify service_;
    // What the last status line said, to make it again only when that changes.
    struct StatusFacts {
        std::uint64_t cycles = 0;
        std::size_t up = 0;
        bool line_down = false;
        bool operator==(const StatusFacts& o) const {
            return cycles == o.cycles && up == o.up && line_down == o.line_down;
        }
    };
    StatusFacts status_facts_;
    std::string status_line_;
    Clock::duration watchdog_wake_{};  // a wait longer than this wakes to say it is alive
    bool stopped_ = false;             // the run is over: the live files say so
    rxp::tools::WallClock::time_point stopped_at_{};
    const ProcessMark process_ = ThisProcess();
};
}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_BENCH_HOST_H
