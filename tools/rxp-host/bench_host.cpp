#include "tools/rxp-host/bench_host.h"

#include <signal.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "protocol/frame.h"
#include "tools/common/frame_notation.h"
#include "tools/common/hex.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"

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

// A whole file as bytes; false, with the reason in `why`, when it cannot be read.
bool ReadFile(const std::string& path, std::string* content, std::string* why) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) {
        *why = ec.message();
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        *why = "it is a directory";
        return false;
    }
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) {
        *why = std::strerror(errno);
        return false;
    }
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *why = "read error";
        return false;
    }
    return true;
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
      reopen_timer_(io_),
      deadline_timer_(io_),
      signals_(io_, SIGINT, SIGTERM) {
    signals_.add(SIGHUP);
    // Reply timeout plus a few character times (1 ms a character when the port's speed is
    // left as it is).
    const double character = options_.baud != 0 ? 10.0 / options_.baud : 0.001;
    quiet_gap_ = Seconds(options_.timeout + kQuietCharacters * character);
}

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
        WriteStartEvent();
    }
    if (!options_.history.empty()) {
        try {
            history_.reset(new HistoryWriter(options_.history, options_.history_keep_days));
        } catch (const std::runtime_error& e) {
            throw StartupError(std::string("history: ") + e.what());
        }
        ReportHistoryFailures();  // a database locked at start is told at once
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
    quiet_until_ = Clock::now();

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
        std::string text, why;
        if (!ReadFile(path, &text, &why)) {
            throw StartupError("cannot read settings file '" + path + "': " + why);
        }
        // Strict: a second copy of a key or anything after the object is a mistake in the
        // file, not something to guess about.
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        builder["rejectDupKeys"] = true;
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        bool parsed = false;
        try {
            parsed = reader->parse(text.data(), text.data() + text.size(), &settings, &errors);
        } catch (const Json::Exception& e) {  // nesting deeper than the reader allows
            errors = e.what();
        }
        if (!parsed) {
            throw StartupError("settings file '" + path +
                               "' is not valid JSON: " + OneLine(errors));
        }
        if (!settings.isObject()) {
            throw StartupError("settings file '" + path + "' must hold a JSON object");
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
    std::string record, why;
    if (!ReadFile(path, &record, &why)) {
        std::cerr << "rxp-host: cannot read cache file '" << path << "': " << why
                  << "; starting without it" << std::endl;
        return;
    }
    if (record.size() != rxp::kRecordSize) {
        std::cerr << "rxp-host: cache file '" << path << "' holds " << record.size()
                  << " bytes, a record is " << rxp::kRecordSize << "; starting without it"
                  << std::endl;
        return;
    }
    // Record bytes 0..3: the device id, little-endian. Another device's record would stand in
    // this device's history and alarms until the first poll, with the other id.
    std::uint32_t cached_id = 0;
    for (int i = 3; i >= 0; --i)
        cached_id = (cached_id << 8) | static_cast<unsigned char>(record[i]);
    const std::uint32_t own_id = static_cast<std::uint32_t>(device_->data_id);
    if (cached_id != own_id) {
        std::cerr << "rxp-host: warning: cache file '" << path << "' holds a record of device id "
                  << cached_id << ", not of this device (" << own_id << "); starting without it"
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

void BenchHost::WriteStartEvent() {
    Json::Value given(Json::objectValue);
    given["plugin"] = options_.plugin;
    given["port"] = options_.port;
    given["baud"] = options_.baud;
    if (options_.address >= 0) given["address"] = options_.address;
    if (!options_.settings.empty()) given["settings"] = options_.settings;
    if (!options_.cache.empty()) given["cache"] = options_.cache;
    if (options_.cycles != 0) given["cycles"] = Json::UInt64(options_.cycles);
    given["interval"] = options_.interval;
    given["timeout"] = options_.timeout;
    if (options_.deadline > 0) given["deadline"] = options_.deadline;
    given["events"] = options_.events;
    if (!options_.history.empty()) given["history"] = options_.history;
    if (options_.history_keep_days > 0) given["history_keep"] = options_.history_keep_days;
    given["trace"] = options_.trace;
    if (!options_.capture.empty()) given["capture"] = options_.capture;
    if (!options_.state.empty()) given["state"] = options_.state;
    if (!options_.metrics.empty()) given["metrics"] = options_.metrics;
    given["events_level"] = options_.events_changes ? "changes" : "all";
    Json::Value fields(Json::objectValue);
    fields["version"] = rxp::tools::Version();
    fields["options"] = given;
    fields["pid"] = static_cast<Json::Int64>(::getpid());
    events_.Write("start", fields);
}

int BenchHost::Run() {
    next_poll_due_ = Clock::now();
    signals_.async_wait([this](const boost::system::error_code& ec, int signal) {
        if (ec) return;
        std::cerr << "rxp-host: "
                  << (signal == SIGINT   ? "SIGINT"
                      : signal == SIGHUP ? "SIGHUP"
                                         : "SIGTERM")
                  << ", stopping" << std::endl;
        Stop();
    });
    if (options_.deadline > 0) {
        deadline_timer_.expires_after(Seconds(options_.deadline));
        deadline_timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) OnDeadline();
        });
    }
    StartReading();
    boost::asio::post(io_, [this] { StartPoll(); });
    io_.run();

    if (poll_active_) watch_.PollFailed(static_cast<unsigned>(polls_), "stopped");
    watch_.Flush();
    if (history_) {
        history_->Finish(kHistoryGrace);
        ReportHistoryFailures();
    }
    std::cout << "rxp-host: " << cycles_ << (cycles_ == 1 ? " cycle" : " cycles")
              << " completed in " << polls_ << (polls_ == 1 ? " poll" : " polls") << std::endl;
    if (history_ && history_->failed() > 0) {
        std::cerr << "rxp-host: " << history_->failed() << " of "
                  << history_->failed() + history_->stored() << " records could not be stored in '"
                  << options_.history << "'" << std::endl;
    }
    if (events_.lost() > 0) {
        std::cerr << "rxp-host: " << events_.lost() << " events could not be written to '"
                  << options_.events << "'" << std::endl;
    }
    return ExitCode();
}

