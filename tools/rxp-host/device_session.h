// One power system on the bench host's bus: the plug-in's device, its settings, its cached
// record, and everything the host keeps of it (records, alarms, events, comm state, live state).
// The bus (bench_host.h) decides when the device is polled and hands it the bytes of its own
// replies; the session answers the device's calls and turns them into events, history rows and
// the summary a person reads.
#ifndef RXP_TOOLS_RXP_HOST_DEVICE_SESSION_H
#define RXP_TOOLS_RXP_HOST_DEVICE_SESSION_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_runtime/host_observer.h"
#include "protocol/reply_layout.h"
#include "tools/rxp-host/alarm_book.h"
#include "tools/rxp-host/event_log.h"
#include "tools/rxp-host/history_writer.h"
#include "tools/rxp-host/live_state.h"
#include "tools/rxp-host/plugin_loader.h"
#include "tools/rxp-host/summary.h"

namespace rxphost {

// Anything that stops the host before it polls; the text names the file, port or plug-in.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A settings file that cannot be used: a configuration error, which the host ends on like a
// usage error (a service restarted on it would only fail again).
class ConfigError : public StartupError {
public:
    using StartupError::StartupError;
};

// Polls in a row that fail before a device counts as lost.
constexpr unsigned kFailedPollsForLoss = 3;

// One device as configured: --device ADDRESS[=SETTINGS], or --address/--settings/--cache.
struct DeviceConfig {
    int address = -1;  // -1: the device's own
    std::string settings;
    std::string cache;
};

class DeviceSession : public smdhost::HostObserver {
public:
    // What the device made of the bytes handed to it.
    enum class Fed {
        kWaiting,    // still collecting a reply
        kSent,       // took a reply and sent the next command
        kPublished,  // took the last reply and published a record
        kDropped,    // dropped a reply (checksum, length, overflow): the poll cannot complete
    };
    // Writes a command frame to the bus; false when the port refused it.
    using SendFn =
        std::function<bool(DeviceSession& session, const unsigned char* data, unsigned int size)>;

    // `bus_of_several`: the summary and the comm lines name the device; `summary`: which cycles
    // get one.
    DeviceSession(const DeviceConfig& config, EventLog* events, HistoryWriter* history, SendFn send,
                  bool bus_of_several, SummaryMode summary);
    ~DeviceSession() override;
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Makes the device and applies its settings. Throws StartupError.
    void Create(const LoadedPlugin& plugin);
    // Hands the cached record (if one is configured) to the device before the first poll.
    void LoadCache();
    // The device must drop whatever part of a reply it holds before its next poll.
    void MarkReceiverDirty() { receiver_dirty_ = true; }
    // Starts a cycle: the device sends its first command through SendFn.
    void BeginPoll();
    // A poll that could not start (the line never went quiet): counted, nothing sent; FailPoll
    // follows.
    void CountPoll() { ++polls_; }
    Fed Feed(unsigned char* data, std::size_t size);
    // The poll under way completed (the record is published) after `seconds`.
    void CompleteCycle(double seconds);
    // The poll under way was given up. `bus_poll` numbers it on the bus; `waiting_for` names
    // the command left unanswered; `detail` is for people. `quiet` leaves out the line on
    // standard error (the port is down and says so itself).
    void FailPoll(std::uint64_t bus_poll, const std::string& reason, const std::string& detail,
                  const std::string& waiting_for, bool quiet);
    // The port went down: the device is out of contact until its next cycle.
    void LineLost(const std::string& what);

    // Reply frames handed to the device, and the system calls on the port while it was polled.
    void CountReplies(std::uint64_t frames) { live_.replies += frames; }
    void CountLine(std::uint64_t reads, std::uint64_t wakeups, std::uint64_t calls) {
        live_.line_reads += reads;
        live_.line_wakeups += wakeups;
        live_.line_system_calls += calls;
    }

    // An event about this device: `fields` with "address" and "device_id" added.
    void Event(const char* name, Json::Value fields = Json::Value(Json::objectValue));

    std::uint8_t address() const { return address_; }
    std::uint32_t device_id() const { return device_id_; }
    std::string Name() const;  // "address 2 (device 17)"
    bool lost() const { return comm_lost_; }
    std::uint64_t polls() const { return polls_; }
    std::uint64_t cycles() const { return cycles_; }
    unsigned failed_in_row() const { return failed_in_row_; }
    // The live state as it stands now.
    const LiveState& live();

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
    void ApplySettings();
    void Report(const std::string& title, double seconds);

    DeviceConfig config_;
    EventLog* events_;
    HistoryWriter* history_;
    SendFn send_;
    bool bus_of_several_;
    SummaryMode summary_;
    std::unique_ptr<SMDSPDevice> device_;
    std::uint8_t address_ = 0;
    std::uint32_t device_id_ = 1;  // the record's bytes 0..3, as every output shows it

    AlarmBook alarms_;
    std::vector<AlarmNote> changes_;  // alarm changes of the pass in progress
    bool comm_lost_ = false;
    bool receiver_dirty_ = false;  // a poll failed: Reset before the next
    unsigned failed_in_row_ = 0;
    std::uint64_t polls_ = 0;
    std::uint64_t cycles_ = 0;

    // What the device did inside one call of process.
    bool sent_in_call_ = false;
    bool send_refused_in_call_ = false;
    bool published_in_call_ = false;

    std::array<unsigned char, rxp::kRecordSize> last_record_{};
    LiveState live_;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_DEVICE_SESSION_H
