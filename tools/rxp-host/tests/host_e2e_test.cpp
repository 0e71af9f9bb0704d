// rxp-host end to end: the simulator on a pseudo-terminal, the host loading the built plug-in.
// Every check reads what a program downstream reads: the events file, the history database,
// the exit code and the host's output.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "tests/support/power_model.h"
#include "tools/rxp-host/tests/host_test_support.h"

using hosttest::Bytes;
using hosttest::milliseconds;
using rxptest::PowerModel;
using rxptest::ScenarioOf;

namespace {

const std::uint32_t kDeviceId = 0x0A0B0C0D;

// A system with distinct values everywhere and no alarm condition: status bytes carry only bits
// that no alarm rule reads, state bytes values that no rule tests for.
PowerModel QuietDistinctModel() {
    PowerModel m = PowerModel::Distinct(11);
    m.phase_status[0] = 0x48;  // phase A: bits 6 and 3
    m.phase_status[1] = 0x88;  // phase B: bits 7 and 3
    m.phase_status[2] = 0xC8;  // phase C: bits 7, 6 and 3
    m.ac_frequency_state = 0x07;
    for (auto& module : m.modules) module.status = 0x8C;  // bits 7, 3, 2
    m.breaker1_state = 0x35;
    m.breaker2_state = 0x36;
    m.lightning_switch_state = 0x37;
    m.dc_status[0] = 0x00;
    m.dc_status[1] = 0x08;
    m.dc_status[2] = 0x9F;
    return m;
}

std::string JsonText(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

Bytes WithoutTimestamp(Bytes record) {
    std::fill(record.begin() + 282, record.end(), 0);
    return record;
}

// The record's time stamp is a plausible local date and time.
void ExpectPlausibleTimestamp(const Bytes& record) {
    ASSERT_EQ(record.size(), 289u);
    const unsigned year = record[282] | (record[283] << 8);
    EXPECT_GE(year, 2020u);
    EXPECT_LE(year, 2200u);
    EXPECT_GE(record[284], 1);
    EXPECT_LE(record[284], 12);
    EXPECT_GE(record[285], 1);
    EXPECT_LE(record[285], 31);
    EXPECT_LE(record[286], 23);
    EXPECT_LE(record[287], 59);
    EXPECT_LE(record[288], 59);
}

std::vector<Json::Value> Named(const std::vector<Json::Value>& events, const std::string& name) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == name) out.push_back(e);
    }
    return out;
}

// One alarm change as a short text: "raised 52 alert_c_0 06025 整流模块风扇告警 模块7模块风扇故障".
std::string ChangeText(const Json::Value& e) {
    return (e["event"].asString() == "alarm_raised" ? "raised " : "cleared ") +
           std::to_string(e["ordinal"].asUInt()) + " " + e["key"].asString() + " " +
           e["id"].asString() + " " + e["name"].asString() + " " + e["text"].asString();
}