int BenchHost::ExitCode() const {
    if (history_ && history_->failed() > 0) return kExitHistoryLost;
    if (events_.lost() > 0) return kExitEventsLost;
    if (deadline_passed_) return kExitDeadline;
    return kExitDone;
}

void BenchHost::OnDeadline() {
    if (stopping_) return;
    deadline_passed_ = true;
    std::cerr << "rxp-host: deadline of " << NumberText(options_.deadline) << " s passed with "
              << cycles_ << " of " << options_.cycles << " cycles completed" << std::endl;
    Json::Value fields(Json::objectValue);
    fields["cycles"] = Json::UInt64(cycles_);
    fields["requested"] = Json::UInt64(options_.cycles);
    events_.Write("deadline", fields);
    Stop();
}

void BenchHost::StartReading() {
    line_.StartReading([this](unsigned char* data, std::size_t size) { OnChunk(data, size); },
                       [this](const std::string& what) { LineDown("reading failed: " + what); });
}

// A port that hung up (a USB adapter pulled, the far end of a pseudo-terminal gone) or fails to
// read or write does not come back by itself: it is closed, and opened again every
// kReopenInterval until that works.
void BenchHost::LineDown(const std::string& what) {
    if (line_down_ || stopping_) return;
    line_down_ = true;
    std::cerr << "rxp-host: port '" << options_.port << "': " << what
              << "; closing it and opening it again every "
              << NumberText(kReopenInterval.count() / 1000.0) << " s" << std::endl;
    if (poll_active_) {
        poll_active_ = false;
        ++reply_generation_;
        reply_timer_.cancel();
        watch_.PollFailed(static_cast<unsigned>(polls_), "line");
        ++live_.failed_total;
        Json::Value fields(Json::objectValue);
        fields["poll"] = Json::UInt64(polls_);
        fields["reason"] = "line";
        fields["waiting_for"] =
            rxp::tools::CommandNameOfFrame(last_command_.data(), last_command_.size());
        events_.Write("poll_failed", fields);
    }
    receiver_dirty_ = true;
    poll_timer_.cancel();
    line_.Close();
    if (!comm_lost_) {
        comm_lost_ = true;
        std::cout << rxp::tools::IsoTimeNow() << "  communication lost: port " << options_.port
                  << ": " << what << std::endl;
        Json::Value fields(Json::objectValue);
        fields["reason"] = what;
        events_.Write("comm_lost", fields);
    }
    reopen_failure_reported_ = false;
    watch_.Flush();
    WriteLiveState();
    ArmReopen();
}

void BenchHost::ArmReopen() {
    reopen_timer_.expires_after(kReopenInterval);
    reopen_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) TryReopen();
    });
}

