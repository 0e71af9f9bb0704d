// Stores the devices' history records on a thread of its own, so that a database locked by
// another program (a reader holding it, a backup) never holds up the polls. Records wait in a
// queue in memory, in order, until they are stored; none is dropped while the database is only
// busy, also when it is locked already at start. A record that cannot be stored for another
// reason (disk full, table gone) is tried kAttempts times and then reported as a failure.
//
// With a number of days to keep, the same thread deletes the rows older than that, a small
// batch at a time between records, so that the queue never waits long behind a deletion and a
// reader is never shut out for long. A wrong clock must not cost the history: rows stored in
// this run are deleted only once they are older than that by the monotonic clock too, and
// deleting pauses (a warning says why) while the clock and the stored rows disagree: the wall
// clock has jumped by more than a day ahead or back against the time since boot (which counts
// a suspend too) since the start, the newest row stored before the run is more than a day ahead
// of the clock, or every row stored before the run was older than the days to keep when the run
// started (the whole history would go at once; this lasts until the run's own first rows are
// that old by the monotonic clock). It goes on when they agree again: rows growing old while the
// host runs or sleeps are no disagreement.
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
    // Old rows deleted in one transaction, the pause between two such batches, and how often
    // rows that have grown old since are looked for.
    static constexpr int kDeleteBatch = 500;
    static constexpr std::chrono::milliseconds kDeletePause{20};
    static constexpr std::chrono::minutes kDeleteEvery{10};
    // A clock this far off the monotonic clock, or the stored rows, has jumped.
    static constexpr std::chrono::hours kClockJump{24};

    // Records may wait behind another program's lock this long before a warning says so.
    static constexpr std::chrono::seconds kLongWait{10};

    // Something to tell people that loses no record: a line on standard error, for kWarning a
    // "warning" event too, for kError an "error" event.
    struct Notice {
        enum class Level { kInfo, kWarning, kError };
        Level level;
        std::string text;  // names the file
    };

    // Opens or creates the database and proves that it is intact and can take rows; throws
    // std::runtime_error naming the file and the reason otherwise. A database locked by another
    // program is not a reason: the records wait until it is free (see TakeNotices).
    // `keep_days` > 0: rows older than that many days are deleted.
    HistoryWriter(const std::string& path, unsigned keep_days = 0);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // `address`: the device's bus address, stored with the record.
    void Append(const std::string& time, int address, std::int64_t device_id,
                const unsigned char* record, std::size_t size);
    // The failures since the last call, one text each, naming the file and the reason.
    std::vector<std::string> TakeFailures();
    std::vector<Notice> TakeNotices();
    // Stores what is still queued, waiting at most `grace` for a lock; records still not stored
    // then count as failures. Later Appends are failures too.
    void Finish(std::chrono::milliseconds grace);

    std::uint64_t stored() const;
    std::uint64_t failed() const;
    std::uint64_t deleted() const;
    std::size_t queued() const;
    // Records held in memory now because another program holds the database; 0 while rows go
    // in as they come.
    std::size_t waiting() const;
    const std::string& path() const { return path_; }

private:
    using Clock = std::chrono::steady_clock;

    struct Row {
        std::string time;
        int address;
        std::int64_t device_id;
        std::vector<unsigned char> record;
    };

    void Loop();
    void FailLocked(const std::string& why);
    // The database was found locked, or a row went in; called with the lock held.
    void HeldUpLocked();
    void FreeLocked();
    bool DeleteDueLocked() const;
    // After Prepare: which rows are this run's, and the newest time stored before it.
    void NoteRunStart();
    // Why deleting must wait for the clock; empty when it need not. Called with the lock held.
    std::string ClockDisagreement() const;
    // A row was stored with `id`; called with the lock held.
    void StoredLocked(std::int64_t id);
    // One batch of old rows; called without the lock.
    void DeleteOld(std::unique_lock<std::mutex>& lock);

    std::string path_;
    unsigned keep_days_;
    std::unique_ptr<rxp::history::HistoryDb> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Row> queue_;
    std::vector<std::string> failures_;
    std::vector<Notice> notices_;
    std::uint64_t stored_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t deleted_ = 0;
    bool prepared_ = false;  // Prepare succeeded; until then records wait
    std::string broken_;     // why no record can be stored in this database, once found
    bool finishing_ = false;
    bool finished_ = false;
    Clock::time_point give_up_at_;
    Clock::time_point held_up_since_{};  // {}: not held up by a lock
    // Rows with ids above this one are this run's; -1: not known, nothing is deleted.
    std::int64_t last_id_before_run_ = -1;
    bool rows_before_run_ = false;
    double newest_before_run_ = 0;  // Julian day
    double clock_offset_ = 0;       // wall clock minus time since boot at the start, seconds
    double run_start_ = 0;          // wall clock at the start, Unix seconds
    // This run's rows by age on the monotonic clock: the last id stored, about once an hour.
    std::deque<std::pair<Clock::time_point, std::int64_t>> run_marks_;
    std::int64_t run_rows_old_up_to_ = -1;  // this run's rows old enough to go
    std::string paused_;                    // why deleting waits for the clock
    bool long_wait_told_ = false;
    Clock::time_point next_delete_;
    std::thread thread_;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HISTORY_WRITER_H