class HostEndToEnd : public ::testing::Test {
protected:
    // Starts the simulator on a pseudo-terminal, linked at dir/line.
    void StartSim(const Json::Value& scenario, std::vector<std::string> extra) {
        hosttest::WriteText(dir_.File("scenario.json"), JsonText(scenario));
        std::vector<std::string> argv = {
            RXP_SIM_BIN, "--baud", "0", "--link", line(), "--scenario", dir_.File("scenario.json")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim_.reset(new hosttest::Process(argv, dir_.File("sim.out"), dir_.File("sim.err")));
        ASSERT_TRUE(hosttest::WaitUntil([this] { return std::filesystem::exists(line()); },
                                        milliseconds(10000)))
            << hosttest::ReadText(dir_.File("sim.err"));
    }

    std::vector<std::string> HostArgs(std::vector<std::string> extra) {
        hosttest::WriteText(dir_.File("settings.json"),
                            "{\"deviceId\": " + std::to_string(kDeviceId) + "}");
        std::vector<std::string> argv = {RXP_HOST_BIN,
                                         "--plugin",
                                         RXP_PLUGIN_SO,
                                         "--port",
                                         line(),
                                         "--settings",
                                         dir_.File("settings.json"),
                                         "--events",
                                         events_path(),
                                         "--history",
                                         history(),
                                         "--interval",
                                         "0",
                                         "--timeout",
                                         "0.5"};
        return hosttest::WithOptions(argv, extra);
    }

    int RunHost(std::vector<std::string> extra) {
        return hosttest::Run(HostArgs(extra), out(), err(), milliseconds(60000));
    }

    std::string line() const { return dir_.File("line"); }
    std::string events_path() const { return dir_.File("events.jsonl"); }
    std::string history() const { return dir_.File("history.db"); }
    std::string out() const { return dir_.File("host.out"); }
    std::string err() const { return dir_.File("host.err"); }

    hosttest::TempDir dir_;
    std::unique_ptr<hosttest::Process> sim_;
};

TEST_F(HostEndToEnd, SplitNoisyRepliesPublishExactlyTheModelRecordAndQuietAlarmPasses) {
    const PowerModel model = QuietDistinctModel();
    StartSim(ScenarioOf(model), {"--split", "5", "--noise", "6", "--seed", "7"});

    ASSERT_EQ(RunHost({"--cycles", "3"}), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    const Bytes expected = model.ExpectedRecord(kDeviceId);
    const std::vector<Json::Value> published = Named(events, "publish");
    ASSERT_EQ(published.size(), 3u);
    for (const Json::Value& p : published) {
        EXPECT_EQ(p["data_id"].asInt(), 5112);
        const Bytes record = hosttest::FromLowerHex(p["record"].asString());
        ASSERT_EQ(p["record"].asString().size(), 578u);
        EXPECT_EQ(WithoutTimestamp(record), expected);
        ExpectPlausibleTimestamp(record);
    }

    // Per cycle: the publication, then 139 alarm calls numbered 1..139, then the cycle.
    std::size_t i = 0;
    for (int cycle = 1; cycle <= 3; ++cycle) {
        while (i < events.size() && events[i]["event"].asString() != "publish") ++i;
        ASSERT_LT(i + 140, events.size());
        for (unsigned ordinal = 1; ordinal <= 139; ++ordinal) {
            const Json::Value& a = events[i + ordinal];
            ASSERT_EQ(a["event"].asString(), "alarm") << "cycle " << cycle;
            EXPECT_EQ(a["ordinal"].asUInt(), ordinal);
            EXPECT_FALSE(a["state"].asBool()) << "ordinal " << ordinal;
        }
        EXPECT_EQ(events[i + 140]["event"].asString(), "cycle");
        EXPECT_EQ(events[i + 140]["cycle"].asInt(), cycle);
        i += 141;
    }
    EXPECT_EQ(hosttest::CountEvents(events, "alarm_raised"), 0u);
    EXPECT_EQ(hosttest::CountEvents(events, "alarm_cleared"), 0u);
    EXPECT_EQ(hosttest::CountEvents(events, "poll_failed"), 0u);

    // The alarm event carries the rule's vocabulary, the Chinese texts unescaped.
    const Json::Value first = Named(events, "alarm")[0];
    EXPECT_EQ(first["key"].asString(), "alert_a_7");
    EXPECT_EQ(first["id"].asString(), "06016");
    EXPECT_EQ(first["name"].asString(), "交流输入停电告警");
    EXPECT_EQ(first["text"].asString(), "交流掉电");
    EXPECT_FALSE(first["time"].asString().empty());
    const std::string raw = hosttest::ReadText(events_path());
    EXPECT_NE(raw.find("\"name\":\"交流输入停电告警\""), std::string::npos);
    EXPECT_EQ(raw.find("\\u"), std::string::npos);

    // One history row per stored record: the same bytes, the host's device id.
    const std::vector<hosttest::HistoryRow> rows = hosttest::ReadHistory(history());
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(rows[r].device_id, kDeviceId);
        EXPECT_EQ(rows[r].record, hosttest::FromLowerHex(published[r]["record"].asString()));
    }
}

TEST_F(HostEndToEnd, ScriptedAlarmsRiseAndClearOncePerOrdinal) {
    // Phase A power failure from the start; module 7's fan fails at cycle 2 and recovers at 4;
    // the power comes back at cycle 3. Module 7's fan rule shares its key with phase C's
    // phase-loss rule, which stays clear: the state must be kept per ordinal.
    Json::Value scenario;
    scenario["phase_a_status"] = "0x80";
    Json::Value fan_fault, fan_ok, power_back;
    fan_fault["cycle"] = 2;
    fan_fault["set"]["modules"]["7"]["status"] = "0x10";
    power_back["cycle"] = 3;
    power_back["set"]["phase_a_status"] = 0;
    fan_ok["cycle"] = 4;
    fan_ok["set"]["modules"]["7"]["status"] = 0;
    scenario["changes"].append(fan_fault);
    scenario["changes"].append(power_back);
    scenario["changes"].append(fan_ok);
    StartSim(scenario, {});

    ASSERT_EQ(RunHost({"--cycles", "5"}), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    std::vector<std::string> changes;
    int cycle = 1;
    for (const Json::Value& e : events) {
        const std::string name = e["event"].asString();
        if (name == "cycle") ++cycle;
        if (name == "alarm_raised" || name == "alarm_cleared") {
            changes.push_back("cycle " + std::to_string(cycle) + " " + ChangeText(e));
        }
    }
    const std::vector<std::string> expected = {
        "cycle 1 raised 1 alert_a_7 06016 交流输入停电告警 交流掉电",
        "cycle 2 raised 52 alert_c_0 06025 整流模块风扇告警 模块7模块风扇故障",
        "cycle 3 cleared 1 alert_a_7 06016 交流输入停电告警 交流掉电",
        "cycle 4 cleared 52 alert_c_0 06025 整流模块风扇告警 模块7模块风扇故障",
    };
    EXPECT_EQ(changes, expected);

    // The state of every alarm call follows the scenario.
    std::map<int, std::vector<bool>> states;  // ordinal -> state per cycle
    for (const Json::Value& e : Named(events, "alarm")) {
        states[e["ordinal"].asInt()].push_back(e["state"].asBool());
    }
    ASSERT_EQ(states.size(), 139u);
    EXPECT_EQ(states[1], (std::vector<bool>{true, true, false, false, false}));
    EXPECT_EQ(states[52], (std::vector<bool>{false, true, true, false, false}));
    EXPECT_EQ(states[17], (std::vector<bool>(5, false)));

    // People read the same changes in the summaries.
    const std::string out = hosttest::ReadText(this->out());
    EXPECT_EQ(hosttest::CountLines(out, "raised   #52  06025 整流模块风扇告警  模块7模块风扇故障"),
              1u)
        << out;
    EXPECT_EQ(hosttest::CountLines(out, "cleared  #1  06016 交流输入停电告警  交流掉电"), 1u);
    EXPECT_EQ(hosttest::CountLines(out, "rvSize is 0"), 5u);
    EXPECT_EQ(hosttest::CountLines(out, "  modules  7:0x10"), 2u);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> sim_args;
    const char* reason;  // of the failed polls
};

// Test listings show the case by name.
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class HostFaults : public HostEndToEnd, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HostFaults, SpoiledReplyCostsOnePollAndTheNextCompletes) {
    const PowerModel model = QuietDistinctModel();
    StartSim(ScenarioOf(model), GetParam().sim_args);

    ASSERT_EQ(RunHost({"--cycles", "3"}), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    std::vector<std::string> outcomes;
    for (const Json::Value& e : events) {
        const std::string name = e["event"].asString();
        if (name == "cycle") outcomes.push_back("cycle");
        if (name == "poll_failed") {
            EXPECT_EQ(e["reason"].asString(), GetParam().reason);
            outcomes.push_back("failed");
        }
    }
    ASSERT_GE(outcomes.size(), 4u);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "cycle"), 3);
    for (std::size_t k = 0; k + 1 < outcomes.size(); ++k) {
        if (outcomes[k] == "failed") {
            EXPECT_EQ(outcomes[k + 1], "cycle") << "after outcome " << k;
        }
    }

