// The history table the bench host writes and the record reader reads.
#include "tools/common/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

using rxp::history::HistoryDb;

namespace {

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "/" + name + "-" + std::to_string(getpid()) + ".db";
}

TEST(HistoryDb, RowsComeBackAsStoredOldestFirst) {
    const std::string path = TempPath("history");
    unlink(path.c_str());
    {
        HistoryDb db(path, HistoryDb::Mode::kCreate);
        for (unsigned char i = 1; i <= 5; ++i) {
            std::vector<unsigned char> rec(289, i);
            EXPECT_EQ(db.Append("2024-05-01T12:00:0" + std::to_string(i), 1000 + i, rec.data(),
                                rec.size()),
                      i);
        }
    }
    HistoryDb db(path, HistoryDb::Mode::kReadOnly);
    EXPECT_EQ(db.Count(), 5);
    const auto last = db.Last(2);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].id, 4);
    EXPECT_EQ(last[1].id, 5);
    EXPECT_EQ(last[1].time, "2024-05-01T12:00:05");
    EXPECT_EQ(last[1].device_id, 1005);
    EXPECT_EQ(last[1].record, std::vector<unsigned char>(289, 5));
    EXPECT_EQ(db.Last(100).size(), 5u);

    rxp::history::Row row;
    ASSERT_TRUE(db.Find(2, &row));
    EXPECT_EQ(row.record[288], 2);
    EXPECT_FALSE(db.Find(9, &row));
    unlink(path.c_str());
}

// Rows of the one-device table are read as they are, then kept by the upgrade with no
// address; rows stored later are chosen by address, by number and by time.
TEST(HistoryDb, OneDeviceRowsAreKeptWithNoAddressAndLaterRowsAreChosenByAddress) {
    const std::string path = TempPath("upgrade");
    unlink(path.c_str());
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw,
                               "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL, "
                               "device_id INTEGER NOT NULL, record BLOB NOT NULL);"
                               "INSERT INTO history (time, device_id, record) VALUES "
                               "('2024-05-01T12:00:00+02:00', 5, x'05')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
    }
    ASSERT_EQ(HistoryDb(path, HistoryDb::Mode::kReadOnly).Last(9).at(0).address, -1);
    {
        HistoryDb db(path, HistoryDb::Mode::kCreate);
        const unsigned char record[] = {1};
        db.Append("2024-05-01T10:00:01Z", 1, record, 1, 1);
        db.Append("2024-05-01T12:00:02+02:00", 2, record, 1, 2);
    }
    HistoryDb db(path, HistoryDb::Mode::kReadOnly);
    const auto ids = [](const std::vector<rxp::history::Row>& rows) {
        std::vector<std::int64_t> out;
        for (const auto& r : rows) out.push_back(r.id);
        return out;
    };
    struct Case {
        int address;
        std::vector<std::int64_t> ids;
    };
    for (const Case& c : {Case{-1, {1, 2, 3}}, Case{1, {2}}, Case{2, {3}}, Case{7, {}}}) {
        EXPECT_EQ(ids(db.Last(9, c.address)), c.ids) << c.address;
        std::vector<rxp::history::Row> between;
        db.Between(
            "2024-05-01T09:00:00Z", "2024-05-01T11:00:00Z",
            [&](const rxp::history::Row& r) { return between.push_back(r), true; }, c.address);
        EXPECT_EQ(ids(between), c.ids) << c.address;
    }
    EXPECT_EQ(db.Last(9).at(0).device_id, 5);
    unlink(path.c_str());
}

TEST(HistoryDb, AMissingFileIsNotCreatedByAReader) {
    const std::string path = TempPath("missing");
    unlink(path.c_str());
    try {
        HistoryDb db(path, HistoryDb::Mode::kReadOnly);
        ADD_FAILURE() << "opened a missing database";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
