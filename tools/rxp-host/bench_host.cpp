#include "tools/rxp-host/bench_host.h"

#include <signal.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "protocol/frame.h"
#include "tools/common/frame_notation.h"
#include "tools/common/hex.h"
#include "tools/common/time_text.h"

namespace rxphost {

namespace {

std::chrono::steady_clock::duration Seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

double SecondsBetween(std::chrono::steady_clock::time_point from,
                      std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// A whole file as bytes; false when it cannot be read.
bool ReadFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The JSON reader's report ("* Line 2, Column 1\n  Syntax error: ...\n") on one line.
std::string OneLine(const std::string& report) {
    std::string line;
    for (std::size_t i = 0; i < report.size(); ++i) {
        const char c = report[i];
        if (c == '*' && (i == 0 || report[i - 1] == '\n')) {
            if (i + 1 < report.size() && report[i + 1] == ' ') ++i;
            if (!line.empty()) line += "; ";
            continue;
        }
        if (c == '\n') {
            while (i + 1 < report.size() && report[i + 1] == ' ') ++i;
            if (i + 1 < report.size() && report[i + 1] != '*') line += ": ";
            continue;
        }
        line.push_back(c);
    }
    return line;
}

std::string NumberText(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

BenchHost::BenchHost(const HostOptions& options)
    : options_(options),
      line_(io_),
      poll_timer_(io_),
      reply_timer_(io_),
      signals_(io_, SIGINT, SIGTERM) {}

BenchHost::~BenchHost() {
    if (device_) smdhost::SetObserver(*device_, nullptr);
    device_.reset();  // before the plug-in that holds its code is unloaded
    plugin_.reset();
}

void BenchHost::Start() {
    try {
        plugin_.reset(new LoadedPlugin(options_.plugin));
    } catch (const std::runtime_error& e) {
        throw StartupError(e.what());
    }
    device_.reset(plugin_->CreateDevice());
    if (!device_) throw StartupError("plug-in '" + options_.plugin + "' made no device");
    smdhost::SetObserver(*device_, this);

    if (options_.trace) watch_.TraceTo(&std::cerr);
    if (!options_.capture.empty()) {
        try {
            watch_.OpenCapture(options_.capture);
        } catch (const std::runtime_error& e) {
            throw StartupError(e.what());
        }
    }
    if (!options_.events.empty()) {
        events_.KeepChangesOnly(options_.events_changes);
        try {
            events_.Open(options_.events);
        } catch (const std::runtime_error& e) {
            throw StartupError(e.what());
        }
    }
    if (!options_.history.empty()) {
        try {
            history_.reset(new rxp::history::HistoryDb(options_.history,
                                                       rxp::history::HistoryDb::Mode::kCreate));
        } catch (const std::runtime_error& e) {
            throw StartupError(e.what());
        }
    }

    if (options_.address >= 0) {
        device_->device_address = static_cast<std::uint8_t>(options_.address);
    }
    ApplySettings();

    try {
        line_.Open(options_.port, options_.baud);
    } catch (const std::runtime_error& e) {
        throw StartupError(e.what());
    }

    if (!options_.cache.empty()) LoadCache();
    // The live files exist from the start, so that a reader finds the host before any cycle.
    WriteLiveState();
    if (live_error_reported_) throw StartupError("cannot write the live state, stopping");
}

// The settings go to the device whole. Before that the host takes its own member "deviceId",
// the device id the plug-in stamps into every record (1 when absent).
void BenchHost::ApplySettings() {
    Json::Value settings(Json::objectValue);
    const std::string& path = options_.settings;
    if (!path.empty()) {
        std::string text;
        if (!ReadFile(path, &text)) {
            throw StartupError("cannot read settings file '" + path + "': " + std::strerror(errno));
        }
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &settings, &errors)) {
            throw StartupError("settings file '" + path +
                               "' is not valid JSON: " + OneLine(errors));
        }
    }

    device_->data_id = 1;
    if (settings.isObject() && settings.isMember("deviceId")) {
        const Json::Value& id = settings["deviceId"];
        if (!id.isIntegral() || !id.isInt()) {
            throw StartupError("settings file '" + path +
                               "': \"deviceId\" must be a whole number, not " +
                               Json::writeString(Json::StreamWriterBuilder(), id).substr(0, 40));
        }
        device_->data_id = id.asInt();
    }

    try {
        device_->InitSetting(settings);
    } catch (const std::exception& e) {  // Json::Exception, from inside the plug-in
        throw StartupError("settings file '" + path + "' was refused by the plug-in: " + e.what());
    }
}

// A cached record is the host's copy of the last one published; a file that is not exactly one
// record is not handed to the device, and polling goes on without it.
void BenchHost::LoadCache() {
    const std::string& path = options_.cache;
    std::string record;
    if (!ReadFile(path, &record)) {
        std::cerr << "rxp-host: cannot read cache file '" << path << "': " << std::strerror(errno)
                  << "; starting without it" << std::endl;
        return;
    }
    if (record.size() != rxp::kRecordSize) {
        std::cerr << "rxp-host: cache file '" << path << "' holds " << record.size()
                  << " bytes, a record is " << rxp::kRecordSize << "; starting without it"
                  << std::endl;
        return;
    }
    Json::Value fields(Json::objectValue);
    fields["file"] = path;
    events_.Write("cache_loaded", fields);
    changes_.clear();
    published_in_call_ = false;
    if (!device_->LoadFromCache(record)) {
        std::cerr << "rxp-host: the plug-in refused the cached record in '" << path << "'"
                  << std::endl;
        return;
    }
    if (published_in_call_) Report("cached record", -1);
    events_.Flush();
}

int BenchHost::Run() {
    next_poll_due_ = Clock::now();
    signals_.async_wait([this](const boost::system::error_code& ec, int signal) {
        if (ec) return;
        std::cerr << "rxp-host: " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ", stopping"
                  << std::endl;
        Stop();
    });
    StartReading();
    boost::asio::post(io_, [this] { StartPoll(); });
    io_.run();

    if (poll_active_) watch_.PollFailed(polls_, "stopped");
    watch_.Flush();
    events_.Flush();
    std::cout << "rxp-host: " << cycles_ << (cycles_ == 1 ? " cycle" : " cycles")
              << " completed in " << polls_ << (polls_ == 1 ? " poll" : " polls") << std::endl;
    return 0;
}

void BenchHost::StartReading() {
    line_.StartReading([this](unsigned char* data, std::size_t size) { OnChunk(data, size); },
                       [this](const std::string& what) { OnReadError(what); });
}

void BenchHost::OnReadError(const std::string& what) {
    // Reading is tried again at the next poll; a line that stays broken is reported once.
    if (read_error_reported_) return;
    read_error_reported_ = true;
    std::cerr << "rxp-host: reading port '" << options_.port << "' failed: " << what << std::endl;
}

void BenchHost::StartPoll() {
    if (stopping_) return;
    if (!line_.reading()) StartReading();
    poll_active_ = true;
    ++polls_;
    poll_started_ = Clock::now();
    next_poll_due_ = poll_started_ + Seconds(options_.interval);
    write_error_.clear();
    step_ = 0;
    changes_.clear();
    device_->RefreshStatus();
}

void BenchHost::OnChunk(unsigned char* data, std::size_t size) {
    const Clock::time_point now = Clock::now();
    read_error_reported_ = false;
    watch_.Received(now, poll_active_ ? static_cast<unsigned>(polls_) : 0, step_, data, size);
    // The line is request and reply: bytes that arrive while no command is outstanding answer
    // an abandoned poll and would be taken for a reply to the next one.
    if (!poll_active_) return;

    sent_in_call_ = false;
    published_in_call_ = false;
    const bool more = device_->process(data, static_cast<unsigned int>(size));
    watch_.Handled(sent_in_call_ || published_in_call_ ? ChunkOutcome::kAccepted
                                                       : ChunkOutcome::kNotAccepted);
    if (published_in_call_) {
        CompleteCycle();
        return;
    }
    // False without a publication: the device dropped a frame (bad checksum or overflow) and
    // waits for a reply that will not come; the poll cannot complete.
    if (!more && !sent_in_call_) {
        FailPoll("dropped", "reply " + (watch_.last_drop().empty() ? "dropped (overflow)"
                                                                   : watch_.last_drop()));
    }
}

bool BenchHost::OnSendData(SMDSPDevice&, const unsigned char* data, unsigned int size) {
    sent_in_call_ = true;
    last_command_.assign(data, data + size);
    watch_.Sent(Clock::now(), static_cast<unsigned>(polls_), ++step_, data, size);
    ArmReplyTimer();
    std::string error;
    if (line_.Write(data, size, &error)) return true;
    write_error_ = error;
    return false;
}

void BenchHost::ArmReplyTimer() {
    const std::uint64_t generation = ++reply_generation_;
    reply_timer_.expires_after(Seconds(options_.timeout));
    reply_timer_.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || generation != reply_generation_ || !poll_active_) return;
        std::string detail = "no reply";
        if (!write_error_.empty()) detail = "command not sent (" + write_error_ + "), no reply";
        FailPoll("timeout", detail + " within " + NumberText(options_.timeout) + " s");
    });
}

