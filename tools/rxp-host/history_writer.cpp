#include "tools/rxp-host/history_writer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include "tools/common/time_text.h"

namespace rxphost {

constexpr std::chrono::milliseconds HistoryWriter::kBusyWait;
constexpr std::chrono::milliseconds HistoryWriter::kDeletePause;
constexpr std::chrono::minutes HistoryWriter::kDeleteEvery;
constexpr std::chrono::seconds HistoryWriter::kLongWait;
constexpr std::chrono::hours HistoryWriter::kClockJump;

namespace {

bool IsBusy(int code) {
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

double SecondsOf(std::chrono::nanoseconds since_epoch) {
    return std::chrono::duration<double>(since_epoch).count();
}

// Wall clock minus the time since boot, seconds: steady unless the wall clock is set. The boot
// clock counts a suspend as the wall clock does, so waking from one is no jump.
double ClockOffset() {
    timespec boot{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return SecondsOf(rxp::tools::WallClock::now().time_since_epoch()) -
           (static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9);
}

// Whole days of `seconds`, for people.
std::string Days(double seconds) {
    return std::to_string(static_cast<long long>(std::fabs(seconds) / 86400.0 + 0.5));
}

}  // namespace

HistoryWriter::HistoryWriter(const std::string& path, unsigned keep_days)
    : path_(path), keep_days_(keep_days) {
    using rxp::history::HistoryDb;
    db_.reset(new HistoryDb(path, HistoryDb::Mode::kOpenForWriting));
    db_->SetBusyTimeout(static_cast<int>(kBusyWait.count()));
    try {
        db_->Prepare();
        prepared_ = true;
        NoteRunStart();
    } catch (const rxp::history::HistoryError& e) {
        if (!IsBusy(e.code())) throw;
        // Held by a reader or a backup: the same wait as for a lock taken during the run.
        notices_.push_back({Notice::Level::kInfo, path_ +
                                                      ": locked by another program; the "
                                                      "records wait in memory until it is free"});
        held_up_since_ = Clock::now();
    }
    next_delete_ = Clock::now();
    thread_ = std::thread([this] { Loop(); });
}

HistoryWriter::~HistoryWriter() {
    Finish(std::chrono::milliseconds(0));
}

void HistoryWriter::Append(const std::string& time, int address, std::int64_t device_id,
                           const unsigned char* record, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) {
        ++failed_;
        failures_.push_back(path_ + ": a record came after the history was closed; not stored");
        return;
    }
    queue_.push_back(
        Row{time, address, device_id, std::vector<unsigned char>(record, record + size)});
    wake_.notify_one();
}

std::vector<std::string> HistoryWriter::TakeFailures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(failures_);
    return taken;
}

std::vector<HistoryWriter::Notice> HistoryWriter::TakeNotices() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Notice> taken;
    taken.swap(notices_);
    return taken;
}

void HistoryWriter::Finish(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        if (!finishing_) {
            finishing_ = true;
            give_up_at_ = Clock::now() + grace;
        }
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
}

std::uint64_t HistoryWriter::stored() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stored_;
}

std::uint64_t HistoryWriter::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

std::uint64_t HistoryWriter::deleted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
}

std::size_t HistoryWriter::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

std::size_t HistoryWriter::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_up_since_ == Clock::time_point{} ? 0 : queue_.size();
}

void HistoryWriter::HeldUpLocked() {
    const Clock::time_point now = Clock::now();
    if (held_up_since_ == Clock::time_point{}) held_up_since_ = now;
    if (long_wait_told_ || now - held_up_since_ < kLongWait) return;
    long_wait_told_ = true;
    notices_.push_back({Notice::Level::kWarning,
                        path_ + ": locked by another program for more than " +
                            std::to_string(kLongWait.count()) + " s; " +
                            std::to_string(queue_.size()) +
                            " records wait in memory (\"history_waiting\") and are lost if the "
                            "host is killed"});
}

