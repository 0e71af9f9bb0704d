// Where every value of the power system's replies lands in the measurement record. One table
// serves the device's decoder, the simulator (which encodes record values into replies), the
// record reader and the tests; each row is checked against the record's layout at compile time.
#ifndef RXP_PROTOCOL_REPLY_LAYOUT_H
#define RXP_PROTOCOL_REPLY_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "protocol/rxp517_t36b2_data.h"

namespace rxp {

const std::size_t kRecordSize = sizeof(RXP517_T36B2_Data_t);
const std::uint16_t kDataId = 5112;
const unsigned kModuleCount = 20;
const std::size_t kModuleRowsOffset = offsetof(RXP517_T36B2_Data_t, modules);
const std::size_t kModuleRowSize = sizeof(RXP517_T36B2_Module_t);
const std::size_t kTimestampOffset = offsetof(RXP517_T36B2_Data_t, timestamp);

// Polling steps: the value of poll_step while the reply to that command is awaited.
enum PollStep : std::uint8_t {
    kStepPhases = 1,     // 0x40/0x01
    kStepAcValue = 2,    // 0x40/0x02
    kStepFrequency = 3,  // 0x40/0x03
    kStepModule = 4,     // 0x41/0x0E, data byte = module number 1..20
    kStepSwitches = 5,   // 0x42/0x15
    kStepDc = 6,         // 0x42/0x16
};

// One value of a reply payload. Multi-byte values are big-endian in the payload and
// little-endian in the record. For the module step the record offset is within the module row.
struct ReplyField {
    const char* name;
    std::uint8_t step;
    std::uint16_t record_offset;
    std::uint8_t payload_offset;
    std::uint8_t width;  // 1, 2 or 4 bytes
};

// Reply payloads, in payload order within each step. Example, reply to 0x40/0x02:
//   ~ 01 40 02 02 01F4 57 CR      payload 01 F4 -> ac_value 0x01F4 (record bytes 19, 20 = F4 01)
constexpr ReplyField kReplyFields[] = {
    // 0x40/0x01: payload bytes 0..14
    {"phase_a_value1", kStepPhases, 4, 0, 2},
    {"phase_a_value2", kStepPhases, 6, 2, 2},
    {"phase_a_status", kStepPhases, 8, 4, 1},
    {"phase_b_value1", kStepPhases, 9, 5, 2},
    {"phase_b_value2", kStepPhases, 11, 7, 2},
    {"phase_b_status", kStepPhases, 13, 9, 1},
    {"phase_c_value1", kStepPhases, 14, 10, 2},
    {"phase_c_value2", kStepPhases, 16, 12, 2},
    {"phase_c_status", kStepPhases, 18, 14, 1},
    // 0x40/0x02
    {"ac_value", kStepAcValue, 19, 0, 2},
    // 0x40/0x03
    {"ac_frequency_state", kStepFrequency, 21, 0, 1},
    // 0x41/0x0E: payload byte 0 (the module number) is not stored
    {"value1", kStepModule, 0, 1, 2},
    {"value2", kStepModule, 2, 3, 2},
    {"value3", kStepModule, 4, 5, 2},
    {"value4", kStepModule, 6, 7, 2},
    {"status", kStepModule, 8, 9, 1},
    {"extra", kStepModule, 9, 10, 1},
    // 0x42/0x15: payload bytes 0..4
    {"breaker1_state", kStepSwitches, 222, 0, 1},
    {"breaker2_state", kStepSwitches, 223, 1, 1},
    {"lightning_switch_state", kStepSwitches, 224, 2, 1},
    {"dc_switch_value", kStepSwitches, 225, 3, 2},
    // 0x42/0x16: payload bytes 0..54. Bytes 10..12 are laid out opposite in the record.
    {"dc_value1", kStepDc, 227, 0, 2},
    {"dc_value2", kStepDc, 229, 2, 2},
    {"dc_value3", kStepDc, 231, 4, 2},
    {"dc_value4", kStepDc, 233, 6, 2},
    {"dc_value5", kStepDc, 235, 8, 2},
    {"dc_byte_value", kStepDc, 239, 10, 1},
    {"dc_value6", kStepDc, 237, 11, 2},
    {"dc_status[0]", kStepDc, 240, 13, 1},
    {"dc_status[1]", kStepDc, 241, 14, 1},
    {"dc_status[2]", kStepDc, 242, 15, 1},
    {"dc_status[3]", kStepDc, 243, 16, 1},
    {"dc_status[4]", kStepDc, 244, 17, 1},
    {"dc_status[5]", kStepDc, 245, 18, 1},
    {"dc_value7", kStepDc, 246, 19, 2},
    {"dc_value8", kStepDc, 248, 21, 2},
    {"dc_value9", kStepDc, 250, 23, 2},
    {"dc_value10", kStepDc, 252, 25, 2},
    {"dc_long1", kStepDc, 254, 27, 4},
    {"dc_long2", kStepDc, 258, 31, 4},
    {"dc_long3", kStepDc, 262, 35, 4},
    {"dc_long4", kStepDc, 266, 39, 4},
    {"dc_value11", kStepDc, 270, 43, 2},
    {"dc_value12", kStepDc, 272, 45, 2},
    {"dc_value13", kStepDc, 274, 47, 2},
    {"dc_value14", kStepDc, 276, 49, 2},
    {"dc_value15", kStepDc, 278, 51, 2},
    {"dc_value16", kStepDc, 280, 53, 2},
};
const std::size_t kReplyFieldCount = sizeof(kReplyFields) / sizeof(kReplyFields[0]);

// The commands of one step, the payload bytes its reply must carry and its rows in kReplyFields.
struct PollCommand {
    std::uint8_t step;
    std::uint8_t group;
    std::uint8_t command;
    std::uint8_t payload_needed;
    std::uint8_t first_field;
    std::uint8_t field_count;
};

// clang-format off
constexpr PollCommand kPollCommands[] = {
    // step           group command payload first fields
    {kStepPhases,     0x40, 0x01,   15,     0,    9},
    {kStepAcValue,    0x40, 0x02,   2,      9,    1},
    {kStepFrequency,  0x40, 0x03,   1,      10,   1},
    {kStepModule,     0x41, 0x0E,   11,     11,   6},
    {kStepSwitches,   0x42, 0x15,   5,      17,   4},
    {kStepDc,         0x42, 0x16,   55,     21,   27},
};
// clang-format on
const std::size_t kPollStepCount = sizeof(kPollCommands) / sizeof(kPollCommands[0]);
const unsigned kCommandsPerCycle = 3 + kModuleCount + 2;

// The command row of a step, or null for a value outside 1..6.
inline const PollCommand* FindPollCommand(std::int32_t step) {
    return step >= 1 && step <= static_cast<std::int32_t>(kPollStepCount) ? &kPollCommands[step - 1]
                                                                          : nullptr;
}

// The cycle's commands in polling order: 0..2 the AC commands, 3..22 the module command for
// module 1..20, 23 and 24 the DC commands.
const unsigned kFirstModuleCommand = 3;
const unsigned kSwitchesCommand = kFirstModuleCommand + kModuleCount;
const unsigned kDcCommand = kSwitchesCommand + 1;
static_assert(kDcCommand + 1 == kCommandsPerCycle, "25 commands a cycle");

// The step row of command `index` of the cycle.
inline const PollCommand& CycleCommand(unsigned index) {
    return index < kFirstModuleCommand ? kPollCommands[index]
           : index < kSwitchesCommand  ? kPollCommands[kStepModule - 1]
                                      : kPollCommands[index - kSwitchesCommand + kStepSwitches - 1];
}

namespace layout_check {

constexpr unsigned Max(unsigned a, unsigned b) {
    return a > b ? a : b;
}
// The payload bytes a step reads: the end of its furthest field.
constexpr unsigned PayloadEnd(unsigned first, unsigned count) {
    return count == 0 ? 0
                      : Max(kReplyFields[first].payload_offset + kReplyFields[first].width,
                            PayloadEnd(first + 1, count - 1));
}
// Total width of a step's fields: equal to its payload bytes when they cover it without gaps.
constexpr unsigned WidthSum(unsigned first, unsigned count) {
    return count == 0 ? 0 : kReplyFields[first].width + WidthSum(first + 1, count - 1);
}
constexpr bool StepsConsistent(unsigned i) {
    return i == kPollStepCount ||
           (kPollCommands[i].step == i + 1 &&
            kPollCommands[i].first_field + kPollCommands[i].field_count <= kReplyFieldCount &&
            (i + 1 == kPollStepCount ||
             kPollCommands[i].first_field + kPollCommands[i].field_count ==
                 kPollCommands[i + 1].first_field) &&
            PayloadEnd(kPollCommands[i].first_field, kPollCommands[i].field_count) ==
                kPollCommands[i].payload_needed &&
            StepsConsistent(i + 1));
}
constexpr bool FieldsBelongToSteps(unsigned i) {
    return i == kReplyFieldCount ||
           (kReplyFields[i].step >= 1 && kReplyFields[i].step <= kPollStepCount &&
            i >= kPollCommands[kReplyFields[i].step - 1].first_field &&
            i < kPollCommands[kReplyFields[i].step - 1].first_field +
                    kPollCommands[kReplyFields[i].step - 1].field_count &&
            FieldsBelongToSteps(i + 1));
}

static_assert(kReplyFieldCount == 48, "reply field count");
static_assert(StepsConsistent(0), "step rows and payload lengths agree with the field table");
static_assert(FieldsBelongToSteps(0), "every field sits in the rows of its own step");
// Every step but the module step reads its payload without gaps (module byte 0 is skipped).
static_assert(WidthSum(0, 9) == 15 && WidthSum(9, 1) == 2 && WidthSum(10, 1) == 1 &&
                  WidthSum(11, 6) == 10 && WidthSum(17, 4) == 5 && WidthSum(21, 27) == 55,
              "payload bytes covered once");
// Record bytes 4..281 are covered once: the fixed fields plus twenty module rows.
static_assert(WidthSum(0, kReplyFieldCount) - WidthSum(11, 6) + kModuleCount * kModuleRowSize ==
                  kTimestampOffset - 4,
              "record bytes 4..281 are covered once");

#define RXP_CHECK_FIELD(i, member)                                                          \
    static_assert(kReplyFields[i].record_offset == offsetof(RXP517_T36B2_Data_t, member) && \
                      kReplyFields[i].width == sizeof(RXP517_T36B2_Data_t().member),        \
                  "reply field " #i " is " #member)
#define RXP_CHECK_ROW_FIELD(i, member)                                                        \
    static_assert(kReplyFields[i].record_offset == offsetof(RXP517_T36B2_Module_t, member) && \
                      kReplyFields[i].width == sizeof(RXP517_T36B2_Module_t().member),        \
                  "reply field " #i " is module " #member)

RXP_CHECK_FIELD(0, phase_a_value1);
RXP_CHECK_FIELD(1, phase_a_value2);
RXP_CHECK_FIELD(2, phase_a_status);
RXP_CHECK_FIELD(3, phase_b_value1);
RXP_CHECK_FIELD(4, phase_b_value2);
RXP_CHECK_FIELD(5, phase_b_status);
RXP_CHECK_FIELD(6, phase_c_value1);
RXP_CHECK_FIELD(7, phase_c_value2);
RXP_CHECK_FIELD(8, phase_c_status);
RXP_CHECK_FIELD(9, ac_value);
RXP_CHECK_FIELD(10, ac_frequency_state);
RXP_CHECK_ROW_FIELD(11, value1);
RXP_CHECK_ROW_FIELD(12, value2);
RXP_CHECK_ROW_FIELD(13, value3);
RXP_CHECK_ROW_FIELD(14, value4);
RXP_CHECK_ROW_FIELD(15, status);
RXP_CHECK_ROW_FIELD(16, extra);
RXP_CHECK_FIELD(17, breaker1_state);
RXP_CHECK_FIELD(18, breaker2_state);
RXP_CHECK_FIELD(19, lightning_switch_state);
RXP_CHECK_FIELD(20, dc_switch_value);
RXP_CHECK_FIELD(21, dc_value1);
RXP_CHECK_FIELD(22, dc_value2);
RXP_CHECK_FIELD(23, dc_value3);
RXP_CHECK_FIELD(24, dc_value4);
RXP_CHECK_FIELD(25, dc_value5);
RXP_CHECK_FIELD(26, dc_byte_value);
RXP_CHECK_FIELD(27, dc_value6);
RXP_CHECK_FIELD(28, dc_status[0]);
RXP_CHECK_FIELD(29, dc_status[1]);
RXP_CHECK_FIELD(30, dc_status[2]);
RXP_CHECK_FIELD(31, dc_status[3]);
RXP_CHECK_FIELD(32, dc_status[4]);
RXP_CHECK_FIELD(33, dc_status[5]);
RXP_CHECK_FIELD(34, dc_value7);
RXP_CHECK_FIELD(35, dc_value8);
RXP_CHECK_FIELD(36, dc_value9);
RXP_CHECK_FIELD(37, dc_value10);
RXP_CHECK_FIELD(38, dc_long1);
RXP_CHECK_FIELD(39, dc_long2);
RXP_CHECK_FIELD(40, dc_long3);
RXP_CHECK_FIELD(41, dc_long4);
RXP_CHECK_FIELD(42, dc_value11);
RXP_CHECK_FIELD(43, dc_value12);
RXP_CHECK_FIELD(44, dc_value13);
RXP_CHECK_FIELD(45, dc_value14);
RXP_CHECK_FIELD(46, dc_value15);
RXP_CHECK_FIELD(47, dc_value16);

#undef RXP_CHECK_FIELD
#undef RXP_CHECK_ROW_FIELD

}  // namespace layout_check

}  // namespace rxp

#endif  // RXP_PROTOCOL_REPLY_LAYOUT_H
