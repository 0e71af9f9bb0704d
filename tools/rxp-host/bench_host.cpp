#include "tools/rxp-host/bench_host.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "protocol/frame.h"
#include "tools/common/frame_notation.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"
#include "tools/rxp-host/host_options.h"
#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/input_file.h"
#include "tools/rxp-host/plugin_output.h"

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

std::string NumberText(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

double TimeoutFloor(unsigned baud) {
    return kTimeoutFloorCharacters * (baud != 0 ? 10.0 / baud : 0.001);
}

BenchHost::BenchHost(const HostOptions& options)
    : options_(options),
      line_(io_),
      poll_timer_(io_),
      reply_timer_(io_),
      deadline_timer_(io_),
      signals_(io_, SIGINT, SIGTERM),
      check_(options.baud, options.address_check) {
    signals_.add(SIGHUP);
    if (options_.devices.empty()) options_.devices.push_back(DeviceConfig{});
    // Reply timeout plus a few character times (1 ms a character when the port's speed is
    // left as it is).
    const double character = options_.baud != 0 ? 10.0 / options_.baud : 0.001;
    quiet_gap_ = Seconds(options_.timeout + kQuietCharacters * character);
    // A third of the period, so that a wake delayed by a busy machine still comes in time.
    watchdog_wake_ = std::chrono::duration_cast<Clock::duration>(service_.watchdog() / 3);
}

BenchHost::~BenchHost() {
    sessions_.clear();  // the devices go before the plug-in that holds their code
    plugin_.reset();
}

void BenchHost::Start() {
    try {
        plugin_.reset(new LoadedPlugin(options_.plugin));
    } catch (const std::runtime_error& e) {
        throw StartupError(e.what());
    }

    if (options_.trace) watch_.TraceTo(&Err(Priority::kDebug));
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

    const bool several = options_.devices.size() > 1;
    for (const DeviceConfig& config : options_.devices) {
        sessions_.emplace_back(new DeviceSession(
            config, &events_, history_.get(),
            [this](DeviceSession& s, const unsigned char* data, unsigned int size) {
                return SendFrame(s, data, size);
            },
            several, options_.summary));
        try {
            sessions_.back()->Create(*plugin_);
        } catch (const ConfigError& e) {
            if (!several) throw;
            throw ConfigError("device at address " + std::to_string(config.address) + ": " +
                              e.what());
        } catch (const StartupError& e) {
            if (!several) throw;
            throw StartupError("device at address " + std::to_string(config.address) + ": " +
                               e.what());
        }
    }
    std::stable_sort(
        sessions_.begin(), sessions_.end(),
        [](const std::unique_ptr<DeviceSession>& a, const std::unique_ptr<DeviceSession>& b) {
            return a->address() < b->address();
        });
    for (std::size_t i = 1; i < sessions_.size(); ++i) {
        if (sessions_[i]->address() == sessions_[i - 1]->address()) {
            throw StartupError("two devices at address " + std::to_string(sessions_[i]->address()));
        }
    }
    WarnOfSharedDeviceIds();
    counts_.assign(sessions_.size(), BusCounts{});
    current_ = sessions_.front().get();

    try {
        line_.Open(options_.port, options_.baud);
    } catch (const std::runtime_error& e) {
        throw StartupError(e.what());
    }
    quiet_until_ = Clock::now();
    check_.LineOpened(options_.port);

    for (const auto& session : sessions_) session->LoadCache();
    PluginLinesToEvents(events_);
    // The live files exist from the start, so that a reader finds the host before any cycle.
    WriteLiveState();
    if (live_error_reported_) throw StartupError("cannot write the live state, stopping");
}

// Rows and events of two devices with one device id tell them apart by address alone: one
// settings file given twice, or a copy whose "deviceId" was not changed. Polling goes on.
void BenchHost::WarnOfSharedDeviceIds() {
    // Ids are unsigned 32-bit, as every output shows them.
    std::map<std::uint32_t, std::vector<int>> addresses_of_id;  // in address order
    for (const auto& session : sessions_) {
        addresses_of_id[static_cast<std::uint32_t>(session->device_id())].push_back(
            session->address());
    }
    for (const auto& shared : addresses_of_id) {
        const std::vector<int>& addresses = shared.second;
        if (addresses.size() < 2) continue;
        std::string named;  // "1 and 2", "1, 2 and 5"
        Json::Value listed(Json::arrayValue);
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            named += i == 0 ? "" : i + 1 == addresses.size() ? " and " : ", ";
            named += std::to_string(addresses[i]);
            listed.append(addresses[i]);
        }
        const std::string reason =
            "the devices at addresses " + named + " have one device id, " +
            std::to_string(shared.first) +
            ", in their records; give each device its own settings file with its own \"deviceId\"";
        Err(Priority::kWarning) << "rxp-host: warning: " << reason << std::endl;
        Json::Value fields(Json::objectValue);
        fields["reason"] = reason;
        fields["device_id"] = Json::UInt(shared.first);
        fields["addresses"] = listed;
        events_.Write("warning", fields);
    }
}

