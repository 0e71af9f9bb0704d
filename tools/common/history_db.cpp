#include "tools/common/history_db.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace rxp::history {

namespace {

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
    return row;
}

}  // namespace

std::string LocalIsoTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

std::string LocalIsoTimeNow() {
    return LocalIsoTime(std::time(nullptr));
}

HistoryDb::HistoryDb(const std::string& path, Mode mode) : path_(path) {
    const int flags =
        mode == Mode::kCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw HistoryError(path + ": cannot open history database: " + why, SQLITE_CANTOPEN);
    }
    // The host may be writing while a reader looks: wait for its lock instead of failing.
    sqlite3_busy_timeout(db_, 5000);
    if (mode == Mode::kCreate) {
        char* error = nullptr;
        if (sqlite3_exec(db_, kCreateTable, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string why = error != nullptr ? error : "unknown error";
            sqlite3_free(error);
            Fail("cannot create table history: " + why, sqlite3_errcode(db_));
        }
    }
}

HistoryDb::~HistoryDb() {
    sqlite3_close(db_);
}

void HistoryDb::Fail(const std::string& what, int code) const {
    throw HistoryError(path_ + ": " + what, code & 0xFF);
}

void HistoryDb::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_, milliseconds);
}

std::string HistoryDb::WhyNotWritable() {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name, type FROM pragma_table_info('history') ORDER BY cid",
                           -1, &raw, nullptr) != SQLITE_OK) {
        return path_ + ": cannot read the table's columns: " + sqlite3_errmsg(db_);
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
    if (rc != SQLITE_DONE)
        return path_ + ": cannot read the table's columns: " + sqlite3_errmsg(db_);
    const std::string expected = "id INTEGER, time TEXT, device_id INTEGER, record BLOB";
    if (found != expected) {
        return path_ + ": table history has the columns (" + found + "), not (" + expected +
               "); not a history database of this host";
    }
    if (sqlite3_db_readonly(db_, "main") == 1) {
        return path_ +
               ": the database can only be read (file permissions or a read-only file "
               "system)";
    }
    return "";
}

std::int64_t HistoryDb::Append(const std::string& time, std::int64_t device_id,
                               const unsigned char* record, std::size_t size) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kInsertRow, -1, &raw, nullptr) != SQLITE_OK) {
        Fail(std::string("cannot store a record: ") + sqlite3_errmsg(db_), sqlite3_errcode(db_));
    }
    Statement s(raw);
    sqlite3_bind_text(raw, 1, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(raw, 2, device_id);
    sqlite3_bind_blob(raw, 3, record, static_cast<int>(size), SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_DONE) {
        Fail(std::string("cannot store a record: ") + sqlite3_errmsg(db_), sqlite3_errcode(db_));
    }
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Row> HistoryDb::Last(std::int64_t count) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kSelectLast, -1, &raw, nullptr) != SQLITE_OK) {
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    }
    Statement s(raw);
    sqlite3_bind_int64(raw, 1, count);
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) rows.push_back(ReadRow(raw));
    if (rc != SQLITE_DONE)
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    return rows;
}

bool HistoryDb::Find(std::int64_t id, Row* row) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kSelectRow, -1, &raw, nullptr) != SQLITE_OK) {
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    }
    Statement s(raw);
    sqlite3_bind_int64(raw, 1, id);
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) {
        *row = ReadRow(raw);
        return true;
    }
    if (rc != SQLITE_DONE)
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    return false;
}

std::int64_t HistoryDb::Count() {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, kCountRows, -1, &raw, nullptr) != SQLITE_OK) {
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    }
    Statement s(raw);
    if (sqlite3_step(raw) != SQLITE_ROW) {
        Fail(std::string("cannot read table history: ") + sqlite3_errmsg(db_),
             sqlite3_errcode(db_));
    }
    return sqlite3_column_int64(raw, 0);
}

}  // namespace rxp::history
