// rxp-host driving several power systems on one bus, end to end against rxp-sim as a bus: every
// record stored under the device that sent it, and the faults of a shared line (a late reply in
// another device's poll, two cabinets at one address, an unplugged cabinet) kept to their device.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/power_model.h"
#include "tools/common/hex.h"
#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::Bytes;
using hosttest::milliseconds;
using rxptest::PowerModel;

namespace {

class HostOnBus : public hosttest::SimAndHostTest {
protected:
    // A power system of the simulated bus: its address, model and device id.
    struct Unit {
        unsigned address;
        PowerModel model;
        std::uint32_t device_id;
    };

    // rxp-sim with one --device per unit (`extra` after them); waits for its line.
    void StartBus(const std::vector<Unit>& units, const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {RXP_SIM_BIN, "--link", line()};
        for (const Unit& u : units) {
            const std::string file = dir_.File("scenario-" + std::to_string(argv.size()) + ".json");
            hosttest::WriteText(file, hosttest::JsonText(rxptest::ScenarioOf(u.model)));
            argv.insert(argv.end(), {"--device", std::to_string(u.address) + "=" + file});
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim_.reset(new hosttest::Process(argv, dir_.File("sim.out"), dir_.File("sim.err")));
        ASSERT_TRUE(hosttest::WaitUntil([this] { return std::filesystem::exists(line()); },
                                        milliseconds(10000)))
            << hosttest::ReadText(dir_.File("sim.err"));
    }

    // The host's command line with one --device ADDRESS=SETTINGS per (address, device id).
    std::vector<std::string> BusHostArgs(const std::vector<std::pair<unsigned, std::uint32_t>>& ids,
                                         const std::vector<std::string>& extra) {
        std::vector<std::string> argv = HostArgs(extra);
        argv = hosttest::WithOptions(argv, {"--settings", ""});
        for (const auto& id : ids) {
            const std::string file = dir_.File("settings-" + std::to_string(id.first) + ".json");
            hosttest::WriteText(file, "{\"deviceId\": " + std::to_string(id.second) + "}");
            argv.insert(argv.end(), {"--device", std::to_string(id.first) + "=" + file});
        }
        return argv;
    }

    static std::vector<Json::Value> About(const std::vector<Json::Value>& events,
                                          const std::string& name, unsigned address) {
        std::vector<Json::Value> out;
        for (const Json::Value& e : events) {
            if (e["event"].asString() == name && e["address"].asUInt() == address) out.push_back(e);
        }
        return out;
    }

    // Every publication of the unit's address and every history row of its device id is the
    // unit's own record; returns how many publications there were.
    std::size_t ExpectOnlyOwnRecords(const std::vector<Json::Value>& events, const Unit& unit) {
        const Bytes own = unit.model.ExpectedRecord(unit.device_id);
        std::size_t published = 0;
        for (const Json::Value& p : About(events, "publish", unit.address)) {
            EXPECT_EQ(p["device_id"].asUInt(), unit.device_id);
            EXPECT_EQ(hosttest::WithoutTimestamp(rxp::hex::Parse(p["record"].asString())), own)
                << "a record of address " << unit.address << " that is not its own";
            ++published;
        }
        std::size_t rows = 0;
        for (const hosttest::HistoryRow& row : hosttest::ReadHistory(history())) {
            if (row.device_id != static_cast<long long>(unit.device_id)) continue;
            EXPECT_EQ(hosttest::WithoutTimestamp(row.record), own);
            ++rows;
        }
        EXPECT_EQ(rows, published);
        return published;
    }

    Json::Value State(const std::string& path) {
        Json::Value s;
        std::istringstream(hosttest::ReadText(path)) >> s;
        return s;
    }
};

PowerModel WithPhaseAVoltageLow(PowerModel m) {
    m.phase_status[0] = 0x4A;  // alert_a_1 06015
    return m;
}

PowerModel WithModule7Fan(PowerModel m) {
    m.modules[6].status = 0x9C;  // alert_c_0 06025
    return m;
}

TEST_F(HostOnBus, TwoDevicesWithTheirOwnScenariosStoreExactlyTheirOwnRecordsAndAlarms) {
    const Unit one{1, WithPhaseAVoltageLow(hosttest::QuietModel(11)), 101};
    const Unit two{2, WithModule7Fan(hosttest::QuietModel(22)), 202};
    StartBus({one, two}, {"--baud", "0"});
    const std::string state = dir_.File("state.json");
    ASSERT_EQ(hosttest::Run(BusHostArgs({{1, 101}, {2, 202}}, {"--cycles", "3", "--state", state}),
                            out(), err()),
              0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, one), 3u);
    EXPECT_EQ(ExpectOnlyOwnRecords(events, two), 3u);
    const auto raised = [&](unsigned address) {
        std::set<std::string> ids;
        for (const Json::Value& e : About(events, "alarm_raised", address)) {
            ids.insert(e["id"].asString());
        }
        return ids;
    };
    EXPECT_EQ(raised(1), std::set<std::string>{"06015"});
    EXPECT_EQ(raised(2), std::set<std::string>{"06025"});
    EXPECT_EQ(About(events, "alarm", 1).size(), 3u * 139u);