void BenchHost::WriteStartEvent() {
    Json::Value fields(Json::objectValue);
    fields["version"] = rxp::tools::Version();
    fields["options"] = GivenOptions(options_);
    fields["pid"] = static_cast<Json::Int64>(::getpid());
    events_.Write("start", fields);
}

int BenchHost::Run() {
    next_round_due_ = Clock::now();
    WaitForSignal();
    if (options_.deadline > 0) {
        deadline_timer_.expires_after(Seconds(options_.deadline));
        deadline_timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) OnDeadline();
        });
    }
    StartReading();
    boost::asio::post(io_, [this] {
        StartRound();
        StartPoll();
        service_.Ready(ServiceStatus());
    });
    io_.run();

    if (poll_active_) watch_.PollFailed(static_cast<unsigned>(polls_), "stopped");
    PluginLinesToEvents(events_);
    watch_.Flush();
    if (history_) {
        history_->Finish(kHistoryGrace);
        ReportHistoryFailures();
    }
    // Whoever reads the live files from now on learns that nobody polls any more, instead of
    // the last "up" of a host that is gone.
    stopped_ = true;
    stopped_at_ = rxp::tools::WallClock::now();
    WriteLiveState();
    Out(Priority::kNotice) << "rxp-host: " << cycles_ << (cycles_ == 1 ? " cycle" : " cycles")
                           << " completed in " << polls_ << (polls_ == 1 ? " poll" : " polls")
                           << std::endl;
    ReportDevicesShort();
    if (history_ && history_->failed() > 0) {
        Err(Priority::kError) << "rxp-host: " << history_->failed() << " of "
                              << history_->failed() + history_->stored()
                              << " records could not be stored in '" << options_.history << "'"
                              << std::endl;
    }
    if (events_.lost() > 0) {
        Err(Priority::kError) << "rxp-host: " << events_.lost()
                              << " events could not be written to '" << options_.events << "'"
                              << std::endl;
    }
    if (watch_.capture_lost() > 0) {
        Err(Priority::kError) << "rxp-host: " << watch_.capture_lost()
                              << " capture lines could not be written to '" << options_.capture
                              << "'" << std::endl;
    }
    return ExitCode();
}

// SIGINT and SIGTERM end the run. SIGHUP opens the events and capture files again, the
// convention of log rotation: after the files were renamed, new lines go to new files at the
// given paths; a file still at its path is written on.
void BenchHost::WaitForSignal() {
    signals_.async_wait([this](const boost::system::error_code& ec, int signal) {
        if (ec) return;
        if (signal == SIGHUP) {
            ReopenFiles();
            WaitForSignal();
            return;
        }
        Err(Priority::kNotice) << "rxp-host: " << (signal == SIGINT ? "SIGINT" : "SIGTERM")
                               << ", stopping" << std::endl;
        signalled_ = true;
        Stop();
    });
}

