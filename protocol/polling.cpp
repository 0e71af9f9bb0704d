// The polling cycle: 25 commands, each sent when the reply to the one before has been stored.
//
//   step 1  0x40/0x01        three AC phase blocks      record 4..18
//   step 2  0x40/0x02        ac_value                   record 19..20
//   step 3  0x40/0x03        ac_frequency_state         record 21
//   step 4  0x41/0x0E n      module n row, n = 1..20    record 22 + 10(n-1) .. +9
//   step 5  0x42/0x15        breakers, switches         record 222..226
//   step 6  0x42/0x16        DC values and status       record 227..281, then RoundDone
#include <cstring>

#include "device/rxp517_t36b2.h"
#include "protocol/frame.h"
#include "protocol/reply_layout.h"

namespace {

// Copies one step's payload values into the record: big-endian on the line, little-endian in
// the record, written byte by byte so that no word is ever accessed misaligned.
void store_payload(const rxp::PollCommand& cmd, const unsigned char* payload,
                   unsigned char* record_base) {
    for (unsigned f = cmd.first_field; f < cmd.first_field + cmd.field_count; ++f) {
        const rxp::ReplyField& field = rxp::kReplyFields[f];
        const unsigned char* src = payload + field.payload_offset;
        unsigned char* dst = record_base + field.record_offset;
        switch (field.width) {
            case 1:
                dst[0] = src[0];
                break;
            case 2:
                dst[0] = src[1];
                dst[1] = src[0];
                break;
            case 4:
                dst[0] = src[3];
                dst[1] = src[2];
                dst[2] = src[1];
                dst[3] = src[0];
                break;
            default:
                for (unsigned b = 0; b < field.width; ++b) dst[b] = src[field.width - 1 - b];
                break;
        }
    }
}

}  // namespace

bool RXP517_T36B2::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    poll_step = rxp::kStepPhases;
    write_cmd(0x40, 0x01);
    return true;
}

bool RXP517_T36B2::process_payload() {
    const rxp::PollCommand* cmd = rxp::FindPollCommand(poll_step);
    if (cmd == nullptr) return true;  // no cycle under way: the frame is ignored

    // A payload shorter than the step reads would leave record bytes to leftovers of an
    // earlier frame: drop the reply like a corrupt one.
    const unsigned char* payload = current_frame + rxp::frame::kPayloadOffset;
    if (current_frame[3] < cmd->payload_needed) return false;

    unsigned char* record = record_bytes();
    switch (cmd->step) {
        case rxp::kStepPhases:
            store_payload(*cmd, payload, record);
            poll_step = rxp::kStepAcValue;
            write_cmd(0x40, 0x02);
            return true;
        case rxp::kStepAcValue:
            store_payload(*cmd, payload, record);
            poll_step = rxp::kStepFrequency;
            write_cmd(0x40, 0x03);
            return true;
        case rxp::kStepFrequency:
            store_payload(*cmd, payload, record);
            poll_step = rxp::kStepModule;
            module_index = 1;
            write_cmd(0x41, 0x0E, &module_index, 1);
            return true;
        case rxp::kStepModule: {
            // The row of the module just queried; module_index is 1..20 here unless the host
            // changed it, and a row outside the record is never written.
            if (module_index >= 1 && module_index <= rxp::kModuleCount) {
                store_payload(
                    *cmd, payload,
                    record + rxp::kModuleRowsOffset + rxp::kModuleRowSize * (module_index - 1));
            }
            if (module_index < rxp::kModuleCount) {
                ++module_index;
                write_cmd(0x41, 0x0E, &module_index, 1);
            } else {
                poll_step = rxp::kStepSwitches;
                write_cmd(0x42, 0x15);
            }
            return true;
        }
        case rxp::kStepSwitches:
            store_payload(*cmd, payload, record);
            poll_step = rxp::kStepDc;
            write_cmd(0x42, 0x16);
            return true;
        case rxp::kStepDc:
            store_payload(*cmd, payload, record);
            RoundDone();  // poll_step stays 6 until the next RefreshStatus
            return false;
    }
    return true;
}