    const Json::Value s = State(state);
    ASSERT_EQ(s["devices"].size(), 2u);
    EXPECT_FALSE(s.isMember("comm")) << "device fields stand at the top only for one device";
    for (unsigned i = 0; i < 2; ++i) {
        const Json::Value& d = s["devices"][i];
        EXPECT_EQ(d["address"].asUInt(), i + 1);
        EXPECT_EQ(d["device_id"].asUInt(), i == 0 ? 101u : 202u);
        EXPECT_EQ(d["cycles"].asUInt(), 3u);
        EXPECT_EQ(d["record"]["fields"]["device_id"].asUInt(), i == 0 ? 101u : 202u);
        EXPECT_EQ(d["alarms"][0]["id"].asString(), i == 0 ? "06015" : "06025");
    }
    EXPECT_NE(hosttest::ReadText(out()).find("address 2 (device 202)  cycle 3"), std::string::npos);
}

TEST_F(HostOnBus, LateReplyOfOneDeviceInTheOthersPollIsNeverStoredAsTheOthers) {
    // At line speed, address 1's 30th reply (its second cycle) comes 1.6 s late: after its
    // poll was given up (0.5 s) and the line was quiet (0.5 s more), in the middle of address
    // 2's cycle, which takes 1.3 s.
    const Unit one{1, hosttest::QuietModel(11), 101};
    const Unit two{2, hosttest::QuietModel(22), 202};
    StartBus({one, two},
             {"--baud", "9600", "--fault-address", "1", "--delay", "1600", "--delay-every", "30"});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("metrics.prom");
    ASSERT_EQ(hosttest::Run(
                  BusHostArgs({{1, 101}, {2, 202}}, {"--cycles", "3", "--baud", "9600", "--state",
                                                     state, "--metrics", metrics, "--trace"}),
                  out(), err()),
              0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, one), 3u);
    EXPECT_EQ(ExpectOnlyOwnRecords(events, two), 3u);
    // Told as what it is, about the device that was late, once.
    EXPECT_TRUE(About(events, "warning", 2).empty());
    const std::vector<Json::Value> warnings = About(events, "warning", 1);
    ASSERT_EQ(warnings.size(), 1u) << "once per run and device";
    EXPECT_EQ(warnings[0]["reason"].asString(),
              "a late reply of address 1 came while polling 2: address 1 answers slower than "
              "--timeout");
    EXPECT_EQ(warnings[0]["polled_address"].asUInt(), 2u);
    EXPECT_EQ(hosttest::ReadText(err()).find("--no-address-check"), std::string::npos);
    const Json::Value s = State(state);
    EXPECT_GE(s["devices"][0]["late_replies"].asUInt(), 1u);
    EXPECT_EQ(s["devices"][1]["late_replies"].asUInt(), 0u);
    EXPECT_GE(s["devices"][1]["other_address_frames"].asUInt(), 1u);
    EXPECT_NE(hosttest::ReadText(metrics).find("rxp_late_replies_total{port=\"" + line() +
                                               "\",address=\"1\",device_id=\"101\"} " +
                                               s["devices"][0]["late_replies"].asString()),
              std::string::npos);
    EXPECT_NE(hosttest::ReadText(err()).find("not taken: from address 1 while polling 2"),
              std::string::npos);
}