void BenchHost::ReopenFiles() {
    std::string opened;
    try {
        if (events_.Reopen()) opened = "events";
        if (watch_.ReopenCapture()) opened += opened.empty() ? "capture" : " and capture";
    } catch (const std::runtime_error& e) {
        Err(Priority::kWarning) << "rxp-host: SIGHUP: " << e.what()
                                << "; writing on to the file open before" << std::endl;
        return;
    }
    if (!opened.empty()) {
        Err(Priority::kNotice) << "rxp-host: SIGHUP: " << opened << " file opened again"
                               << std::endl;
    }
}

int BenchHost::ExitCode() const {
    if (history_ && history_->failed() > 0) return kExitHistoryLost;
    if (events_.lost() > 0) return kExitEventsLost;
    if (deadline_passed_) return kExitDeadline;
    if (watch_.capture_lost() > 0) return kExitCaptureLost;
    if (devices_short_) return kExitCyclesShort;
    return kExitDone;
}

// --cycles on a bus is done only when every device has completed them: the devices that fell
// short are named, and the run ends with its own exit code (or the deadline's).
void BenchHost::ReportDevicesShort() {
    if (options_.cycles == 0 || signalled_ || sessions_.size() < 2) return;
    for (const auto& session : sessions_) {
        if (session->cycles() >= options_.cycles) continue;
        devices_short_ = true;
        Err(Priority::kError) << "rxp-host: " << session->Name() << ": " << session->cycles()
                              << " of " << options_.cycles << " cycles completed"
                              << (session->lost() ? ", communication lost" : "") << std::endl;
    }
}

void BenchHost::OnDeadline() {
    if (stopping_) return;
    deadline_passed_ = true;
    Err(Priority::kError) << "rxp-host: deadline of " << NumberText(options_.deadline)
                          << " s passed with " << cycles_ << " of "
                          << options_.cycles * sessions_.size() << " cycles completed" << std::endl;
    Json::Value fields(Json::objectValue);
    fields["cycles"] = Json::UInt64(cycles_);
    fields["requested"] = Json::UInt64(options_.cycles * sessions_.size());
    events_.Write("deadline", fields);
    Stop();
}

void BenchHost::StartReading() {
    line_.StartReading([this](unsigned char* data, std::size_t size) { OnChunk(data, size); },
                       [this](const std::string& what) { LineDown(what); });
}

// A port that hung up (a USB adapter pulled, the far end of a pseudo-terminal gone) or fails to
// read or write does not come back by itself: it is closed, and opened again every
// kReopenInterval until that works. Every device on it is out of contact until its next cycle.
void BenchHost::LineDown(const std::string& what) {
    if (line_down_ || stopping_) return;
    line_down_ = true;
    Err(Priority::kError) << "rxp-host: port '" << options_.port << "': " << what
                          << "; closing it and opening it again every "
                          << NumberText(kReopenInterval.count() / 1000.0) << " s" << std::endl;
    if (poll_active_) {
        poll_active_ = false;
        CancelReplyTimer();
        watch_.PollFailed(static_cast<unsigned>(polls_), "line");
        current_->FailPoll(
            polls_, "line", what,
            rxp::tools::CommandNameOfFrame(last_command_.data(), last_command_.size()), true);
    }
    poll_timer_.cancel();
    line_.Close();
    bool any_newly_lost = false;
    for (const auto& session : sessions_) {
        any_newly_lost = any_newly_lost || !session->lost();
        session->LineLost(what);
    }
    if (any_newly_lost) {
        Out(Priority::kError) << rxp::tools::IsoTimeNow() << "  communication lost: port "
                              << options_.port << ": " << what << std::endl;
    }
    reopen_failure_reported_ = false;
    watch_.Flush();
    WriteLiveState();
    line_.Reopen(
        kReopenInterval, [this] { LineOpenAgain(); },
        [this](const std::string& why) {
            Progress();  // trying the port again is the loop at work, the port down or not
            if (reopen_failure_reported_) return;
            reopen_failure_reported_ = true;
            Err(Priority::kError) << "rxp-host: " << why << "; trying again every "
                                  << NumberText(kReopenInterval.count() / 1000.0) << " s"
                                  << std::endl;
        });
}

