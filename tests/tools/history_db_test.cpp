// The history table the bench host writes and the record reader reads.
#include "tools/common/history_db.h"

#include <gtest/gtest.h>
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
