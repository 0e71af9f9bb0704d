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
#include <cstring>
#include <type_traits>

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
constexpr std::size_t FrameChars(std::size_t data_bytes) {
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

// The machine word the decoder reads the line a word at a time in: 8 characters on x86-64, 4
// on the controller.
typedef std::conditional<sizeof(void*) == 8, std::uint64_t, std::uint32_t>::type LineWord;

// The characters at `p` as one word, the first in the lowest byte; the compiler makes it one
// load where the CPU can load a word from any address (lwl/lwr on the controller).
inline std::uint64_t LoadChars(const unsigned char* p, std::uint64_t) {
    return std::uint64_t(p[0]) | std::uint64_t(p[1]) << 8 | std::uint64_t(p[2]) << 16 |
           std::uint64_t(p[3]) << 24 | std::uint64_t(p[4]) << 32 | std::uint64_t(p[5]) << 40 |
           std::uint64_t(p[6]) << 48 | std::uint64_t(p[7]) << 56;
}
inline std::uint32_t LoadChars(const unsigned char* p, std::uint32_t) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Writes the low bytes of a word's 16-bit lanes (four or two) to `out`, in order. The high
// bytes must be zero.
inline void StoreLaneBytes(std::uint64_t word, unsigned char* out) {
    const std::uint64_t v = word | (word >> 8);  // lanes 0, 1 in bytes 0, 1; lanes 2, 3 in 4, 5
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const std::uint16_t first = static_cast<std::uint16_t>(v);
    const std::uint16_t second = static_cast<std::uint16_t>(v >> 32);
    std::memcpy(out, &first, sizeof(first));  // two 16-bit stores
    std::memcpy(out + 2, &second, sizeof(second));
#else
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 32);
    out[3] = static_cast<unsigned char>(v >> 40);
#endif
}
inline void StoreLaneBytes(std::uint32_t word, unsigned char* out) {
    out[0] = static_cast<unsigned char>(word);
    out[1] = static_cast<unsigned char>(word >> 16);
}

// One machine word of characters, each pair decoded: the four bits of the high character then
// those of the low one in the low byte of every 16-bit lane, the high byte zero. The sum of those
// halves is added to `lanes`, and every character is folded into `any` (OR) and `all` (AND).
inline LineWord DecodeWord(LineWord w, LineWord* lanes, LineWord* any, LineWord* all) {
    const LineWord lane_halves = ~LineWord(0) / 0xFFFF * 0x0F;  // 0x000F in every lane
    *any |= w;
    *all &= w;
    const LineWord high = w & lane_halves;
    const LineWord low = (w >> 8) & lane_halves;
    *lanes += high + low;
    return (high << 4) | low;
}

// Decodes the first `pairs` character pairs of a frame body into `out` and sums their
// characters, a machine word of characters at a time. When every character is '0'..'?' the
// result is true and both agree with DecodePairs and with CharSum over the decoded bytes (each
// byte's characters are its two halves + 0x30). Otherwise the result is false and neither `out`
// nor `sum` is to be used: the caller decodes those pairs one by one. At most 2048 pairs (the
// sums are kept in 16-bit lanes); a frame's checksum follows at most 259 bytes.
inline bool DecodeSummed(const unsigned char* chars, std::size_t pairs, unsigned char* out,
                         unsigned char* sum) {
    typedef LineWord Word;
    const Word ones = ~Word(0) / 0xFF;  // 0x01 in every byte
    const Word high_halves = ones * 0xF0;
    const Word in_range = ones * kCharBase;  // the upper four bits of '0'..'?'
    Word any = in_range;                     // OR of every character, in each byte
    Word all = in_range | ones * 0x0F;       // AND of every character, in each byte
    Word lanes = 0;
    const std::size_t count = 2 * pairs;
    if (count >= sizeof(Word)) {
        const unsigned char* const end = chars + count;
        for (; chars + sizeof(Word) <= end; chars += sizeof(Word), out += sizeof(Word) / 2) {
            const Word w = LoadChars(chars, Word());
            StoreLaneBytes(DecodeWord(w, &lanes, &any, &all), out);
        }
        if (chars != end) {
            // The last word ends with the last pair and takes again pairs already decoded: they
            // are decoded to the same bytes, and left out of the sum.
            const std::size_t again = sizeof(Word) - static_cast<std::size_t>(end - chars);
            const Word w = LoadChars(end - sizeof(Word), Word());
            const Word before = lanes;
            StoreLaneBytes(DecodeWord(w, &lanes, &any, &all), out - again / 2);
            lanes = before + ((lanes - before) & (~Word(0) << (8 * again)));
        }
        // The 16-bit lanes summed into the top one (no lane is near overflowing).
        const unsigned total =
            static_cast<unsigned>((lanes * (~Word(0) / 0xFFFF)) >> (8 * sizeof(Word) - 16));
        *sum = static_cast<unsigned char>(total + 2 * kCharBase * pairs);
        return (any & high_halves) == in_range && (all & high_halves) == in_range;
    }
    unsigned total = 0;
    for (std::size_t k = 0; k < pairs; ++k, chars += 2) {
        any |= (chars[0] | chars[1]) * ones;
        all &= (chars[0] & chars[1]) * ones;
        total += chars[0] + chars[1];
        out[k] = static_cast<unsigned char>(((chars[0] & 0x0F) << 4) | (chars[1] & 0x0F));
    }
    *sum = static_cast<unsigned char>(total);
    return (any & high_halves) == in_range && (all & high_halves) == in_range;
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