void BenchHost::LineOpenAgain() {
    Progress();
    Err(Priority::kNotice) << "rxp-host: port '" << options_.port << "' open again" << std::endl;
    line_down_ = false;
    quiet_until_ = Clock::now();
    boost::asio::post(io_, [this] { StartPoll(); });
}

// A round polls every device once, in address order. Devices done with --cycles are left out;
// so is a lost device, but for one round in kLostRetryRounds, while another device of the round
// still answers.
void BenchHost::StartRound() {
    ++rounds_;
    Progress();
    next_round_due_ = Clock::now() + Seconds(options_.interval);
    round_.clear();
    round_next_ = 0;
    bool any_answering = false;
    for (const auto& session : sessions_) {
        const bool done = options_.cycles != 0 && session->cycles() >= options_.cycles;
        any_answering = any_answering || (!done && !session->lost());
    }
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        const DeviceSession& session = *sessions_[i];
        if (options_.cycles != 0 && session.cycles() >= options_.cycles) continue;
        if (session.lost() && any_answering &&
            rounds_ - counts_[i].last_try_round < kLostRetryRounds) {
            continue;
        }
        round_.push_back(i);
    }
}

void BenchHost::StartPoll() {
    if (stopping_ || line_down_ || poll_active_) return;
    if (round_next_ >= round_.size()) {
        ScheduleNext();
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now < quiet_until_) {
        WaitForQuiet(now);
        return;
    }
    quiet_wait_limit_ = Clock::time_point{};
    if (!line_.reading()) StartReading();
    TallyLine();
    current_index_ = round_[round_next_++];
    current_ = sessions_[current_index_].get();
    counts_[current_index_].last_try_round = rounds_;
    poll_active_ = true;
    ++polls_;
    poll_started_ = now;
    write_error_.clear();
    step_ = 0;
    current_->BeginPoll();
}

// Something is still arriving for an abandoned poll: the next poll waits for the line to go
// quiet, kQuietWaitRounds quiet gaps at most; then it counts as failed (for the device whose
// turn it is) and the wait begins again.
void BenchHost::WaitForQuiet(Clock::time_point now) {
    if (quiet_wait_limit_ == Clock::time_point{}) {
        quiet_wait_limit_ = now + kQuietWaitRounds * quiet_gap_;
    }
    if (now >= quiet_wait_limit_) {
        quiet_wait_limit_ = Clock::time_point{};
        FailBusyPoll();
        return;
    }
    WaitUntil(poll_timer_, std::min(quiet_until_, quiet_wait_limit_), [this] { StartPoll(); });
}

// A poll that could not start: nothing was sent, and it fails like one that got no reply.
void BenchHost::FailBusyPoll() {
    TallyLine();
    current_index_ = round_[round_next_++];
    current_ = sessions_[current_index_].get();
    counts_[current_index_].last_try_round = rounds_;
    current_->CountPoll();
    ++polls_;
    poll_started_ = Clock::now();
    step_ = 0;
    last_command_.clear();
    const double gap =  // to the millisecond
        std::round(std::chrono::duration<double>(quiet_gap_).count() * 1000.0) / 1000.0;
    FailPoll("busy", "line busy: not quiet for " + NumberText(gap) + " s within " +
                         NumberText(kQuietWaitRounds * gap) + " s, nothing sent");
}

