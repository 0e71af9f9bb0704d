// rxp-host driving several power systems on one bus, end to end against rxp-sim as a bus: every
// record stored under the device that sent it, and the faults of a shared line (a late reply in
// another device's poll, two cabinets at one address, an unplugged cabinet) kept to their device.
#include <gtest/gtest.h>
#include <unistd.h>

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
    ASSERT_EQ(hosttest::Run(BusHostArgs({{1, 101}, {2, 202}}, {"--cycles", "3", "--baud", "9600",
                                                               "--state", state, "--trace"}),
                            out(), err()),
              0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, one), 3u);
    EXPECT_EQ(ExpectOnlyOwnRecords(events, two), 3u);
    const std::vector<Json::Value> warnings = About(events, "warning", 2);
    ASSERT_EQ(warnings.size(), 1u) << "once per run and device";
    EXPECT_EQ(warnings[0]["from_address"].asUInt(), 1u);
    EXPECT_NE(warnings[0]["reason"].asString().find("--no-address-check"), std::string::npos);
    EXPECT_GE(State(state)["devices"][1]["other_address_frames"].asUInt(), 1u);
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

TEST_F(HostOnBus, OneUnpluggedDeviceOfThreeDoesNotStopTheOthers) {
    const Unit one{1, hosttest::QuietModel(11), 101};
    const Unit three{3, hosttest::QuietModel(33), 303};
    StartBus({one, three}, {"--baud", "0"});  // nothing answers at address 2
    const std::string state = dir_.File("state.json");
    ASSERT_EQ(hosttest::Run(BusHostArgs({{1, 101}, {2, 202}, {3, 303}},
                                        {"--cycles", "24", "--timeout", "0.3", "--state", state}),
                            out(), err()),
              0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(ExpectOnlyOwnRecords(events, one), 24u);
    EXPECT_EQ(ExpectOnlyOwnRecords(events, three), 24u);
    EXPECT_EQ(About(events, "comm_lost", 2).size(), 1u);
    EXPECT_TRUE(About(events, "comm_lost", 1).empty());
    // Lost after 3 polls, then tried once every 6 rounds of the 24.
    const Json::Value lost = State(state)["devices"][1];
    EXPECT_EQ(lost["comm"].asString(), "stopped");  // the run is over
    EXPECT_GE(lost["polls"].asUInt(), 4u);
    EXPECT_LE(lost["polls"].asUInt(), 3u + 24u / 6u + 1u);
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