bool BenchHost::OnSendSP(SMDVDevice&, int data_id, const unsigned char* data, unsigned int size,
                         bool) {
    published_in_call_ = true;
    last_record_.fill(0);
    std::copy(data, data + std::min<std::size_t>(size, last_record_.size()), last_record_.begin());
    live_.has_record = true;
    live_.record = last_record_;
    live_.record_time = rxp::tools::WallClock::now();
    Json::Value fields(Json::objectValue);
    fields["data_id"] = data_id;
    fields["record"] = rxp::hex::Lower(data, size);
    events_.Write("publish", fields);
    return true;
}

bool BenchHost::OnSaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                    unsigned int size) {
    if (!history_) return true;
    try {
        history_->Append(rxp::tools::IsoTimeNow(), device.DataId(), data, size);
        return true;
    } catch (const std::runtime_error& e) {
        std::cerr << "rxp-host: " << e.what() << std::endl;
        return false;
    }
}

bool BenchHost::OnCheckThresholdBool(SMDVDevice&, int, const std::string& signal_key,
                                     const std::string& alarm_id, const std::string& alarm_name,
                                     const std::string& alarm_text, bool state,
                                     unsigned short ordinal) {
    Json::Value fields(Json::objectValue);
    fields["ordinal"] = ordinal;
    fields["key"] = signal_key;
    fields["id"] = alarm_id;
    fields["name"] = alarm_name;
    fields["text"] = alarm_text;
    fields["state"] = state;
    events_.Write("alarm", fields);

    const AlarmChange change = alarms_.Update(ordinal, state);
    if (change == AlarmChange::kNone) return true;
    const bool raised = change == AlarmChange::kRaised;
    events_.Write(raised ? "alarm_raised" : "alarm_cleared", fields);
    changes_.push_back(AlarmNote{ordinal, signal_key, alarm_id, alarm_name, alarm_text, raised});
    if (raised) {
        live_.alarms[ordinal] = changes_.back();
    } else {
        live_.alarms.erase(ordinal);
    }
    return true;
}

