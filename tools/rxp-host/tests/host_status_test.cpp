// rxp-host --status: the verdict and exit code a monitoring check reads, for every state a host
// can be in, with one device at the top level and with several in "devices", and for files and
// options that are no state to read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/rxp-host/host_process.h"
#include "tools/rxp-host/status.h"
#include "tools/rxp-host/tests/host_test_support.h"

namespace {

using rxp::tools::WallClock;

const WallClock::time_point kNow = rxp::tools::ParseIsoTime("2024-05-01T12:10:00+00:00");

// A device as the host writes it; `published` is the last record's time ("" for none).
std::string Device(const std::string& comm, const std::string& published,
                   const std::string& alarms = "", const std::string& address = "1") {
    return R"({"address":)" + address + R"(,"device_id":1)" + address + R"(,"comm":")" + comm +
           R"(","failed_polls_in_row":)" + (comm == "lost" ? "3" : "0") +
           R"(,"failed_polls_total":7,"record":)" +
           (published.empty() ? "null" : R"({"published":")" + published + R"("})") +
           R"(,"alarms":[)" + alarms + "]}";
}

const char kFan[] =
    R"({"ordinal":52,"key":"alert_c_0","id":"06025","module":7,"name":"fan","text":"module 7 fan"})";
const char kFresh[] = "2024-05-01T12:09:55+00:00";  // 5 s before kNow
const char kOld[] = "2024-05-01T12:03:00+00:00";    // 420 s before kNow

const char kAhead[] = "2024-05-01T13:10:00+00:00";  // an hour after kNow: the clock set back

// The state with its time, one device's fields at the top level (or `devices`), and `host`'s
// members (",\"events_lost\":4").
std::string State(const std::string& time, const std::string& device,
                  const std::string& devices = "", const std::string& host = "") {
    std::string s = device.substr(0, device.size() - 1);  // the device's members, open
    if (!devices.empty()) s += R"(,"devices":[)" + devices + "]";
    return s + host + R"(,"time":")" + time + R"(","port":"/dev/ttyUSB0"})";
}

// The state as the host writes it when its run ends.
std::string Stopped(const std::string& state) {
    return R"({"host":"stopped","stopped_at":")" + std::string(kFresh) + "\"," + state.substr(1);
}

// A host killed without a chance to write "stopped", or frozen by SIGSTOP, leaves a state that
// reads as healthy: the process it names is looked at, and a pid given since to another program
// is not taken for it.
TEST(HostStatus, HostKilledOrFrozenWithoutSayingSoIsCriticalAtOnce) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    const rxphost::ProcessMark mark = rxphost::MarkOf(child);
    ASSERT_EQ(mark.pid, child);
    const auto status = [](const rxphost::ProcessMark& m, std::string* said) {
        const std::string fields = R"(,"pid":)" + std::to_string(m.pid) + R"(,"pid_started":)" +
                                   std::to_string(m.started) + R"(,"pid_namespace":")" +
                                   m.pid_namespace + "\"";
        std::ostringstream out;
        const int code = rxphost::StatusOfState(
            "s.json", State(kFresh, Device("up", kFresh), "", fields), kNow, 300, out);
        *said = out.str();
        return code;
    };
    std::string said;
    EXPECT_EQ(status(mark, &said), rxphost::kStatusOk) << said;
    EXPECT_NE(said.find("host: running, pid " + std::to_string(child) + "\n"), std::string::npos);

    ::kill(child, SIGSTOP);
    ASSERT_TRUE(
        hosttest::WaitUntil([&] { return rxphost::LookAt(mark) == rxphost::ProcessSeen::kFrozen; },
                            hosttest::milliseconds(5000)));
    EXPECT_EQ(status(mark, &said), rxphost::kStatusCritical) << said;
    EXPECT_NE(said.find("is frozen, stopped by a signal"), std::string::npos) << said;

    rxphost::ProcessMark reused = mark;
    reused.started += 1;  // the pid of another program since
    ::kill(child, SIGCONT);
    EXPECT_EQ(status(reused, &said), rxphost::kStatusCritical) << said;
    EXPECT_NE(said.find("is gone without saying so"), std::string::npos) << said;

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(status(mark, &said), rxphost::kStatusCritical) << said;
    EXPECT_NE(said.find("host: gone, pid"), std::string::npos) << said;
}

