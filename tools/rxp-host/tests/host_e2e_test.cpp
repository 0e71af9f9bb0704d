// rxp-host end to end: the simulator on a pseudo-terminal, the host loading the built plug-in.
// Every check reads what a program downstream reads: the events file, the history database,
// the exit code and the host's output.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/power_model.h"
#include "tools/common/hex.h"
#include "tools/common/record_fields.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"
#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::Bytes;
using hosttest::milliseconds;
using rxptest::PowerModel;
using rxptest::ScenarioOf;

namespace {

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

class HostEndToEnd : public hosttest::SimAndHostTest {};

TEST_F(HostEndToEnd, SplitNoisyRepliesPublishExactlyTheModelRecordAndQuietAlarmPasses) {
    const PowerModel model = hosttest::QuietModel(11);
    StartSim(ScenarioOf(model), {"--split", "5", "--noise", "6", "--seed", "7"});

    ASSERT_EQ(RunHost({"--cycles", "3"}), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    const Bytes expected = model.ExpectedRecord(kDeviceId);
    const std::vector<Json::Value> published = Named(events, "publish");
    ASSERT_EQ(published.size(), 3u);
    for (const Json::Value& p : published) {
        EXPECT_EQ(p["data_id"].asInt(), 5112);
        const Bytes record = rxp::hex::Parse(p["record"].asString());
        ASSERT_EQ(p["record"].asString().size(), 578u);
        EXPECT_EQ(hosttest::WithoutTimestamp(record), expected);
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
        EXPECT_EQ(rows[r].record, rxp::hex::Parse(published[r]["record"].asString()));
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
    const PowerModel model = hosttest::QuietModel(11);
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
        EXPECT_EQ(hosttest::WithoutTimestamp(rxp::hex::Parse(p["record"].asString())),
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
    ASSERT_TRUE(hosttest::WaitUntil([this] { return CyclesSoFar() >= 2; }, milliseconds(20000)));
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
    PowerModel cached_model = hosttest::QuietModel(11);
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
    const Bytes first = rxp::hex::Parse(published[0]["record"].asString());
    EXPECT_EQ(hosttest::WithoutTimestamp(first), cached);
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
    EXPECT_EQ(hosttest::CountLines(err, " -> ~ addr 05 codes "), 25u) << err;
    EXPECT_EQ(hosttest::CountLines(err, " <- ~ addr 05 codes "), 25u);
    // 0x40/0x01 to address 5: raw 05 40 01 00 8A; its reply accepted for step 1 of poll 1.
    EXPECT_NE(err.find(" -> ~ addr 05 codes 40/01 len 0 sum 8A CR  0x40/0x01 AC phases, poll 1 "
                       "step 1\n"),
              std::string::npos);
    EXPECT_NE(err.find(" <- ~ addr 05 codes 40/01 len 15 payload "), std::string::npos);
    EXPECT_EQ(hosttest::CountLines(err, " CR  accepted for step "), 25u);
    EXPECT_NE(err.find(" CR  accepted for step 1\n"), std::string::npos);
    EXPECT_NE(err.find(" CR  accepted for step 25\n"), std::string::npos);
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "publish"), 1u);
}

// --trace and the diagnostics share standard error: a failed poll's line follows the trace of
// the reply that failed it, as a reader of the trace looks for it.
TEST_F(HostEndToEnd, FailedPollFollowsTheTraceOfTheReplyThatFailedIt) {
    StartSim(Json::Value(Json::objectValue), {"--corrupt-every", "30"});

    // Reply 30 is step 5 of poll 2; poll 3 completes the second cycle.
    ASSERT_EQ(RunHost({"--cycles", "2", "--trace"}), 0) << hosttest::ReadText(err());

    const std::string err = hosttest::ReadText(this->err());
    const std::size_t failed = err.find("rxp-host: poll 2 failed at ");
    ASSERT_NE(failed, std::string::npos) << err;
    const std::size_t dropped = err.find(" CR  dropped: checksum expected ");
    ASSERT_NE(dropped, std::string::npos) << err;
    EXPECT_LT(dropped, failed) << err;
    // Nothing of poll 3 comes before poll 2's failure is told.
    const std::size_t next = err.find(", poll 3 step 1\n");
    ASSERT_NE(next, std::string::npos) << err;
    EXPECT_GT(next, failed) << err;
}

// A session against a faulty power system captured at the "site" and replayed in the "lab": the
// replay gives the host the same replies, noise, splits and faults, so the host publishes the
// same records and hands on the same evaluations and failures.
TEST_F(HostEndToEnd, ReplayOfACapturedFaultySessionGivesTheSameRecordsAndEvaluations) {
    Json::Value scenario;
    std::istringstream(hosttest::ReadText(RXP_SOURCE_DIR "/examples/scenario-demo.json")) >>
        scenario;
    StartSim(scenario, {"--split", "40", "--noise", "4", "--corrupt-every", "45", "--short-every",
                        "70", "--drop-every", "80", "--seed", "9"});
    const std::string capture = dir_.File("site.capture");
    ASSERT_EQ(RunHost({"--cycles", "5", "--capture", capture}), 0) << hosttest::ReadText(err());
    sim_.reset();
    const std::vector<Json::Value> site = hosttest::ReadEvents(events_path());

    const std::string lab_line = dir_.File("lab-line");
    hosttest::Process replay({RXP_SIM_BIN, "--baud", "0", "--link", lab_line, "--replay", capture},
                             dir_.File("replay.out"), dir_.File("replay.err"));
    ASSERT_TRUE(hosttest::WaitUntil([&] { return std::filesystem::exists(lab_line); },
                                    milliseconds(10000)));
    const std::string lab_events = dir_.File("lab-events.jsonl");
    ASSERT_EQ(hosttest::Run(HostArgs({"--cycles", "5", "--port", lab_line, "--events", lab_events,
                                      "--history", dir_.File("lab.db")}),
                            out(), err(), milliseconds(60000)),
              0)
        << hosttest::ReadText(err());
    replay.Signal(SIGTERM);
    EXPECT_EQ(replay.Wait(milliseconds(5000)), 0);
    const std::vector<Json::Value> lab = hosttest::ReadEvents(lab_events);

    // What the host made of the line, without the times: records, every evaluation and every
    // failed poll, in order.
    auto made_of = [](const std::vector<Json::Value>& events) {
        std::vector<std::string> seen;
        for (const Json::Value& e : events) {
            const std::string name = e["event"].asString();
            if (name == "publish") {
                const Bytes record =
                    hosttest::WithoutTimestamp(rxp::hex::Parse(e["record"].asString()));
                seen.push_back("publish " + rxp::hex::Upper(record.data(), record.size()));
            } else if (name == "alarm" || name == "alarm_raised" || name == "alarm_cleared") {
                seen.push_back(name + " " + e["ordinal"].asString() + " " + e["key"].asString() +
                               (e["state"].asBool() ? " 1" : " 0"));
            } else if (name == "poll_failed") {
                seen.push_back(name + " " + e["poll"].asString() + " " + e["reason"].asString() +
                               " " + e["waiting_for"].asString());
            }
        }
        return seen;
    };
    const std::vector<std::string> at_site = made_of(site);
    EXPECT_EQ(made_of(lab), at_site);
    EXPECT_EQ(hosttest::CountEvents(site, "publish"), 5u);
    EXPECT_GE(hosttest::CountEvents(site, "poll_failed"), 3u) << "the faults cost polls";
    EXPECT_EQ(hosttest::CountEvents(site, "alarm"), 5u * 139u);

    // The capture reads back in the frame notation with the verdicts the host gave.
    ASSERT_EQ(hosttest::Run({RXP_SIM_BIN, "--show-capture", capture}, dir_.File("show.out"),
                            dir_.File("show.err")),
              0);
    const std::string shown = hosttest::ReadText(dir_.File("show.out"));
    EXPECT_GE(hosttest::CountLines(shown, "  dropped: checksum expected "), 1u);
    EXPECT_GE(hosttest::CountLines(shown, "  dropped: payload "), 1u);
    EXPECT_EQ(hosttest::CountLines(shown, "  accepted for step 25"), 5u);
}

// The live files after a run: the state as JSON and the metrics in the text exposition format,
// both telling the last record, the comm state and the alarms that are raised.
TEST_F(HostEndToEnd, StateAndMetricsFilesTellTheLastRecordAndTheActiveAlarms) {
    PowerModel model = hosttest::QuietModel(11);
    model.phase_status[0] = 0x4A;    // adds bit 1: phase A voltage low, alert_a_1 06015
    model.modules[6].status = 0x9C;  // adds bit 4: module 7 fan, alert_c_0 06025
    StartSim(ScenarioOf(model), {"--split", "9", "--seed", "3"});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("rxp.prom");
    ASSERT_EQ(RunHost({"--cycles", "2", "--state", state, "--metrics", metrics, "--events-level",
                       "changes"}),
              0)
        << hosttest::ReadText(err());
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "alarm"), 0u) << "changes only";
    EXPECT_EQ(hosttest::CountEvents(events, "cycle"), 0u);
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 2u);
    EXPECT_EQ(hosttest::CountEvents(events, "alarm_raised"), 2u);
    const Bytes published = rxp::hex::Parse(Named(events, "publish").back()["record"].asString());

    // Written once more as the host ended: stopped, and no device "up" whatever it last said.
    Json::Value s;
    std::istringstream(hosttest::ReadText(state)) >> s;
    EXPECT_EQ(s["host"].asString(), "stopped");
    EXPECT_NO_THROW(rxp::tools::ParseIsoTime(s["stopped_at"].asString()));
    EXPECT_EQ(s["comm"].asString(), "stopped");
    EXPECT_EQ(s["devices"][0]["comm"].asString(), "stopped");
    EXPECT_EQ(s["cycles"].asUInt(), 2u);
    EXPECT_EQ(s["failed_polls_in_row"].asUInt(), 0u);
    EXPECT_EQ(s["failed_polls_total"].asUInt(), 0u);
    const Json::Value& fields = s["record"]["fields"];
    EXPECT_EQ(fields["device_id"].asUInt(), kDeviceId);
    for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
        const std::uint32_t v = rxp::tools::ReadField(published.data(), f);
        const Json::Value& shown =
            f.module == 0 ? fields[f.name] : s["record"]["modules"][f.module - 1][f.row_name];
        EXPECT_EQ(shown.asUInt(), v) << f.name;
    }
    EXPECT_GE(s["record"]["age_seconds"].asDouble(), 0.0);
    EXPECT_NO_THROW(rxp::tools::ParseIsoTime(s["record"]["published"].asString()));
    std::vector<std::string> alarms;
    std::map<std::string, std::string> alarm_names;
    for (const Json::Value& a : s["alarms"]) {
        alarm_names[a["key"].asString()] = a["name"].asString();
        alarms.push_back(a["key"].asString() + " " + a["id"].asString() + " " +
                         a["module"].asString() + " " + a["ordinal"].asString());
    }
    EXPECT_EQ(alarms, (std::vector<std::string>{"alert_a_1 06015 0 5", "alert_c_0 06025 7 52"}));

    // Metrics: every family introduced by HELP and TYPE before its samples, every sample a
    // name, optional labels and a number.
    std::istringstream text(hosttest::ReadText(metrics));
    const std::regex sample(
        R"(([a-z_][a-z0-9_]*)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? (-?[0-9.e+]+))");
    std::map<std::string, std::string> values;
    std::set<std::string> typed;
    for (std::string line; std::getline(text, line);) {
        std::smatch m;
        if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
            continue;
        }
        if (line.rfind("# HELP ", 0) == 0) continue;
        ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
        EXPECT_EQ(typed.count(m[1].str()), 1u) << "no TYPE before " << line;
        values[m[1].str() + m[2].str()] = m[4].str();
    }
    // Every series names the port, the device's also its address and id.
    const std::string port = "port=\"" + line() + "\"";
    const std::string dev = port + ",address=\"1\",device_id=\"" + std::to_string(kDeviceId) + "\"";
    EXPECT_EQ(values["rxp_build_info{" + port + ",version=\"" + rxp::tools::Version() + "\"}"],
              "1");
    EXPECT_EQ(values["rxp_history_failed_records_total{" + port + "}"], "0");
    EXPECT_EQ(values["rxp_host_running{" + port + "}"], "0");
    EXPECT_EQ(values["rxp_comm_up{" + dev + "}"], "0");
    EXPECT_EQ(values["rxp_polls_total{" + dev + "}"], "2");
    EXPECT_EQ(values["rxp_failed_polls_total{" + dev + "}"], "0");
    EXPECT_EQ(values["rxp_record_phase_value1{" + dev + ",phase=\"a\"}"],
              std::to_string(model.phase_value[0][0]));
    EXPECT_EQ(values["rxp_record_module_value2{" + dev + ",module=\"7\"}"],
              std::to_string(model.modules[6].value[1]));
    EXPECT_EQ(values["rxp_record_dc_status{" + dev + ",index=\"2\"}"],
              std::to_string(model.dc_status[2]));
    EXPECT_EQ(values["rxp_alarms_active{" + dev + "}"], "2");
    EXPECT_EQ(
        values["rxp_alarm_active{" + dev + ",key=\"alert_c_0\",id=\"06025\",module=\"7\",name=\"" +
               alarm_names["alert_c_0"] + "\"}"],
        "1");
    EXPECT_EQ(
        values["rxp_alarm_active{" + dev + ",key=\"alert_a_1\",id=\"06015\",module=\"\",name=\"" +
               alarm_names["alert_a_1"] + "\"}"],
        "1");
    EXPECT_GT(std::stod(values["rxp_cycle_duration_seconds{" + dev + "}"]), 0.0);
    const double cycle_time = std::stod(values["rxp_last_cycle_timestamp_seconds{" + dev + "}"]);
    EXPECT_NEAR(cycle_time, static_cast<double>(std::time(nullptr)), 120.0);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File(""))) {
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << "left: " << entry;
    }
}

