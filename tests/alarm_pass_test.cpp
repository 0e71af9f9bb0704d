// The alarm pass: 139 evaluations in a fixed order with fixed texts, each state read from its
// own bit or byte of the record, numbered by the host's rule ordinal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "device/rxp517_t36b2.h"
#include "tests/console_capture.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"

#ifndef RXP_TEST_DATA_DIR
#error "RXP_TEST_DATA_DIR must name the folder of the test data files"
#endif

using rxptest::AlarmCall;
using rxptest::Bytes;
using rxptest::ConsoleCapture;
using rxptest::RecordingHost;

namespace {

class AlarmDevice : public RXP517_T36B2 {
public:
    void SetByte(std::size_t offset, unsigned char value) { record_bytes()[offset] = value; }
    void ClearRecord() { std::memset(record_bytes(), 0, kRecordSize); }
    void SetModuleCount(std::int32_t count) { module_count = count; }
    // One pass as RoundDone starts it.
    void Pass() {
        rule_ordinal = 1;
        RunCheckThreshold();
    }
};

std::vector<std::string> ReadGolden() {
    std::ifstream in(RXP_TEST_DATA_DIR "/alarm_rules.golden");
    EXPECT_TRUE(in.good()) << "cannot read " RXP_TEST_DATA_DIR "/alarm_rules.golden";
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
}

std::string Row(const AlarmCall& call) {
    return std::to_string(call.ordinal) + "\t" + call.signal_key + "\t" + call.alarm_id + "\t" +
           call.alarm_name + "\t" + call.alarm_text;
}

std::set<int> TrueOrdinals(const std::vector<AlarmCall>& calls) {
    std::set<int> ordinals;
    for (const AlarmCall& call : calls) {
        if (call.state) ordinals.insert(call.ordinal);
    }
    return ordinals;
}

std::set<int> Range(int first, int last) {
    std::set<int> all;
    for (int i = first; i <= last; ++i) all.insert(i);
    return all;
}

class AlarmPassTest : public ::testing::Test {
protected:
    AlarmPassTest() : device_(new AlarmDevice), guard_(*device_, host_) {}

