// Writes the receive target's seed inputs to a folder: the replies of a real cycle from the power
// system model, whole and cut into chunks the way a serial port hands them over, with noise, a
// restarted cycle, overflows, chunks the host keeps to itself and a reply whose checksum would
// lie just past its bytes.
//   usage: fuzz_make_corpus FOLDER
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/receive_ops.h"
#include "tests/support/power_model.h"

namespace {

using rxptest::Bytes;
using rxptest::PowerModel;

// A reply cut into chunks of the given sizes in turn (the last one takes the rest).
void AppendSplit(Bytes& ops, const Bytes& reply, const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < reply.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], reply.size() - at);
        rxpfuzz::AppendChunks(ops, Bytes(reply.begin() + at, reply.begin() + at + n));
        at += n;
    }
}

Bytes WholeCycle(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 25; ++i) rxpfuzz::AppendChunks(ops, model.Reply(i));
    return ops;
}

// Every reply in pieces of 1, 2, 3, 5, 8 and 13 characters, splits falling inside byte pairs.
Bytes SplitCycle(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 25; ++i) AppendSplit(ops, model.Reply(i), {1, 2, 3, 5, 8, 13});
    return ops;
}

// Line noise before each start character and after each end character, in the same chunk.
Bytes NoisyCycle(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 25; ++i) {
        Bytes chunk{0x00, 0x31, 0xFF};
        const Bytes reply = model.Reply(i);
        chunk.insert(chunk.end(), reply.begin(), reply.end());
        chunk.insert(chunk.end(), {0x7E, 0x30, 0x0D});
        rxpfuzz::AppendChunks(ops, chunk);
    }
    return ops;
}

// A cycle restarted in the module loop, then completed; the last reply arrives twice.
Bytes RestartedCycle(const PowerModel& first, const PowerModel& second) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 8; ++i) rxpfuzz::AppendChunks(ops, first.Reply(i));
    ops.push_back(rxpfuzz::kOpRefresh);
    for (int i = 0; i < 25; ++i) rxpfuzz::AppendChunks(ops, second.Reply(i));
    rxpfuzz::AppendChunks(ops, second.Reply(24));
    return ops;
}

// A start character followed by more than 8192 characters, then a half frame that grows past
// the limit; the host's Reset; a corrupt reply; the cycle then goes on.
Bytes OverflowingCycle(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 3; ++i) rxpfuzz::AppendChunks(ops, model.Reply(i));
    rxpfuzz::AppendLongChunk(ops, 8193, 0x7E, 0x30);
    rxpfuzz::AppendChunks(ops, {0x7E, 0x30, 0x31});
    rxpfuzz::AppendLongChunk(ops, 8190, 0x30, 0x30);
    Bytes half = model.Reply(3);
    half.resize(half.size() / 2);
    rxpfuzz::AppendChunks(ops, half);
    ops.push_back(rxpfuzz::kOpReset);
    Bytes corrupt = model.Reply(3);
    corrupt[5] ^= 0x01;
    rxpfuzz::AppendChunks(ops, corrupt);
    for (int i = 3; i < 25; ++i) rxpfuzz::AppendChunks(ops, model.Reply(i));
    return ops;
}

// Replies the host keeps to itself are lost; the cycle resumes when it hands them over again.
Bytes KeptByHost(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    rxpfuzz::AppendChunks(ops, model.Reply(0));
    ops.push_back(rxpfuzz::kOpFlipHostAnswer);
    rxpfuzz::AppendChunks(ops, model.Reply(1));
    ops.push_back(rxpfuzz::kOpFlipHostAnswer);
    for (int i = 1; i < 25; ++i) rxpfuzz::AppendChunks(ops, model.Reply(i));
    return ops;
}

// Well-formed replies built by the target itself, one per command of a cycle.
Bytes FramedCycle(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    for (int i = 0; i < 25; ++i) {
        const Bytes payload = model.Payload(i);
        ops.push_back(rxpfuzz::kOpReply);
        ops.push_back(static_cast<unsigned char>(payload.size()));
        ops.insert(ops.end(), payload.begin(), payload.end());
    }
    return ops;
}

// A reply whose length byte is exactly one too large: the reply without its checksum pair, so
// that the byte its length byte places the checksum at lies just past the decoded bytes. Right
// before it the same reply came with one payload character changed and was dropped, leaving its
// checksum, the very one that fits, in the decoder's buffer just there. The frame must be
// dropped, not checked against that leftover; the cycle then goes on.
Bytes ChecksumPastTheFrame(const PowerModel& model) {
    Bytes ops{rxpfuzz::kOpRefresh};
    Bytes corrupt = model.Reply(0);
    corrupt[10] ^= 0x01;
    rxpfuzz::AppendChunks(ops, corrupt);
    Bytes cut = model.Reply(0);
    cut.erase(cut.end() - 3, cut.end() - 1);
    rxpfuzz::AppendChunks(ops, cut);
    for (int i = 0; i < 25; ++i) rxpfuzz::AppendChunks(ops, model.Reply(i));
    return ops;
}

bool Write(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\nwrites the receive fuzz target's seed inputs\n",
                     argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const PowerModel model = PowerModel::Distinct(1);
    const PowerModel other = PowerModel::Distinct(2);
    const struct {
        const char* name;
        Bytes ops;
    } seeds[] = {
        {"cycle_whole", WholeCycle(model)},
        {"cycle_split", SplitCycle(model)},
        {"cycle_noisy", NoisyCycle(model)},
        {"cycle_restarted", RestartedCycle(model, other)},
        {"cycle_overflowing", OverflowingCycle(model)},
        {"cycle_kept_by_host", KeptByHost(model)},
        {"cycle_framed", FramedCycle(other)},
        {"checksum_past_the_frame", ChecksumPastTheFrame(model)},
    };
    for (const auto& seed : seeds) {
        const std::string path = dir + "/" + seed.name;
        if (!Write(path, seed.ops)) {
            std::fprintf(stderr, "%s: cannot write\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