// At line speed, one character a write as an on-board UART delivers them, a reply is read in a
// few pieces, not by the character, and the state and metrics count what the line cost.
TEST_F(HostEndToEnd, RepliesAtLineSpeedAreReadInAFewPiecesAndTheLiveFilesCountThem) {
    const hosttest::CycleTruth truth(3, kDeviceId);
    StartSim(truth.Scenario(), {"--baud", "9600"});
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("rxp.prom");
    ASSERT_EQ(RunHost({"--cycles", "3", "--baud", "9600", "--timeout", "1", "--state", state,
                       "--metrics", metrics}),
              0)
        << hosttest::ReadText(err());
    const hosttest::TruthCheck check = truth.Check(hosttest::ReadEvents(events_path()), history());
    EXPECT_EQ(check.published, 3u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;

    const Json::Value s = hosttest::ReadJson(state);
    EXPECT_EQ(s["replies"].asUInt64(), 75u);
    EXPECT_LE(s["line_reads"].asUInt64(), 4 * s["replies"].asUInt64()) << s.toStyledString();
    EXPECT_GE(s["line_wakeups"].asUInt64(), s["replies"].asUInt64());
    EXPECT_GT(s["line_system_calls"].asUInt64(), s["line_reads"].asUInt64());
    const std::string text = hosttest::ReadText(metrics);
    const std::string dev =
        "{port=\"" + line() + "\",address=\"1\",device_id=\"" + std::to_string(kDeviceId) + "\"} ";
    for (const char* counted : {"replies", "line_reads", "line_wakeups", "line_system_calls"}) {
        const std::string sample = std::string("rxp_") + counted + "_total" + dev +
                                   std::to_string(s[counted].asUInt64()) + "\n";
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
    }
}

}  // namespace