    // Nothing of a spoiled poll reaches the record: every publication is the model's record.
    const std::vector<Json::Value> published = Named(events, "publish");
    ASSERT_EQ(published.size(), 3u);
    for (const Json::Value& p : published) {
        EXPECT_EQ(WithoutTimestamp(hosttest::FromLowerHex(p["record"].asString())),
                  model.ExpectedRecord(kDeviceId));
    }
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 3u);
    EXPECT_EQ(hosttest::CountEvents(events, "comm_lost"), 0u);
}

// Every 50th reply is the last of every second poll; every 38th the 13th of every second one.
INSTANTIATE_TEST_SUITE_P(
    Replies, HostFaults,
    ::testing::Values(FaultCase{"Corrupted", {"--corrupt-every", "50"}, "dropped"},
                      FaultCase{"Dropped", {"--drop-every", "38"}, "timeout"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_F(HostEndToEnd, SigtermMidCycleExitsZeroWithOneHistoryRowPerCompletedCycle) {
    // Each reply held back 15 ms: a cycle takes about 0.4 s.
    StartSim(Json::Value(Json::objectValue), {"--delay", "15"});
    hosttest::Process host(HostArgs({}), out(), err());
    ASSERT_TRUE(hosttest::WaitUntil(
        [this] {
            return hosttest::CountLines(hosttest::ReadText(events_path()), "\"event\":\"cycle\"") >=
                   2;
        },
        milliseconds(20000)));
    std::this_thread::sleep_for(milliseconds(150));  // into the next cycle
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(10000)), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    const std::size_t cycles = hosttest::CountEvents(events, "cycle");
    EXPECT_GE(cycles, 2u);
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), cycles);
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), cycles);
    EXPECT_NE(hosttest::ReadText(err()).find("SIGTERM"), std::string::npos);
}