TEST_F(HostOnBus, TwoCabinetsAtOneAddressAreReportedAndNoRecordMixesThem) {
    // Both answer every command, at line speed, one reply after the other.
    const Unit first{1, hosttest::QuietModel(11), 101};
    const Unit second{1, hosttest::QuietModel(22), 101};
    StartBus({first, second}, {"--baud", "9600", "--shared-address"});
    const std::string state = dir_.File("state.json");
    ASSERT_EQ(hosttest::Run(BusHostArgs({{1, 101}}, {"--cycles", "2", "--baud", "9600", "--timeout",
                                                     "1", "--state", state}),
                            out(), err()),
              0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, first), 2u) << "the first to answer, never a mix";
    const std::vector<Json::Value> warnings = About(events, "warning", 1);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0]["reason"].asString().find("two units set to address 1"),
              std::string::npos)
        << warnings[0]["reason"].asString();
    EXPECT_GE(State(state)["second_replies"].asUInt(), 25u);
}

TEST_F(HostOnBus, OneUnpluggedDeviceOfThreeDoesNotStopTheOthersButFailsTheRun) {
    const Unit one{1, hosttest::QuietModel(11), 101};
    const Unit three{3, hosttest::QuietModel(33), 303};
    StartBus({one, three}, {"--baud", "0"});  // nothing answers at address 2
    const std::string state = dir_.File("state.json");
    const std::vector<std::pair<unsigned, std::uint32_t>> ids = {{1, 101}, {2, 202}, {3, 303}};
    ASSERT_EQ(
        hosttest::Run(BusHostArgs(ids, {"--cycles", "24", "--timeout", "0.3", "--state", state}),
                      out(), err()),
        7)
        << hosttest::ReadText(err());
    EXPECT_NE(hosttest::ReadText(err()).find(
                  "rxp-host: address 2 (device 202): 0 of 24 cycles completed, communication lost"),
              std::string::npos)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, one), 24u);
    EXPECT_EQ(ExpectOnlyOwnRecords(events, three), 24u);
    EXPECT_EQ(About(events, "comm_lost", 2).size(), 1u);
    EXPECT_TRUE(About(events, "comm_lost", 1).empty());
    EXPECT_EQ(State(state)["devices"][1]["comm"].asString(), "stopped");  // the run is over
    // Rounds of three polls until address 2 is lost (rounds 1 to 3), then of two, but for
    // rounds 9, 15 and 21, in which it is tried again.
    std::vector<unsigned> tried;
    for (const Json::Value& e : About(events, "poll_failed", 2))
        tried.push_back(e["poll"].asUInt());
    EXPECT_EQ(tried, (std::vector<unsigned>{2, 5, 8, 21, 34, 47}));

    // Given a deadline, the run waits for it.
    ASSERT_EQ(
        hosttest::Run(BusHostArgs(ids, {"--cycles", "2", "--timeout", "0.3", "--deadline", "3"}),
                      out(), err()),
        5)
        << hosttest::ReadText(err());
    EXPECT_NE(hosttest::ReadText(err()).find("address 2 (device 202): 0 of 2 cycles completed"),
              std::string::npos)
        << hosttest::ReadText(err());
}

