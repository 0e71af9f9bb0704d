// The device's side of the serial link: command frames out, reply frames in.
//
// The receiver is a two-state machine told by rx_count: idle (0) searches each chunk for the
// start character; collecting (> 0) appends each chunk up to its first end character. Every
// buffer is a fixed array; nothing is allocated here.
//
// A reply that arrives whole in one chunk while idle, starting the chunk and made of nothing but
// '0'..'?' up to the end character its length byte places (every reply of a healthy line), is
// decoded where it lies in one pass. Every other chunk takes the general path, which copies,
// searches and decodes character by character; both give the same frames.
#include <cstring>

#include "device/rxp517_t36b2.h"
#include "protocol/frame.h"
#include "protocol/reply_layout.h"

namespace frame = rxp::frame;

rxp::host::SendResult RXP517_T36B2::write_cmd(unsigned char group, unsigned char command) {
    return write_cmd(group, command, nullptr, 0);
}

rxp::host::SendResult RXP517_T36B2::write_cmd(unsigned char group, unsigned char command,
                                              const unsigned char* data, int length) {
    // The length byte holds 0..255; a longer command cannot be framed.
    if (length > static_cast<int>(frame::kMaxDataBytes)) return rxp::host::SendResult();

    // Every byte handed on below is written first; the rest of either buffer is never read, so
    // neither is cleared (the cycle sends 25 commands, and clearing 1.5 KiB for each was the
    // largest single cost of a cycle).
    unsigned char raw[frame::kRawCommandSize];
    unsigned char out[frame::kCommandFrameSize];

    std::size_t data_len = 0;
    raw[0] = device_address;
    raw[1] = group;
    raw[2] = command;
    raw[3] = 0;
    if (length > 0 && data != nullptr) {
        data_len = static_cast<std::size_t>(length);
        raw[3] = static_cast<unsigned char>(data_len);
        std::memcpy(raw + frame::kHeaderBytes, data, data_len);
    }
    const std::size_t body = frame::kHeaderBytes + data_len;
    raw[body] = static_cast<unsigned char>(calc_crc(raw, static_cast<int>(body)));

    const std::size_t chars = frame::EncodeRaw(raw, body + 1, out);
    return SMDSPDevice::SendData(out, static_cast<unsigned int>(chars));
}

bool RXP517_T36B2::send_command(unsigned index) {
    if (command_address != device_address) return send_command_anew(index);
    return SMDSPDevice::SendData(command_frames[index], command_chars[index]);
}

bool RXP517_T36B2::send_command_anew(unsigned index) {
    // Each command's raw bytes: address, group, command, length, [module number], checksum.
    for (unsigned i = 0; i < rxp::kCommandsPerCycle; ++i) {
        const rxp::PollCommand& cmd = rxp::CycleCommand(i);
        unsigned char raw[frame::kHeaderBytes + 2] = {device_address, cmd.group, cmd.command, 0};
        std::size_t body = frame::kHeaderBytes;
        if (cmd.step == rxp::kStepModule) {
            raw[3] = 1;
            raw[body++] = static_cast<unsigned char>(i - rxp::kFirstModuleCommand + 1);
        }
        raw[body] = static_cast<unsigned char>(calc_crc(raw, static_cast<int>(body)));
        command_chars[i] =
            static_cast<std::uint8_t>(frame::EncodeRaw(raw, body + 1, command_frames[i]));
    }
    command_address = device_address;
    return SMDSPDevice::SendData(command_frames[index], command_chars[index]);
}

int RXP517_T36B2::calc_crc(unsigned char* bytes, int length) {
    if (bytes == nullptr || length <= 0) return 0;
    return frame::CharSum(bytes, static_cast<std::size_t>(length));
}

