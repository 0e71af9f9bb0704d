// rxp-host under faults, end to end against the simulator: late and lost replies, a simulator
// killed and started again, a second host on the port, a locked or broken history database,
// a full disk under the events file, a cached record of another device, and the signals.
// Every stored record is compared with what the simulator reported for its cycle.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tools/common/hex.h"
#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::Bytes;
using hosttest::milliseconds;

namespace {

// In a child run as root: file permissions apply to the program it starts as to anybody else
// (root gets every capability of the bounding set back when it starts a program).
void DropFilePermissionOverride() {
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    }
}

class HostUnderFaults : public hosttest::SimAndHostTest {};

TEST_F(HostUnderFaults, LateReplyAfterAFailedPollIsNeverTakenForTheNextCommand) {
    // At line speed: reply 50, the last of cycle 2, comes 0.8 s late, after the host gave up on
    // it at 0.5 s; reply 52 is lost. Taken for the reply to the next poll's first command, the
    // late DC reply would fill the AC fields, and every later reply would answer the command
    // before its own.
    const hosttest::CycleTruth truth(8, kDeviceId);
    StartSim(truth.Scenario(),
             {"--baud", "9600", "--delay", "800", "--delay-every", "50", "--drop-every", "52"});

    ASSERT_EQ(RunHost({"--cycles", "3", "--baud", "9600", "--timeout", "0.5"}), 0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_GE(hosttest::CountEvents(events, "poll_failed"), 2u);
    const hosttest::TruthCheck check = truth.Check(events, history());
    EXPECT_EQ(check.published, 3u);
    EXPECT_EQ(check.rows, 3u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;
    EXPECT_EQ(check.false_alarms, 0u);
}

TEST_F(HostUnderFaults, ReplyShorterThanTheCommandAsksForFailsItsPollAtOnce) {
    // At line speed reply 30, the fifth of cycle 2, is one payload byte short. It is read after
    // its line time like any other; waiting for the bytes its command asks for until the reply
    // timeout (5 s) would leave the second cycle past the deadline.
    const hosttest::CycleTruth truth(4, kDeviceId);
    StartSim(truth.Scenario(), {"--baud", "9600", "--short-every", "30"});
    ASSERT_EQ(RunHost({"--cycles", "2", "--baud", "9600", "--timeout", "5", "--deadline", "10"}), 0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    std::vector<std::string> failed;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == "poll_failed") failed.push_back(e["reason"].asString());
    }
    EXPECT_EQ(failed, std::vector<std::string>{"dropped"});
    const hosttest::TruthCheck check = truth.Check(events, history());
    EXPECT_EQ(check.published, 2u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;
}

TEST_F(HostUnderFaults, ReplyShorterThanItsHeaderSaysIsDroppedNotTimedOut) {
    // Characters lost on the line: the reply to the first command says 18 payload bytes and
    // carries 16, and comes in two chunks 60 ms apart. The port gathers on for the 18 its header
    // names; when the reply's time is up, what came still goes to the device, which drops it,
    // as it did when the host read every character as it came.
    Bytes raw = {0x01, 0x40, 0x01, 18};
    for (unsigned char b = 0; b < 16; ++b) raw.push_back(b);
    const Bytes reply = rxptest::EncodeFrame(raw);
    const Bytes command = rxptest::ExpectedCommand(0);
    const auto hex = [](const Bytes& b, std::size_t from, std::size_t to) {
        return rxp::hex::Upper(b.data() + from, to - from);
    };
    hosttest::WriteText(dir_.File("lost.capture"),
                        "# rxp-host capture\n# started 2024-05-01T12:00:00.000+02:00\n"
                        "0.000000 1 1 -> " +
                            hex(command, 0, command.size()) + "\n" + "0.030000 1 1 <- " +
                            hex(reply, 0, 10) + "\n" + "0.090000 1 1 <- " +
                            hex(reply, 10, reply.size()) + "\n");
    sim_.reset(new hosttest::Process(
        {RXP_SIM_BIN, "--link", line(), "--replay", dir_.File("lost.capture"), "--as-captured"},
        dir_.File("sim.out"), dir_.File("sim.err")));
    ASSERT_TRUE(hosttest::WaitUntil([this] { return std::filesystem::exists(line()); },
                                    milliseconds(10000)));
    // One poll is all the capture answers; the deadline ends the run.
    EXPECT_EQ(RunHost({"--cycles", "1", "--timeout", "1", "--deadline", "1.5"}), 5)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    std::vector<std::string> failed;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == "poll_failed") failed.push_back(e["reason"].asString());
    }
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.front(), "dropped");
}