// Under a service manager (NOTIFY_SOCKET, WATCHDOG_USEC): READY=1 once the first poll is under
// way, the status line after each cycle, and WATCHDOG=1 often enough through an --interval far
// longer than the watchdog's period, which is the host waiting on time, not frozen.
TEST_F(HostEndToEnd, ServiceManagerHearsReadyStatusAndAliveThroughALongInterval) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string socket_path = dir_.File("notify");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    const double watchdog = 3.0;  // seconds; the interval is almost three times as long
    hosttest::Process host(HostArgs({"--cycles", "2", "--interval", "8"}), out(), err(), [&] {
        ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
        ::setenv("WATCHDOG_USEC", "3000000", 1);
    });
    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<Clock::time_point, std::string>> heard;
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(40);
    while (Clock::now() < limit) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 200) == 1) {
            char text[512];
            const ssize_t n = ::recv(fd, text, sizeof(text), 0);
            if (n > 0) heard.emplace_back(Clock::now(), std::string(text, n));
            continue;
        }
        if (!heard.empty() && heard.back().second.find("STOPPING=1") != std::string::npos) break;
    }
    ::close(fd);
    ASSERT_EQ(host.Wait(milliseconds(10000)), 0) << hosttest::ReadText(err());

    std::size_t ready = heard.size(), last_alive = 0;
    double longest_silence = 0;
    std::string statuses;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const std::string& message = heard[i].second;
        if (message.find("READY=1") != std::string::npos && ready == heard.size()) ready = i;
        const std::size_t status = message.find("STATUS=");
        if (status != std::string::npos) statuses += message.substr(status + 7) + "\n";
        if (message.find("WATCHDOG=1") == std::string::npos || ready == heard.size()) continue;
        if (last_alive != 0) {
            longest_silence = std::max(
                longest_silence,
                std::chrono::duration<double>(heard[i].first - heard[last_alive].first).count());
        }
        last_alive = i;
    }
    ASSERT_LT(ready, heard.size()) << "no READY=1";
    EXPECT_NE(heard[ready].second.find("STATUS=1 device, 0 up, 0 cycles on " + line()),
              std::string::npos)
        << heard[ready].second;
    EXPECT_NE(statuses.find("1 device, 1 up, 1 cycle on "), std::string::npos) << statuses;
    EXPECT_NE(statuses.find("1 device, 1 up, 2 cycles on "), std::string::npos) << statuses;
    EXPECT_NE(heard.back().second.find("STOPPING=1"), std::string::npos) << heard.back().second;
    EXPECT_GT(last_alive, ready);
    EXPECT_LT(longest_silence, watchdog) << "the watchdog would have stopped a host that waits";
}