bool RXP517_T36B2::process(unsigned char* data, unsigned int size) {
    if (!SMDSPDevice::process(data, size)) return true;  // the host keeps this chunk from us
    // An empty chunk changes nothing: a frame already ending in CR would have been decoded.
    if (data == nullptr || size == 0) return true;

    // Idle, and the chunk starts a frame whose end character sits where its length byte says:
    //   ~ AA GG CC LL <L payload pairs> SS CR       2 L + 12 characters
    const std::size_t header_chars = 1 + 2 * frame::kHeaderBytes;  // ~ and four pairs
    if (rx_count == 0 && data[0] == frame::kStart && size >= header_chars) {
        const unsigned length = frame::DecodePair(data[header_chars - 2], data[header_chars - 1]);
        const std::size_t chars = frame::FrameChars(length);
        if (chars <= size && data[chars - 1] == frame::kEnd) {
            // The checksum's pair is decoded and summed with the bytes before it, then taken out
            // of the sum. Characters all '0'..'?' mean no end character comes before the one
            // found, so this is the frame the general path would take. Otherwise the general
            // path decodes the chunk afresh; what this attempt left in decoded_frame past the
            // bytes of the frame it finds is never read, like any earlier frame's leftovers.
            const std::size_t checksum_at = frame::kHeaderBytes + length;
            unsigned char sum;
            if (frame::DecodeSummed(data + 1, checksum_at + 1, decoded_frame, &sum)) {
                current_frame = decoded_frame;
                const unsigned char checksum = decoded_frame[checksum_at];
                sum = static_cast<unsigned char>(sum - frame::HighChar(checksum) -
                                                 frame::LowChar(checksum));
                if (sum != checksum) return false;  // corrupt: the polling step stays
                return process_payload();
            }
        }
    }
    return collect(data, size);
}

bool RXP517_T36B2::collect(const unsigned char* data, unsigned int size) {
    // A count the host left outside the buffer cannot be appended to: start over.
    if (rx_count < 0 || static_cast<std::size_t>(rx_count) > frame::kRxBufferSize) {
        Reset();
        return true;
    }

    if (rx_count == 0) {
        // Idle: noise before the start character and bytes after the end character are dropped.
        const unsigned char* start =
            static_cast<const unsigned char*>(std::memchr(data, frame::kStart, size));
        if (start == nullptr) return true;
        const std::size_t rest = static_cast<std::size_t>(data + size - start);
        const unsigned char* end =
            static_cast<const unsigned char*>(std::memchr(start, frame::kEnd, rest));
        const std::size_t take = end != nullptr ? static_cast<std::size_t>(end - start) + 1 : rest;
        if (take > frame::kRxBufferSize) {
            Reset();
            return false;
        }
        std::memcpy(rx_buffer, start, take);
        rx_count += static_cast<std::int32_t>(take);
    } else {
        // Collecting: a start character here is an ordinary byte (no resynchronisation).
        if (static_cast<std::size_t>(rx_count) + size > frame::kRxBufferSize) {
            Reset();
            return true;
        }
        const unsigned char* end =
            static_cast<const unsigned char*>(std::memchr(data, frame::kEnd, size));
        const std::size_t take = end != nullptr ? static_cast<std::size_t>(end - data) + 1 : size;
        std::memcpy(rx_buffer + rx_count, data, take);
        rx_count += static_cast<std::int32_t>(take);
    }

    const std::size_t held = static_cast<std::size_t>(rx_count);
    if (held < frame::kMinFrameChars || rx_buffer[held - 1] != frame::kEnd) return true;

    // Complete: decode the characters between the start and end characters, two per byte; with
    // an odd number of them the last is ignored.
    // held is at least 6 and at most 8192, so 2..4095 bytes, within decoded_frame.
    const std::size_t decoded = (held - 2) / 2;
    frame::DecodePairs(rx_buffer + 1, decoded, decoded_frame);
    rx_count = 0;
    current_frame = decoded_frame;

    // The length byte places the checksum. A checksum at or past the bytes decoded from this
    // frame would be compared with leftovers of an earlier frame: drop the frame instead.
    if (decoded <= frame::kHeaderBytes) return false;
    const std::size_t length = current_frame[3];
    const std::size_t checksum_at = frame::kHeaderBytes + length;
    if (checksum_at >= decoded) return false;
    if (calc_crc(current_frame, static_cast<int>(checksum_at)) != current_frame[checksum_at]) {
        return false;  // corrupt frame: dropped silently, the polling step stays
    }
    return process_payload();
}