TEST_F(HostUnderFaults, SimulatorKilledAndStartedAgainIsReopenedAndReportedLostOnce) {
    const hosttest::CycleTruth truth(1, kDeviceId);
    StartSim(truth.Scenario(), {});
    hosttest::Process host(HostArgs({"--cycles", "5", "--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));

    sim_->Signal(SIGKILL);  // no clean-up: the link stays, pointing at a line that is gone
    sim_->Wait(milliseconds(5000));
    // The pseudo-terminal's number may be given to another program's line at once (tests run
    // side by side): the link points at a line that can never come back instead, so that the
    // host's attempts to open it again cannot reach someone else's simulator.
    std::filesystem::remove(line());
    ASSERT_EQ(::symlink(dir_.File("gone").c_str(), line().c_str()), 0);
    std::this_thread::sleep_for(milliseconds(1500));
    StartSim(truth.Scenario(), {});

    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "comm_lost"), 1u);
    EXPECT_EQ(hosttest::CountEvents(events, "comm_restored"), 1u);
    std::vector<std::string> order;
    for (const Json::Value& e : events) {
        const std::string name = e["event"].asString();
        if (name == "comm_lost" || name == "comm_restored") order.push_back(name);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"comm_lost", "comm_restored"}));
    const hosttest::TruthCheck check = truth.Check(events, history());
    EXPECT_EQ(check.published, 5u);
    EXPECT_EQ(check.rows, 5u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find("closing it and opening it again every 1 s"), std::string::npos) << err;
    EXPECT_NE(err.find("' open again"), std::string::npos) << err;
}

TEST_F(HostUnderFaults, SecondHostOnThePortExitsNamingThePortAndTheHolder) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process first(HostArgs({"--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 1; }, milliseconds(20000)));

    const std::string err2 = dir_.File("second.err");
    const int code = hosttest::Run(
        hosttest::WithOptions(HostArgs({"--cycles", "1"}),
                              {"--events", dir_.File("second.jsonl"), "--history", ""}),
        dir_.File("second.out"), err2, milliseconds(20000));
    EXPECT_EQ(code, 1);
    const std::string message = hosttest::ReadText(err2);
    EXPECT_NE(message.find("port '" + line() + "' is in use by pid " + std::to_string(first.pid()) +
                           " (rxp-host)"),
              std::string::npos)
        << message;

    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(milliseconds(10000)), 0);
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "poll_failed"), 0u);
}

TEST_F(HostUnderFaults, LockedHistoryDoesNotHoldUpThePollsAndLosesNoRecord) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--cycles", "12", "--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 1; }, milliseconds(20000)));

    // Another program holds the database for 1.5 s: about seven cycles' worth.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const std::size_t before = CyclesSoFar();
    std::this_thread::sleep_for(milliseconds(1500));
    const std::size_t during = CyclesSoFar() - before;
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());
    EXPECT_GE(during, 5u) << "the polls stalled behind the lock";
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 12u);
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 12u);
    EXPECT_EQ(hosttest::CountEvents(events, "error"), 0u);
}

TEST_F(HostUnderFaults, RecordsThatCannotBeStoredAreErrorEventsAndTheExitCodeTells) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--cycles", "5", "--interval", "0.3"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return hosttest::CountHistoryRows(history()) >= 2; },
                                    milliseconds(20000)));
    // The table goes away under the running host.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(history().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE history", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    EXPECT_EQ(host.Wait(milliseconds(30000)), 3);
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    std::size_t errors = 0;
    for (const Json::Value& e : events) {
        if (e["event"].asString() != "error") continue;
        ++errors;
        EXPECT_EQ(e["what"].asString(), "history");
        EXPECT_EQ(e["file"].asString(), history());
        EXPECT_NE(e["reason"].asString().find("no such table: history"), std::string::npos)
            << e["reason"].asString();
    }
    EXPECT_GE(errors, 2u);
    EXPECT_LE(errors, 3u);
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_EQ(hosttest::CountLines(err, "rxp-host: record not stored: " + history()), errors)
        << err;
    EXPECT_NE(err.find(" of 5 records could not be stored in '" + history() + "'"),
              std::string::npos)
        << err;
}

TEST_F(HostUnderFaults, HistoryDatabaseThatCanOnlyBeReadIsRefusedBeforePolling) {
    if (::geteuid() == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0 ||
            (data[0].effective & (1u << CAP_SETPCAP)) == 0) {
            GTEST_SKIP() << "root without CAP_SETPCAP: file permissions cannot be made to apply";
        }
    }
    StartSim(Json::Value(Json::objectValue), {});
    ASSERT_EQ(RunHost({"--cycles", "1"}), 0) << hosttest::ReadText(err());
    ASSERT_EQ(::chmod(history().c_str(), 0444), 0);

    hosttest::Process host(HostArgs({"--cycles", "1"}), out(), err(), DropFilePermissionOverride);
    EXPECT_EQ(host.Wait(milliseconds(20000)), 1);
    const std::string message = hosttest::ReadText(err());
    EXPECT_NE(message.find(history() + ": the database can only be read"), std::string::npos)
        << message;
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "publish"), 1u);
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 1u);
}

