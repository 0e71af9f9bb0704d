#include "tools/rxp-host/device_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "tools/common/hex.h"
#include "tools/common/time_text.h"
#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/input_file.h"
#include "tools/rxp-host/settings_file.h"
#include "tools/rxp-host/startup_checks.h"

namespace rxphost {

DeviceSession::DeviceSession(const DeviceConfig& config, EventLog* events, HistoryWriter* history,
                             SendFn send, bool bus_of_several, SummaryMode summary)
    : config_(config),
      events_(events),
      history_(history),
      send_(std::move(send)),
      bus_of_several_(bus_of_several),
      summary_(summary) {}

DeviceSession::~DeviceSession() {
    if (device_) smdhost::SetObserver(*device_, nullptr);
    device_.reset();  // before the plug-in that holds its code is unloaded
}

void DeviceSession::Create(const LoadedPlugin& plugin) {
    device_.reset(plugin.CreateDevice());
    if (!device_) throw StartupError("the plug-in made no device");
    smdhost::SetObserver(*device_, this);
    if (config_.address >= 0) device_->device_address = static_cast<std::uint8_t>(config_.address);
    ApplySettings();
    address_ = device_->device_address;
    device_id_ = static_cast<std::uint32_t>(device_->data_id);
}

std::string DeviceSession::Name() const {
    return "address " + std::to_string(address_) + " (device " + std::to_string(device_id_) + ")";
}

void DeviceSession::Event(const char* name, Json::Value fields) {
    fields["address"] = address_;
    fields["device_id"] = Json::UInt(device_id_);
    events_->Write(name, fields);
}

// The settings go to the device whole. Before that the host takes its own member "deviceId",
// the device id the plug-in stamps into every record (1 when absent).
void DeviceSession::ApplySettings() {
    Json::Value settings(Json::objectValue);
    const std::string& path = config_.settings;
    if (!path.empty()) {
        settings = ReadSettingsFile(path);
        for (const std::string& warning : UnknownSettingsWarnings(path, settings)) {
            Err(Priority::kWarning) << "rxp-host: " << warning << std::endl;
        }
    }
    HandSettings(*device_, settings, path);
}

// A cached record is the host's copy of the last one published; a file that is not exactly one
// record is not handed to the device, and polling goes on without it.
void DeviceSession::LoadCache() {
    if (config_.cache.empty()) return;
    const std::string& path = config_.cache;
    std::string record, why;
    // One byte more than a record tells a longer file, without reading all of it.
    if (!ReadRegularFile(path, rxp::kRecordSize + 1, &record, &why)) {
        Err(Priority::kWarning) << "rxp-host: cannot read cache file '" << path << "': " << why
                                << "; starting without it" << std::endl;
        return;
    }
    if (record.size() != rxp::kRecordSize) {
        Err(Priority::kWarning) << "rxp-host: cache file '" << path << "' holds "
                                << (record.size() > rxp::kRecordSize ? "more than " : "")
                                << std::min<std::size_t>(record.size(), rxp::kRecordSize)
                                << " bytes, not a record: a record is " << rxp::kRecordSize
                                << "; starting without it" << std::endl;
        return;
    }
    // Record bytes 0..3: the device id, little-endian. Another device's record would stand in
    // this device's history and alarms until the first poll, with the other id.
    std::uint32_t cached_id = 0;
    for (int i = 3; i >= 0; --i)
        cached_id = (cached_id << 8) | static_cast<unsigned char>(record[i]);
    const std::uint32_t own_id = static_cast<std::uint32_t>(device_->data_id);
    if (cached_id != own_id) {
        Err(Priority::kWarning) << "rxp-host: warning: cache file '" << path
                                << "' holds a record of device id " << cached_id
                                << ", not of this device (" << own_id << "); starting without it"
                                << std::endl;
        return;
    }
    Json::Value fields(Json::objectValue);
    fields["file"] = path;
    Event("cache_loaded", fields);
    changes_.clear();
    published_in_call_ = false;
    if (!device_->LoadFromCache(record)) {
        Err(Priority::kWarning) << "rxp-host: the plug-in refused the cached record in '" << path
                                << "'" << std::endl;
        return;
    }
    if (published_in_call_) Report("cached record", -1);
    events_->Flush();
}

void DeviceSession::BeginPoll() {
    if (receiver_dirty_) {
        // Whatever part of a reply the device holds belongs to an abandoned poll.
        device_->Reset();
        receiver_dirty_ = false;
    }
    ++polls_;
    changes_.clear();
    device_->RefreshStatus();
}

DeviceSession::Fed DeviceSession::Feed(unsigned char* data, std::size_t size) {
    sent_in_call_ = false;
    published_in_call_ = false;
    const bool more = device_->process(data, static_cast<unsigned int>(size));
    if (published_in_call_) return Fed::kPublished;
    if (sent_in_call_) return Fed::kSent;
    // False without a publication: the device dropped a frame (bad checksum or overflow) and
    // waits for a reply that will not come; the poll cannot complete.
    return more ? Fed::kWaiting : Fed::kDropped;
}

bool DeviceSession::OnSendData(SMDSPDevice&, const unsigned char* data, unsigned int size) {
    sent_in_call_ = true;
    return send_(*this, data, size);
}

bool DeviceSession::OnSendSP(SMDVDevice&, int data_id, const unsigned char* data, unsigned int size,
                             bool) {
    published_in_call_ = true;
    last_record_.fill(0);
    std::copy(data, data + std::min<std::size_t>(size, last_record_.size()), last_record_.begin());
    live_.has_record = true;
    live_.record = last_record_;
    live_.record_time = rxp::tools::WallClock::now();
    if (!events_->Wants("publish")) return true;
    // Every cycle: written as text, the same line a Json::Value would give.
    rxp::tools::JsonMembers fields;
    fields.Add("data_id", std::to_string(data_id));
    fields.Add("record", rxp::tools::JsonString(rxp::hex::Lower(data, size)));
    fields.Add("address", rxp::tools::JsonNumber(address_));
    fields.Add("device_id", std::to_string(device_id_));
    events_->Write("publish", std::move(fields));
    return true;
}

bool DeviceSession::OnSaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                        unsigned int size) {
    if (history_ == nullptr) return true;
    // Queued for the writer thread: a locked database does not hold up the polls.
    history_->Append(rxp::tools::IsoTimeNow(), device.device_address,
                     static_cast<std::uint32_t>(device.DataId()), data, size);
    return true;
}

