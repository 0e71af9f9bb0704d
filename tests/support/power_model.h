// A small model of the power system for tests: the values it reports, the reply frames that
// carry them and the record the plug-in should publish for them. Frames and the record are
// built here from first principles, independently of the plug-in's codec and field table.
#ifndef RXP_TESTS_SUPPORT_POWER_MODEL_H
#define RXP_TESTS_SUPPORT_POWER_MODEL_H

#include <json/json.h>

#include <cstdint>
#include <vector>

namespace rxptest {

using Bytes = std::vector<unsigned char>;

struct PowerModel {
    struct Module {
        std::uint16_t value[4];
        std::uint8_t status;
        std::uint8_t extra;
    };

    std::uint16_t phase_value[3][2];  // phases A, B, C
    std::uint8_t phase_status[3];
    std::uint16_t ac_value;
    std::uint8_t ac_frequency_state;
    Module modules[20];
    std::uint8_t breaker1_state;
    std::uint8_t breaker2_state;
    std::uint8_t lightning_switch_state;
    std::uint16_t dc_switch_value;
    std::uint16_t dc_value[16];  // dc_value1..dc_value16
    std::uint8_t dc_byte_value;
    std::uint8_t dc_status[6];
    std::uint32_t dc_long[4];

    // A system whose every value is distinct and whose bytes differ within each word, so that
    // a swapped, shifted or misplaced byte shows.
    static PowerModel Distinct(std::uint32_t seed = 1);

    // The payload of the reply to command number `index` of a cycle (0..24).
    Bytes Payload(int index) const;
    // The whole reply frame, from address 1, echoing the command's code bytes.
    Bytes Reply(int index) const;
    // The replies of a whole cycle, one after another.
    Bytes CycleStream() const;
    // The record after a cycle: bytes 0..281 (device id given), timestamp bytes left zero.
    Bytes ExpectedRecord(std::uint32_t device_id) const;
};

// The state of each of the 139 alarm evaluations of a pass over `record` (289 bytes), in
// evaluation order, from the device's alarm documentation.
std::vector<bool> ExpectedAlarmStates(const Bytes& record);

// The simulator scenario that makes it report the model's values, field by field by name.
Json::Value ScenarioOf(const PowerModel& model);

// Command number `index` of a cycle (0..24) as the device must send it to address 1.
Bytes ExpectedCommand(int index);
// The group and command bytes of command `index`, and its data byte (-1 when none).
void CommandCodes(int index, int* group, int* command, int* data);

// A frame from raw bytes (address .. data/payload), checksum computed and appended here.
Bytes EncodeFrame(const Bytes& raw);

}  // namespace rxptest

#endif  // RXP_TESTS_SUPPORT_POWER_MODEL_H
