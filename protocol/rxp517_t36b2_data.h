// The power system's measurement record: 289 bytes, published under data id 5112, stored as
// device history and accepted back from the host's cache. It is an interchange format: every
// offset, width and byte order below is fixed. Words are little-endian; values are stored as the
// power system sent them (no scaling, no sign).
//
// Code must read and write the 16- and 32-bit fields by value or byte copy, never through a
// pointer or reference to a packed member: the controller's CPU traps misaligned word access.
#ifndef RXP_PROTOCOL_RXP517_T36B2_DATA_H
#define RXP_PROTOCOL_RXP517_T36B2_DATA_H

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// One rectifier module's row, filled from the reply to 0x41/0x0E for that module.
struct RXP517_T36B2_Module_t {
    std::uint16_t value1;
    std::uint16_t value2;
    std::uint16_t value3;
    std::uint16_t value4;
    std::uint8_t status;
    std::uint8_t extra;
};

struct RXP517_T36B2_Data_t {
    std::uint32_t device_id;
    // Reply to 0x40/0x01: the three AC phase blocks.
    std::uint16_t phase_a_value1;
    std::uint16_t phase_a_value2;
    std::uint8_t phase_a_status;
    std::uint16_t phase_b_value1;
    std::uint16_t phase_b_value2;
    std::uint8_t phase_b_status;
    std::uint16_t phase_c_value1;
    std::uint16_t phase_c_value2;
    std::uint8_t phase_c_status;
    std::uint16_t ac_value;           // reply to 0x40/0x02
    std::uint8_t ac_frequency_state;  // reply to 0x40/0x03
    RXP517_T36B2_Module_t modules[20];
    // Reply to 0x42/0x15.
    std::uint8_t breaker1_state;
    std::uint8_t breaker2_state;
    std::uint8_t lightning_switch_state;
    std::uint16_t dc_switch_value;
    // Reply to 0x42/0x16.
    std::uint16_t dc_value1;
    std::uint16_t dc_value2;
    std::uint16_t dc_value3;
    std::uint16_t dc_value4;
    std::uint16_t dc_value5;
    std::uint16_t dc_value6;     // payload bytes 11-12: after dc_byte_value on the line
    std::uint8_t dc_byte_value;  // payload byte 10
    std::uint8_t dc_status[6];
    std::uint16_t dc_value7;
    std::uint16_t dc_value8;
    std::uint16_t dc_value9;
    std::uint16_t dc_value10;
    std::uint32_t dc_long1;
    std::uint32_t dc_long2;
    std::uint32_t dc_long3;
    std::uint32_t dc_long4;
    std::uint16_t dc_value11;
    std::uint16_t dc_value12;
    std::uint16_t dc_value13;
    std::uint16_t dc_value14;
    std::uint16_t dc_value15;
    std::uint16_t dc_value16;
    std::uint8_t timestamp[7];  // the host's get_ttime value at the end of the cycle
};

#pragma pack(pop)

static_assert(sizeof(RXP517_T36B2_Module_t) == 10, "a module row is 10 bytes");
static_assert(offsetof(RXP517_T36B2_Module_t, value1) == 0, "module row layout");
static_assert(offsetof(RXP517_T36B2_Module_t, value2) == 2, "module row layout");
static_assert(offsetof(RXP517_T36B2_Module_t, value3) == 4, "module row layout");
static_assert(offsetof(RXP517_T36B2_Module_t, value4) == 6, "module row layout");
static_assert(offsetof(RXP517_T36B2_Module_t, status) == 8, "module row layout");
static_assert(offsetof(RXP517_T36B2_Module_t, extra) == 9, "module row layout");

static_assert(sizeof(RXP517_T36B2_Data_t) == 289, "the record is 289 bytes");
static_assert(alignof(RXP517_T36B2_Data_t) == 1, "the record is byte-packed");
static_assert(offsetof(RXP517_T36B2_Data_t, device_id) == 0, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_a_value1) == 4, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_a_value2) == 6, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_a_status) == 8, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_b_value1) == 9, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_b_value2) == 11, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_b_status) == 13, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_c_value1) == 14, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_c_value2) == 16, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_c_status) == 18, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, ac_value) == 19, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, ac_frequency_state) == 21, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, modules) == 22, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, breaker1_state) == 222, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, breaker2_state) == 223, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, lightning_switch_state) == 224, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_switch_value) == 225, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value1) == 227, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value2) == 229, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value3) == 231, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value4) == 233, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value5) == 235, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value6) == 237, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_byte_value) == 239, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_status) == 240, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value7) == 246, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value8) == 248, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value9) == 250, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value10) == 252, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_long1) == 254, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_long2) == 258, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_long3) == 262, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_long4) == 266, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value11) == 270, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value12) == 272, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value13) == 274, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value14) == 276, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value15) == 278, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, dc_value16) == 280, "record layout");
static_assert(offsetof(RXP517_T36B2_Data_t, timestamp) == 282, "record layout");

#endif  // RXP_PROTOCOL_RXP517_T36B2_DATA_H
