#include "tools/rxp-host/history_writer.h"

#include <sqlite3.h>

#include <stdexcept>

namespace rxphost {

constexpr std::chrono::milliseconds HistoryWriter::kBusyWait;

HistoryWriter::HistoryWriter(const std::string& path) : path_(path) {
    db_.reset(new rxp::history::HistoryDb(path, rxp::history::HistoryDb::Mode::kCreate));
    const std::string why = db_->WhyNotWritable();
    if (!why.empty()) throw std::runtime_error(why);
    db_->SetBusyTimeout(static_cast<int>(kBusyWait.count()));
    thread_ = std::thread([this] { Loop(); });
}

HistoryWriter::~HistoryWriter() {
    Finish(std::chrono::milliseconds(0));
}

void HistoryWriter::Append(const std::string& time, std::int64_t device_id,
                           const unsigned char* record, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finishing_) {
        ++failed_;
        failures_.push_back(path_ + ": a record came after the history was closed; not stored");
        return;
    }
    queue_.push_back(Row{time, device_id, std::vector<unsigned char>(record, record + size)});
    wake_.notify_one();
}

std::vector<std::string> HistoryWriter::TakeFailures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(failures_);
    return taken;
}

void HistoryWriter::Finish(std::chrono::milliseconds grace) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        if (!finishing_) {
            finishing_ = true;
            give_up_at_ = std::chrono::steady_clock::now() + grace;
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

std::size_t HistoryWriter::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void HistoryWriter::FailLocked(const std::string& why) {
    ++failed_;
    failures_.push_back(why);
    queue_.pop_front();
}

void HistoryWriter::Loop() {
    unsigned attempts = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
        if (queue_.empty()) return;      // finishing, nothing left
        const Row row = queue_.front();  // stays queued until it is stored
        lock.unlock();
        std::string error;
        int code = SQLITE_OK;
        try {
            db_->Append(row.time, row.device_id, row.record.data(), row.record.size());
        } catch (const rxp::history::HistoryError& e) {
            error = e.what();
            code = e.code();
        }
        lock.lock();
        if (error.empty()) {
            ++stored_;
            attempts = 0;
            queue_.pop_front();
            continue;
        }
        const bool busy = code == SQLITE_BUSY || code == SQLITE_LOCKED;
        const bool out_of_time = finishing_ && std::chrono::steady_clock::now() >= give_up_at_;
        if (busy && !out_of_time) continue;  // the busy timeout was the wait
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