TEST_F(HostEndToEnd, CachedRecordIsPublishedFirstAndItsAlarmClearedByTheFirstPoll) {
    PowerModel cached_model = QuietDistinctModel();
    cached_model.phase_status[0] = 0x80;  // AC power failure in the cached record
    Bytes cached = cached_model.ExpectedRecord(kDeviceId);
    hosttest::WriteBytes(dir_.File("cache.bin"), cached);
    StartSim(Json::Value(Json::objectValue), {});

    ASSERT_EQ(RunHost({"--cycles", "1", "--cache", dir_.File("cache.bin")}), 0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0]["event"].asString(), "start");
    EXPECT_EQ(events[1]["event"].asString(), "cache_loaded");
    const std::vector<Json::Value> published = Named(events, "publish");
    ASSERT_EQ(published.size(), 2u);
    const Bytes first = hosttest::FromLowerHex(published[0]["record"].asString());
    EXPECT_EQ(WithoutTimestamp(first), cached);
    ExpectPlausibleTimestamp(first);

    std::vector<std::string> changes;
    for (const Json::Value& e : events) {
        const std::string name = e["event"].asString();
        if (name == "alarm_raised" || name == "alarm_cleared") changes.push_back(ChangeText(e));
    }
    EXPECT_EQ(changes,
              (std::vector<std::string>{"raised 1 alert_a_7 06016 交流输入停电告警 交流掉电",
                                        "cleared 1 alert_a_7 06016 交流输入停电告警 交流掉电"}));
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), 2u);
}

TEST_F(HostEndToEnd, CacheFileOfTheWrongSizeIsNamedAndPollingGoesOn) {
    hosttest::WriteBytes(dir_.File("cache.bin"), Bytes(288, 0x11));
    StartSim(Json::Value(Json::objectValue), {});

    ASSERT_EQ(RunHost({"--cycles", "1", "--cache", dir_.File("cache.bin")}), 0);

    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find(dir_.File("cache.bin")), std::string::npos) << err;
    EXPECT_NE(err.find("288 bytes"), std::string::npos) << err;
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "cache_loaded"), 0u);
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 1u);
}

TEST_F(HostEndToEnd, AddressOptionReachesAPowerSystemOnAnotherAddressAndTraceShowsFrames) {
    StartSim(Json::Value(Json::objectValue), {"--address", "5"});

    ASSERT_EQ(RunHost({"--cycles", "1", "--address", "5", "--trace"}), 0)
        << hosttest::ReadText(err());

    const std::string err = hosttest::ReadText(this->err());
    EXPECT_EQ(hosttest::CountLines(err, "-> "), 25u);
    EXPECT_EQ(hosttest::CountLines(err, "<- "), 25u);
    // 0x40/0x01 to address 5: raw 05 40 01 00 8A.
    EXPECT_NE(err.find("-> 0x40/0x01  7E 30 35 34 30 30 31 30 30 38 3A 0D"), std::string::npos)
        << err;
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "publish"), 1u);
}

}  // namespace