// A site's line at 9600 bit/s spoils replies (corrupted, noise before them) and the port reads
// them a few characters at a time; its capture, replayed at once on a pseudo-terminal, gives the
// host the same records, the same failed polls and no warning the site run did not give, for one
// device and for a bus.
TEST_F(HostOnBus, ReplayOfACaptureOfAFaultyLineGivesTheSiteRunsRecordsAndFailures) {
    const Unit one{1, hosttest::QuietModel(11), 101};
    const Unit two{2, hosttest::QuietModel(22), 202};
    // What the host made of the line: records, failed polls and warnings, in order, no times.
    const auto made_of = [](const std::vector<Json::Value>& events) {
        std::vector<std::string> seen;
        for (const Json::Value& e : events) {
            const std::string name = e["event"].asString();
            const std::string about = name + " " + e["address"].asString() + " ";
            if (name == "publish") {
                const Bytes record =
                    hosttest::WithoutTimestamp(rxp::hex::Parse(e["record"].asString()));
                seen.push_back(about + rxp::hex::Upper(record.data(), record.size()));
            } else if (name == "poll_failed") {
                seen.push_back(about + e["poll"].asString() + " " + e["reason"].asString() + " " +
                               e["waiting_for"].asString());
            } else if (name == "warning") {
                seen.push_back(about + e["reason"].asString());
            }
        }
        return seen;
    };
    for (const std::vector<Unit>& units : {std::vector<Unit>{one}, std::vector<Unit>{one, two}}) {
        std::vector<std::pair<unsigned, std::uint32_t>> ids;
        for (const Unit& u : units) ids.push_back({u.address, u.device_id});
        const std::string capture = dir_.File("site-" + std::to_string(units.size()) + ".capture");
        ::unlink(line().c_str());  // the link of the simulator before
        StartBus(units, {"--baud", "9600", "--corrupt-every", "60", "--seed", "3", "--noise", "3"});
        ::unlink(events_path().c_str());
        ASSERT_EQ(hosttest::Run(
                      BusHostArgs(ids, {"--cycles", "3", "--baud", "9600", "--capture", capture}),
                      out(), err()),
                  0)
            << hosttest::ReadText(err());
        sim_.reset();
        const std::vector<std::string> site = made_of(hosttest::ReadEvents(events_path()));
        ASSERT_GE(
            std::count_if(site.begin(), site.end(),
                          [](const std::string& s) { return s.rfind("poll_failed", 0) == 0; }),
            1)
            << "the site line spoils a reply";

        const std::string lab_line = dir_.File("lab-line");
        ::unlink(lab_line.c_str());
        hosttest::Process replay({RXP_SIM_BIN, "--link", lab_line, "--replay", capture},
                                 dir_.File("replay.out"), dir_.File("replay.err"));
        ASSERT_TRUE(hosttest::WaitUntil([&] { return std::filesystem::exists(lab_line); },
                                        milliseconds(10000)));
        ::unlink(events_path().c_str());
        ASSERT_EQ(
            hosttest::Run(BusHostArgs(ids, {"--cycles", "3", "--baud", "9600", "--port", lab_line,
                                            "--history", dir_.File("lab.db"), "--deadline", "30"}),
                          out(), err()),
            0)
            << hosttest::ReadText(err());
        EXPECT_EQ(made_of(hosttest::ReadEvents(events_path())), site) << units.size() << " devices";
        replay.Signal(SIGTERM);
        EXPECT_EQ(replay.Wait(milliseconds(5000)), 0);
        EXPECT_EQ(hosttest::ReadText(dir_.File("replay.err")).find("skipped"), std::string::npos)
            << hosttest::ReadText(dir_.File("replay.err"));
    }
}

