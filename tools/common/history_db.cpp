#include "tools/common/history_db.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace rxp::history {

namespace {

// The columns of the table as pragma_table_info names them, today and before rows carried the
// device's address.
constexpr const char kColumns[] =
    "id INTEGER, time TEXT, device_id INTEGER, record BLOB, address INTEGER";
constexpr const char kOneDeviceColumns[] = "id INTEGER, time TEXT, device_id INTEGER, record BLOB";

struct StatementDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Row ReadRow(sqlite3_stmt* s) {
    Row row;
    row.id = sqlite3_column_int64(s, 0);
    const unsigned char* time = sqlite3_column_text(s, 1);
    row.time = time != nullptr ? reinterpret_cast<const char*>(time) : "";
    row.device_id = sqlite3_column_int64(s, 2);
    const void* blob = sqlite3_column_blob(s, 3);
    const int size = sqlite3_column_bytes(s, 3);
    if (blob != nullptr && size > 0) {
        const auto* p = static_cast<const unsigned char*>(blob);
        row.record.assign(p, p + size);
    }
    row.address = sqlite3_column_type(s, 4) == SQLITE_NULL ? kAnyAddress : sqlite3_column_int(s, 4);
    return row;
}

// Why the file could not be opened, in terms of what the user can do about it; SQLite itself
// says only "unable to open database file".
std::string WhyNotOpened(const std::string& path, bool create, const std::string& sqlite_why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    const fs::file_status folder_status = fs::status(folder, ec);
    const std::string action = "cannot open history database";
    if (!fs::exists(folder_status)) {
        return path + ": " + action + ": the folder '" + folder.string() +
               "' does not exist; create it first (mkdir -p '" + folder.string() +
               "') or give a path in a folder that exists";
    }
    if (!fs::is_directory(folder_status)) {
        return path + ": " + action + ": '" + folder.string() + "' is not a folder";
    }
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
        return path + ": " + action + ": it is a folder; give the name of a file in it";
    }
    if (!create && !fs::exists(status)) {
        return path + ": " + action + ": no such file";
    }
    return path + ": " + action + ": " + sqlite_why;
}

bool IsDamage(int code) {
    return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB;
}

}  // namespace

HistoryDb::HistoryDb(const std::string& path, Mode mode) : path_(path) {
    const bool create = mode != Mode::kReadOnly;
    // Without SQLITE_OPEN_CREATE a reader never makes a file; with read-write access it can roll
    // back a journal left by a writer that stopped mid-write (SQLite falls back to read-only
    // access where the permissions allow no more).
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw HistoryError(WhyNotOpened(path, create, why), SQLITE_CANTOPEN);
    }
    // The host may be writing while a reader looks: wait for its lock instead of failing.
    sqlite3_busy_timeout(db_, 5000);
    try {
        if (mode == Mode::kReadOnly) {
            Exec("PRAGMA query_only = 1", "cannot open the history database");
            has_address_ = Columns() == kColumns;
        } else if (mode == Mode::kCreate) {
            Prepare();
        }
    } catch (...) {
        // The destructor does not run for a constructor that throws: close here.
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

HistoryDb::~HistoryDb() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
}

void HistoryDb::Fail(const std::string& what, int code) const {
    throw HistoryError(path_ + ": " + what, code & 0xFF);
}

void HistoryDb::FailSqlite(const std::string& what) const {
    if (sqlite3_extended_errcode(db_) == SQLITE_READONLY_ROLLBACK) {
        Fail(what + ": a writer stopped in the middle of a write and left its journal ('" + path_ +
                 "-journal'), which only a user who may write the database can roll back: read "
                 "it once as such a user",
             SQLITE_READONLY);
    }
    Fail(what + ": " + sqlite3_errmsg(db_), sqlite3_errcode(db_));
}

void HistoryDb::Exec(const char* sql, const std::string& what) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) return;
    const std::string why = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    Fail(what + ": " + why, sqlite3_errcode(db_));
}

void HistoryDb::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_, milliseconds);
}

// "id INTEGER, time TEXT, ..." of the table history; empty when there is none.
std::string HistoryDb::Columns() {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name, type FROM pragma_table_info('history') ORDER BY cid",
                           -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read the table's columns");
    }
    Statement s(raw);
    std::string found;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        if (!found.empty()) found += ", ";
        found += reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        const unsigned char* type = sqlite3_column_text(raw, 1);
        if (type != nullptr && *type != 0)
            found += std::string(" ") + reinterpret_cast<const char*>(type);
    }
    if (rc != SQLITE_DONE) FailSqlite("cannot read the table's columns");
    return found;
}