void HistoryWriter::FreeLocked() {
    if (held_up_since_ == Clock::time_point{}) return;
    if (long_wait_told_) {
        notices_.push_back({Notice::Level::kInfo,
                            path_ + ": free again; the records that waited are being stored"});
    }
    held_up_since_ = Clock::time_point{};
    long_wait_told_ = false;
}

void HistoryWriter::FailLocked(const std::string& why) {
    ++failed_;
    failures_.push_back(why);
    queue_.pop_front();
}

void HistoryWriter::NoteRunStart() {
    clock_offset_ = ClockOffset();
    run_start_ = SecondsOf(rxp::tools::WallClock::now().time_since_epoch());
    try {
        const std::int64_t last = db_->LastId();
        rows_before_run_ = db_->NewestTime(&newest_before_run_);
        last_id_before_run_ = last;
    } catch (const rxp::history::HistoryError&) {
        last_id_before_run_ = -1;  // which rows are this run's is not known: none is deleted
    }
}

std::string HistoryWriter::ClockDisagreement() const {
    const double jump = ClockOffset() - clock_offset_;
    const double limit = std::chrono::duration<double>(kClockJump).count();
    if (std::fabs(jump) > limit) {
        return "the clock was set " + Days(jump) + " days " + (jump > 0 ? "ahead" : "back") +
               " while the host ran";
    }
    if (!rows_before_run_) return "";
    const double now = SecondsOf(rxp::tools::WallClock::now().time_since_epoch());
    const double newest = (newest_before_run_ - 2440587.5) * 86400.0;  // Unix seconds
    if (newest > now + limit) {
        return "the newest stored row is " + Days(newest - now) + " days ahead of the clock";
    }
    // Judged at the start, not against today's clock: rows grow old as the host runs, which
    // is what deleting is for. Once this run's own first rows are that old by the monotonic
    // clock, the clock has kept time for the whole span and is trusted again.
    if (newest < run_start_ - keep_days_ * 86400.0 && run_rows_old_up_to_ < 0) {
        return "every row stored before this run is older than " + std::to_string(keep_days_) +
               " days (the newest " + Days(run_start_ - newest) +
               " days at the start): the clock may be wrong, or the host was stopped that long";
    }
    return "";
}

void HistoryWriter::StoredLocked(std::int64_t id) {
    const Clock::time_point now = Clock::now();
    if (run_marks_.empty() || now - run_marks_.back().first >= std::chrono::hours(1)) {
        run_marks_.emplace_back(now, id);
    }
    // A clock set while rows are stored is looked at at once, not at the next deletion.
    if (keep_days_ > 0 && ClockDisagreement().empty() != paused_.empty()) next_delete_ = now;
}

bool HistoryWriter::DeleteDueLocked() const {
    return keep_days_ > 0 && prepared_ && broken_.empty() && !finishing_ &&
           Clock::now() >= next_delete_;
}

void HistoryWriter::DeleteOld(std::unique_lock<std::mutex>& lock) {
    // This run's rows age by the monotonic clock, also while deleting pauses.
    const auto keep = std::chrono::hours(24) * keep_days_;
    const Clock::time_point aged = Clock::now() - keep;
    while (!run_marks_.empty() && run_marks_.front().first <= aged) {
        run_rows_old_up_to_ = run_marks_.front().second;
        run_marks_.pop_front();
    }
    const std::string disagreement = ClockDisagreement();
    if (!disagreement.empty()) {
        if (paused_.empty()) {
            notices_.push_back({Notice::Level::kWarning,
                                path_ + ": rows older than " + std::to_string(keep_days_) +
                                    " days are not deleted while the clock and the stored rows "
                                    "disagree: " +
                                    disagreement});
        }
        paused_ = disagreement;
        next_delete_ = Clock::now() + std::chrono::minutes(1);
        return;
    }
    if (!paused_.empty()) {
        paused_.clear();
        notices_.push_back({Notice::Level::kInfo, path_ +
                                                      ": the clock and the stored rows agree "
                                                      "again; rows older than " +
                                                      std::to_string(keep_days_) +
                                                      " days are deleted again"});
    }
    const std::int64_t last_id = std::max(last_id_before_run_, run_rows_old_up_to_);
    const std::string cutoff = rxp::tools::IsoTime(rxp::tools::WallClock::now() - keep);
    lock.unlock();
    int deleted = 0;
    std::string error;
    int code = SQLITE_OK;
    try {
        deleted = db_->DeleteBefore(cutoff, kDeleteBatch, last_id);
    } catch (const rxp::history::HistoryError& e) {
        error = e.what();
        code = e.code();
    }
    lock.lock();
    deleted_ += static_cast<std::uint64_t>(deleted);
    if (error.empty()) {
        // A full batch: more are old; the pause lets records and readers in between.
        next_delete_ =
            Clock::now() + (deleted < kDeleteBatch
                                ? std::chrono::duration_cast<Clock::duration>(kDeleteEvery)
                                : std::chrono::duration_cast<Clock::duration>(kDeletePause));
        return;
    }
    if (IsBusy(code)) return;  // the busy timeout was the wait; records come first
    notices_.push_back({Notice::Level::kError, error + " (rows older than " +
                                                   std::to_string(keep_days_) +
                                                   " days are kept until it works)"});
    next_delete_ = Clock::now() + kDeleteEvery;
}