    ConsoleCapture console_;  // keeps "rvSize is" lines of the cache loads off the test log
    RecordingHost host_;
    std::unique_ptr<AlarmDevice> device_;
    rxptest::ObserverGuard guard_;
};

// ---- the calls of a pass ----------------------------------------------------------------------

TEST_F(AlarmPassTest, AllZeroRecordGivesTheDocumentedCallsInOrder) {
    const std::vector<std::string> golden = ReadGolden();
    ASSERT_EQ(golden.size(), 139u);
    const Bytes zero(289, 0);
    ASSERT_TRUE(device_->LoadFromCache(zero.data(), 289));

    ASSERT_EQ(host_.alarms.size(), 139u);
    for (std::size_t i = 0; i < 139; ++i) {
        const AlarmCall& call = host_.alarms[i];
        EXPECT_EQ(Row(call), golden[i]) << "call " << i + 1;
        EXPECT_EQ(call.kind, 1) << "call " << i + 1;
        EXPECT_FALSE(call.state) << "call " << i + 1;
    }
}

TEST_F(AlarmPassTest, CachedRecordIsEvaluatedBetweenPublicationAndBatchCheck) {
    Bytes cached(289, 0);
    cached[90] = 0x10;  // module 7 fan
    ASSERT_TRUE(device_->LoadFromCache(std::string(cached.begin(), cached.end())));

    std::vector<std::string> expected = {"SendSP", "Reset"};
    expected.insert(expected.end(), 139, "CheckThresholdBool");
    expected.push_back("DoBatchCheckThreshold:0");
    expected.push_back("SaveDeviceHistory");
    EXPECT_EQ(host_.calls, expected);
    EXPECT_EQ(TrueOrdinals(host_.alarms), std::set<int>{52});
}

TEST_F(AlarmPassTest, CompletedPollIsEvaluated) {
    rxptest::PowerModel model{};
    model.phase_status[0] = 0x80;     // AC power lost
    model.modules[19].status = 0x01;  // module 20 current limiting
    model.dc_status[2] = 0x40;        // battery temperature high
    device_->RefreshStatus();
    for (int i = 0; i < 25; ++i) {
        Bytes reply = model.Reply(i);
        device_->process(reply.data(), static_cast<unsigned int>(reply.size()));
    }
    ASSERT_EQ(host_.alarms.size(), 139u);
    EXPECT_EQ(TrueOrdinals(host_.alarms), (std::set<int>{1, 119, 138}));
}

// ---- which bit reaches which rule ---------------------------------------------------------------

// The rule each single set bit of the record makes true, written from the device's alarm
// documentation: (record offset, bit) -> ordinal. A value test (ordinals 18, 19, 120 to 122)
// holds for the one byte value made of a single bit.
std::map<std::pair<int, int>, int> SingleBitRules() {
    std::map<std::pair<int, int>, int> rules;
    const int phase_a[][2] = {{7, 1}, {5, 2}, {4, 3}, {2, 4}, {1, 5}, {0, 6}};
    for (const auto& r : phase_a) rules[{8, r[0]}] = r[1];
    const int phase_b[][2] = {{6, 7}, {5, 8}, {4, 9}, {2, 10}, {1, 11}, {0, 12}};
    for (const auto& r : phase_b) rules[{13, r[0]}] = r[1];
    const int phase_c[][2] = {{5, 13}, {4, 14}, {2, 15}, {1, 16}, {0, 17}};
    for (const auto& r : phase_c) rules[{18, r[0]}] = r[1];
    rules[{21, 0}] = 18;  // frequency state 1
    rules[{21, 1}] = 19;  // frequency state 2
    const int module_bits[] = {6, 5, 4, 1, 0};
    for (int m = 1; m <= 20; ++m) {
        for (int k = 1; k <= 5; ++k)
            rules[{30 + 10 * (m - 1), module_bits[k - 1]}] = 19 + 5 * (m - 1) + k;
    }
    rules[{222, 0}] = 120;  // breaker 1 state 1
    rules[{223, 1}] = 121;  // breaker 2 state 2
    rules[{224, 0}] = 122;  // lightning switch state 1
    for (int bit = 7; bit >= 0; --bit) rules[{240, bit}] = 123 + (7 - bit);
    const int dc1[][2] = {{7, 131}, {6, 132}, {5, 133}, {4, 134}, {2, 135}, {1, 136}, {0, 137}};
    for (const auto& r : dc1) rules[{241, r[0]}] = r[1];
    rules[{242, 6}] = 138;
    rules[{242, 5}] = 139;
    return rules;
}

// Records only which ordinals were true, so that thousands of passes stay quick.
class StateHost : public smdhost::HostObserver {
public:
    std::set<int> true_ordinals;
    int calls = 0;
    bool OnCheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&, bool state,
                              unsigned short ordinal) override {
        ++calls;
        if (state) true_ordinals.insert(ordinal);
        return false;
    }
};

TEST(AlarmBits, EverySingleBitOfTheRecordReachesExactlyItsRule) {
    const std::map<std::pair<int, int>, int> rules = SingleBitRules();
    ASSERT_EQ(rules.size(), 139u);
    StateHost host;
    AlarmDevice device;
    rxptest::ObserverGuard guard(device, host);
    for (int offset = 0; offset < 289; ++offset) {
        for (int bit = 0; bit < 8; ++bit) {
            device.ClearRecord();
            device.SetByte(offset, static_cast<unsigned char>(1u << bit));
            host.true_ordinals.clear();
            host.calls = 0;
            device.Pass();
            ASSERT_EQ(host.calls, 139);
            const auto rule = rules.find({offset, bit});
            const std::set<int> expected =
                rule == rules.end() ? std::set<int>() : std::set<int>{rule->second};
            EXPECT_EQ(host.true_ordinals, expected) << "record byte " << offset << " bit " << bit;
        }
    }
}

