#include "tools/rxp-host/tests/host_fault_support.h"

#include <algorithm>
#include <filesystem>

#include "tools/common/hex.h"

namespace hosttest {

namespace {

// QuietModel, and the DC status bytes no alarm rule reads zeroed.
rxptest::PowerModel CycleModel(std::uint32_t seed) {
    rxptest::PowerModel m = QuietModel(seed);
    m.dc_status[3] = 0x00;
    m.dc_status[4] = 0x00;
    m.dc_status[5] = 0x00;
    return m;
}

}  // namespace

std::string JsonText(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["commentStyle"] = "None";
    return Json::writeString(b, v);
}

rxptest::PowerModel QuietModel(std::uint32_t seed) {
    rxptest::PowerModel m = rxptest::PowerModel::Distinct(seed);
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

void SimAndHostTest::StartSim(const Json::Value& scenario, const std::vector<std::string>& extra) {
    WriteText(dir_.File("scenario.json"), JsonText(scenario));
    const std::vector<std::string> argv = WithOptions(
        {RXP_SIM_BIN, "--baud", "0", "--link", line(), "--scenario", dir_.File("scenario.json")},
        extra);
    std::error_code ignored;
    std::filesystem::remove(line(), ignored);  // a link left by a killed simulator
    sim_.reset(new Process(argv, dir_.File("sim.out"), dir_.File("sim.err")));
    ASSERT_TRUE(WaitUntil([this] { return std::filesystem::exists(line()); }, milliseconds(10000)))
        << ReadText(dir_.File("sim.err"));
}

std::vector<std::string> SimAndHostTest::HostArgs(const std::vector<std::string>& extra) {
    WriteText(dir_.File("settings.json"), "{\"deviceId\": " + std::to_string(kDeviceId) + "}");
    return WithOptions({RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--port", line(), "--settings",
                        dir_.File("settings.json"), "--events", events_path(), "--history",
                        history(), "--interval", "0", "--timeout", "0.5"},
                       extra);
}

int SimAndHostTest::RunHost(const std::vector<std::string>& extra) {
    return hosttest::Run(HostArgs(extra), out(), err(), milliseconds(60000));
}

std::size_t SimAndHostTest::CyclesSoFar() const {
    return CountLines(ReadText(events_path()), "\"event\":\"cycle\"");
}

CycleTruth::CycleTruth(unsigned cycles, std::uint32_t device_id, std::uint32_t seed) {
    for (unsigned c = 1; c <= std::max(1u, cycles); ++c) {
        models_.push_back(CycleModel(seed + c));
        records_.push_back(models_.back().ExpectedRecord(device_id));
    }
}

Json::Value CycleTruth::Scenario() const {
    Json::Value s = rxptest::ScenarioOf(models_[0]);
    for (std::size_t c = 1; c < models_.size(); ++c) {
        Json::Value change(Json::objectValue);
        change["cycle"] = static_cast<unsigned>(c + 1);
        change["set"] = rxptest::ScenarioOf(models_[c]);
        s["changes"].append(change);
    }
    return s;
}

Bytes CycleTruth::Record(unsigned cycle) const {
    return records_[std::min<std::size_t>(std::max(1u, cycle), records_.size()) - 1];
}

TruthCheck CycleTruth::Check(const std::vector<Json::Value>& events,
                             const std::string& db_path) const {
    return CheckAcross({this}, events, db_path);
}

TruthCheck CycleTruth::CheckAcross(const std::vector<const CycleTruth*>& truths,
                                   const std::vector<Json::Value>& events,
                                   const std::string& db_path) {
    TruthCheck check;
    std::vector<Bytes> published;
    std::size_t current = 0;  // the truth of the simulator now answering
    auto wrong = [&check](const std::string& what) {
        if (check.wrong++ == 0) check.first_wrong = what;
    };
    // The first cycle at or after `from` whose record is `bare`, or 0.
    auto find = [&bare_records = truths](std::size_t t, unsigned from, const Bytes& bare) {
        const std::vector<Bytes>& records = bare_records[t]->records_;
        for (unsigned c = std::max(1u, from); c <= records.size(); ++c) {
            if (records[c - 1] == bare) return c;
        }
        return 0u;
    };
    for (const Json::Value& e : events) {
        const std::string name = e["event"].asString();
        if (name == "alarm_raised") ++check.false_alarms;
        if (name != "publish") continue;
        const Bytes record = rxp::hex::Parse(e["record"].asString());
        published.push_back(record);
        ++check.published;
        const Bytes bare = WithoutTimestamp(record);
        unsigned cycle = find(current, check.last_cycle, bare);
        if (cycle == 0 && current + 1 < truths.size()) {
            cycle = find(current + 1, 1, bare);
            if (cycle != 0) {
                ++current;
                check.last_cycle = 0;
            }
        }
        if (cycle == 0) {
            wrong("publication " + std::to_string(check.published) +
                  " is no cycle's record at or after cycle " +
                  std::to_string(std::max(1u, check.last_cycle)));
            continue;
        }
        if (cycle == check.last_cycle && cycle < truths[current]->records_.size()) {
            wrong("publication " + std::to_string(check.published) + " repeats cycle " +
                  std::to_string(cycle));
        }
        check.last_cycle = cycle;
    }
    const std::vector<HistoryRow> rows = ReadHistory(db_path);
    check.rows = rows.size();
    for (std::size_t i = 0; i < rows.size() && i < published.size(); ++i) {
        if (rows[i].record != published[i]) wrong("history row " + std::to_string(i + 1));
    }
    return check;
}

}  // namespace hosttest