void BenchHost::CompleteCycle() {
    poll_active_ = false;
    ++reply_generation_;
    reply_timer_.cancel();
    ++cycles_;
    failed_in_row_ = 0;
    const double seconds = SecondsBetween(poll_started_, Clock::now());
    live_.has_cycle = true;
    live_.cycle_time = rxp::tools::WallClock::now();
    live_.cycle_seconds = seconds;

    Json::Value fields(Json::objectValue);
    fields["cycle"] = Json::UInt64(cycles_);
    fields["milliseconds"] = Json::UInt64(seconds * 1000.0 + 0.5);
    events_.Write("cycle", fields);
    Report("cycle " + std::to_string(cycles_), seconds);

    if (comm_lost_) {
        comm_lost_ = false;
        std::cout << rxp::tools::IsoTimeNow() << "  communication restored" << std::endl;
        events_.Write("comm_restored");
    }
    events_.Flush();
    watch_.Flush();
    WriteLiveState();

    if (options_.cycles != 0 && cycles_ >= options_.cycles) {
        Stop();
        return;
    }
    ScheduleNextPoll();
}

void BenchHost::FailPoll(const std::string& reason, const std::string& detail) {
    poll_active_ = false;
    ++reply_generation_;
    reply_timer_.cancel();
    watch_.PollFailed(static_cast<unsigned>(polls_), reason);
    // Whatever part of a reply the device holds belongs to the abandoned poll.
    device_->Reset();
    ++failed_in_row_;
    ++live_.failed_total;

    const std::string waiting_for =
        rxp::tools::CommandNameOfFrame(last_command_.data(), last_command_.size());
    Json::Value fields(Json::objectValue);
    fields["poll"] = Json::UInt64(polls_);
    fields["reason"] = reason;
    fields["waiting_for"] = waiting_for;
    events_.Write("poll_failed", fields);

    // While the line is down the host keeps polling quietly.
    if (!comm_lost_) {
        std::cerr << "rxp-host: poll " << polls_ << " failed at " << waiting_for << ": " << detail
                  << std::endl;
        if (failed_in_row_ >= kFailedPollsForLoss) {
            comm_lost_ = true;
            std::cout << rxp::tools::IsoTimeNow() << "  communication lost: " << failed_in_row_
                      << " polls in a row failed" << std::endl;
            events_.Write("comm_lost");
        }
    }
    events_.Flush();
    watch_.Flush();
    WriteLiveState();
    ScheduleNextPoll();
}

