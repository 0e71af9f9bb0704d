// The bench host's history database: SQLite, one row per record the device stored as history.
//
//   CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT, device_id INTEGER, record BLOB)
//
//   id         row number, rising in the order the records were stored
//   time       local time of storing, ISO 8601 without zone: "2024-05-01T12:34:56"
//   device_id  the device id the host gave the device (record bytes 0..3)
//   record     the 289 bytes of the measurement record, exactly as handed to the host
//
// The bench host appends rows; the record reader reads them. Both use the statements and the
// small wrapper below so that the table is defined in one place.
#ifndef RXP_TOOLS_COMMON_HISTORY_DB_H
#define RXP_TOOLS_COMMON_HISTORY_DB_H

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace rxp::history {

constexpr const char kTable[] = "history";
constexpr const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS history ("
    "id INTEGER PRIMARY KEY, time TEXT NOT NULL, device_id INTEGER NOT NULL, record BLOB NOT NULL)";
constexpr const char kInsertRow[] =
    "INSERT INTO history (time, device_id, record) VALUES (?1, ?2, ?3)";
// The last N rows, oldest first.
constexpr const char kSelectLast[] =
    "SELECT id, time, device_id, record FROM "
    "(SELECT id, time, device_id, record FROM history ORDER BY id DESC LIMIT ?1) ORDER BY id";
constexpr const char kSelectRow[] = "SELECT id, time, device_id, record FROM history WHERE id = ?1";
constexpr const char kCountRows[] = "SELECT COUNT(*) FROM history";

struct Row {
    std::int64_t id = 0;
    std::string time;
    std::int64_t device_id = 0;
    std::vector<unsigned char> record;  // as stored; the reader checks its size
};

// Local time as stored in the time column: "YYYY-MM-DDThh:mm:ss".
std::string LocalIsoTime(std::time_t when);
std::string LocalIsoTimeNow();

// A failed database operation: the text names the file and what SQLite said; `code` is SQLite's
// primary result code (SQLITE_BUSY for a lock held too long by another program).
class HistoryError : public std::runtime_error {
public:
    HistoryError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// One open database. Every failure throws HistoryError.
class HistoryDb {
public:
    enum class Mode { kReadOnly, kCreate };

    HistoryDb(const std::string& path, Mode mode);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Appends one row; returns its id.
    std::int64_t Append(const std::string& time, std::int64_t device_id,
                        const unsigned char* record, std::size_t size);
    std::vector<Row> Last(std::int64_t count);
    // False when there is no row with this id.
    bool Find(std::int64_t id, Row* row);
    std::int64_t Count();

    // How long a statement waits for another program's lock before it fails with SQLITE_BUSY.
    void SetBusyTimeout(int milliseconds);
    // Empty when the database can take rows; otherwise why not, naming the file: the table
    // "history" with other columns than the ones above, or a database opened read-only.
    std::string WhyNotWritable();

    const std::string& path() const { return path_; }

private:
    [[noreturn]] void Fail(const std::string& what, int code) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace rxp::history

#endif  // RXP_TOOLS_COMMON_HISTORY_DB_H