// Empty when SQLite's quick check finds the file intact, else its first finding.
std::string HistoryDb::QuickCheck() {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &raw, nullptr);
    Statement s(raw);
    if (rc == SQLITE_OK) rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(raw, 0);
        std::string finding = text != nullptr ? reinterpret_cast<const char*>(text) : "?";
        if (finding == "ok") return "";
        // One line: "*** in database main ***\nPage 21: ..." becomes "Page 21: ...".
        const std::string head = "*** in database main ***";
        if (finding.compare(0, head.size(), head) == 0) finding.erase(0, head.size());
        for (char& c : finding) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        const std::size_t start = finding.find_first_not_of(' ');
        return start == std::string::npos ? "?" : finding.substr(start);
    }
    if (IsDamage(rc)) return sqlite3_errmsg(db_);
    FailSqlite("cannot check the history database");
}

void HistoryDb::Prepare() {
    if (sqlite3_db_readonly(db_, "main") == 1) {
        Fail("the database can only be read (file permissions or a read-only file system)",
             SQLITE_READONLY);
    }
    // Once found intact, not read whole again when Prepare is retried behind a lock.
    const std::string damage = checked_ ? "" : QuickCheck();
    checked_ = damage.empty();
    if (!damage.empty()) {
        Fail("the database is damaged or not a database (SQLite's quick check: " + damage +
                 "); nothing is written into it: move it aside to start a new one (sqlite3's "
                 ".recover command may save its rows)",
             SQLITE_CORRUPT);
    }
    Exec("BEGIN IMMEDIATE", "cannot write the history database");
    try {
        const std::string found = Columns();
        if (found.empty()) {
            Exec(kCreateTable, "cannot create table history");
        } else if (found != kColumns && found != kOneDeviceColumns) {
            Fail("table history has the columns (" + found + "), not (" + kColumns +
                     "); not a history database of this host",
                 SQLITE_MISMATCH);
        }
        ids_above_last_ = !GivesIdsOnce();
        if (ids_above_last_) Upgrade(found == kColumns);
        Exec(kCreateIndex, "cannot create the index of table history");
        Exec(kCreateAddressIndex, "cannot write the history database");
        // Opening proves little: a row written and taken back needs the journal beside the
        // file, so a folder that cannot be written or a full disk shows now, not at the first
        // record.
        Exec("SAVEPOINT probe", "cannot write the history database");
        Exec("INSERT INTO history (time, device_id, record) VALUES ('', 0, x'00')",
             "cannot write the history database");
        Exec("ROLLBACK TO probe", "cannot write the history database");
        Exec("RELEASE probe", "cannot write the history database");
        Exec("COMMIT", "cannot write the history database");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    has_address_ = true;
}

bool HistoryDb::GivesIdsOnce() {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = "
                           "'history'",
                           -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read the table's definition");
    }
    Statement s(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) FailSqlite("cannot read the table's definition");
    const unsigned char* sql = sqlite3_column_text(raw, 0);
    return sql != nullptr &&
           std::string(reinterpret_cast<const char*>(sql)).find("AUTOINCREMENT") !=
               std::string::npos;
}

// A table of an older build gives the ids of the newest rows again once they are deleted, and
// the first of them has no column address (its rows keep none: which device they were of is
// not known). Both are made good in place, inside the caller's transaction, writing a page or
// two whatever the size of the history; run again at every start, it changes nothing.
void HistoryDb::Upgrade(bool has_address) {
    const std::string what = "cannot upgrade table history";
    if (!has_address) Exec("ALTER TABLE history ADD COLUMN address INTEGER", what);
    Exec(kCreateLastId, what);
    Exec(kFillLastId, what);
    Exec(kCreateLastIdTrigger, what);
}

std::string HistoryDb::SelectFrom(const std::string& tail) const {
    return std::string("SELECT id, time, device_id, record, ") +
           (has_address_ ? "address" : "NULL AS address") + " FROM history " + tail;
}

