// Stores the device's history records on a thread of its own, so that a database locked by
// another program (a reader holding it, a backup) never holds up the polls. Records wait in a
// queue in memory, in order, until they are stored; none is dropped while the database is only
// busy. A record that cannot be stored for another reason (disk full, table gone) is tried
// kAttempts times and then reported as a failure.
#ifndef RXP_TOOLS_RXP_HOST_HISTORY_WRITER_H
#define RXP_TOOLS_RXP_HOST_HISTORY_WRITER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/history_db.h"

namespace rxphost {

class HistoryWriter {
public:
    static constexpr unsigned kAttempts = 3;
    // How long one attempt waits for another program's lock.
    static constexpr std::chrono::milliseconds kBusyWait{250};

    // Opens or creates the database and checks that it can take rows; throws
    // std::runtime_error naming the file and the reason otherwise.
    explicit HistoryWriter(const std::string& path);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    void Append(const std::string& time, std::int64_t device_id, const unsigned char* record,
                std::size_t size);
    // The failures since the last call, one text each, naming the file and the reason.
    std::vector<std::string> TakeFailures();
    // Stores what is still queued, waiting at most `grace` for a lock; records still not stored
    // then count as failures. Later Appends are failures too.
    void Finish(std::chrono::milliseconds grace);

    std::uint64_t stored() const;
    std::uint64_t failed() const;
    std::size_t queued() const;
    const std::string& path() const { return path_; }

private:
    struct Row {
        std::string time;
        std::int64_t device_id;
        std::vector<unsigned char> record;
    };

    void Loop();
    void FailLocked(const std::string& why);

    std::string path_;
    std::unique_ptr<rxp::history::HistoryDb> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Row> queue_;
    std::vector<std::string> failures_;
    std::uint64_t stored_ = 0;
    std::uint64_t failed_ = 0;
    bool finishing_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point give_up_at_;
    std::thread thread_;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HISTORY_WRITER_H
