// history_fill DB ROWS START [STEP [ADDRESS]]: appends ROWS records STEP seconds apart (default
// 1) from START (ISO 8601) to the bench host's history database, as a device at bus address
// ADDRESS (default 1) polled every STEP seconds would have stored them, in one transaction. The
// row times are written in the local zone of the process (TZ). The values follow a slow daily
// wave so that a plot has something to show. Used by the record reader's and the bench host's
// tests and by scripts/bench-record.sh.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "tools/common/history_db.h"
#include "tools/common/record_fields.h"
#include "tools/common/scenario.h"
#include "tools/common/time_text.h"

namespace {

bool Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    std::cerr << "history_fill: " << (error != nullptr ? error : "?") << std::endl;
    sqlite3_free(error);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        std::cerr << "usage: history_fill DB ROWS START [STEP [ADDRESS]]" << std::endl;
        return 2;
    }
    const long rows = std::atol(argv[2]);
    const long step = argc > 4 ? std::atol(argv[4]) : 1;
    const int address = argc > 5 ? std::atoi(argv[5]) : 1;
    const auto start = rxp::tools::ParseIsoTime(argv[3]);
    sqlite3* db = nullptr;
    if (sqlite3_open(argv[1], &db) != SQLITE_OK || !Exec(db, rxp::history::kCreateTable) ||
        !Exec(db, rxp::history::kCreateIndex) || !Exec(db, "BEGIN")) {
        return 1;
    }
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, rxp::history::kInsertRow, -1, &insert, nullptr);
    rxp::tools::RecordBytes record = rxp::tools::Scenario::Healthy();
    const auto set = [&record](const char* name, double value) {
        const rxp::tools::RecordField* f = rxp::tools::FindRecordField(name);
        rxp::tools::WriteField(record.data(), f->offset, f->width,
                               static_cast<std::uint32_t>(std::lround(value)));
    };
    const double kPi = 3.14159265358979;
    for (long i = 0; i < rows; ++i) {
        const auto when = start + std::chrono::seconds(i * step);
        const double day = 2 * kPi * static_cast<double>(i * step) / 86400;
        set("device_id", 1);
        set("phase_a_value1", 2200 + 80 * std::sin(day) + (i * 7919 % 3));
        set("dc_value1", 5350 - 40 * std::cos(day) + (i * 104729 % 3));
        set("dc_value2", 2400 + 300 * std::sin(2 * day));
        const std::time_t t = rxp::tools::WallClock::to_time_t(when);
        std::tm local{};
        localtime_r(&t, &local);
        const unsigned char stamp[] = {static_cast<unsigned char>((local.tm_year + 1900) & 0xFF),
                                       static_cast<unsigned char>((local.tm_year + 1900) >> 8),
                                       static_cast<unsigned char>(local.tm_mon + 1),
                                       static_cast<unsigned char>(local.tm_mday),
                                       static_cast<unsigned char>(local.tm_hour),
                                       static_cast<unsigned char>(local.tm_min),
                                       static_cast<unsigned char>(local.tm_sec)};
        std::copy(std::begin(stamp), std::end(stamp), record.begin() + rxp::kTimestampOffset);
        const std::string time = rxp::tools::IsoTime(when);
        sqlite3_bind_text(insert, 1, time.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 2, 1);
        sqlite3_bind_blob(insert, 3, record.data(), static_cast<int>(record.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 4, address);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::cerr << "history_fill: " << sqlite3_errmsg(db) << std::endl;
            return 1;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    const bool ok = Exec(db, "COMMIT");
    sqlite3_close(db);
    return ok ? 0 : 1;
}