void BenchHost::ScheduleNextPoll() {
    if (stopping_) return;
    const Clock::time_point now = Clock::now();
    if (next_poll_due_ <= now) {
        // A poll that ran longer than the interval is followed at once.
        boost::asio::post(io_, [this] { StartPoll(); });
        return;
    }
    poll_timer_.expires_at(next_poll_due_);
    poll_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) StartPoll();
    });
}

void BenchHost::Stop() {
    stopping_ = true;
    ++reply_generation_;
    boost::system::error_code ignored;
    poll_timer_.cancel();
    reply_timer_.cancel();
    signals_.cancel(ignored);
    line_.Close();
    io_.stop();
}

void BenchHost::Report(const std::string& title, double seconds) {
    CycleReport report{title,    rxp::tools::IsoTimeNow(), seconds, last_record_.data(),
                       changes_, alarms_.active()};
    std::cout << FormatCycleReport(report) << std::flush;
    changes_.clear();
}

// The state and metrics files, replaced whole; a file that cannot be written is reported once
// and polling goes on.
void BenchHost::WriteLiveState() {
    if (options_.state.empty() && options_.metrics.empty()) return;
    live_.comm = comm_lost_    ? LiveState::Comm::kLost
                 : cycles_ > 0 ? LiveState::Comm::kUp
                               : LiveState::Comm::kUnknown;
    live_.failed_in_row = failed_in_row_;
    live_.polls = polls_;
    live_.cycles = cycles_;
    std::string error;
    const bool ok =
        (options_.state.empty() ||
         ReplaceFile(options_.state, StateJson(live_, rxp::tools::WallClock::now()), &error)) &&
        (options_.metrics.empty() || ReplaceFile(options_.metrics, MetricsText(live_), &error));
    if (!ok && !live_error_reported_) {
        std::cerr << "rxp-host: " << error << std::endl;
    }
    live_error_reported_ = !ok;
}

}  // namespace rxphost