TEST_F(HostOnBus, HistoryOfSeveralDevicesSaysWhoseEachRecordIsInEveryFormat) {
    const Unit zero{0, hosttest::QuietModel(10), 100};
    const Unit two{2, hosttest::QuietModel(22), 202};
    StartBus({zero, two}, {"--baud", "0"});
    ASSERT_EQ(hosttest::Run(BusHostArgs({{0, 100}, {2, 202}}, {"--cycles", "2"}), out(), err()), 0)
        << hosttest::ReadText(err());
    const auto record = [this](std::vector<std::string> args) {
        args.insert(args.begin(), {RXP_RECORD_BIN, "--db", history()});
        return hosttest::Run(args, dir_.File("record.out"), dir_.File("record.err"));
    };
    const auto shown = [this] { return hosttest::ReadText(dir_.File("record.out")); };

    // Rows of address 0 are found by it, and CSV names the address of every row.
    ASSERT_EQ(record({"--format", "csv", "--fields", "device_id"}), 0);
    EXPECT_EQ(shown().substr(0, shown().find('\n')), "time,row,address,device_id");
    std::vector<std::string> owners;
    std::istringstream lines(shown());
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line))
        owners.push_back(line.substr(line.find(',', line.find(',') + 1) + 1));
    EXPECT_EQ(owners, (std::vector<std::string>{"0,100", "2,202", "0,100", "2,202"}));
    ASSERT_EQ(record({"--address", "0", "--format", "csv", "--fields", "device_id"}), 0)
        << hosttest::ReadText(dir_.File("record.err"));
    EXPECT_EQ(hosttest::CountLines(shown(), ",0,100"), 2u) << shown();
    ASSERT_EQ(record({"--address", "0", "--last", "2", "--format", "json"}), 0);
    EXPECT_EQ(hosttest::CountLines(shown(), "\"address\":0,"), 2u) << shown();
    ASSERT_EQ(record({}), 0);
    EXPECT_NE(shown().find(", address 2\n"), std::string::npos) << shown();

    // Nothing of address 8: the same answer in every format.
    for (const char* format : {"table", "json", "csv"}) {
        EXPECT_EQ(record({"--address", "8", "--format", format}), 1) << format;
        EXPECT_EQ(shown(), "") << format;
        EXPECT_NE(hosttest::ReadText(dir_.File("record.err")).find("no record in the range"),
                  std::string::npos)
            << format;
    }
}

// Rows of two devices with one device id are told apart by address alone: one settings file
// given twice, or two files with one "deviceId", are warned of at start, naming the addresses,
// on standard error and as a warning event; the bus is polled all the same.
TEST_F(HostOnBus, DevicesSharingADeviceIdAreWarnedOfAtStart) {
    std::vector<Unit> units;
    for (unsigned a = 1; a <= 5; ++a) units.push_back({a, hosttest::QuietModel(a), 0});
    StartBus(units, {"--baud", "0"});
    std::vector<std::string> argv =
        hosttest::WithOptions(HostArgs({"--cycles", "1"}), {"--settings", ""});
    const std::pair<unsigned, const char*> devices[] = {{1, "shared.json"},
                                                        {2, "shared.json"},
                                                        {3, "highest.json"},
                                                        {4, "also-highest.json"},
                                                        {5, "own.json"}};
    hosttest::WriteText(dir_.File("shared.json"), R"({"deviceId": 7})");
    // The highest id, as every output shows it: unsigned.
    hosttest::WriteText(dir_.File("highest.json"), R"({"deviceId": 4294967295})");
    hosttest::WriteText(dir_.File("also-highest.json"), R"({"deviceId": 4294967295})");
    hosttest::WriteText(dir_.File("own.json"), R"({"deviceId": 11})");
    for (const auto& d : devices) {
        argv.insert(argv.end(), {"--device", std::to_string(d.first) + "=" + dir_.File(d.second)});
    }
    ASSERT_EQ(hosttest::Run(argv, out(), err()), 0) << hosttest::ReadText(err());

    const std::string said = hosttest::ReadText(err());
    EXPECT_EQ(hosttest::CountLines(said,
                                   "rxp-host: warning: the devices at addresses 1 and 2 "
                                   "have one device id, 7, in their records; give each "
                                   "device its own settings file with its own \"deviceId\""),
              1u)
        << said;
    EXPECT_EQ(hosttest::CountLines(
                  said, "the devices at addresses 3 and 4 have one device id, 4294967295, "),
              1u)
        << said;
    std::vector<std::string> warned;
    for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
        if (e["event"].asString() != "warning") continue;
        warned.push_back(e["device_id"].asString() + ":" + hosttest::JsonText(e["addresses"]));
    }
    EXPECT_EQ(warned, (std::vector<std::string>{"7:[1,2]", "4294967295:[3,4]"}));
    EXPECT_EQ(CyclesSoFar(), 5u);
}

