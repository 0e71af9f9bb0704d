// rxp-host --status: the verdict and exit code a monitoring check reads, for every state a host
// can be in, with one device at the top level and with several in "devices".
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tools/common/time_text.h"
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

// The state with its time, one device's fields at the top level (or `devices`).
std::string State(const std::string& time, const std::string& device,
                  const std::string& devices = "") {
    std::string s = device.substr(0, device.size() - 1);  // the device's members, open
    if (!devices.empty()) s += R"(,"devices":[)" + devices + "]";
    return s + R"(,"time":")" + time + R"(","port":"/dev/ttyUSB0"})";
}

// The state as the host writes it when its run ends.
std::string Stopped(const std::string& state) {
    return R"({"host":"stopped","stopped_at":")" + std::string(kFresh) + "\"," + state.substr(1);
}

TEST(HostStatus, VerdictAndLinesForEveryState) {
    const struct {
        const char* what;
        std::string state;
        int code;
        std::string lines;  // lines that must be there, in this order
    } cases[] = {
        {"healthy", State(kFresh, Device("up", kFresh)), rxphost::kStatusOk,
         "status: OK\nstate: s.json, written 5.0 s ago\nport: /dev/ttyUSB0\ncomm: up\n"
         "last_record_age_seconds: 5.0\nfailed_polls_in_row: 0\nfailed_polls_total: 7\n"
         "alarms_active: 0\n"},
        {"alarm", State(kFresh, Device("up", kFresh, kFan)), rxphost::kStatusWarning,
         "status: WARNING (1 alarm raised)\n"},
        {"alarm text", State(kFresh, Device("up", kFresh, kFan)), rxphost::kStatusWarning,
         "alarms_active: 1\nalarm: 06025 alert_c_0 (module 7): fan: module 7 fan\n"},
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

}  // namespace
