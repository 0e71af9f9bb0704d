// The polling cycle: 25 commands in order, every reply stored at its place in the record, one
// publication per completed cycle, however the line cuts the replies into chunks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "device/rxp517_t36b2.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"

using rxptest::Bytes;
using rxptest::PowerModel;
using rxptest::RecordingHost;

namespace {

class PollDevice : public RXP517_T36B2 {
public:
    using RXP517_T36B2::module_index;

    bool Feed(const unsigned char* data, std::size_t size) {
        Bytes copy(data, data + size);
        return process(copy.data(), static_cast<unsigned int>(copy.size()));
    }
    bool Feed(const Bytes& chunk) { return Feed(chunk.data(), chunk.size()); }
    Bytes Record() const {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&record());
        return Bytes(p, p + sizeof(RXP517_T36B2_Data_t));
    }
};

class PollingTest : public ::testing::Test {
protected:
    PollingTest() : device_(new PollDevice), guard_(*device_, host_) {}

    // Feeds every reply whole; returns what process answered for each.
    std::vector<bool> RunCycle(const PowerModel& model) {
        std::vector<bool> results;
        device_->RefreshStatus();
        for (int i = 0; i < 25; ++i) results.push_back(device_->Feed(model.Reply(i)));
        return results;
    }

    static Bytes WithoutTimestamp(Bytes record) {
        std::fill(record.begin() + 282, record.end(), 0);
        return record;
    }

    RecordingHost host_;
    std::unique_ptr<PollDevice> device_;
    rxptest::ObserverGuard guard_;
};

