// The simulator's replies, fed through the plug-in's device, complete cycles and publish exactly
// the records and alarms the scenario implies, with and without injected faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/tools/sim_wire.h"

using rxp::sim::FaultOptions;
using rxp::tools::Scenario;
using rxptest::Bytes;
using rxptest::PowerModel;
using rxptest::SimWire;
using rxptest::WithoutTimestamp;

namespace {

constexpr std::uint32_t kDeviceId = 0x0A0B0C0D;

Scenario ModelScenario(const PowerModel& model) {
    return Scenario::FromJson(rxptest::ScenarioOf(model), "model");
}

// The ordinals whose state was true in the pass of cycle `cycle` (1-based).
std::set<unsigned> RaisedInCycle(const SimWire& wire, std::size_t cycle) {
    std::set<unsigned> raised;
    for (std::size_t i = (cycle - 1) * 139; i < cycle * 139 && i < wire.host.alarms.size(); ++i) {
        if (wire.host.alarms[i].state) raised.insert(wire.host.alarms[i].ordinal);
    }
    return raised;
}

TEST(SimThroughPlugin, HealthyScenarioPublishesTheDefaultsAndRaisesNoAlarm) {
    SimWire wire(Scenario{});
    ASSERT_TRUE(wire.Poll());

    ASSERT_EQ(wire.host.published.size(), 1u);
    ASSERT_EQ(wire.host.sent.size(), 25u);
    Bytes expected(Scenario::Healthy().begin(), Scenario::Healthy().end());
    rxp::tools::WriteField(expected.data(), 0, 4, kDeviceId);
    EXPECT_EQ(WithoutTimestamp(wire.host.published[0].record), expected);
    ASSERT_EQ(wire.host.alarms.size(), 139u);
    EXPECT_TRUE(RaisedInCycle(wire, 1).empty());
    // One reply per command, each answered, the last one ending the cycle.
    ASSERT_EQ(wire.process_results.size(), 25u);
    EXPECT_EQ(std::count(wire.process_results.begin(), wire.process_results.end(), true), 24);
    EXPECT_FALSE(wire.process_results.back());
    EXPECT_EQ(wire.power.completed_cycles(), 1u);
}

// Scenario values written by name reach the record at the places an independent model of the
// power system puts them: every byte of every reply is checked.
TEST(SimThroughPlugin, ScenarioValuesByNameLandWhereTheModelPutsThem) {
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        const PowerModel model = PowerModel::Distinct(seed);
        SimWire wire(ModelScenario(model));
        ASSERT_TRUE(wire.Poll()) << "seed " << seed;
        ASSERT_EQ(wire.host.published.size(), 1u);
        EXPECT_EQ(WithoutTimestamp(wire.host.published[0].record), model.ExpectedRecord(kDeviceId))
            << "seed " << seed;
        // And the replies are the model's frames, byte for byte.
        ASSERT_EQ(wire.exchanges.size(), 25u);
        for (int i = 0; i < 25; ++i) EXPECT_EQ(wire.exchanges[i].reply, model.Reply(i)) << i;
    }
}

// The demo scenario: module 7's fan alarm (ordinal 52) in cycles 2 and 3, phase A voltage low
// (ordinal 5) in cycles 3, 4 and 5, nothing else at any time.
TEST(SimThroughPlugin, DemoScenarioRaisesAndClearsAlarmsAtTheStatedCycles) {
    SimWire wire(Scenario::Load(RXP_SOURCE_DIR "/examples/scenario-demo.json"));
    for (int cycle = 1; cycle <= 7; ++cycle) ASSERT_TRUE(wire.Poll()) << "cycle " << cycle;
    ASSERT_EQ(wire.host.published.size(), 7u);
    const std::vector<std::set<unsigned>> expected = {{}, {52}, {5, 52}, {5}, {5}, {}, {}};
    for (std::size_t c = 1; c <= 7; ++c) {
        EXPECT_EQ(RaisedInCycle(wire, c), expected[c - 1]) << "cycle " << c;
        const Bytes& rec = wire.host.published[c - 1].record;
        EXPECT_EQ(rec[90], (c == 2 || c == 3) ? 0x10 : 0x00) << "module 7 status, cycle " << c;
        EXPECT_EQ(rec[8], (c >= 3 && c <= 5) ? 0x02 : 0x00) << "phase A status, cycle " << c;
    }
    EXPECT_EQ(wire.host.alarms[51].alarm_text, "模块7模块风扇故障");
    EXPECT_EQ(wire.host.alarms[4].alarm_text, "A相电压过低");
}

TEST(SimThroughPlugin, NoiseAndRandomChunksStillPublishTheExactRecord) {
    const PowerModel model = PowerModel::Distinct(9);
    FaultOptions faults;
    faults.noise_max = 40;
    faults.split_max = 7;
    faults.seed = 77;
    SimWire wire(ModelScenario(model), faults);
    for (int cycle = 1; cycle <= 3; ++cycle) ASSERT_TRUE(wire.Poll()) << "cycle " << cycle;
    ASSERT_EQ(wire.host.published.size(), 3u);
    for (const auto& p : wire.host.published) {
        EXPECT_EQ(WithoutTimestamp(p.record), model.ExpectedRecord(kDeviceId));
    }
    std::size_t chunked = 0;
    for (const auto& x : wire.exchanges) chunked += x.chunks.size() > 1 ? 1 : 0;
    EXPECT_GT(chunked, 70u);  // nearly every one of the 75 replies came in pieces
}

// A lost reply costs the poll it belongs to; the next poll completes. The simulator counts only
// cycles whose last reply went out intact, so scripted changes stay in step with the records
// the host publishes.
TEST(SimThroughPlugin, LostRepliesCostOnePollAndKeepChangesInStepWithPublishedRecords) {
    struct Case {
        const char* name;
        FaultOptions faults;
    };
    std::vector<Case> cases(3);
    cases[0].name = "dropped";
    cases[0].faults.drop_every = 30;  // reply 5 of the second poll
    cases[1].name = "corrupted";
    cases[1].faults.corrupt_every = 30;
    cases[2].name = "short";
    cases[2].faults.short_every = 30;
    for (const Case& c : cases) {
        Json::Value json = rxptest::ScenarioOf(PowerModel::Distinct(4));
        Json::Value change;
        change["cycle"] = 2;
        change["set"]["dc_value16"] = 0xBEEF;
        json["changes"].append(change);
        SimWire wire(Scenario::FromJson(json, "test"), c.faults);

        ASSERT_TRUE(wire.Poll()) << c.name;
        EXPECT_FALSE(wire.Poll()) << c.name << ": the poll with the lost reply does not complete";
        EXPECT_EQ(wire.host.sent.size(), 25u + 5u) << c.name << ": no command after the lost reply";
        if (std::string(c.name) != "dropped") {
            EXPECT_FALSE(wire.process_results.back()) << c.name << ": the device refuses it";
        }
        ASSERT_TRUE(wire.Poll()) << c.name << ": the next poll completes";
        ASSERT_EQ(wire.host.published.size(), 2u) << c.name;
        EXPECT_EQ(rxp::tools::ReadField(wire.host.published[0].record.data(), 280, 2),
                  PowerModel::Distinct(4).dc_value[15])
            << c.name;
        EXPECT_EQ(rxp::tools::ReadField(wire.host.published[1].record.data(), 280, 2), 0xBEEFu)
            << c.name << ": the second published record carries cycle 2's values";
        EXPECT_EQ(wire.power.completed_cycles(), 2u) << c.name;
    }
}

}  // namespace