void BenchHost::TryReopen() {
    if (stopping_) return;
    try {
        line_.Open(options_.port, options_.baud);
    } catch (const std::runtime_error& e) {
        if (!reopen_failure_reported_) {
            reopen_failure_reported_ = true;
            std::cerr << "rxp-host: " << e.what() << "; trying again every "
                      << NumberText(kReopenInterval.count() / 1000.0) << " s" << std::endl;
        }
        ArmReopen();
        return;
    }
    std::cerr << "rxp-host: port '" << options_.port << "' open again" << std::endl;
    line_down_ = false;
    quiet_until_ = Clock::now();
    StartReading();
    boost::asio::post(io_, [this] { StartPoll(); });
}

void BenchHost::StartPoll() {
    if (stopping_ || line_down_ || poll_active_) return;
    const Clock::time_point now = Clock::now();
    if (now < quiet_until_) {
        // Something is still arriving for an abandoned poll: wait for the line to go quiet.
        poll_timer_.expires_at(quiet_until_);
        poll_timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) StartPoll();
        });
        return;
    }
    if (!line_.reading()) StartReading();
    if (receiver_dirty_) {
        // Whatever part of a reply the device holds belongs to an abandoned poll.
        device_->Reset();
        receiver_dirty_ = false;
    }
    poll_active_ = true;
    ++polls_;
    poll_started_ = now;
    next_poll_due_ = poll_started_ + Seconds(options_.interval);
    write_error_.clear();
    step_ = 0;
    changes_.clear();
    device_->RefreshStatus();
}

void BenchHost::OnChunk(unsigned char* data, std::size_t size) {
    watch_.Received(Clock::now(), poll_active_ ? static_cast<unsigned>(polls_) : 0, step_, data,
                    size);
    // The line is request and reply: bytes that arrive while no command is outstanding answer
    // an abandoned poll and would be taken for a reply to the next one. They are dropped, and
    // the next poll waits until the line has been quiet for a while.
    if (!poll_active_) {
        quiet_until_ = std::max(quiet_until_, Clock::now() + quiet_gap_);
        receiver_dirty_ = true;
        return;
    }

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
    // Not from inside the device's call: the poll is ended once the call has returned.
    boost::asio::post(io_, [this, error] {
        if (!line_down_) LineDown("writing failed: " + error);
    });
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
    // Queued for the writer thread: a locked database does not hold up the polls.
    history_->Append(rxp::tools::IsoTimeNow(), device.device_address, device.DataId(), data, size);
    return true;
}

void BenchHost::ReportHistoryFailures() {
    if (!history_) return;
    for (const std::string& why : history_->TakeFailures()) {
        std::cerr << "rxp-host: record not stored: " << why << std::endl;
        Json::Value fields(Json::objectValue);
        fields["file"] = options_.history;
        fields["reason"] = why;
        fields["what"] = "history";
        events_.Write("error", fields);
    }
    for (const HistoryWriter::Notice& notice : history_->TakeNotices()) {
        std::cerr << "rxp-host: history: " << notice.text << std::endl;
        if (!notice.error) continue;
        Json::Value fields(Json::objectValue);
        fields["file"] = options_.history;
        fields["reason"] = notice.text;
        fields["what"] = "history";
        events_.Write("error", fields);
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
    ReportHistoryFailures();

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
    // The next poll starts on a quiet line, with the device's receiver idle.
    receiver_dirty_ = true;
    quiet_until_ = std::max(quiet_until_, Clock::now() + quiet_gap_);
    ++failed_in_row_;
    ++live_.failed_total;
    ReportHistoryFailures();

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
    reopen_timer_.cancel();
    deadline_timer_.cancel();
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
    live_.address = device_->device_address;
    live_.device_id = static_cast<unsigned>(device_->data_id);
    const HostFacts host{options_.port, rxp::tools::Version(), history_ ? history_->failed() : 0,
                         events_.lost()};
    std::string error;
    const bool ok =
        (options_.state.empty() ||
         ReplaceFile(options_.state, StateJson(live_, rxp::tools::WallClock::now()), &error)) &&
        (options_.metrics.empty() ||
         ReplaceFile(options_.metrics, MetricsText(live_, host), &error));
    if (!ok && !live_error_reported_) {
        std::cerr << "rxp-host: " << error << std::endl;
    }
    live_error_reported_ = !ok;
}

}  // namespace rxphost
