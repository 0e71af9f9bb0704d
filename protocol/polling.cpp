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

namespace frame = rxp::frame;

namespace {

// ---- the record store ------------------------------------------------------------------------
// Each step's reply fills a contiguous run of record bytes (a module's reply, its row). From the
// field table, the compiler works out for every record byte of a step the payload byte it comes
// from (bytes of a value reversed: big-endian on the line, little-endian in the record) and
// emits one byte copy per record byte; no word is ever accessed misaligned.

const unsigned kNoSource = 0xFFFF;

constexpr unsigned Min(unsigned a, unsigned b) {
    return a < b ? a : b;
}
// The first record byte (for the module step, row byte) of fields first..first+count-1.
constexpr unsigned RecordStart(unsigned first, unsigned count) {
    return count == 0
               ? kNoSource
               : Min(rxp::kReplyFields[first].record_offset, RecordStart(first + 1, count - 1));
}
constexpr unsigned RecordBytes(unsigned first, unsigned count) {
    return count == 0 ? 0 : rxp::kReplyFields[first].width + RecordBytes(first + 1, count - 1);
}
// The payload byte that record byte `at` comes from, among fields first..first+count-1.
constexpr unsigned SourceOf(unsigned first, unsigned count, unsigned at) {
    return count == 0 ? kNoSource
           : at >= rxp::kReplyFields[first].record_offset &&
                   at < rxp::kReplyFields[first].record_offset + rxp::kReplyFields[first].width
               ? rxp::kReplyFields[first].payload_offset + rxp::kReplyFields[first].width - 1 -
                     (at - rxp::kReplyFields[first].record_offset)
               : SourceOf(first + 1, count - 1, at);
}

constexpr const rxp::PollCommand& StepRow(unsigned step) {
    return rxp::kPollCommands[step - 1];
}
constexpr unsigned StepStart(unsigned step) {
    return RecordStart(StepRow(step).first_field, StepRow(step).field_count);
}
constexpr unsigned StepBytes(unsigned step) {
    return RecordBytes(StepRow(step).first_field, StepRow(step).field_count);
}

template <unsigned Step, unsigned Byte>
struct ByteSource {
    static const unsigned value =
        SourceOf(StepRow(Step).first_field, StepRow(Step).field_count, StepStart(Step) + Byte);
    static_assert(value < StepRow(Step).payload_needed, "every record byte of a step has a source");
};

template <unsigned... I>
struct Indices {};
template <unsigned N, unsigned... I>
struct MakeIndices : MakeIndices<N - 1, N - 1, I...> {};
template <unsigned... I>
struct MakeIndices<0, I...> {
    typedef Indices<I...> type;
};

template <unsigned Step, unsigned... I>
inline void StoreBytes(Indices<I...>, const unsigned char* payload, unsigned char* dst) {
    const int copies[] = {(dst[I] = payload[ByteSource<Step, I>::value], 0)...};
    (void)copies;
}

// Copies one step's payload values to their record bytes; `base` is the record, or for the
// module step the module's row.
template <unsigned Step>
inline void StorePayload(const unsigned char* payload, unsigned char* base) {
    StoreBytes<Step>(typename MakeIndices<StepBytes(Step)>::type(), payload,
                     base + StepStart(Step));
}

}  // namespace

bool RXP517_T36B2::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    poll_step = rxp::kStepPhases;
    send_command(0);
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
            StorePayload<rxp::kStepPhases>(payload, record);
            poll_step = rxp::kStepAcValue;
            send_command(1);
            return true;
        case rxp::kStepAcValue:
            StorePayload<rxp::kStepAcValue>(payload, record);
            poll_step = rxp::kStepFrequency;
            send_command(2);
            return true;
        case rxp::kStepFrequency:
            StorePayload<rxp::kStepFrequency>(payload, record);
            poll_step = rxp::kStepModule;
            module_index = 1;
            send_command(rxp::kFirstModuleCommand);
            return true;
        case rxp::kStepModule: {
            // The row of the module just queried; module_index is 1..20 here unless the host
            // changed it, and a row outside the record is never written.
            if (module_index >= 1 && module_index <= rxp::kModuleCount) {
                StorePayload<rxp::kStepModule>(
                    payload,
                    record + rxp::kModuleRowsOffset + rxp::kModuleRowSize * (module_index - 1));
            }
            if (module_index < rxp::kModuleCount) {
                ++module_index;  // 1..20
                send_command(rxp::kFirstModuleCommand + module_index - 1);
            } else {
                poll_step = rxp::kStepSwitches;
                send_command(rxp::kSwitchesCommand);
            }
            return true;
        }
        case rxp::kStepSwitches:
            StorePayload<rxp::kStepSwitches>(payload, record);
            poll_step = rxp::kStepDc;
            send_command(rxp::kDcCommand);
            return true;
        case rxp::kStepDc:
            StorePayload<rxp::kStepDc>(payload, record);
            RoundDone();  // poll_step stays 6 until the next RefreshStatus
            return false;
    }
    return true;
}