bool BenchHost::SendFrame(DeviceSession&, const unsigned char* data, unsigned int size) {
    last_command_.assign(data, data + size);
    Progress();  // a command sent: the poll goes on, step by step
    const Clock::time_point now = Clock::now();
    check_.CommandWritten(now, data, size);
    watch_.Sent(now, static_cast<unsigned>(polls_), ++step_, data, size);
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

void BenchHost::OnChunk(unsigned char* data, std::size_t size) {
    const Clock::time_point now = Clock::now();
    const bool was_holding = watch_.holding();
    const std::vector<rxp::tools::FrameCutter::Piece>& pieces =
        watch_.Received(now, poll_active_ ? static_cast<unsigned>(polls_) : 0, step_, data, size);
    const std::vector<ReplyCheck::Judged>& judged =
        check_.Judge(pieces, current_->address(), now, was_holding, watch_.holding());
    // The line is request and reply: bytes that arrive while no command is outstanding answer
    // an abandoned poll and would be taken for a reply to the next one. They are dropped, and
    // the next poll waits until the line has been quiet for a while.
    if (!poll_active_) {
        quiet_until_ = std::max(quiet_until_, Clock::now() + quiet_gap_);
        current_->MarkReceiverDirty();
        return;
    }

    // Only whole frames reach the device, and only those the reply check lets through.
    DeviceSession& session = *current_;
    to_device_.clear();
    std::uint64_t frames = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (judged[i].from == session.address()) ++counts_[current_index_].own_frames;
        if (judged[i].verdict != ReplyCheck::Verdict::kPass) {
            NotTaken(session, i,
                     judged[i].verdict == ReplyCheck::Verdict::kOtherAddress ? judged[i].from : -1);
            continue;
        }
        frames += pieces[i].frame ? 1 : 0;
        to_device_.insert(to_device_.end(), pieces[i].bytes.begin(), pieces[i].bytes.end());
    }
    session.CountReplies(frames);
    if (to_device_.empty()) {
        watch_.Handled(ChunkOutcome::kNotAccepted);
        return;
    }

    const DeviceSession::Fed fed = session.Feed(to_device_.data(), to_device_.size());
    watch_.Handled(fed == DeviceSession::Fed::kSent || fed == DeviceSession::Fed::kPublished
                       ? ChunkOutcome::kAccepted
                       : ChunkOutcome::kNotAccepted);
    if (fed == DeviceSession::Fed::kPublished) {
        CompleteCycle();
    } else if (fed == DeviceSession::Fed::kDropped) {
        FailPoll("dropped", "reply " + (watch_.last_drop().empty() ? "dropped (overflow)"
                                                                   : watch_.last_drop()));
    }
}

// A frame kept from the polled device: counted, shown by --trace, and reported once per run as a
// warning, as what it is. `from` is the other address, or -1 for a second reply.
void BenchHost::NotTaken(DeviceSession& session, std::size_t piece, int from) {
    BusCounts& counts = counts_[current_index_];
    const std::string polled = std::to_string(session.address());
    Json::Value fields(Json::objectValue);
    if (from < 0) {
        ++counts.second_replies;
        watch_.Mark(piece, "not taken: a second reply from address " + polled + " to one command");
        if (counts.second_reply_reported) return;
        counts.second_reply_reported = true;
        Warn(session,
             "two replies to one command came from address " + polled +
                 "; the second was not taken. Are two units set to address " + polled + "?",
             fields);
        return;
    }
    ++counts.other_address;
    const std::string other = std::to_string(from);
    watch_.Mark(piece, "not taken: from address " + other + " while polling " + polled);
    fields["from_address"] = from;
    const std::size_t late = IndexOfAddress(from);
    if (late < sessions_.size()) {
        // Another device of the bus answered after its own poll was given up.
        BusCounts& late_counts = counts_[late];
        ++late_counts.late_replies;
        if (late_counts.late_reported) return;
        late_counts.late_reported = true;
        fields["polled_address"] = session.address();
        Warn(*sessions_[late],
             "a late reply of address " + other + " came while polling " + polled + ": address " +
                 other + " answers slower than --timeout",
             fields);
        return;
    }
    counts.other_from = counts.other_from == -1 || counts.other_from == from ? from : -2;
    // One device whose every reply so far came from one other address may be a unit that
    // answers with a fixed address: the failed polls tell (ReportFixedAddressUnit).
    if (sessions_.size() == 1 && counts.own_frames == 0 && counts.other_from >= 0) return;
    if (counts.other_address_reported) return;
    counts.other_address_reported = true;
    Warn(session,
         "a reply from address " + other + " came while address " + polled +
             " was polled; it was not taken: no device at address " + other +
             " is polled on this bus",
         fields);
}