std::int64_t HistoryDb::Append(const std::string& time, std::int64_t device_id,
                               const unsigned char* record, std::size_t size, int address) {
    // A row a cycle: the statement is prepared once and reset after every row, which also
    // ends its hold on the database.
    if (insert_ == nullptr &&
        sqlite3_prepare_v2(db_, ids_above_last_ ? kInsertRowAboveLastId : kInsertRow, -1, &insert_,
                           nullptr) != SQLITE_OK) {
        insert_ = nullptr;
        FailSqlite("cannot store a record");
    }
    sqlite3_clear_bindings(insert_);
    sqlite3_bind_text(insert_, 1, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 2, device_id);
    sqlite3_bind_blob(insert_, 3, record, static_cast<int>(size), SQLITE_TRANSIENT);
    if (address >= 0) sqlite3_bind_int(insert_, 4, address);
    if (sqlite3_step(insert_) != SQLITE_DONE) {
        try {
            FailSqlite("cannot store a record");
        } catch (...) {
            sqlite3_reset(insert_);
            throw;
        }
    }
    sqlite3_reset(insert_);
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Row> HistoryDb::Last(std::int64_t count, int address) {
    // The last N rows, oldest first; rows of the one-device table have no address.
    const std::string sql =
        "SELECT * FROM (" +
        SelectFrom(std::string("WHERE ") + (has_address_ ? "(?2 < 0 OR address = ?2)" : "?2 < 0") +
                   " ORDER BY id DESC LIMIT ?1") +
        ") ORDER BY id";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read table history");
    }
    Statement s(raw);
    sqlite3_bind_int64(raw, 1, count);
    sqlite3_bind_int(raw, 2, address);
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) rows.push_back(ReadRow(raw));
    if (rc != SQLITE_DONE) FailSqlite("cannot read table history");
    return rows;
}

bool HistoryDb::Find(std::int64_t id, Row* row) {
    const std::string sql = SelectFrom("WHERE id = ?1");
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read table history");
    }
    Statement s(raw);
    sqlite3_bind_int64(raw, 1, id);
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) {
        *row = ReadRow(raw);
        return true;
    }
    if (rc != SQLITE_DONE) FailSqlite("cannot read table history");
    return false;
}

void HistoryDb::Between(const std::string& since, const std::string& until,
                        const std::function<bool(const Row&)>& take, int address) {
    // The index on julianday(time) keeps this from reading every row.
    const std::string sql = SelectFrom(std::string("WHERE julianday(time) >= julianday(?1) AND "
                                                   "julianday(time) < julianday(?2) AND ") +
                                       (has_address_ ? "(?3 < 0 OR address = ?3)" : "?3 < 0") +
                                       " ORDER BY julianday(time), id");
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read table history");
    }
    Statement s(raw);
    sqlite3_bind_text(raw, 1, since.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, until.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(raw, 3, address);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        if (!take(ReadRow(raw))) return;
    }
    if (rc != SQLITE_DONE) FailSqlite("cannot read table history");
}

// The one integer `sql` yields; `if_none` when it yields no row or NULL.
std::int64_t HistoryDb::Integer(const char* sql, std::int64_t if_none) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot read table history");
    }
    Statement s(raw);
    const int rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) FailSqlite("cannot read table history");
    return rc == SQLITE_ROW && sqlite3_column_type(raw, 0) != SQLITE_NULL
               ? sqlite3_column_int64(raw, 0)
               : if_none;
}

std::int64_t HistoryDb::Count() {
    return Integer("SELECT COUNT(*) FROM history", 0);
}

bool HistoryDb::SeveralAddresses() {
    if (!has_address_) return false;
    // Each an end of the index on address: no scan of the rows.
    const std::int64_t lowest = Integer("SELECT MIN(address) FROM history", -1);
    const std::int64_t highest = Integer("SELECT MAX(address) FROM history", -1);
    const bool unknown = Integer("SELECT 1 FROM history WHERE address IS NULL LIMIT 1", -1) == 1;
    return lowest != highest || (unknown && lowest >= 0);
}

std::int64_t HistoryDb::LastId() {
    return Integer("SELECT MAX(id) FROM history", 0);  // none yet: 0
}

bool HistoryDb::NewestTime(double* julian_day) {
    // The end of the index on julianday(time).
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT MAX(julianday(time)) FROM history", -1, &raw, nullptr) !=
        SQLITE_OK) {
        FailSqlite("cannot read table history");
    }
    Statement s(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) FailSqlite("cannot read table history");
    if (sqlite3_column_type(raw, 0) == SQLITE_NULL) return false;
    *julian_day = sqlite3_column_double(raw, 0);
    return true;
}

int HistoryDb::DeleteBefore(const std::string& cutoff, int limit, std::int64_t last_id) {
    // Oldest first, found through the index on julianday(time): times with different UTC
    // offsets are compared as the instants they name, never as text.
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE "
                           "julianday(time) < julianday(?1) AND id <= ?3 ORDER BY julianday(time) "
                           "LIMIT ?2)",
                           -1, &raw, nullptr) != SQLITE_OK) {
        FailSqlite("cannot delete old rows");
    }
    Statement s(raw);
    sqlite3_bind_text(raw, 1, cutoff.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(raw, 2, limit);
    sqlite3_bind_int64(raw, 3, last_id);
    if (sqlite3_step(raw) != SQLITE_DONE) FailSqlite("cannot delete old rows");
    return sqlite3_changes(db_);
}

}  // namespace rxp::history