TEST_F(PollingTest, FullCycleSendsTheCommandsInOrderAndPublishesTheModelRecord) {
    const PowerModel model = PowerModel::Distinct(7);
    device_->data_id = 0x01020304;
    Json::Value settings(Json::objectValue);
    device_->InitSetting(settings);
    host_.Clear();

    const std::vector<bool> results = RunCycle(model);

    for (int i = 0; i < 24; ++i) EXPECT_TRUE(results[i]) << "reply " << i;
    EXPECT_FALSE(results[24]);
    // The host base's own RefreshStatus runs first, before the first command goes out.
    ASSERT_GE(host_.calls.size(), 2u);
    EXPECT_EQ(host_.calls[0], "RefreshStatus");
    EXPECT_EQ(host_.calls[1], "SendData");
    ASSERT_EQ(host_.sent.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(host_.sent[i], rxptest::ExpectedCommand(i)) << i;

    ASSERT_EQ(host_.published.size(), 1u);
    EXPECT_EQ(host_.published[0].data_id, 5112);
    EXPECT_FALSE(host_.published[0].urgent);
    EXPECT_TRUE(host_.published[0].data_ready) << "published before the record was marked ready";
    ASSERT_EQ(host_.published[0].record.size(), 289u);
    EXPECT_EQ(WithoutTimestamp(host_.published[0].record), model.ExpectedRecord(0x01020304));
    ASSERT_EQ(host_.stored.size(), 1u);
    EXPECT_EQ(host_.stored[0], host_.published[0].record);
    EXPECT_EQ(device_->poll_step, 6);
}

TEST_F(PollingTest, SecondCycleOverwritesEveryDecodedField) {
    RunCycle(PowerModel::Distinct(1));
    const PowerModel second = PowerModel::Distinct(2);
    RunCycle(second);
    ASSERT_EQ(host_.published.size(), 2u);
    EXPECT_EQ(WithoutTimestamp(host_.published[1].record), second.ExpectedRecord(0));
}

TEST_F(PollingTest, ModuleRepliesFillTheirOwnRows) {
    PowerModel model{};
    model.modules[6].value[0] = 0xA1B2;
    model.modules[6].status = 0x5C;
    model.modules[6].extra = 0x3D;
    model.modules[19].value[3] = 0xC3D4;
    RunCycle(model);
    const Bytes rec = host_.published.at(0).record;
    // Module 7: offsets 82..91; module 20: offsets 212..221.
    EXPECT_EQ(rec[82], 0xB2);
    EXPECT_EQ(rec[83], 0xA1);
    EXPECT_EQ(rec[90], 0x5C);
    EXPECT_EQ(rec[91], 0x3D);
    EXPECT_EQ(rec[218], 0xD4);
    EXPECT_EQ(rec[219], 0xC3);
    EXPECT_EQ(rec[81], 0);
    EXPECT_EQ(rec[92], 0);
}

TEST_F(PollingTest, DcBytesTenToTwelveAreLaidOutOppositeToThePayload) {
    PowerModel model{};
    model.dc_byte_value = 0x77;
    model.dc_value[5] = 0x1122;
    model.dc_long[0] = 0x01020304;
    for (int i = 0; i < 6; ++i) model.dc_status[i] = static_cast<std::uint8_t>(0xE0 + i);
    RunCycle(model);
    const Bytes rec = host_.published.at(0).record;
    EXPECT_EQ(rec[237], 0x22);
    EXPECT_EQ(rec[238], 0x11);
    EXPECT_EQ(rec[239], 0x77);
    EXPECT_EQ(Bytes(rec.begin() + 240, rec.begin() + 246), rxptest::FromHex("E0 E1 E2 E3 E4 E5"));
    EXPECT_EQ(Bytes(rec.begin() + 254, rec.begin() + 258), rxptest::FromHex("04 03 02 01"));
}

// Every reply split in two at every position decodes as if it had come whole.
TEST_F(PollingTest, ReplySplitAtEveryPositionDecodesLikeAWholeReply) {
    const PowerModel model = PowerModel::Distinct(3);
    for (int reply = 0; reply < 25; ++reply) {
        const Bytes whole = model.Reply(reply);
        for (std::size_t cut = 1; cut < whole.size(); ++cut) {
            host_.Clear();
            device_->RefreshStatus();
            for (int i = 0; i < reply; ++i) ASSERT_TRUE(device_->Feed(model.Reply(i)));
            EXPECT_TRUE(device_->Feed(whole.data(), cut)) << "reply " << reply << " cut " << cut;
            const bool last = device_->Feed(whole.data() + cut, whole.size() - cut);
            EXPECT_EQ(last, reply != 24) << "reply " << reply << " cut " << cut;
            EXPECT_EQ(host_.sent.size(), reply == 24 ? 25u : static_cast<std::size_t>(reply + 2));
        }
    }
    ASSERT_FALSE(host_.published.empty());
    EXPECT_EQ(WithoutTimestamp(host_.published.back().record), model.ExpectedRecord(0));
}

TEST_F(PollingTest, RandomChunksWithNoiseBetweenRepliesCompleteTheCycle) {
    const PowerModel model = PowerModel::Distinct(4);
    std::mt19937 rng(20261208);
    for (int round = 0; round < 20; ++round) {
        host_.Clear();
        device_->RefreshStatus();
        for (int i = 0; i < 25; ++i) {
            // Noise without a start character before the reply, and junk after its end.
            Bytes stream = rxptest::FromText("\x01\x02noise\r");
            const Bytes reply = model.Reply(i);
            stream.insert(stream.end(), reply.begin(), reply.end());
            const Bytes junk = rxptest::FromText("tail~");
            stream.insert(stream.end(), junk.begin(), junk.end());
            // Cut the reply's stream into random chunks; junk after the CR shares its chunk.
            std::size_t pos = 0;
            const std::size_t end_of_reply = stream.size() - junk.size();
            while (pos < end_of_reply) {
                std::size_t n = 1 + rng() % 9;
                if (pos + n >= end_of_reply) n = stream.size() - pos;
                device_->Feed(stream.data() + pos, n);
                pos += n;
            }
        }
        ASSERT_EQ(host_.published.size(), 1u) << "round " << round;
        EXPECT_EQ(WithoutTimestamp(host_.published[0].record), model.ExpectedRecord(0));
        EXPECT_EQ(host_.sent.size(), 25u);
    }
}

TEST_F(PollingTest, RefreshDuringTheModuleLoopStartsOverAtModuleOne) {
    const PowerModel model = PowerModel::Distinct(5);
    device_->RefreshStatus();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(device_->Feed(model.Reply(i)));
    EXPECT_EQ(device_->poll_step, 4);
    EXPECT_EQ(device_->module_index, 8);
    host_.Clear();

    const std::vector<bool> results = RunCycle(model);
    EXPECT_FALSE(results[24]);
    ASSERT_EQ(host_.sent.size(), 25u);
    EXPECT_EQ(host_.sent[0], rxptest::ExpectedCommand(0));
    EXPECT_EQ(host_.sent[3], rxptest::ExpectedCommand(3));  // module 1 again
    EXPECT_EQ(host_.published.size(), 1u);
}

// The host may give the device a new address at any time: the next command carries it.
TEST_F(PollingTest, CommandsCarryTheAddressTheHostSetLast) {
    auto command_to = [](unsigned char address, int index) {
        int group, command, data;
        rxptest::CommandCodes(index, &group, &command, &data);
        Bytes raw{address, static_cast<unsigned char>(group), static_cast<unsigned char>(command),
                  static_cast<unsigned char>(data < 0 ? 0 : 1)};
        if (data >= 0) raw.push_back(static_cast<unsigned char>(data));
        return rxptest::EncodeFrame(raw);
    };
    const PowerModel model = PowerModel::Distinct(11);
    // The address before each of the 25 commands of two cycles.
    std::vector<unsigned char> addresses(50, 1);
    std::fill(addresses.begin() + 2, addresses.begin() + 5, 0x2A);    // in the AC steps
    std::fill(addresses.begin() + 9, addresses.begin() + 24, 0xFF);   // modules 7 to 20, DC
    std::fill(addresses.begin() + 25, addresses.begin() + 26, 0x00);  // the next cycle's first
    for (int cycle = 0; cycle < 2; ++cycle) {
        device_->device_address = addresses[25 * cycle];
        device_->RefreshStatus();
        for (int i = 0; i < 25; ++i) {
            if (i + 1 < 25) device_->device_address = addresses[25 * cycle + i + 1];
            device_->Feed(model.Reply(i));
        }
    }
    ASSERT_EQ(host_.sent.size(), 50u);
    for (int n = 0; n < 50; ++n) {
        EXPECT_EQ(host_.sent[n], command_to(addresses[n], n % 25)) << "command " << n;
    }
    EXPECT_EQ(host_.published.size(), 2u);
}

TEST_F(PollingTest, RefreshKeepsAHalfCollectedFrame) {
    const PowerModel model = PowerModel::Distinct(6);
    device_->RefreshStatus();
    const Bytes reply = model.Reply(0);
    device_->Feed(reply.data(), 5);
    device_->RefreshStatus();
    EXPECT_EQ(device_->rx_count, 5);
    EXPECT_TRUE(device_->Feed(reply.data() + 5, reply.size() - 5));
    EXPECT_EQ(device_->poll_step, 2);
}

TEST_F(PollingTest, FrameBeforeAnyCycleChangesNothing) {
    const PowerModel model = PowerModel::Distinct(8);
    device_->poll_step = 0;
    EXPECT_TRUE(device_->Feed(model.Reply(0)));
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_EQ(device_->Record(), Bytes(289, 0));
    EXPECT_EQ(device_->poll_step, 0);
}

// A module number the host changed to one outside 1..20 names no row: the reply is stored
// nowhere and the loop goes on (0: module 1 next; 21 or more: on to the DC side).
TEST_F(PollingTest, ModuleNumberOutsideTheRowsWritesNoRecordByte) {
    const PowerModel model = PowerModel::Distinct(5);
    struct Case {
        unsigned char module_index;
        int next_command;
    };
    for (const Case& c : {Case{0, 3}, Case{21, 23}, Case{255, 23}}) {
        host_.Clear();
        device_->poll_step = 4;
        device_->module_index = c.module_index;
        EXPECT_TRUE(device_->Feed(model.Reply(9))) << int(c.module_index);
        EXPECT_EQ(device_->Record(), Bytes(289, 0)) << int(c.module_index);
        ASSERT_EQ(host_.sent.size(), 1u) << int(c.module_index);
        EXPECT_EQ(host_.sent[0], rxptest::ExpectedCommand(c.next_command)) << int(c.module_index);
    }
}

TEST_F(PollingTest, ShortPayloadIsDroppedWithoutTouchingTheRecord) {
    const PowerModel model = PowerModel::Distinct(9);
    device_->RefreshStatus();
    // Step 1 reads 15 payload bytes; a good frame with 14 is dropped.
    Bytes payload = model.Payload(0);
    payload.pop_back();
    Bytes raw{0x01, 0x40, 0x01, static_cast<unsigned char>(payload.size())};
    raw.insert(raw.end(), payload.begin(), payload.end());
    host_.Clear();
    EXPECT_FALSE(device_->Feed(rxptest::EncodeFrame(raw)));
    EXPECT_EQ(device_->poll_step, 1);
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_EQ(device_->Record(), Bytes(289, 0));
    // A longer payload than needed is fine.
    payload = model.Payload(0);
    payload.push_back(0x99);
    raw = {0x01, 0x40, 0x01, static_cast<unsigned char>(payload.size())};
    raw.insert(raw.end(), payload.begin(), payload.end());
    EXPECT_TRUE(device_->Feed(rxptest::EncodeFrame(raw)));
    EXPECT_EQ(device_->poll_step, 2);
}

TEST_F(PollingTest, CycleStoppedEarlyPublishesNothingAndKeepsEarlierValues) {
    const PowerModel first = PowerModel::Distinct(10);
    RunCycle(first);
    const PowerModel second = PowerModel::Distinct(11);
    device_->RefreshStatus();
    for (int i = 0; i < 3; ++i) device_->Feed(second.Reply(i));
    EXPECT_EQ(host_.published.size(), 1u);
    Bytes expected = first.ExpectedRecord(0);
    const Bytes ac = second.ExpectedRecord(0);
    std::copy(ac.begin() + 4, ac.begin() + 22, expected.begin() + 4);
    EXPECT_EQ(WithoutTimestamp(device_->Record()), expected);
}

TEST_F(PollingTest, FurtherGoodFrameAtTheLastStepPublishesAgain) {
    const PowerModel model = PowerModel::Distinct(12);
    RunCycle(model);
    EXPECT_FALSE(device_->Feed(model.Reply(24)));
    EXPECT_EQ(host_.published.size(), 2u);
    EXPECT_EQ(device_->poll_step, 6);
}

// ---- allocation ------------------------------------------------------------------------------

// A host that records nothing, so that every allocation counted is the plug-in's.
class QuietHost : public smdhost::HostObserver {};

TEST(PollingAllocation, SteadyStateCycleAllocatesNothing) {
    QuietHost quiet;
    PollDevice device;
    smdhost::SetObserver(device, &quiet);
    const PowerModel model = PowerModel::Distinct(13);
    std::vector<Bytes> replies;
    for (int i = 0; i < 25; ++i) replies.push_back(model.Reply(i));

    auto cycle = [&] {
        device.RefreshStatus();
        for (Bytes& r : replies) device.process(r.data(), static_cast<unsigned int>(r.size()));
    };
    cycle();  // first cycle builds the alarm texts once

    std::size_t allocations = 0;
    {
        rxptest::AllocationCounter counter;
        for (int i = 0; i < 10; ++i) cycle();
        allocations = counter.count();
    }
    std::printf("heap allocations in 10 steady-state cycles: %zu\n", allocations);
    EXPECT_EQ(allocations, 0u);
    smdhost::SetObserver(device, nullptr);
}

}  // namespace
