// rxp-host's core: the host's side of one power-system device on one serial line. It loads the
// plug-in, applies settings and a cached record, paces the polls, hands every chunk read from
// the port to the device, abandons polls that get no reply in time, and answers the device's
// calls: frames to the port, publications and alarm changes as events, records to the history
// database, and a short summary per cycle for people.
#ifndef RXP_TOOLS_RXP_HOST_BENCH_HOST_H
#define RXP_TOOLS_RXP_HOST_BENCH_HOST_H

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_runtime/host_observer.h"
#include "protocol/reply_layout.h"
#include "tools/common/history_db.h"
#include "tools/rxp-host/alarm_book.h"
#include "tools/rxp-host/event_log.h"
#include "tools/rxp-host/history_writer.h"
#include "tools/rxp-host/line_watch.h"
#include "tools/rxp-host/live_state.h"
#include "tools/rxp-host/plugin_loader.h"
#include "tools/rxp-host/serial_line.h"
#include "tools/rxp-host/summary.h"

namespace rxphost {

struct HostOptions {
    std::string plugin;
    std::string port;
    unsigned baud = 9600;  // 0: leave the port's speed as it is
    int address = -1;      // -1: the device's own
    std::string settings;
    std::string cache;
    std::uint64_t cycles = 0;  // 0: until SIGINT or SIGTERM
    double interval = 1.0;     // seconds from the start of one poll to the start of the next
    double timeout = 1.0;      // seconds allowed for each reply
    double deadline = 0;       // seconds for the requested cycles; 0: no deadline
    std::string events;
    std::string history;
    unsigned history_keep_days = 0;  // > 0: rows older than that are deleted
    bool trace = false;
    std::string capture;          // every chunk sent and received, for rxp-sim --replay
    std::string state;            // live state, JSON
    std::string metrics;          // live state, Prometheus text format
    bool events_changes = false;  // --events-level changes
};

// Exit codes. When several apply, the smallest but 0 is returned.
constexpr int kExitDone = 0;         // cycles done or stopped by a signal, everything kept
constexpr int kExitFailed = 1;       // could not start: plug-in, port (or in use), files
constexpr int kExitUsage = 2;        // a usage error
constexpr int kExitHistoryLost = 3;  // records that could not be stored in the history
constexpr int kExitEventsLost = 4;   // events that could not be written to the events file
constexpr int kExitDeadline = 5;     // --deadline passed before --cycles were completed

// After a failed poll nothing is sent until the line has been quiet for the reply timeout plus
// this many character times: a reply that was only late arrives and is thrown away then,
// instead of being taken for the reply to the next poll's first command.
constexpr unsigned kQuietCharacters = 10;
// A port that hung up or failed is closed and opened again at this fixed interval, so that the
// length of an outage can be read from the log.
constexpr std::chrono::milliseconds kReopenInterval{1000};
// At the end of the run, how long the records still queued may wait for a locked database.
constexpr std::chrono::milliseconds kHistoryGrace{10000};

// Anything that stops the host before it polls; the text names the file, port or plug-in.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Polls in a row that fail before the line counts as lost.
constexpr unsigned kFailedPollsForLoss = 3;

class BenchHost : public smdhost::HostObserver {
public:
    explicit BenchHost(const HostOptions& options);
    ~BenchHost() override;

    // Loads the plug-in, makes the device, applies settings, opens the port and loads the
    // cache. Throws StartupError.
    void Start();
    // Polls until the cycles are done or a signal arrives; returns the exit code.
    int Run();

    std::uint64_t cycles() const { return cycles_; }
    std::uint64_t polls() const { return polls_; }

    // The host's side of the device's calls.
    bool OnSendData(SMDSPDevice& device, const unsigned char* data, unsigned int size) override;
    bool OnSendSP(SMDVDevice& device, int data_id, const unsigned char* data, unsigned int size,
                  bool urgent) override;
    bool OnSaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                             unsigned int size) override;
    bool OnCheckThresholdBool(SMDVDevice& device, int kind, const std::string& signal_key,
                              const std::string& alarm_id, const std::string& alarm_name,
                              const std::string& alarm_text, bool state,
                              unsigned short ordinal) override;

private:
    using Clock = std::chrono::steady_clock;

    void ApplySettings();
    void LoadCache();
    void WriteStartEvent();
    void StartReading();
    void StartPoll();
    void LineDown(const std::string& what);
    void ArmReopen();
    void TryReopen();
    void ReportHistoryFailures();
    void OnDeadline();
    int ExitCode() const;
    void OnChunk(unsigned char* data, std::size_t size);
    void OnReadError(const std::string& what);
    void ArmReplyTimer();
    void CompleteCycle();
    void FailPoll(const std::string& reason, const std::string& detail);
    void ScheduleNextPoll();
    void Stop();
    void Report(const std::string& title, double seconds);
    void WriteLiveState();

    HostOptions options_;
    boost::asio::io_context io_;
    SerialLine line_;
    boost::asio::steady_timer poll_timer_;
    boost::asio::steady_timer reply_timer_;
    boost::asio::steady_timer reopen_timer_;
    boost::asio::steady_timer deadline_timer_;
    boost::asio::signal_set signals_;

    // The plug-in outlives the device it made.
    std::unique_ptr<LoadedPlugin> plugin_;
    std::unique_ptr<SMDSPDevice> device_;
    EventLog events_;
    std::unique_ptr<HistoryWriter> history_;
    AlarmBook alarms_;
    std::vector<AlarmNote> changes_;  // alarm changes of the pass in progress

    bool stopping_ = false;
    bool poll_active_ = false;
    bool comm_lost_ = false;
    bool line_down_ = false;
    bool reopen_failure_reported_ = false;
    bool deadline_passed_ = false;
    bool receiver_dirty_ = false;    // a poll failed: Reset before the next
    Clock::duration quiet_gap_{};    // see kQuietCharacters
    Clock::time_point quiet_until_;  // no poll starts before
    unsigned failed_in_row_ = 0;
    std::uint64_t polls_ = 0;
    std::uint64_t cycles_ = 0;
    std::uint64_t reply_generation_ = 0;
    Clock::time_point poll_started_;
    Clock::time_point next_poll_due_;

    // What the device did inside one call of process.
    bool sent_in_call_ = false;
    bool published_in_call_ = false;
    std::vector<unsigned char> last_command_;
    std::string write_error_;

    std::array<unsigned char, rxp::kRecordSize> last_record_{};
    unsigned step_ = 0;  // commands sent in the poll under way
    LineWatch watch_;
    LiveState live_;
    bool live_error_reported_ = false;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_BENCH_HOST_H