TEST_F(HostUnderFaults, EventsSurviveAFullDiskWholeLinesOnlyAndTheLossIsCounted) {
    StartSim(Json::Value(Json::objectValue), {});
    // One cycle writes about 28 KB of events; the file may not grow beyond 70 KB, as on a
    // full disk, so the third cycle's events do not fit. Truncating the file makes room again
    // for the rest of the run.
    hosttest::Process host(HostArgs({"--cycles", "4", "--interval", "0.3"}), out(), err(), [] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{70000, 70000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(hosttest::WaitUntil(
        [this] {
            return hosttest::ReadText(err()).find("cannot write events file") != std::string::npos;
        },
        milliseconds(20000)));
    ASSERT_EQ(::truncate(events_path().c_str(), 0), 0);

    EXPECT_EQ(host.Wait(milliseconds(30000)), 4);
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());  // whole lines
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["event"].asString(), "events_lost");
    EXPECT_GT(events[0]["count"].asUInt(), 0u);
    EXPECT_EQ(events.back()["event"].asString(), "cycle");
    EXPECT_EQ(events.back()["cycle"].asInt(), 4);
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find("events were lost"), std::string::npos) << err;
    // The limit falls inside a line: the line is not begun, and the reason is the limit.
    EXPECT_NE(err.find("cannot write events file '" + events_path() +
                       "': the file size limit of 70000 bytes is reached"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("events could not be written to '" + events_path() + "'"), std::string::npos)
        << err;
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 4u);
}

TEST_F(HostUnderFaults, EventsAreAppendedBehindAStartEventOfEveryRun) {
    StartSim(Json::Value(Json::objectValue), {});
    ASSERT_EQ(RunHost({"--cycles", "1"}), 0) << hosttest::ReadText(err());
    ASSERT_EQ(RunHost({"--cycles", "2", "--summary", "changes"}), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["event"].asString(), "start");
    EXPECT_EQ(hosttest::CountEvents(events, "start"), 2u);
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 3u);
    const Json::Value& start = events[0];
    EXPECT_FALSE(start["version"].asString().empty());
    EXPECT_EQ(start["options"]["port"].asString(), line());
    EXPECT_EQ(start["options"]["cycles"].asInt(), 1);
    EXPECT_EQ(start["options"]["history"].asString(), history());
    EXPECT_FALSE(start["time"].asString().empty());
    // The summary chosen is part of the run's options, as the reference lists them.
    EXPECT_EQ(start["options"]["summary"].asString(), "all");
    const auto second = std::find_if(events.begin() + 1, events.end(), [](const Json::Value& e) {
        return e["event"].asString() == "start";
    });
    ASSERT_NE(second, events.end());
    EXPECT_EQ((*second)["options"]["summary"].asString(), "changes");
}

TEST_F(HostUnderFaults, CachedRecordOfAnotherDeviceIsRefusedAndPollingStartsWithoutIt) {
    const hosttest::CycleTruth truth(1, kDeviceId);
    Bytes cached = truth.Record(1);
    cached[0] = 0x42;  // device id 0x0A0B0C42
    hosttest::WriteBytes(dir_.File("cache.bin"), cached);
    StartSim(truth.Scenario(), {});

    ASSERT_EQ(RunHost({"--cycles", "1", "--cache", dir_.File("cache.bin")}), 0)
        << hosttest::ReadText(err());
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find("warning: cache file '" + dir_.File("cache.bin") +
                       "' holds a record of device id 168496194, not of this device (168496141)"),
              std::string::npos)
        << err;
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "cache_loaded"), 0u);
    const hosttest::TruthCheck check = truth.Check(events, history());
    EXPECT_EQ(check.published, 1u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;

    // A directory given as the cache is named too, and polling goes on.
    ASSERT_EQ(RunHost({"--cycles", "1", "--cache", dir_.File("")}), 0);
    EXPECT_NE(hosttest::ReadText(this->err())
                  .find("cannot read cache file '" + dir_.File("") +
                        "': it is a directory; starting without it"),
              std::string::npos)
        << hosttest::ReadText(this->err());
}

TEST_F(HostUnderFaults, SigtermEndsTheRunWithItsSummaryAndABrokenOutputPipeDoesNotEndIt) {
    StartSim(Json::Value(Json::objectValue), {});
    hosttest::Process host(HostArgs({"--interval", "0.2"}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(10000)), 0) << hosttest::ReadText(err());
    EXPECT_NE(hosttest::ReadText(err()).find("SIGTERM, stopping"), std::string::npos);
    EXPECT_NE(hosttest::ReadText(out()).find("cycles completed in"), std::string::npos);
    const std::size_t cycles = CyclesSoFar();
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), cycles);

    // Standard output into a pipe whose reader is gone: the run goes on to its end.
    std::string command;
    for (const std::string& a : HostArgs({"--cycles", "3", "--interval", "0.1"})) {
        command += "'" + a + "' ";
    }
    const std::string rc = dir_.File("rc");
    const int shell =
        hosttest::Run({"/bin/bash", "-c", command + "| true; echo ${PIPESTATUS[0]} > '" + rc + "'"},
                      dir_.File("pipe.out"), dir_.File("pipe.err"), milliseconds(30000));
    EXPECT_EQ(shell, 0);
    EXPECT_EQ(hosttest::ReadText(rc), "0\n") << hosttest::ReadText(dir_.File("pipe.err"));
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), cycles + 3);
}

}  // namespace
