// The history database end to end: rxp-host against the simulator and rxp-record reading what it
// stored, under another program's locks, with damaged or unwritable files, a database of the
// one-device table, a journal left by a crashed writer, and old rows deleted by --history-keep
// while another process reads.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/common/time_text.h"
#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::milliseconds;

namespace {

// Runs `sql` on the database; the first column of the first row, or -1.
long long Sql(const std::string& db_path, const std::string& sql) {
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open(db_path.c_str(), &db) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            value = sqlite3_column_int64(s, 0);
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return value;
}

// Another program holding the database with a write lock until Release or its end.
class Lock {
public:
    explicit Lock(const std::string& db_path) {
        sqlite3_open(db_path.c_str(), &db_);
        sqlite3_busy_timeout(db_, 5000);
        ok_ = sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Lock() { Release(); }
    void Release() {
        if (db_ != nullptr) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
        db_ = nullptr;
    }
    bool ok() const { return ok_; }

private:
    sqlite3* db_ = nullptr;
    bool ok_ = false;
};

// The last field of every line of CSV after its head.
std::vector<std::string> LastFields(const std::string& csv) {
    std::vector<std::string> fields;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) fields.push_back(line.substr(line.rfind(',') + 1));
    return fields;
}

// True while the process runs; it is not reaped.
bool Running(const hosttest::Process& p) {
    siginfo_t info{};
    return ::waitid(P_PID, p.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

class HostHistory : public hosttest::SimAndHostTest {
protected:
    // history_fill's rows: `rows` records `step` seconds apart from `start`, in the zone `tz`.
    void Fill(const std::string& db, long rows, const std::string& start, long step,
              const std::string& tz = "UTC0") {
        ASSERT_EQ(hosttest::Run({"/usr/bin/env", "TZ=" + tz, RXP_HISTORY_FILL_BIN, db,
                                 std::to_string(rows), start, std::to_string(step)},
                                dir_.File("fill.out"), dir_.File("fill.err")),
                  0)
            << hosttest::ReadText(dir_.File("fill.err"));
    }
    // The host's argv under libfaketime, its wall clock set by the file `clock` ("+2d"); with
    // `monotonic` its monotonic and boot clocks move along, as a long run or a suspend moves
    // them, else they stay true.
    std::vector<std::string> WithClock(const std::string& clock, bool monotonic,
                                       const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {"/usr/bin/env",
#ifdef RXP_LIBFAKETIME
                                         "LD_PRELOAD=" RXP_LIBFAKETIME,
#endif
                                         "FAKETIME_TIMESTAMP_FILE=" + clock,
                                         "FAKETIME_CACHE_DURATION=1",
                                         "ASAN_OPTIONS=verify_asan_link_order=0"};
        if (!monotonic) argv.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
        const std::vector<std::string> host = HostArgs(extra);
        argv.insert(argv.end(), host.begin(), host.end());
        return argv;
    }
    // The reasons of the history's warning events so far.
    std::vector<std::string> HistoryWarnings() {
        std::vector<std::string> reasons;
        for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
            if (e["event"].asString() == "warning" && e["what"].asString() == "history")
                reasons.push_back(e["reason"].asString());
        }
        return reasons;
    }
    int Record(const std::vector<std::string>& args) {
        std::vector<std::string> argv{RXP_RECORD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return hosttest::Run(argv, dir_.File("record.out"), dir_.File("record.err"));
    }
};

TEST_F(HostHistory, DatabaseLockedAtStartMakesRecordsWaitAndTheyAreStoredWhenItIsFree) {
    Fill(history(), 1, "2026-01-01T00:00:00Z", 1);
    StartSim(Json::Value(Json::objectValue), {});
    Lock lock(history());
    ASSERT_TRUE(lock.ok());
    hosttest::Process host(HostArgs({"--cycles", "6", "--interval", "0.2"}), out(), err());
    EXPECT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 3; }, milliseconds(20000)))
        << hosttest::ReadText(err());
    lock.Release();

    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 7u);
    EXPECT_NE(hosttest::ReadText(err()).find(history() + ": locked by another program"),
              std::string::npos);
}

TEST_F(HostHistory, RecordsThatCannotBeStoredAreReportedWhileTheHostRuns) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return hosttest::CountHistoryRows(history()) >= 2; },
                                    milliseconds(20000)));
    Sql(history(), "DROP TABLE history");
    ASSERT_EQ(Sql(history(), "SELECT COUNT(*) FROM sqlite_master WHERE name = 'history'"), 0);

    // Runs until a signal: an error reported only at the end would never be seen here.
    EXPECT_TRUE(hosttest::WaitUntil(
        [this] { return hosttest::CountEvents(hosttest::ReadEvents(events_path()), "error") > 0; },
        milliseconds(20000)));
    EXPECT_TRUE(Running(host));
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(milliseconds(30000)), 3);
}

