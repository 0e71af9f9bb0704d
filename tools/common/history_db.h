// The bench host's history database: SQLite, one row per record a device stored as history.
//
//   CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT, device_id INTEGER,
//                         record BLOB, address INTEGER)
//
//   id         row number, rising in the order the records were stored, never given twice (not
//              even after the newest rows were deleted: AUTOINCREMENT; in a table of an older
//              build, which gives max(id) + 1, the table history_last_id below)
//   time       local time of storing, ISO 8601 with the UTC offset: "2024-05-01T12:34:56+02:00"
//              (indexed as an instant, so that a range of times is found without a scan)
//   device_id  the device id the host gave the device (record bytes 0..3)
//   record     the 289 bytes of the measurement record, exactly as handed to the host
//   address    the device's bus address, 0..255; NULL in rows stored before the history
//              carried addresses (a database of one device, upgraded in place: which address
//              its device had is not known, so none is made up)
//
// The bench host appends rows and deletes the oldest; the record reader reads them. Both use the
// statements and the small wrapper below so that the table is defined in one place.
#ifndef RXP_TOOLS_COMMON_HISTORY_DB_H
#define RXP_TOOLS_COMMON_HISTORY_DB_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace rxp::history {

constexpr const char kTable[] = "history";
constexpr const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS history ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, device_id INTEGER NOT NULL, "
    "record BLOB NOT NULL, address INTEGER)";
// The stored times as instants, offsets taken into account: a range of times is found through
// it without reading every row, and so are the rows old enough to be deleted.
constexpr const char kCreateIndex[] =
    "CREATE INDEX IF NOT EXISTS history_instant ON history (julianday(time))";
// Rows by address: one device's rows, and whether there are several devices, without a scan.
constexpr const char kCreateAddressIndex[] =
    "CREATE INDEX IF NOT EXISTS history_address ON history (address)";
constexpr const char kInsertRow[] =
    "INSERT INTO history (time, device_id, record, address) VALUES (?1, ?2, ?3, ?4)";
// A table of an older build is kept as it is (a copy would need the room of the whole history
// again, at start). Beside it one row holds the highest id it ever gave, raised by a trigger
// with every row, and rows are stored with an id above both that and the highest kept.
constexpr const char kCreateLastId[] =
    "CREATE TABLE IF NOT EXISTS history_last_id (id INTEGER NOT NULL)";
constexpr const char kFillLastId[] =
    "INSERT INTO history_last_id SELECT coalesce(MAX(id), 0) FROM history "
    "WHERE NOT EXISTS (SELECT 1 FROM history_last_id)";
constexpr const char kCreateLastIdTrigger[] =
    "CREATE TRIGGER IF NOT EXISTS history_raises_last_id AFTER INSERT ON history BEGIN "
    "UPDATE history_last_id SET id = NEW.id WHERE id < NEW.id; END";
constexpr const char kInsertRowAboveLastId[] =
    "INSERT INTO history (id, time, device_id, record, address) VALUES (max(coalesce((SELECT "
    "MAX(id) FROM history_last_id), 0), coalesce((SELECT MAX(id) FROM history), 0)) + 1, ?1, ?2, "
    "?3, ?4)";

// Any address, in the reading calls below.
constexpr int kAnyAddress = -1;

struct Row {
    std::int64_t id = 0;
    std::string time;
    std::int64_t device_id = 0;
    std::vector<unsigned char> record;  // as stored; the reader checks its size
    int address = kAnyAddress;          // -1: not known (a row of the one-device table)
};

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
    enum class Mode {
        // Reads only. The file is opened with write access where the permissions give it, so
        // that a journal left by a writer that stopped mid-write is rolled back and the rows
        // can be read; no statement of this handle writes.
        kReadOnly,
        // Opens or creates the file and prepares it at once (see Prepare).
        kCreate,
        // Opens or creates the file; Prepare is left to the caller, who may retry it while
        // another program holds a lock.
        kOpenForWriting,
    };

    HistoryDb(const std::string& path, Mode mode);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Makes the database ready to take rows, or throws saying why it cannot: checks that the
    // file is intact (SQLite's quick check), creates the table and indexes, upgrades a table of
    // an older build in place (adds the column address, and history_last_id so that no id is
    // given twice; no row is copied), and proves that a row can be written (a write that is
    // taken back). The table of another shape is refused.
    void Prepare();

    // Appends one row; returns its id. `address` -1 stores NULL.
    std::int64_t Append(const std::string& time, std::int64_t device_id,
                        const unsigned char* record, std::size_t size, int address = kAnyAddress);
    // The last `count` rows (of one address, or any), oldest first.
    std::vector<Row> Last(std::int64_t count, int address = kAnyAddress);
    // False when there is no row with this id.
    bool Find(std::int64_t id, Row* row);
    // Rows stored from `since` up to but not including `until` (any time text SQLite reads,
    // offsets taken into account), of one address or any, in time order; each is handed to
    // `take`, which returns false to stop.
    void Between(const std::string& since, const std::string& until,
                 const std::function<bool(const Row&)>& take, int address = kAnyAddress);
    std::int64_t Count();
    // True when the rows carry more than one address (rows of no known address count as one).
    bool SeveralAddresses();
    // Deletes at most `limit` rows stored before `cutoff` (compared as instants) whose id is
    // at most `last_id`; returns how many. Rows whose time SQLite cannot read are never deleted.
    int DeleteBefore(const std::string& cutoff, int limit, std::int64_t last_id);
    // The highest row id; 0 without rows.
    std::int64_t LastId();
    // The time of the newest row (by its instant) as a Julian day number; false without rows.
    bool NewestTime(double* julian_day);

    // How long a statement waits for another program's lock before it fails with SQLITE_BUSY.
    void SetBusyTimeout(int milliseconds);

    const std::string& path() const { return path_; }

private:
    [[noreturn]] void Fail(const std::string& what, int code) const;
    [[noreturn]] void FailSqlite(const std::string& what) const;
    void Exec(const char* sql, const std::string& what);
    std::string Columns();
    bool GivesIdsOnce();
    void Upgrade(bool has_address);
    std::string QuickCheck();
    std::int64_t Integer(const char* sql, std::int64_t if_none);
    std::string SelectFrom(const std::string& tail) const;

    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;  // Append's, prepared once
    bool has_address_ = true;         // false: a table of one device, read as it is
    bool checked_ = false;            // the quick check found the file intact
    bool ids_above_last_ = false;     // a table of an older build: ids from history_last_id
};

}  // namespace rxp::history

#endif  // RXP_TOOLS_COMMON_HISTORY_DB_H
