// Scenario files: healthy defaults, values by name, scripted changes by cycle, and errors that
// name the file and the field.
#include "tools/common/scenario.h"

#include <gtest/gtest.h>

#include "alarms/alarm_rules.h"

using rxp::tools::FindRecordField;
using rxp::tools::ReadField;
using rxp::tools::RecordBytes;
using rxp::tools::Scenario;
using rxp::tools::ScenarioError;

namespace {

std::uint32_t Field(const RecordBytes& r, const std::string& name) {
    const auto* f = FindRecordField(name);
    EXPECT_NE(f, nullptr) << name;
    return f == nullptr ? 0 : ReadField(r.data(), *f);
}

TEST(Scenario, EmptyScenarioIsHealthyAndRaisesNoAlarm) {
    for (const char* text : {"", "{}", "  // nothing here\n{}\n"}) {
        const RecordBytes r = Scenario::FromText(text, "empty.json").StateForCycle(1);
        EXPECT_EQ(r, Scenario::Healthy()) << text;
    }
    const RecordBytes& h = Scenario::Healthy();
    for (const auto& rule : rxp::kAcRules)
        EXPECT_FALSE(rxp::RuleHolds(rule, h[rule.record_offset]));
    for (const auto& rule : rxp::kDcRules)
        EXPECT_FALSE(rxp::RuleHolds(rule, h[rule.record_offset]));
    for (unsigned m = 0; m < 20; ++m) {
        for (const auto& rule : rxp::kModuleRules) {
            EXPECT_FALSE(rxp::RuleHolds(rule, h[22 + 10 * m + rule.record_offset])) << m + 1;
        }
    }
    // A working system: AC present, every module delivering.
    EXPECT_GT(Field(h, "phase_a_value1"), 0u);
    EXPECT_GT(Field(h, "modules[19].value1"), 0u);
    EXPECT_EQ(ReadField(h.data(), 0, 4), 0u);  // the device id is the host's
}

TEST(Scenario, ValuesByNameInDecimalOrHexLandInTheirFields) {
    const Scenario s = Scenario::FromText(R"({
        "phase_b_status": "0x41", "ac_value": 65535, "dc_long3": "0xDEADBEEF",
        "modules": {"1": {"value4": 7}, "20": {"extra": "200"}},
        "dc_status": [1, 2, 3], "dc_status[5]": 6 })",
                                          "s.json");
    const RecordBytes r = s.StateForCycle(1);
    EXPECT_EQ(r[13], 0x41);
    EXPECT_EQ(Field(r, "ac_value"), 65535u);
    EXPECT_EQ(Field(r, "dc_long3"), 0xDEADBEEFu);
    EXPECT_EQ(r[262], 0xEF);  // little-endian in the record
    EXPECT_EQ(Field(r, "modules[0].value4"), 7u);
    EXPECT_EQ(r[22 + 190 + 9], 200);
    EXPECT_EQ(r[240], 1);
    EXPECT_EQ(r[242], 3);
    EXPECT_EQ(r[243], 0);
    EXPECT_EQ(r[245], 6);
    EXPECT_EQ(Field(r, "phase_a_value1"), Field(Scenario::Healthy(), "phase_a_value1"));
}

TEST(Scenario, ChangesApplyFromTheirCycleInFileOrder) {
    const Scenario s = Scenario::FromText(R"({
        "phase_a_status": 0,
        "changes": [
          {"cycle": 6, "set": {"phase_a_status": 0}},
          {"cycle": 3, "set": {"phase_a_status": 2, "modules": {"7": {"status": 16}}}},
          {"cycle": 3, "set": {"phase_a_status": 4}},
          {"cycle": 4, "set": {"modules": {"7": {"status": 0}}}}
        ]})",
                                          "s.json");
    const std::vector<int> phase_a = {0, 0, 0, 4, 4, 4, 0, 0};  // index = cycle
    const std::vector<int> module7 = {0, 0, 0, 16, 0, 0, 0, 0};
    for (unsigned c = 1; c <= 7; ++c) {
        const RecordBytes r = s.StateForCycle(c);
        EXPECT_EQ(r[8], phase_a[c]) << "cycle " << c;
        EXPECT_EQ(r[90], module7[c]) << "cycle " << c;
    }
    EXPECT_EQ(s.LastChangeCycle(), 6u);
}

TEST(Scenario, MistakesAreRefusedNamingTheFileAndTheField) {
    struct Case {
        const char* text;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"{\"phase_a_stat\": 1}", "bad.json: phase_a_stat: unknown field"},
        {"{\"phase_a_status\": 256}", "phase_a_status: 256 does not fit 1 byte (0..255)"},
        {"{\"ac_value\": 65536}", "ac_value: 65536 does not fit 2 bytes"},
        {"{\"ac_value\": -1}", "ac_value: expected an unsigned number"},
        {"{\"ac_value\": \"12a\"}", "ac_value: \"12a\" is not a number"},
        {"{\"modules\": {\"21\": {\"status\": 1}}}", "modules.21: a module number is 1 to 20"},
        {"{\"modules\": {\"0\": {\"status\": 1}}}", "modules.0: a module number is 1 to 20"},
        {"{\"modules\": {\"3\": {\"speed\": 1}}}", "modules.3.speed: unknown module value"},
        {"{\"modules\": [1]}", "modules: expected an object of modules by number"},
        {"{\"dc_status\": [0,0,0,0,0,0,0]}", "dc_status: expected a list of at most 6 bytes"},
        {"{\"device_id\": 5}", "device_id: the device id is the host's"},
        {"{\"modules[2].status\": 5}", "modules[2].status: unknown field"},
        {"{\"changes\": [{\"cycle\": 0, \"set\": {}}]}",
         "changes[0].cycle: expected a cycle number"},
        {"{\"changes\": [{\"cycle\": 2}]}", "changes[0]: missing \"set\""},
        {"{\"changes\": [{\"cycle\": 2, \"set\": {\"ac_valu\": 1}}]}",
         "changes[0].set.ac_valu: unknown field"},
        {"{\"changes\": [{\"cycle\": 2, \"when\": 1, \"set\": {}}]}",
         "changes[0].when: unknown key"},
        {"[1, 2]", "a scenario is a JSON object"},
        {"{\"ac_value\": }", "bad.json: not valid JSON"},
        {"{\"ac_value\": 1, \"ac_value\": 2}", "bad.json: not valid JSON"},
    };
    for (const Case& c : cases) {
        try {
            Scenario::FromText(c.text, "bad.json");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.text << "\n  gave: " << e.what();
        }
    }
    EXPECT_THROW(Scenario::Load("/nonexistent/scenario.json"), ScenarioError);
}

TEST(Scenario, ExampleScenariosLoad) {
    EXPECT_EQ(Scenario::Load(RXP_SOURCE_DIR "/examples/scenario-healthy.json").StateForCycle(9),
              Scenario::Healthy());
    const Scenario demo = Scenario::Load(RXP_SOURCE_DIR "/examples/scenario-demo.json");
    EXPECT_FALSE(demo.description().empty());
    EXPECT_LE(demo.LastChangeCycle(), 6u);  // everything rises and clears within six cycles
}

}  // namespace