struct ByteCase {
    const char* what;
    int offset;
    unsigned char value;
    std::set<int> expected;
};

void PrintTo(const ByteCase& c, std::ostream* os) {
    *os << c.what << " (record byte " << c.offset << " = " << int(c.value) << ")";
}

class AlarmByteTest : public ::testing::TestWithParam<ByteCase> {};

TEST_P(AlarmByteTest, ByteValueMakesExactlyTheseRulesTrue) {
    const ByteCase& c = GetParam();
    StateHost host;
    AlarmDevice device;
    rxptest::ObserverGuard guard(device, host);
    device.SetByte(c.offset, c.value);
    device.Pass();
    EXPECT_EQ(host.true_ordinals, c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Values, AlarmByteTest,
    ::testing::Values(
        ByteCase{"phase A all bits", 8, 0xFF, Range(1, 6)},
        ByteCase{"phase A bits 6 and 3", 8, 0x48, {}}, ByteCase{"phase B bit 7", 13, 0x80, {}},
        ByteCase{"phase B all bits", 13, 0xFF, Range(7, 12)},
        ByteCase{"phase C bits 7 and 6", 18, 0xC0, {}},
        ByteCase{"phase C all bits", 18, 0xFF, Range(13, 17)}, ByteCase{"frequency 0", 21, 0, {}},
        ByteCase{"frequency 1", 21, 1, {18}}, ByteCase{"frequency 2", 21, 2, {19}},
        ByteCase{"frequency 3", 21, 3, {}}, ByteCase{"frequency 255", 21, 0xFF, {}},
        ByteCase{"module 1 all rule bits", 30, 0x73, Range(20, 24)},
        ByteCase{"module 7 fan", 90, 0x10, {52}}, ByteCase{"module 7 unread bits", 90, 0x8C, {}},
        ByteCase{"module 20 all bits", 220, 0xFF, Range(115, 119)},
        ByteCase{"module 20 extra byte", 221, 0xFF, {}},
        ByteCase{"breaker 1 state 1", 222, 1, {120}}, ByteCase{"breaker 1 state 2", 222, 2, {}},
        ByteCase{"breaker 2 state 2", 223, 2, {121}}, ByteCase{"breaker 2 state 1", 223, 1, {}},
        ByteCase{"lightning switch 1", 224, 1, {122}}, ByteCase{"lightning switch 3", 224, 3, {}},
        ByteCase{"dc status 0 all bits", 240, 0xFF, Range(123, 130)},
        ByteCase{"dc status 1 all bits", 241, 0xFF, Range(131, 137)},
        ByteCase{"dc status 1 bit 3", 241, 0x08, {}},
        ByteCase{"dc status 2 all bits", 242, 0xFF, {138, 139}},
        ByteCase{"dc status 3", 243, 0xFF, {}}, ByteCase{"dc status 5", 245, 0xFF, {}}));

TEST_F(AlarmPassTest, ModuleSevenFanIsReportedWithItsOwnText) {
    device_->SetByte(90, 0x10);
    device_->Pass();
    ASSERT_EQ(host_.alarms.size(), 139u);
    const AlarmCall& fan = host_.alarms[51];
    EXPECT_EQ(fan.ordinal, 52);
    EXPECT_TRUE(fan.state);
    EXPECT_EQ(fan.signal_key, "alert_c_0");
    EXPECT_EQ(fan.alarm_id, "06025");
    EXPECT_EQ(fan.alarm_name, "整流模块风扇告警");
    EXPECT_EQ(fan.alarm_text, "模块7模块风扇故障");
    EXPECT_EQ(host_.alarms[114].alarm_text, "模块20模块保护");
    EXPECT_EQ(host_.alarms[19].alarm_text, "模块1模块保护");
}

// ---- the rule ordinal -------------------------------------------------------------------------

TEST_F(AlarmPassTest, OrdinalRunsFromOneTo139AndIsAheadDuringEachCall) {
    const Bytes zero(289, 0);
    for (int cycle = 0; cycle < 2; ++cycle) {
        host_.Clear();
        ASSERT_TRUE(device_->LoadFromCache(zero.data(), 289));
        ASSERT_EQ(host_.alarms.size(), 139u);
        for (std::size_t i = 0; i < 139; ++i) {
            EXPECT_EQ(host_.alarms[i].ordinal, i + 1) << "cycle " << cycle;
            EXPECT_EQ(host_.alarms[i].ordinal_during_call, i + 2) << "cycle " << cycle;
        }
        EXPECT_EQ(device_->rule_ordinal, 140);
    }
}

TEST_F(AlarmPassTest, OrdinalWrapsAtSixteenBits) {
    device_->rule_ordinal = 65530;
    device_->RunCheckThreshold();
    ASSERT_EQ(host_.alarms.size(), 139u);
    EXPECT_EQ(host_.alarms[0].ordinal, 65530);
    EXPECT_EQ(host_.alarms[5].ordinal, 65535);
    EXPECT_EQ(host_.alarms[5].ordinal_during_call, 0);
    EXPECT_EQ(host_.alarms[6].ordinal, 0);
    EXPECT_EQ(device_->rule_ordinal, (65530 + 139) % 65536);
}

TEST_F(AlarmPassTest, HostThrowingEndsThePassWithTheOrdinalMovedOn) {
    host_.on_alarm = [this](const AlarmCall&) {
        if (host_.alarms.size() == 50) throw std::runtime_error("host failure");
    };
    device_->rule_ordinal = 1;
    EXPECT_THROW(device_->RunCheckThreshold(), std::runtime_error);
    EXPECT_EQ(host_.alarms.size(), 50u);
    EXPECT_EQ(device_->rule_ordinal, 51);

    // Inside an end of cycle the failure leaves RoundDone too: nothing after the 50th call.
    host_.Clear();
    EXPECT_THROW(device_->RoundDone(), std::runtime_error);
    EXPECT_EQ(host_.alarms.size(), 50u);
    EXPECT_EQ(host_.calls.back(), "CheckThresholdBool");
    EXPECT_EQ(device_->rule_ordinal, 51);
}

// ---- settings do not reach the rules ----------------------------------------------------------

TEST_F(AlarmPassTest, SettingsAndModuleCountChangeNoneOfTheCalls) {
    const std::vector<std::string> golden = ReadGolden();
    ASSERT_EQ(golden.size(), 139u);
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = "3";
    for (const char* key : {"alert_a_7", "alert_c_0", "status_2_5", "alert_freq_1"}) {
        Json::Value& entry = settings["thresholdSetting"][key];
        entry["SignalName"] = "renamed";
        entry["NMAlarmID"] = "99999";
        entry["ID"] = "1";
        entry["SignalNumber"] = "2";
    }
    device_->SetModuleCount(3);  // fewer modules polled: still all twenty evaluated
    device_->InitSetting(settings);
    ASSERT_EQ(device_->b_mode(), 3);

    const Bytes zero(289, 0);
    ASSERT_TRUE(device_->LoadFromCache(zero.data(), 289));
    ASSERT_EQ(host_.alarms.size(), 139u);
    for (std::size_t i = 0; i < 139; ++i) {
        EXPECT_EQ(Row(host_.alarms[i]), golden[i]) << "call " << i + 1;
        EXPECT_FALSE(host_.alarms[i].state);
    }
}

// ---- allocation ------------------------------------------------------------------------------

class QuietHost : public smdhost::HostObserver {};

TEST(AlarmAllocation, SteadyStatePassAllocatesNothing) {
    QuietHost quiet;
    AlarmDevice device;
    rxptest::ObserverGuard guard(device, quiet);
    device.SetByte(90, 0x10);
    device.Pass();  // the first pass may build the texts once

    std::size_t allocations = 0;
    {
        rxptest::AllocationCounter counter;
        for (int i = 0; i < 100; ++i) device.Pass();
        allocations = counter.count();
    }
    std::printf("heap allocations in 100 steady-state alarm passes: %zu\n", allocations);
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
