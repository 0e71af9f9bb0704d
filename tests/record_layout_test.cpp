// The reply-to-record field table, checked where the compile-time checks cannot reach: no two
// fields share a name or a record byte, every payload byte lands where an independent model of
// the power system says it does, and the command codes of each step are the ones on the line.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "protocol/reply_layout.h"
#include "tests/support/power_model.h"

using rxptest::Bytes;
using rxptest::PowerModel;

namespace {

// The record offset of a field, for module fields in the row of module `module` (1..20).
std::size_t RecordOffset(const rxp::ReplyField& field, unsigned module) {
    if (field.step != rxp::kStepModule) return field.record_offset;
    return rxp::kModuleRowsOffset + rxp::kModuleRowSize * (module - 1) + field.record_offset;
}

// The commands of a cycle that fill the fields of a step: index 0..24 of the cycle.
std::vector<int> CommandsOfStep(unsigned step) {
    switch (step) {
        case rxp::kStepPhases:
            return {0};
        case rxp::kStepAcValue:
            return {1};
        case rxp::kStepFrequency:
            return {2};
        case rxp::kStepModule: {
            std::vector<int> all;
            for (int i = 3; i <= 22; ++i) all.push_back(i);
            return all;
        }
        case rxp::kStepSwitches:
            return {23};
        default:
            return {24};
    }
}

TEST(RecordLayout, FieldNamesAreUnique) {
    std::set<std::string> names;
    for (const rxp::ReplyField& field : rxp::kReplyFields) {
        EXPECT_TRUE(names.insert(field.name).second) << "duplicate field " << field.name;
    }
}

// With the module fields applied to all twenty rows, bytes 4..281 are written exactly once and
// nothing outside them is written: device id and time stamp belong to others.
TEST(RecordLayout, FieldsCoverBytesFourTo281ExactlyOnce) {
    std::vector<std::vector<std::string>> writers(rxp::kRecordSize);
    for (const rxp::ReplyField& field : rxp::kReplyFields) {
        const unsigned modules = field.step == rxp::kStepModule ? rxp::kModuleCount : 1;
        for (unsigned m = 1; m <= modules; ++m) {
            const std::size_t at = RecordOffset(field, m);
            ASSERT_LE(at + field.width, rxp::kRecordSize) << field.name;
            for (unsigned b = 0; b < field.width; ++b) writers[at + b].push_back(field.name);
        }
    }
    for (std::size_t i = 0; i < rxp::kRecordSize; ++i) {
        const std::size_t expected = (i >= 4 && i < 282) ? 1u : 0u;
        EXPECT_EQ(writers[i].size(), expected) << "record byte " << i;
    }
}

// No payload byte of a step is read into two fields.
TEST(RecordLayout, PayloadBytesOfAStepAreReadOnce) {
    for (const rxp::PollCommand& cmd : rxp::kPollCommands) {
        std::map<unsigned, std::string> readers;
        for (unsigned f = cmd.first_field; f < cmd.first_field + cmd.field_count; ++f) {
            const rxp::ReplyField& field = rxp::kReplyFields[f];
            EXPECT_LE(field.payload_offset + field.width, cmd.payload_needed) << field.name;
            for (unsigned b = 0; b < field.width; ++b) {
                const auto ins = readers.emplace(field.payload_offset + b, field.name);
                EXPECT_TRUE(ins.second)
                    << "step " << int(cmd.step) << " payload byte " << field.payload_offset + b
                    << " read by " << ins.first->second << " and " << field.name;
            }
        }
    }
}

// Each field's payload bytes, read big-endian, appear little-endian at its record offset in the
// record the model expects. The model is written from the device's documentation, not from the
// table, so a wrong payload or record offset in a row shows here.
TEST(RecordLayout, EveryFieldAgreesWithThePowerModel) {
    const PowerModel model = PowerModel::Distinct(21);
    const Bytes record = model.ExpectedRecord(0);
    for (const rxp::ReplyField& field : rxp::kReplyFields) {
        for (int index : CommandsOfStep(field.step)) {
            const Bytes payload = model.Payload(index);
            const unsigned module = field.step == rxp::kStepModule ? index - 2 : 1;
            const std::size_t at = RecordOffset(field, module);
            ASSERT_LE(field.payload_offset + field.width, payload.size()) << field.name;
            for (unsigned b = 0; b < field.width; ++b) {
                EXPECT_EQ(record[at + b], payload[field.payload_offset + field.width - 1 - b])
                    << field.name << " (command " << index << ") byte " << b;
            }
        }
    }
}

TEST(RecordLayout, StepsSendTheCommandsOfTheCycle) {
    for (int index = 0; index < 25; ++index) {
        int group, command, data;
        rxptest::CommandCodes(index, &group, &command, &data);
        const unsigned step = index < 3 ? index + 1 : index <= 22 ? 4 : index - 18;
        const rxp::PollCommand* cmd = rxp::FindPollCommand(static_cast<std::int32_t>(step));
        ASSERT_NE(cmd, nullptr) << index;
        EXPECT_EQ(cmd->group, group) << "command " << index;
        EXPECT_EQ(cmd->command, command) << "command " << index;
        // A reply of the power system carries exactly the bytes its step reads.
        EXPECT_EQ(cmd->payload_needed, PowerModel{}.Payload(index).size()) << "command " << index;
    }
    EXPECT_EQ(rxp::FindPollCommand(0), nullptr);
    EXPECT_EQ(rxp::FindPollCommand(7), nullptr);
    EXPECT_EQ(rxp::FindPollCommand(-1), nullptr);
}

}  // namespace
