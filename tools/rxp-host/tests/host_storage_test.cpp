// rxp-host's files under faults, end to end against the simulator: a full disk under the
// capture, lines left unended by a crash, storage failures shown while the host runs, two
// options naming one file, files that are not regular files, and the live files' temp files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "tools/common/capture.h"
#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::milliseconds;

namespace {

class HostStorage : public hosttest::SimAndHostTest {
protected:
    // A member of the state file as it stands now; null while the file is not there.
    Json::Value StateMember(const std::string& state, const char* name) const {
        const std::string text = hosttest::ReadText(state);
        Json::Value s;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &s, nullptr)) return {};
        return s.isObject() ? s[name] : Json::Value();
    }
};

TEST_F(HostStorage, CaptureSurvivesAFullDiskWholeLinesOnlyAndTheLossIsCounted) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string capture = dir_.File("site.capture");
    const std::string state = dir_.File("state.json");
    // A cycle's capture takes about 5 KB; the host's files may not grow beyond 30 KB, as on a
    // full disk. Truncating the capture makes room again.
    hosttest::Process host(HostArgs({"--cycles", "10", "--interval", "0.3", "--events", "",
                                     "--capture", capture, "--state", state}),
                           out(), err(), [] {
                               ::signal(SIGXFSZ, SIG_IGN);
                               rlimit limit{30000, 30000};
                               ::setrlimit(RLIMIT_FSIZE, &limit);
                           });
    // The loss shows in the state while the host runs.
    ASSERT_TRUE(hosttest::WaitUntil(
        [&] { return StateMember(state, "capture_lost").asUInt64() > 0; }, milliseconds(20000)))
        << hosttest::ReadText(err());
    ASSERT_EQ(::truncate(capture.c_str(), 0), 0);

    EXPECT_EQ(host.Wait(milliseconds(30000)), 6) << hosttest::ReadText(err());
    const std::string text = hosttest::ReadText(capture);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::regex chunk(R"(\d+\.\d{6} (\d+ \d+|- -) (->|<-) ([0-9A-F]{2})+)");
    std::istringstream lines(text);
    std::string first;
    std::getline(lines, first);
    std::smatch lost;
    ASSERT_TRUE(std::regex_match(first, lost, std::regex(R"(# (\d+) lines? could not be written)")))
        << first;
    for (std::string line; std::getline(lines, line);) {
        if (line[0] != '#') {
            EXPECT_TRUE(std::regex_match(line, chunk)) << line;
        }
    }
    EXPECT_NO_THROW(rxp::tools::ReadCapture(capture));
    // Written again up to the end: the last cycle's last command is there.
    EXPECT_GE(hosttest::CountLines(text, " 25 -> "), 1u);
    EXPECT_EQ(StateMember(state, "capture_lost").asString(), lost[1].str());
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find(lost[1].str() + " capture lines could not be written to '" + capture + "'"),
              std::string::npos)
        << err;
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 10u);
}

TEST_F(HostStorage, EveryRunIsAppendedAndALineLeftUnendedByACrashIsEndedFirst) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string capture = dir_.File("site.capture");
    ASSERT_EQ(RunHost({"--cycles", "1", "--capture", capture}), 0) << hosttest::ReadText(err());
    struct Case {
        std::string path;
        std::string torn;  // what a crash left at the end
        std::string next;  // the start of the next run's first line
    };
    const Case cases[] = {{events_path(), "{\"event\":\"publish\",\"rec", "{\"event\":\"start\""},
                          {capture, "0.512000 1 3 <- 7E3031", "# rxp-host capture"}};
    for (const Case& c : cases) hosttest::WriteText(c.path, hosttest::ReadText(c.path) + c.torn);

    ASSERT_EQ(RunHost({"--cycles", "1", "--capture", capture}), 0) << hosttest::ReadText(err());
    for (const Case& c : cases) {
        const std::string text = hosttest::ReadText(c.path);
        const std::size_t torn = text.find(c.torn);
        ASSERT_NE(torn, std::string::npos) << c.path;
        EXPECT_EQ(text.substr(torn + c.torn.size(), c.next.size() + 1), "\n" + c.next) << c.path;
    }
    const std::string events = hosttest::ReadText(events_path());
    EXPECT_EQ(hosttest::CountLines(events, "{\"event\":\"start\""), 2u);
    const std::string captured = hosttest::ReadText(capture);
    EXPECT_EQ(hosttest::CountLines(captured, "# rxp-host capture"), 2u);
    EXPECT_EQ(hosttest::CountLines(captured, "# started "), 2u);
    EXPECT_EQ(hosttest::CountLines(captured, " 1 25 -> "), 2u) << "a run's lines are gone";
}