void HistoryWriter::Loop() {
    unsigned attempts = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto ready = [this] { return finishing_ || !queue_.empty() || DeleteDueLocked(); };
        if (keep_days_ > 0 && prepared_ && broken_.empty() && !finishing_) {
            wake_.wait_until(lock, next_delete_, ready);
        } else {
            wake_.wait(lock, ready);
        }
        if (!prepared_ && broken_.empty()) {
            // Locked since the start: the checks of the start are made as soon as it is free.
            if (queue_.empty()) {
                if (finishing_) return;
                continue;
            }
            lock.unlock();
            std::string error;
            int code = SQLITE_OK;
            try {
                db_->Prepare();
            } catch (const rxp::history::HistoryError& e) {
                error = e.what();
                code = e.code();
            }
            lock.lock();
            if (error.empty()) {
                prepared_ = true;
                NoteRunStart();
                long_wait_told_ = true;  // the start's notice said that they wait
                FreeLocked();
            } else if (!IsBusy(code)) {
                broken_ = error;
                held_up_since_ = Clock::time_point{};
            } else if (finishing_ && Clock::now() >= give_up_at_) {
                while (!queue_.empty())
                    FailLocked(error + " (record not stored by the end of the run)");
            } else {
                HeldUpLocked();
            }
            continue;
        }
        if (queue_.empty()) {
            if (finishing_) return;
            if (DeleteDueLocked()) DeleteOld(lock);
            continue;
        }
        if (!broken_.empty()) {
            FailLocked(broken_ + " (record not stored)");
            continue;
        }
        const Row row = queue_.front();  // stays queued until it is stored
        lock.unlock();
        std::string error;
        int code = SQLITE_OK;
        std::int64_t id = 0;
        try {
            id = db_->Append(row.time, row.device_id, row.record.data(), row.record.size(),
                             row.address);
        } catch (const rxp::history::HistoryError& e) {
            error = e.what();
            code = e.code();
        }
        lock.lock();
        if (error.empty()) {
            StoredLocked(id);
            ++stored_;
            attempts = 0;
            queue_.pop_front();
            FreeLocked();
            continue;
        }
        const bool busy = IsBusy(code);
        const bool out_of_time = finishing_ && Clock::now() >= give_up_at_;
        if (busy && !out_of_time) {  // the busy timeout was the wait
            HeldUpLocked();
            continue;
        }
        if (busy) {
            // The run ends with the database still locked: every queued record is lost.
            while (!queue_.empty())
                FailLocked(error + " (record not stored by the end of the run)");
            continue;
        }
        if (++attempts < kAttempts && !out_of_time) {
            lock.unlock();
            std::this_thread::sleep_for(kBusyWait);
            lock.lock();
            continue;
        }
        attempts = 0;
        FailLocked(error + " (after " + std::to_string(kAttempts) + " attempts)");
    }
}

}  // namespace rxphost