TEST_F(HostHistory, DatabaseLockedPastTheLastCycleStillGetsEveryRecord) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--cycles", "4", "--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 1; }, milliseconds(20000)));
    Lock lock(history());
    ASSERT_TRUE(lock.ok());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 4; }, milliseconds(20000)));
    std::this_thread::sleep_for(milliseconds(2000));
    EXPECT_TRUE(Running(host)) << "ended with records still queued";
    lock.Release();

    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 4u);
}

// In a child run as root: file permissions apply to the program it starts.
void DropFilePermissionOverride() {
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
}

TEST_F(HostHistory, UnusableDatabaseStopsTheStartNamingTheFileTheReasonAndTheFix) {
    // A page in the middle overwritten: new rows would still go in at the end.
    const std::string damaged = dir_.File("damaged.db");
    Fill(damaged, 2000, "2026-01-01T00:00:00Z", 1);
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20 * 4096);
        f << std::string(4096, 'Z');
    }
    // A folder that cannot be written: the file opens, but no journal can be made beside it.
    const std::string locked_folder = dir_.File("ro");
    std::filesystem::create_directory(locked_folder);
    Fill(locked_folder + "/h.db", 1, "2026-01-01T00:00:00Z", 1);
    ::chmod(locked_folder.c_str(), 0555);
    hosttest::Process probe({"/usr/bin/touch", locked_folder + "/probe"}, dir_.File("probe.out"),
                            dir_.File("probe.err"), DropFilePermissionOverride);
    const bool permissions_apply = probe.Wait(milliseconds(10000)) != 0;
    StartSim(Json::Value(Json::objectValue), {});

    struct Case {
        std::string file;
        std::string says;
    };
    std::vector<Case> cases = {
        {damaged, damaged + ": the database is damaged or not a database (SQLite's quick check: "
                            "Page "},
        {dir_.File("none/h.db"), "the folder '" + dir_.File("none") +
                                     "' does not exist; create it first (mkdir -p '" +
                                     dir_.File("none") + "')"},
    };
    if (permissions_apply)
        cases.push_back({locked_folder + "/h.db", ": cannot write the history database: "});
    for (const Case& c : cases) {
        hosttest::Process host(HostArgs({"--cycles", "1", "--history", c.file}), out(), err(),
                               DropFilePermissionOverride);
        EXPECT_EQ(host.Wait(milliseconds(20000)), 1) << c.file;
        const std::string message = hosttest::ReadText(err());
        EXPECT_NE(message.find("rxp-host: history: " + c.file), std::string::npos) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "publish"), 0u);
    ::chmod(locked_folder.c_str(), 0755);
}

TEST_F(HostHistory, OneDeviceHistoryIsUpgradedInPlaceAndRowsCarryTheBusAddress) {
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL, "
                               "device_id INTEGER NOT NULL, record BLOB NOT NULL);"
                               "CREATE INDEX history_instant ON history (julianday(time));"
                               "INSERT INTO history (time, device_id, record) VALUES "
                               "('2026-01-01T10:00:00+02:00', 7, zeroblob(289)),"
                               "('2026-01-01T10:00:01+02:00', 7, zeroblob(289));",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(Record({"--db", history(), "--last", "9", "--format", "json"}), 0)
        << hosttest::ReadText(dir_.File("record.err"));
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(dir_.File("record.out")), "\"row\""), 2u);

    StartSim(Json::Value(Json::objectValue), {"--address", "2"});
    ASSERT_EQ(RunHost({"--cycles", "2", "--address", "2"}), 0) << hosttest::ReadText(err());

    EXPECT_EQ(Sql(history(),
                  "SELECT COUNT(*) FROM history WHERE id <= 2 AND device_id = 7 AND address IS "
                  "NULL AND record = zeroblob(289) AND time LIKE '2026-01-01T10:00:0_+02:00'"),
              2);
    EXPECT_EQ(Sql(history(), "SELECT COUNT(*) FROM history WHERE id > 2 AND address = 2"), 2);
    struct Case {
        std::string address;
        int code;
        std::size_t rows;
    };
    for (const Case& c : {Case{"", 0, 4}, Case{"2", 0, 2}, Case{"1", 1, 0}}) {
        std::vector<std::string> args{"--db", history(), "--last", "9", "--format", "json"};
        if (!c.address.empty()) args.insert(args.end(), {"--address", c.address});
        EXPECT_EQ(Record(args), c.code) << c.address;
        EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(dir_.File("record.out")), "\"row\""),
                  c.rows)
            << c.address;
    }
}