TEST(HostStatus, VerdictAndLinesForEveryState) {
    const struct {
        const char* what;
        std::string state;
        int code;
        std::string lines;       // lines that must be there, in this order
        std::string never = {};  // text that must not be there
    } cases[] = {
        {"healthy", State(kFresh, Device("up", kFresh)), rxphost::kStatusOk,
         "status: OK\nstate: s.json, written 5.0 s ago\nport: /dev/ttyUSB0\ncomm: up\n"
         "last_record_age_seconds: 5.0\nfailed_polls_in_row: 0\nfailed_polls_total: 7\n"
         "alarms_active: 0\n"},
        {"alarm", State(kFresh, Device("up", kFresh, kFan)), rxphost::kStatusWarning,
         "status: WARNING (1 alarm raised)\n"},
        {"alarm text", State(kFresh, Device("up", kFresh, kFan)), rxphost::kStatusWarning,
         "alarms_active: 1\nalarm: 06025 alert_c_0 (module 7): fan: module 7 fan\n"},
        {"alarm text in English",
         State(kFresh, Device("up", kFresh,
                              R"({"ordinal":5,"key":"alert_a_1","id":"06015","module":0,)"
                              R"("name":"交流输入电压过低告警","text":"A相电压过低"})")),
         rxphost::kStatusWarning,
         "alarm: 06015 alert_a_1: 交流输入电压过低告警: A相电压过低 (AC input voltage low: phase A "
         "voltage low)\n"},
        {"no cycle yet", State(kFresh, Device("unknown", "")), rxphost::kStatusWarning,
         "status: WARNING (no cycle completed yet)\n"},
        {"lost", State(kFresh, Device("lost", kFresh, kFan)), rxphost::kStatusCritical,
         "status: CRITICAL (communication lost)\n"},
        {"record stale", State(kFresh, Device("up", kOld)), rxphost::kStatusCritical,
         "status: CRITICAL (last record 420.0 s old)\n"},
        {"host gone", State(kOld, Device("up", kOld)), rxphost::kStatusCritical,
         "status: CRITICAL (state not written for 420.0 s: is the host running?)\n"},
        {"one of two lost",
         State(kFresh, R"({"x":0})",
               Device("up", kFresh, "", "1") + "," + Device("lost", kFresh, "", "2")),
         rxphost::kStatusCritical, "port: /dev/ttyUSB0\ndevice: address 1, id 11\ncomm: up\n"},
        {"second device",
         State(kFresh, R"({"x":0})",
               Device("up", kFresh, "", "1") + "," + Device("lost", kFresh, "", "2")),
         rxphost::kStatusCritical, "device: address 2, id 12\ncomm: lost\n"},
        {"verdict names the device",
         State(kFresh, R"({"x":0})",
               Device("lost", kFresh, "", "2") + "," + Device("up", kFresh, kFan, "3")),
         rxphost::kStatusCritical, "status: CRITICAL (communication lost at address 2)\n"},
        // As the host writes one device: its fields at the top level and in "devices".
        {"one device in devices too", State(kFresh, Device("up", kFresh), Device("up", kFresh)),
         rxphost::kStatusOk, "port: /dev/ttyUSB0\ncomm: up\n", "device:"},
        {"state dated ahead", State(kAhead, Device("up", kFresh)), rxphost::kStatusUnknown,
         "status: UNKNOWN (state written 3600.0 s in the future: was the clock set back?)\n"
         "state: s.json, written 3600.0 s in the future\n"},
        {"record dated ahead", State(kFresh, Device("up", kAhead)), rxphost::kStatusUnknown,
         "status: UNKNOWN (last record published 3600.0 s in the future: was the clock set "
         "back?)\n"},
        {"storage failing",
         State(kFresh, Device("up", kFresh), "",
               R"(,"history_failed":3,"events_lost":420,"capture_lost":1777,"output_dropped":0)"),
         rxphost::kStatusWarning,
         "status: WARNING (storage failing: history_failed 3, events_lost 420, capture_lost "
         "1777)\nstate: s.json, written 5.0 s ago\nport: /dev/ttyUSB0\nhistory_failed: 3\n"
         "events_lost: 420\ncapture_lost: 1777\ncomm: up\n",
         "output_dropped"},
        {"output dropped, records waiting",
         State(kFresh, Device("up", kFresh), "", R"(,"output_dropped":5,"history_waiting":11)"),
         rxphost::kStatusWarning,
         "status: WARNING (storage failing: output_dropped 5, history_waiting 11)\n"},
        {"stopped", Stopped(State(kFresh, Device("stopped", kFresh))), rxphost::kStatusCritical,
         "status: CRITICAL (the host stopped at 2024-05-01T12:09:55+00:00: nobody polls)\n"},
        {"not JSON", "{\"comm\":", rxphost::kStatusUnknown, "status: UNKNOWN (s.json is not"},
        {"not a state", R"({"time":"2024-05-01T12:09:55+00:00"})", rxphost::kStatusUnknown,
         "status: UNKNOWN (s.json is not a state file of rxp-host"},
        {"wrong type", State(kFresh, Device("up", kFresh, "7")), rxphost::kStatusUnknown,
         "status: UNKNOWN"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        EXPECT_EQ(rxphost::StatusOfState("s.json", c.state, kNow, 300, out), c.code) << c.what;
        EXPECT_NE(out.str().find(c.lines), std::string::npos) << c.what << "\n"
                                                              << out.str() << "\nlacks\n"
                                                              << c.lines;
        if (!c.never.empty()) {
            EXPECT_EQ(out.str().find(c.never), std::string::npos) << c.what << "\n" << out.str();
        }
    }
}

// The command line: the exit code is the verdict, and a state file that is not there is UNKNOWN.
TEST(HostStatus, CommandLineExitsWithTheVerdict) {
    hosttest::TempDir dir;
    const std::string state = dir.File("state.json");
    hosttest::WriteText(state, State(rxp::tools::IsoTime(WallClock::now()),
                                     Device("lost", rxp::tools::IsoTime(WallClock::now()))));
    EXPECT_EQ(hosttest::Run({RXP_HOST_BIN, "--status", state}, dir.File("out"), dir.File("err")),
              rxphost::kStatusCritical);
    EXPECT_NE(hosttest::ReadText(dir.File("out")).find("comm: lost\n"), std::string::npos);
    EXPECT_EQ(hosttest::Run({RXP_HOST_BIN, "--status", dir.File("none.json")}, dir.File("out"),
                            dir.File("err")),
              rxphost::kStatusUnknown);
    EXPECT_NE(hosttest::ReadText(dir.File("out")).find("status: UNKNOWN (cannot read"),
              std::string::npos);
}

// A check that cannot read a state says UNKNOWN at once: it never waits on a FIFO, never reads a
// device without end, and a wrong --status-max-age is no CRITICAL (2, a usage error elsewhere).
TEST(HostStatus, WhatIsNoStateFileOrNoCheckIsUnknownAtOnce) {
    hosttest::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    hosttest::WriteText(dir.File("big.json"), std::string(2 << 20, ' '));
    hosttest::WriteText(dir.File("state.json"),
                        State(rxp::tools::IsoTime(WallClock::now()), Device("up", "")));
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"--status", dir.File("fifo")}, "it is a FIFO, not a regular file)"},
        {{"--status", "/dev/zero"}, "it is a device, not a regular file)"},
        {{"--status", dir.File("big.json")}, "is larger than 1 MiB"},
        {{"--status", dir.File("state.json"), "--status-max-age", "0"},
         "--status-max-age must be more than 0 seconds"},
        {{"--status", dir.File("state.json"), "--status-max-age", "5m"},
         "the argument ('5m') for option '--status-max-age' is invalid"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {RXP_HOST_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        // Without a bound, /dev/zero would be read until memory runs out: keep that small.
        hosttest::Process status(argv, dir.File("out"), dir.File("err"), [] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            const rlimit memory{1 << 30, 1 << 30};
            ::setrlimit(RLIMIT_AS, &memory);
#endif
        });
        EXPECT_EQ(status.Wait(hosttest::milliseconds(10000)), rxphost::kStatusUnknown)
            << c.args.back();
        const std::string said =
            hosttest::ReadText(dir.File("out")) + hosttest::ReadText(dir.File("err"));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

}  // namespace