// The only device on the line got replies from one other address and never one from its own,
// poll after poll until it counts as lost: a unit set to another address, or one that answers
// with a fixed address whatever it is asked.
void BenchHost::ReportFixedAddressUnit() {
    BusCounts& counts = counts_[current_index_];
    if (sessions_.size() != 1 || counts.other_address_reported || counts.own_frames != 0 ||
        counts.other_from < 0 || current_->failed_in_row() < kFailedPollsForLoss) {
        return;
    }
    counts.other_address_reported = true;
    const std::string polled = std::to_string(current_->address());
    const std::string other = std::to_string(counts.other_from);
    Json::Value fields(Json::objectValue);
    fields["from_address"] = counts.other_from;
    Warn(*current_,
         "every reply came from address " + other + " while address " + polled +
             " was polled, none from address " + polled +
             "; they were not taken. Is the unit set to address " + other +
             "? A unit that answers with a fixed address is polled with --no-address-check",
         fields);
}

void BenchHost::Warn(DeviceSession& about, const std::string& reason, Json::Value fields) {
    Err(Priority::kWarning) << "rxp-host: warning: " << reason << std::endl;
    fields["reason"] = reason;
    about.Event("warning", fields);
}

std::size_t BenchHost::IndexOfAddress(int address) const {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        if (sessions_[i]->address() == address) return i;
    }
    return sessions_.size();
}

// One timer serves all the commands of a poll: armed at the first, it is put off to the time of
// the last whenever it fires before that, so that a command costs no timer of its own.
void BenchHost::ArmReplyTimer() {
    reply_due_ = Clock::now() + Seconds(options_.timeout);
    if (!reply_timer_armed_) WaitForReplyDue();
}

void BenchHost::WaitForReplyDue() {
    reply_timer_armed_ = true;
    const std::uint64_t generation = ++reply_generation_;
    // Under a watchdog a long --timeout wakes every third of its period, as other waits do.
    Clock::time_point wake = reply_due_;
    if (watchdog_wake_ != Clock::duration::zero()) {
        wake = std::min(wake, Clock::now() + watchdog_wake_);
    }
    reply_timer_.expires_at(wake);
    reply_timer_.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || generation != reply_generation_) return;
        reply_timer_armed_ = false;
        OnReplyDue();
    });
}

void BenchHost::CancelReplyTimer() {
    ++reply_generation_;
    reply_timer_armed_ = false;
    reply_timer_.cancel();
}

void BenchHost::OnReplyDue() {
    if (!poll_active_) return;
    if (Clock::now() < reply_due_) {
        Progress();
        WaitForReplyDue();
        return;
    }
    if (line_.writing()) {
        // The port took not even the command in the reply's time: a peer that reads
        // nothing. The port is given up and opened again, as after a failure.
        LineDown("writing blocked: the command was not taken within " +
                 NumberText(options_.timeout) + " s");
        return;
    }
    // A frame shorter than its header says is still gathered by the port: it arrived in time,
    // and goes to the device before the poll is given up.
    line_.TakeWaiting();
    // The device took it and sent its next command (which armed the timer again), or the poll
    // ended with it.
    if (!poll_active_ || line_down_ || reply_timer_armed_) return;
    std::string detail = "no reply";
    if (!write_error_.empty()) detail = "command not sent (" + write_error_ + "), no reply";
    FailPoll("timeout", detail + " within " + NumberText(options_.timeout) + " s");
}