// A history of an older build, 60,000 rows (about 21 MB), and 4 MiB of room left: the upgrade
// at start needs no room for a copy of it, and the file does not grow by one.
TEST_F(HostHistory, OlderBuildsHistoryIsUpgradedWithLittleRoomLeftAndStaysItsSize) {
    ASSERT_EQ(Sql(history(),
                  "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL, device_id "
                  "INTEGER NOT NULL, record BLOB NOT NULL, address INTEGER);"),
              -1);
    ASSERT_EQ(Sql(history(), "CREATE INDEX history_instant ON history (julianday(time))"), -1);
    ASSERT_EQ(Sql(history(),
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000) "
                  "INSERT INTO history (time, device_id, record, address) SELECT strftime("
                  "'%Y-%m-%dT%H:%M:%SZ', 'now', '-' || (60000 - i) || ' seconds'), 1, "
                  "randomblob(289), 1 FROM n"),
              -1);
    const auto size = static_cast<rlim_t>(std::filesystem::file_size(history()));
    ASSERT_GT(size, 20u << 20);
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--cycles", "2"}), out(), err(), [size] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{size + (4u << 20), size + (4u << 20)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_EQ(host.Wait(milliseconds(60000)), 0) << hosttest::ReadText(err());
    EXPECT_EQ(Sql(history(), "SELECT COUNT(*) FROM history WHERE id > 60000 AND address = 1"), 2);
    EXPECT_LT(std::filesystem::file_size(history()), size + (1u << 20));
    ASSERT_EQ(Record({"--db", history(), "--last", "3", "--format", "json"}), 0)
        << hosttest::ReadText(dir_.File("record.err"));
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(dir_.File("record.out")), "\"row\""), 3u);
}

TEST_F(HostHistory, RecordReaderRollsBackAJournalLeftByAWriterThatStoppedMidWrite) {
    Fill(history(), 200, "2026-01-01T00:00:00Z", 1);
    // A writer's transaction that spilled into the file, copied with its journal as a crash
    // leaves them.
    const std::string crashed = dir_.File("crashed.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA cache_size = 2; BEGIN;"
                           "UPDATE history SET device_id = 99, record = zeroblob(289);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::filesystem::copy_file(history(), crashed);
    std::filesystem::copy_file(history() + "-journal", crashed + "-journal");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    ASSERT_EQ(Record({"--db", crashed, "--format", "csv", "--fields", "device_id"}), 0)
        << hosttest::ReadText(dir_.File("record.err"));
    EXPECT_EQ(LastFields(hosttest::ReadText(dir_.File("record.out"))),
              std::vector<std::string>(200, "1"));
    EXPECT_EQ(Sql(crashed, "SELECT COUNT(*) FROM history WHERE device_id = 1"), 200);
}

TEST_F(HostHistory, KeepDaysLeaves365DaysWhilePollsStayOnTimeAndAReaderReads) {
    // 400 days of rows ten minutes apart, their times twelve hours behind UTC: compared as
    // text with the host's UTC times, half a day of them would be taken for older than they are.
    const auto now = rxp::tools::WallClock::now();
    const auto day = std::chrono::hours(24);
    const long kStep = 600;
    const long rows = 400 * 144;
    const auto first = std::chrono::time_point_cast<std::chrono::seconds>(now - 400 * day);
    Fill(history(), rows, rxp::tools::IsoTime(first), kStep, "XXX+12");
    StartSim(Json::Value(Json::objectValue), {});

    hosttest::Process host(HostArgs({"--cycles", "20", "--interval", "0.3", "--timeout", "3",
                                     "--history-keep", "365"}),
                           out(), err());
    // Another process reads a day of the kept rows while the old ones go.
    const std::string since = rxp::tools::IsoTime(now - 300 * day);
    const std::string until = rxp::tools::IsoTime(now - 299 * day);
    const long long day_rows =
        Sql(history(), "SELECT COUNT(*) FROM history WHERE julianday(time) >= julianday('" + since +
                           "') AND julianday(time) < julianday('" + until + "')");
    ASSERT_GT(day_rows, 100);
    int reads = 0;
    while (Running(host) && reads < 200) {
        ASSERT_EQ(Record({"--db", history(), "--format", "csv", "--fields", "device_id", "--since",
                          since, "--until", until}),
                  0)
            << hosttest::ReadText(dir_.File("record.err"));
        EXPECT_EQ(LastFields(hosttest::ReadText(dir_.File("record.out"))),
                  std::vector<std::string>(day_rows, "1"));
        ++reads;
    }
    const auto end = rxp::tools::WallClock::now();
    ASSERT_EQ(host.Wait(milliseconds(60000)), 0) << hosttest::ReadText(err());
    EXPECT_GT(reads, 0);

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "cycle"), 20u);
    EXPECT_EQ(hosttest::CountEvents(events, "poll_failed"), 0u);
    // Every row older than 365 days at the start is gone; every one younger at the end stays.
    const auto count_from = [&](std::chrono::system_clock::time_point t, const char* op) {
        return Sql(history(), std::string("SELECT COUNT(*) FROM history WHERE julianday(time) ") +
                                  op + " julianday('" + rxp::tools::IsoTime(t) + "')");
    };
    EXPECT_EQ(count_from(now - 365 * day, "<"), 0);
    long young = 0;
    for (long i = 0; i < rows; ++i)
        young += first + std::chrono::seconds(i * kStep) >= end - 365 * day;
    EXPECT_EQ(count_from(end - 365 * day, ">="), young + 20);
}