TEST_F(HostOnBus, BadDeviceListsAreUsageErrorsNamingTheOption) {
    struct Case {
        std::vector<std::string> options;
        std::string says;
    };
    std::vector<std::string> many;
    for (int a = 0; a <= 32; ++a) many.insert(many.end(), {"--device", std::to_string(a)});
    const std::vector<Case> cases = {
        {{"--device", "1", "--device", "1"}, "--device: address 1 named twice"},
        {{"--device", "256"}, "--device 256: the address must be 0..255"},
        {{"--device", "x=a.json"}, "--device x=a.json: the address must be 0..255"},
        {many, "--device: at most 32 devices on one bus, not 33"},
        {{"--device", "1", "--address", "2"}, "--device and --address do not go together"},
        {{"--device", "1=a.json", "--device", "1=b.json"},
         "--device: two settings files for address 1, 'a.json' and 'b.json'"},
        {{"--device", "1", "--device", "2", "--cache", "c.rec"},
         "--cache c.rec: with several devices, --cache ADDRESS=FILE"},
        {{"--device", "1", "--cache", "3=c.rec"}, "--cache 3=c.rec: no device at address 3"},
        {{"--device", "1", "--device", "2", "--no-address-check"},
         "--no-address-check is for one device"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--port",
                                         dir_.File("no-line")};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(hosttest::Run(argv, out(), err()), 2) << c.says;
        EXPECT_NE(hosttest::ReadText(err()).find(c.says), std::string::npos)
            << hosttest::ReadText(err());
    }
}

// One unit that answers every command with address 1 whatever address it is polled at: its
// replies are not taken, the warning names the option, and the option takes them.
TEST(HostFixedAddressUnit, RepliesFromAnotherAddressAreRefusedUntilTheCheckIsTurnedOff) {
    hosttest::TempDir dir;
    hosttest::PowerLine line;
    const PowerModel model = PowerModel::Distinct(5);
    line.Answer([model](const Bytes& command, int) {
        const int index = hosttest::CommandIndex(command);
        return index < 0 ? Bytes() : model.Reply(index);  // always from address 1
    });
    const std::vector<std::string> argv = {RXP_HOST_BIN,
                                           "--plugin",
                                           RXP_PLUGIN_SO,
                                           "--port",
                                           line.path(),
                                           "--address",
                                           "3",
                                           "--interval",
                                           "0",
                                           "--timeout",
                                           "0.3",
                                           "--cycles",
                                           "2",
                                           "--deadline",
                                           "3",
                                           "--events",
                                           dir.File("events.jsonl")};
    EXPECT_EQ(hosttest::Run(argv, dir.File("out"), dir.File("err")), 5);
    std::vector<Json::Value> events = hosttest::ReadEvents(dir.File("events.jsonl"));
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 0u);
    ASSERT_EQ(hosttest::CountEvents(events, "warning"), 1u);
    for (const Json::Value& e : events) {
        if (e["event"].asString() != "warning") continue;
        EXPECT_EQ(e["address"].asUInt(), 3u);
        EXPECT_EQ(e["from_address"].asUInt(), 1u);
        EXPECT_NE(e["reason"].asString().find("--no-address-check"), std::string::npos);
    }

    std::vector<std::string> unchecked = argv;
    unchecked.push_back("--no-address-check");
    ::unlink(dir.File("events.jsonl").c_str());
    EXPECT_EQ(hosttest::Run(unchecked, dir.File("out"), dir.File("err")), 0)
        << hosttest::ReadText(dir.File("err"));
    events = hosttest::ReadEvents(dir.File("events.jsonl"));
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 2u);
    EXPECT_EQ(hosttest::CountEvents(events, "warning"), 0u);
}

}  // namespace
