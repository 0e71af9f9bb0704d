// The receive target's input format: a sequence of operations on one device, each an op byte
// followed by its operands. The seed corpus is written in it by make_corpus.cpp.
//
//   0x00..0x7F  chunk: the next (op + 1) bytes go to process as one chunk
//   0x80..0xBF  long chunk of ((op & 0x3F) << 8 | next) + 1 bytes: the byte after the length,
//               then the byte after that repeated (reaches the 8192-byte receive limit)
//   0xC0..0xCF  RefreshStatus
//   0xD0..0xDF  Reset (the host drops any partial reception)
//   0xE0..0xEF  the host's own process answer flips: while false, chunks are kept from the device
//   0xF0..0xFF  well-formed reply: the next byte is the payload length L, then L payload bytes;
//               framed from address 1 with code bytes 0 and the right checksum, one chunk
// An operand cut off by the end of the input is taken as far as it goes (missing bytes 0).
#ifndef RXP_FUZZ_RECEIVE_OPS_H
#define RXP_FUZZ_RECEIVE_OPS_H

#include <cstddef>
#include <vector>

namespace rxpfuzz {

const unsigned char kOpChunk = 0x00;
const unsigned char kOpLongChunk = 0x80;
const unsigned char kOpRefresh = 0xC0;
const unsigned char kOpReset = 0xD0;
const unsigned char kOpFlipHostAnswer = 0xE0;
const unsigned char kOpReply = 0xF0;

const std::size_t kMaxChunk = 0x80;
const std::size_t kMaxLongChunk = 0x4000;

// Appends chunk operations carrying `bytes`, cut into pieces of at most kMaxChunk.
inline void AppendChunks(std::vector<unsigned char>& ops, const std::vector<unsigned char>& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += kMaxChunk) {
        const std::size_t n = bytes.size() - at < kMaxChunk ? bytes.size() - at : kMaxChunk;
        ops.push_back(static_cast<unsigned char>(kOpChunk + n - 1));
        ops.insert(ops.end(), bytes.begin() + at, bytes.begin() + at + n);
    }
}

// Appends one long chunk: `first`, then `fill` until the chunk holds `size` bytes.
inline void AppendLongChunk(std::vector<unsigned char>& ops, std::size_t size, unsigned char first,
                            unsigned char fill) {
    const std::size_t n = size - 1;
    ops.push_back(static_cast<unsigned char>(kOpLongChunk | (n >> 8)));
    ops.push_back(static_cast<unsigned char>(n & 0xFF));
    ops.push_back(first);
    ops.push_back(fill);
}

}  // namespace rxpfuzz

#endif  // RXP_FUZZ_RECEIVE_OPS_H