TEST_F(HostHistory, RecordsWaitingBehindALockAreCountedWhileTheyWaitAndToldAfterTenSeconds) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("metrics.prom");
    hosttest::Process host(HostArgs({"--interval", "0.3", "--state", state, "--metrics", metrics}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
    const auto waiting = [&state] { return hosttest::ReadJson(state)["history_waiting"].asUInt(); };
    const auto history_warnings = [this] {
        std::size_t n = 0;
        for (const Json::Value& e : hosttest::ReadEvents(events_path()))
            n += e["event"].asString() == "warning" && e["what"].asString() == "history";
        return n;
    };

    Lock lock(history());
    ASSERT_TRUE(lock.ok());
    ASSERT_TRUE(hosttest::WaitUntil([&] { return waiting() >= 3; }, milliseconds(10000)));
    EXPECT_NE(
        hosttest::ReadText(metrics).find("rxp_history_waiting_records{port=\"" + line() + "\"} "),
        std::string::npos);
    EXPECT_EQ(hosttest::ReadText(metrics).find("rxp_history_waiting_records{port=\"" + line() +
                                               "\"} 0\n"),
              std::string::npos);
    EXPECT_EQ(history_warnings(), 0u) << "not before 10 s";
    ASSERT_TRUE(hosttest::WaitUntil([&] { return history_warnings() == 1; }, milliseconds(20000)))
        << hosttest::ReadText(err());
    lock.Release();
    ASSERT_TRUE(hosttest::WaitUntil([&] { return waiting() == 0; }, milliseconds(10000)));

    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), hosttest::CountEvents(events, "publish"));
    EXPECT_EQ(history_warnings(), 1u);
}