void BenchHost::ReportHistoryFailures() {
    if (!history_) return;
    for (const std::string& why : history_->TakeFailures()) {
        Err(Priority::kError) << "rxp-host: record not stored: " << PrintableText(why) << std::endl;
        Json::Value fields(Json::objectValue);
        fields["file"] = options_.history;
        fields["reason"] = why;
        fields["what"] = "history";
        events_.Write("error", fields);
    }
    using Level = HistoryWriter::Notice::Level;
    for (const HistoryWriter::Notice& notice : history_->TakeNotices()) {
        Err(notice.level == Level::kError ? Priority::kError : Priority::kWarning)
            << "rxp-host: history: " << notice.text << std::endl;
        if (notice.level == Level::kInfo) continue;
        Json::Value fields(Json::objectValue);
        fields["file"] = options_.history;
        fields["reason"] = notice.text;
        fields["what"] = "history";
        events_.Write(notice.level == Level::kError ? "error" : "warning", fields);
    }
}

void BenchHost::EndPoll() {
    poll_active_ = false;
    CancelReplyTimer();
    line_.StopAwaiting();
}

void BenchHost::CompleteCycle() {
    EndPoll();
    ++cycles_;
    current_->CompleteCycle(SecondsBetween(poll_started_, Clock::now()));
    ReportHistoryFailures();
    PluginLinesToEvents(events_);
    events_.Flush();
    watch_.Flush();
    WriteLiveState();
    Progress();
    if (AllCyclesDone()) {
        Stop();
        return;
    }
    ScheduleNext();
}

// --cycles N: every device has completed N cycles, or is lost while at least one has (a lost
// device does not hold the run up, a dead line does not end it). With --deadline a lost device
// is waited for until the deadline.
bool BenchHost::AllCyclesDone() const {
    if (options_.cycles == 0) return false;
    bool any_done = false;
    for (const auto& session : sessions_) {
        const bool done = session->cycles() >= options_.cycles;
        if (!done && (!session->lost() || options_.deadline > 0)) return false;
        any_done = any_done || done;
    }
    return any_done;
}

void BenchHost::FailPoll(const std::string& reason, const std::string& detail) {
    EndPoll();
    watch_.PollFailed(static_cast<unsigned>(polls_), reason);
    // The next poll, of whichever device, starts on a quiet line.
    quiet_until_ = std::max(quiet_until_, Clock::now() + quiet_gap_);
    ReportHistoryFailures();
    current_->FailPoll(polls_, reason, detail,
                       rxp::tools::CommandNameOfFrame(last_command_.data(), last_command_.size()),
                       false);
    if (options_.address_check) ReportFixedAddressUnit();
    events_.Flush();
    watch_.Flush();
    WriteLiveState();
    Progress();
    if (AllCyclesDone()) {
        Stop();
        return;
    }
    ScheduleNext();
}

// The next device of the round at once (StartPoll waits for a quiet line), or the next round
// when it is due: --interval after the start of this one, at once when the round took longer.
void BenchHost::ScheduleNext() {
    if (stopping_) return;
    if (round_next_ < round_.size()) {
        boost::asio::post(io_, [this] { StartPoll(); });
        return;
    }
    const auto next_round = [this] {
        StartRound();
        if (round_.empty()) {  // every device is done
            Stop();
            return;
        }
        StartPoll();
    };
    if (next_round_due_ <= Clock::now()) {
        boost::asio::post(io_, next_round);
        return;
    }
    WaitUntil(poll_timer_, next_round_due_, next_round);
}