// Called 139 times a cycle: the alarm state is a table update, and an event is built only for
// a log that writes every rule's state, or for a change.
bool DeviceSession::OnCheckThresholdBool(SMDVDevice&, int, const std::string& signal_key,
                                         const std::string& alarm_id, const std::string& alarm_name,
                                         const std::string& alarm_text, bool state,
                                         unsigned short ordinal) {
    const AlarmChange change = alarms_.Update(ordinal, state);
    if (change == AlarmChange::kNone && !events_->Wants("alarm")) return true;
    Json::Value fields(Json::objectValue);
    fields["ordinal"] = ordinal;
    fields["key"] = signal_key;
    fields["id"] = alarm_id;
    fields["name"] = alarm_name;
    fields["text"] = alarm_text;
    fields["state"] = state;
    if (events_->Wants("alarm")) Event("alarm", fields);
    if (change == AlarmChange::kNone) return true;
    const bool raised = change == AlarmChange::kRaised;
    Event(raised ? "alarm_raised" : "alarm_cleared", fields);
    changes_.push_back(AlarmNote{ordinal, signal_key, alarm_id, alarm_name, alarm_text, raised});
    if (raised) {
        live_.alarms[ordinal] = changes_.back();
    } else {
        live_.alarms.erase(ordinal);
    }
    return true;
}

void DeviceSession::CompleteCycle(double seconds) {
    ++cycles_;
    failed_in_row_ = 0;
    live_.has_cycle = true;
    live_.cycle_time = rxp::tools::WallClock::now();
    live_.cycle_seconds = seconds;

    if (events_->Wants("cycle")) {
        Json::Value fields(Json::objectValue);
        fields["cycle"] = Json::UInt64(cycles_);
        fields["milliseconds"] = Json::UInt64(seconds * 1000.0 + 0.5);
        Event("cycle", fields);
    }
    Report((bus_of_several_ ? Name() + "  cycle " : "cycle ") + std::to_string(cycles_), seconds);

    if (comm_lost_) {
        comm_lost_ = false;
        Out(Priority::kNotice) << rxp::tools::IsoTimeNow() << "  communication restored"
                               << (bus_of_several_ ? ": " + Name() : "") << std::endl;
        Event("comm_restored");
    }
}

void DeviceSession::FailPoll(std::uint64_t bus_poll, const std::string& reason,
                             const std::string& detail, const std::string& waiting_for,
                             bool quiet) {
    // The next poll starts with the device's receiver idle.
    receiver_dirty_ = true;
    ++failed_in_row_;
    ++live_.failed_total;

    Json::Value fields(Json::objectValue);
    fields["poll"] = Json::UInt64(bus_poll);
    fields["reason"] = reason;
    if (!waiting_for.empty()) fields["waiting_for"] = waiting_for;
    Event("poll_failed", fields);

    // While the device is lost the host keeps polling it quietly.
    if (comm_lost_ || quiet) return;
    Err(Priority::kWarning) << "rxp-host: " << (bus_of_several_ ? Name() + ": " : "") << "poll "
                            << bus_poll << " failed"
                            << (waiting_for.empty() ? "" : " at " + waiting_for) << ": " << detail
                            << std::endl;
    if (failed_in_row_ >= kFailedPollsForLoss) {
        comm_lost_ = true;
        Out(Priority::kError) << rxp::tools::IsoTimeNow()
                              << "  communication lost: " << (bus_of_several_ ? Name() + ": " : "")
                              << failed_in_row_ << " polls in a row failed; check the bus address ("
                              << unsigned(address_)
                              << "), the wiring and that --baud is the power system's line speed"
                              << std::endl;
        Event("comm_lost");
    }
}

void DeviceSession::LineLost(const std::string& what) {
    receiver_dirty_ = true;
    if (comm_lost_) return;
    comm_lost_ = true;
    Json::Value fields(Json::objectValue);
    fields["reason"] = what;
    Event("comm_lost", fields);
}

void DeviceSession::Report(const std::string& title, double seconds) {
    CycleReport report{title,    rxp::tools::IsoTimeNow(), seconds, last_record_.data(),
                       changes_, alarms_.active()};
    report.comm_changed = comm_lost_ || cycles_ <= 1;
    if (ShowCycleReport(summary_, report)) Out() << FormatCycleReport(report) << std::flush;
    changes_.clear();
}

const LiveState& DeviceSession::live() {
    live_.comm = comm_lost_    ? LiveState::Comm::kLost
                 : cycles_ > 0 ? LiveState::Comm::kUp
                               : LiveState::Comm::kUnknown;
    live_.failed_in_row = failed_in_row_;
    live_.polls = polls_;
    live_.cycles = cycles_;
    live_.address = address_;
    live_.device_id = device_id_;
    return live_;
}

}  // namespace rxphost