// A history of an older build (ids that could be given twice), rows of the last 300 days, and a
// host whose wall clock is wrong: set 730 days ahead before it starts, or set ahead and back
// while it runs (libfaketime; the monotonic clock stays true). No row is lost to it, and no id
// is given twice.
TEST_F(HostHistory, WrongClockPausesHistoryKeepAndRowIdsAreNeverGivenTwice) {
#ifndef RXP_LIBFAKETIME
    GTEST_SKIP() << "libfaketime is missing: scripts/install-deps.sh faketime";
#else
    ASSERT_EQ(Sql(history(),
                  "CREATE TABLE history (id INTEGER PRIMARY KEY, time TEXT NOT NULL, device_id "
                  "INTEGER NOT NULL, record BLOB NOT NULL, address INTEGER)"),
              -1);
    ASSERT_EQ(Sql(history(),
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100) "
                  "INSERT INTO history (time, device_id, record, address) SELECT strftime("
                  "'%Y-%m-%dT%H:%M:%SZ', 'now', '-' || (300 - 3 * i) || ' days'), 1, "
                  "zeroblob(289), 1 FROM n"),
              -1);
    ASSERT_EQ(Sql(history(), "SELECT COUNT(*) FROM history"), 100);
    StartSim(Json::Value(Json::objectValue), {});
    const std::string clock = dir_.File("clock");
    const auto with_clock = [&](const std::vector<std::string>& extra) {
        return WithClock(clock, false, extra);
    };
    const auto clock_warnings = [this] { return HistoryWarnings(); };

    // Set ahead before the start: every stored row looks two years old.
    hosttest::WriteText(clock, "+730d\n");
    ASSERT_EQ(hosttest::Run(with_clock({"--cycles", "2", "--history-keep", "365"}), out(), err()),
              0)
        << hosttest::ReadText(err());
    EXPECT_EQ(Sql(history(), "SELECT COUNT(*) FROM history"), 102);
    ASSERT_EQ(clock_warnings().size(), 1u);
    EXPECT_NE(clock_warnings()[0].find("every row stored before this run is older than 365 days"),
              std::string::npos)
        << clock_warnings()[0];

    // The newest rows deleted: their ids are not given again.
    ASSERT_EQ(Sql(history(), "DELETE FROM history WHERE id > 100"), -1);
    ASSERT_EQ(RunHost({"--cycles", "1"}), 0) << hosttest::ReadText(err());
    EXPECT_EQ(Sql(history(), "SELECT MAX(id) FROM history"), 103);

    // Set ahead while the host runs, then back.
    ::unlink(history().c_str());
    hosttest::WriteText(clock, "+0\n");
    const auto start = std::chrono::time_point_cast<std::chrono::seconds>(
        rxp::tools::WallClock::now() - std::chrono::hours(24 * 300));
    Fill(history(), 100, rxp::tools::IsoTime(start), 3 * 86400);
    ::unlink(events_path().c_str());
    hosttest::Process host(with_clock({"--interval", "0.3", "--history-keep", "365"}), out(),
                           err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
    hosttest::WriteText(clock, "+2d\n");
    ASSERT_TRUE(
        hosttest::WaitUntil([&] { return clock_warnings().size() == 1; }, milliseconds(20000)))
        << hosttest::ReadText(err());
    EXPECT_EQ(clock_warnings()[0].substr(clock_warnings()[0].find("disagree: ")),
              "disagree: the clock was set 2 days ahead while the host ran");
    hosttest::WriteText(clock, "+0\n");
    ASSERT_TRUE(hosttest::WaitUntil(
        [&] { return hosttest::ReadText(err()).find("agree again") != std::string::npos; },
        milliseconds(20000)));
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    const long long rows = Sql(history(), "SELECT COUNT(*) FROM history");
    EXPECT_EQ(rows, 100 + static_cast<long long>(hosttest::CountEvents(
                              hosttest::ReadEvents(events_path()), "publish")));

#endif
}

// A host that has run, or slept, longer than the days to keep: the rows stored before the run
// have grown old with the clock, which is no reason to pause; they go, and so do the run's own
// rows once they are that old by the monotonic clock.
TEST_F(HostHistory, KeepDaysGoesOnDeletingWhenTheHostRunsLongerThanIt) {
#ifndef RXP_LIBFAKETIME
    GTEST_SKIP() << "libfaketime is missing: scripts/install-deps.sh faketime";
#else
    // Rows of the last three days, an hour apart, the newest an hour old.
    const auto start = std::chrono::time_point_cast<std::chrono::seconds>(
        rxp::tools::WallClock::now() - std::chrono::hours(72));
    Fill(history(), 72, rxp::tools::IsoTime(start), 3600);
    StartSim(Json::Value(Json::objectValue), {});
    const std::string clock = dir_.File("clock");
    hosttest::WriteText(clock, "+0\n");
    hosttest::Process host(WithClock(clock, true, {"--interval", "0.3", "--history-keep", "1"}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
    ASSERT_GT(Sql(history(), "SELECT COUNT(*) FROM history WHERE id <= 72"), 20);

    hosttest::WriteText(clock, "+2d\n");
    // Every row of before the run, and the run's first (the oldest it marks), are two days old.
    EXPECT_TRUE(hosttest::WaitUntil(
        [&] { return Sql(history(), "SELECT MIN(id) FROM history") == 74; }, milliseconds(20000)))
        << hosttest::ReadText(err());
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    EXPECT_EQ(HistoryWarnings(), std::vector<std::string>{});
    EXPECT_EQ(Sql(history(), "SELECT COUNT(*) FROM history"),
              Sql(history(), "SELECT MAX(id) FROM history") - 73);
#endif
}

TEST_F(HostHistory, KeepDaysMustBeAWholeNumberOfDaysWithAHistory) {
    for (const char* days : {"0", "-3", "abc", "1.5"}) {
        EXPECT_EQ(RunHost({"--history-keep", days}), 2) << days;
        EXPECT_NE(hosttest::ReadText(err()).find("history-keep"), std::string::npos) << days;
    }
    EXPECT_EQ(RunHost({"--history-keep", "30", "--history", ""}), 2);
}

}  // namespace
