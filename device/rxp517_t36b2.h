// RXP517_T36B2: one telecom DC power system on one serial line. It polls the power system with
// 25 commands a cycle, decodes the replies into the measurement record and hands the record and
// the cycle's alarm evaluations to the host.
#ifndef RXP_DEVICE_RXP517_T36B2_H
#define RXP_DEVICE_RXP517_T36B2_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/host_framework.h"
#include "device/uni_data_device.h"
#include "protocol/frame.h"
#include "protocol/reply_layout.h"
#include "protocol/rxp517_t36b2_data.h"

class RXP517_T36B2 : public UniDataDevice<RXP517_T36B2_Data_t, SMDSPDevice, 5112> {
public:
    typedef UniDataDevice<RXP517_T36B2_Data_t, SMDSPDevice, 5112> Base;

    RXP517_T36B2();
    virtual ~RXP517_T36B2();

    // Value queries are always refused; the text tells why (not ready, too old, not supported).
    rxp::host::ValueResult Get_Value(unsigned int data_id, const std::string& name) const override;
    // Answers every request with the 32-bit value 2 when the output buffer holds four bytes.
    std::int32_t DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                                 int& out_len) override;

    // Starts a polling cycle: sends the first of its 25 commands.
    bool RefreshStatus() override;
    // Takes one chunk received from the serial line; false after the last reply of a cycle and
    // for a frame that is dropped, true otherwise.
    bool process(unsigned char* data, unsigned int size) override;
    // The 139 alarm evaluations of the record.
    void RunCheckThreshold() override;

    // Send one command; the result is the host's SendData answer (a command too long to frame is
    // not sent and gets the host type's empty value).
    rxp::host::SendResult write_cmd(unsigned char group, unsigned char command);
    rxp::host::SendResult write_cmd(unsigned char group, unsigned char command,
                                    const unsigned char* data, int length);
    int calc_crc(unsigned char* bytes, int length);

protected:
    // The receiver's general path: any chunk, appended and searched character by character.
    bool collect(const unsigned char* data, unsigned int size);
    bool process_payload();
    // Sends command `index` of the cycle (0..24, in polling order).
    bool send_command(unsigned index);
    // The first command, or the host has given a new address: encodes the cycle's commands for
    // device_address, then sends command `index`.
    bool send_command_anew(unsigned index);

    unsigned char rx_buffer[rxp::frame::kRxBufferSize];
    unsigned char decoded_frame[rxp::frame::kDecodedFrameSize];
    unsigned char* current_frame;
    std::int32_t module_count;
    std::uint8_t module_index;

    // The cycle's command frames, encoded for the address in command_address (-1: none yet)
    // and encoded again whenever the host has changed device_address.
    unsigned char command_frames[rxp::kCommandsPerCycle][rxp::frame::FrameChars(1)];
    std::uint8_t command_chars[rxp::kCommandsPerCycle];
    std::int16_t command_address;
};

#endif  // RXP_DEVICE_RXP517_T36B2_H