TEST_F(HostStorage, HistoryFailingMidRunShowsInTheStateAndMetricsWhileTheHostRuns) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("rxp.prom");
    hosttest::Process host(HostArgs({"--interval", "0.3", "--state", state, "--metrics", metrics}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return hosttest::CountHistoryRows(history()) >= 2; },
                                    milliseconds(20000)));
    EXPECT_EQ(StateMember(state, "history_failed").asUInt64(), 0u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE history", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const std::regex failed("\nrxp_history_failed_records_total\\{port=\"[^\"]*\"\\} [1-9]");
    EXPECT_TRUE(hosttest::WaitUntil(
        [&] {
            return StateMember(state, "history_failed").asUInt64() > 0 &&
                   std::regex_search(hosttest::ReadText(metrics), failed);
        },
        milliseconds(20000)))
        << hosttest::ReadText(state) << hosttest::ReadText(metrics);
    const std::string text = hosttest::ReadText(metrics);
    EXPECT_NE(text.find("\nrxp_events_lost_total{port=\"" + line() + "\"} 0\n"), std::string::npos)
        << text;
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(milliseconds(20000)), 3);
}

TEST_F(HostStorage, LinkPlantedAtTheOldTempNameOfTheLiveFilesIsNotFollowed) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("rxp.prom");
    const std::string victim = dir_.File("victim");
    hosttest::WriteText(victim, "not for rxp-host\n");
    for (const std::string& live : {state, metrics}) {
        ASSERT_EQ(::symlink(victim.c_str(), (live + ".tmp").c_str()), 0);
    }
    ASSERT_EQ(RunHost({"--cycles", "2", "--state", state, "--metrics", metrics}), 0)
        << hosttest::ReadText(err());
    EXPECT_EQ(hosttest::ReadText(victim), "not for rxp-host\n");
    for (const std::string& live : {state, metrics}) {
        struct stat st {};
        ASSERT_EQ(::lstat(live.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << live;
        EXPECT_EQ(st.st_mode & 0777, 0644u) << live;
    }
    EXPECT_EQ(StateMember(state, "cycles").asUInt(), 2u);
}

TEST_F(HostStorage, WhatIsNotARegularFileIsRefusedWithoutHoldingUpTheStart) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string fifo = dir_.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string big = dir_.File("big.bin");
    hosttest::WriteText(big, std::string(1 << 20, '\x11'));
    struct Case {
        std::vector<std::string> options;
        int exit_code;  // the cache is not needed: polling goes on without it
        std::string message;
    };
    const Case cases[] = {
        {{"--events", fifo}, 1, "cannot open events file '" + fifo + "': it is a FIFO"},
        {{"--capture", fifo}, 1, "cannot open capture file '" + fifo + "': it is a FIFO"},
        {{"--settings", fifo}, 2, "cannot read settings file '" + fifo + "': it is a FIFO"},
        {{"--cache", fifo}, 0, "cannot read cache file '" + fifo + "': it is a FIFO"},
        {{"--cache", "/dev/zero"}, 0, "cannot read cache file '/dev/zero': it is a device"},
        {{"--cache", big}, 0, "cache file '" + big + "' holds more than 289 bytes, not a record"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--cycles", "1"});
        EXPECT_EQ(hosttest::Run(HostArgs(options), out(), err(), milliseconds(20000)), c.exit_code)
            << c.message;
        const std::string err = hosttest::ReadText(this->err());
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST_F(HostStorage, SighupAfterTheFilesWereRenamedWritesOnToNewFilesAndLosesNothing) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string capture = dir_.File("site.capture");
    hosttest::Process host(HostArgs({"--cycles", "6", "--interval", "0.3", "--capture", capture}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
    // Nothing renamed yet: the files stay, the capture without a new head.
    for (int i = 0; i < 3; ++i) {
        host.Signal(SIGHUP);
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_EQ(::rename(events_path().c_str(), (events_path() + ".1").c_str()), 0);
    ASSERT_EQ(::rename(capture.c_str(), (capture + ".1").c_str()), 0);
    host.Signal(SIGHUP);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    EXPECT_NE(hosttest::ReadText(err()).find("SIGHUP: events and capture file opened again"),
              std::string::npos)
        << hosttest::ReadText(err());

    std::vector<int> cycles;
    for (const std::string& path : {events_path() + ".1", events_path()}) {
        for (const Json::Value& e : hosttest::ReadEvents(path)) {
            if (e["event"].asString() == "cycle") cycles.push_back(e["cycle"].asInt());
        }
    }
    EXPECT_EQ(cycles, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "cycle") > 0, true);
    const std::string before = hosttest::ReadText(capture + ".1");
    const std::string after = hosttest::ReadText(capture);
    EXPECT_EQ(after.rfind("# rxp-host capture\n# started ", 0), 0u) << after.substr(0, 200);
    EXPECT_EQ(hosttest::CountLines(before + after, " 25 -> "), 6u);
    EXPECT_GE(hosttest::CountLines(after, " 25 -> "), 1u);
    EXPECT_EQ(hosttest::CountLines(before + after, "# rxp-host capture"), 2u);
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(err()), "SIGHUP: "), 1u);
    EXPECT_NO_THROW(rxp::tools::ReadCapture(capture));
}

}  // namespace
