// The power system's frame format, shared by the device's codec and the simulator.
//
//   ~  body  CR      body: every raw byte as two characters, high four bits + 0x30 then low
//                    four bits + 0x30 ('0'..'9', ':', ';', '<', '=', '>', '?')
//   raw bytes: address, group, command, length L, L data bytes, checksum
//   checksum:  8-bit sum of the characters of every raw byte before it
//
// Command 0x40/0x01 to address 1:  raw 01 40 01 00 86  ->  ~ 0 1 4 0 0 1 0 0 8 6 CR
#ifndef RXP_PROTOCOL_FRAME_H
#define RXP_PROTOCOL_FRAME_H

#include <cstddef>
#include <cstdint>

namespace rxp {
namespace frame {

const unsigned char kStart = 0x7E;
const unsigned char kEnd = 0x0D;
const unsigned char kCharBase = 0x30;

const std::size_t kHeaderBytes = 4;  // address, two code bytes, payload length
const std::size_t kPayloadOffset = kHeaderBytes;
const std::size_t kMaxDataBytes = 255;  // the length byte holds 0..255

// Fixed buffers of the codec.
const std::size_t kRawCommandSize = 512;
const std::size_t kCommandFrameSize = 1024;
const std::size_t kRxBufferSize = 8192;
const std::size_t kDecodedFrameSize = 4096;
const std::size_t kMinFrameChars = 6;  // shortest span treated as a complete frame

// Characters on the line for a frame of L data or payload bytes.
inline std::size_t FrameChars(std::size_t data_bytes) {
    return 2 * data_bytes + 12;
}

inline unsigned char HighChar(unsigned char b) {
    return static_cast<unsigned char>((b >> 4) + kCharBase);
}
inline unsigned char LowChar(unsigned char b) {
    return static_cast<unsigned char>((b & 0x0F) + kCharBase);
}

// The checksum of raw bytes: the 8-bit sum of their characters.
inline unsigned char CharSum(const unsigned char* raw, std::size_t count) {
    unsigned char sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum = static_cast<unsigned char>(sum + HighChar(raw[i]));
        sum = static_cast<unsigned char>(sum + LowChar(raw[i]));
    }
    return sum;
}

// Two received characters back to one byte. Characters are not checked and the low one is not
// masked, so anything outside '0'..'?' changes the byte and in practice fails the checksum.
inline unsigned char DecodePair(unsigned char high, unsigned char low) {
    return static_cast<unsigned char>(((high - kCharBase) * 16) | (low - kCharBase));
}

// Decodes `pairs` character pairs from `chars` into `out`.
inline void DecodePairs(const unsigned char* chars, std::size_t pairs, unsigned char* out) {
    for (std::size_t k = 0; k < pairs; ++k) out[k] = DecodePair(chars[2 * k], chars[2 * k + 1]);
}

// Encodes `count` raw bytes (checksum included) into a frame at `out`, which must hold
// 2 * count + 2 characters; returns the number of characters written.
inline std::size_t EncodeRaw(const unsigned char* raw, std::size_t count, unsigned char* out) {
    std::size_t n = 0;
    out[n++] = kStart;
    for (std::size_t i = 0; i < count; ++i) {
        out[n++] = HighChar(raw[i]);
        out[n++] = LowChar(raw[i]);
    }
    out[n++] = kEnd;
    return n;
}

}  // namespace frame
}  // namespace rxp

#endif  // RXP_PROTOCOL_FRAME_H