void BenchHost::Stop() {
    stopping_ = true;
    service_.Stopping("stopping after " + std::to_string(cycles_) +
                      (cycles_ == 1 ? " cycle" : " cycles"));
    CancelReplyTimer();
    boost::system::error_code ignored;
    poll_timer_.cancel();
    deadline_timer_.cancel();
    signals_.cancel(ignored);
    line_.Close();
    io_.stop();
}

// The state and metrics files, replaced whole; a file that cannot be written is reported once
// and polling goes on.
void BenchHost::TallyLine() {
    const SerialLine::Counts c = line_.TakeCounts();
    current_->CountLine(c.reads, c.wakeups, c.reads + c.waits + c.wakeups + c.writes + c.settings);
}

void BenchHost::WriteLiveState() {
    if (options_.state.empty() && options_.metrics.empty()) return;
    TallyLine();
    BusState bus{HostFacts{options_.port, rxp::tools::Version(), history_ ? history_->failed() : 0,
                           events_.lost(), watch_.capture_lost(), OutputDropped(),
                           history_ ? history_->waiting() : 0, stopped_, stopped_at_, process_},
                 {}};
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        bus.devices.push_back(BusDeviceState{&sessions_[i]->live(), counts_[i].other_address,
                                             counts_[i].second_replies, counts_[i].late_replies});
    }
    std::string error;
    const bool ok =
        (options_.state.empty() ||
         ReplaceFile(options_.state, StateJson(bus, rxp::tools::WallClock::now()), &error)) &&
        (options_.metrics.empty() || ReplaceFile(options_.metrics, MetricsText(bus), &error));
    if (!ok && !live_error_reported_) {
        Err(Priority::kError) << "rxp-host: " << error << std::endl;
    }
    live_error_reported_ = !ok;
}

// Waits on `timer` until `due`, then runs `then`. Under a watchdog a longer wait (a long
// --interval or --timeout) wakes every third of its period to say the loop is alive and waits
// on time: a loop that is frozen or blocked wakes no more, and the service manager restarts it.
void BenchHost::WaitUntil(boost::asio::steady_timer& timer, Clock::time_point due,
                          std::function<void()> then) {
    if (watchdog_wake_ != Clock::duration::zero() && due - Clock::now() > watchdog_wake_) {
        timer.expires_after(watchdog_wake_);
        timer.async_wait([this, &timer, due, then](const boost::system::error_code& ec) {
            if (ec) return;
            Progress();
            WaitUntil(timer, due, then);
        });
        return;
    }
    timer.expires_at(due);
    timer.async_wait([then](const boost::system::error_code& ec) {
        if (!ec) then();
    });
}

// WATCHDOG=1 only from here: a round started, a command sent, a poll ended (answered or not),
// the port tried again, or a wait on time woke. That is every command: the status line is made
// again only when what it says has changed, and not at all without a service manager.
void BenchHost::Progress() {
    if (!service_.listening()) return;
    const StatusFacts facts{cycles_, DevicesUp(), line_down_};
    if (!(facts == status_facts_) || status_line_.empty()) {
        status_facts_ = facts;
        status_line_ = ServiceStatus();
    }
    service_.Alive(status_line_);
}

std::size_t BenchHost::DevicesUp() const {
    std::size_t up = 0;
    for (const auto& session : sessions_) {
        if (session->cycles() > 0 && !session->lost()) ++up;
    }
    return up;
}

// The line `systemctl status` shows: "2 devices, 2 up, 1234 cycles on /dev/ttyUSB0".
std::string BenchHost::ServiceStatus() const {
    const std::size_t up = DevicesUp();
    return std::to_string(sessions_.size()) + (sessions_.size() == 1 ? " device, " : " devices, ") +
           std::to_string(up) + " up, " + std::to_string(cycles_) +
           (cycles_ == 1 ? " cycle" : " cycles") + " on " + options_.port +
           (line_down_ ? " (port down, opening it again every second)" : "");
}

}  // namespace rxphost
