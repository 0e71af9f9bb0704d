// Fuzz target: the receive path. The input is a sequence of operations (receive_ops.h) on one
// device with a recording host. After every operation the device is compared with what the host
// side knows from the bytes it handed over, worked out here independently of the device's codec:
//   - rx_count stays within the 8192-byte receive buffer and equals the characters of the frame
//     still being collected;
//   - a publication happens only on an accepted reply to the cycle's 25th command, after 25
//     accepted replies in the cycle, at most one per operation;
//   - record bytes 4..281 hold exactly the values of the accepted replies, each stored by a good
//     frame of the step it answered, so no byte is ever published that was not received;
//   - process answers as the line warrants, and the commands sent are the cycle's, in order.
// Any violation aborts, and libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/rxp517_t36b2.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/receive_ops.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"

namespace {

using rxptest::Bytes;
using rxptest::PowerModel;

const std::size_t kReceiveLimit = 8192;
const std::size_t kRecordSize = 289;
const int kCommandsPerCycle = 25;
const unsigned char kStartChar = 0x7E;
const unsigned char kEndChar = 0x0D;

// What one chunk did on the line, as the host side works it out.
enum class LineEvent { kNothing, kOverflowIdle, kOverflowCollecting, kBadFrame, kGoodFrame };

// The receiving rules of the link: idle until a start character, then collecting up to an end
// character, never more than 8192 characters; a complete frame of at least 6 characters is
// decoded two characters a byte and good when the checksum placed by its length byte lies
// within the decoded bytes and matches the sum of the characters of the bytes before it.
class LineModel {
public:
    LineEvent Feed(const unsigned char* data, std::size_t size, Bytes& frame) {
        if (size == 0) return LineEvent::kNothing;
        const unsigned char* end_of_chunk = data + size;
        if (held_.empty()) {
            const unsigned char* start = std::find(data, end_of_chunk, kStartChar);
            if (start == end_of_chunk) return LineEvent::kNothing;
            const unsigned char* end = std::find(start, end_of_chunk, kEndChar);
            const unsigned char* stop = end == end_of_chunk ? end : end + 1;
            if (static_cast<std::size_t>(stop - start) > kReceiveLimit) {
                held_.clear();
                return LineEvent::kOverflowIdle;
            }
            held_.assign(start, stop);
        } else {
            if (held_.size() + size > kReceiveLimit) {
                held_.clear();
                return LineEvent::kOverflowCollecting;
            }
            const unsigned char* end = std::find(data, end_of_chunk, kEndChar);
            held_.insert(held_.end(), data, end == end_of_chunk ? end : end + 1);
        }
        if (held_.size() < 6 || held_.back() != kEndChar) return LineEvent::kNothing;

        frame.clear();
        for (std::size_t i = 1; i + 2 < held_.size(); i += 2) {
            // Characters outside '0'..'?' wrap around like any other byte value.
            const unsigned high = static_cast<unsigned>(held_[i]) - 0x30u;
            const unsigned low = static_cast<unsigned>(held_[i + 1]) - 0x30u;
            frame.push_back(static_cast<unsigned char>((high << 4 | low) & 0xFF));
        }
        held_.clear();
        if (frame.size() < 5) return LineEvent::kBadFrame;
        const std::size_t checksum_at = 4 + frame[3];
        if (checksum_at >= frame.size()) return LineEvent::kBadFrame;
        unsigned sum = 0;
        for (std::size_t i = 0; i < checksum_at; ++i)
            sum += (frame[i] >> 4) + (frame[i] & 15) + 0x60;
        return (sum & 0xFF) == frame[checksum_at] ? LineEvent::kGoodFrame : LineEvent::kBadFrame;
    }

    void Drop() { held_.clear(); }
    std::size_t held() const { return held_.size(); }

private:
    Bytes held_;
};

std::uint16_t Be16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t Be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(Be16(p)) << 16 | Be16(p + 2);
}

// Payload bytes the reply to command `index` of a cycle carries.
std::size_t PayloadBytes(int index) {
    if (index == 0) return 15;
    if (index == 1) return 2;
    if (index == 2) return 1;
    if (index <= 22) return 11;
    if (index == 23) return 5;
    return 55;
}

// The power system's values carried by the reply to command `index`, read as it writes them.
void ReadReply(int index, const unsigned char* p, PowerModel& m) {
    if (index == 0) {
        for (int ph = 0; ph < 3; ++ph) {
            m.phase_value[ph][0] = Be16(p + 5 * ph);
            m.phase_value[ph][1] = Be16(p + 5 * ph + 2);
            m.phase_status[ph] = p[5 * ph + 4];
        }
    } else if (index == 1) {
        m.ac_value = Be16(p);
    } else if (index == 2) {
        m.ac_frequency_state = p[0];
    } else if (index <= 22) {
        PowerModel::Module& mod = m.modules[index - 3];
        for (int v = 0; v < 4; ++v) mod.value[v] = Be16(p + 1 + 2 * v);
        mod.status = p[9];
        mod.extra = p[10];
    } else if (index == 23) {
        m.breaker1_state = p[0];
        m.breaker2_state = p[1];
        m.lightning_switch_state = p[2];
        m.dc_switch_value = Be16(p + 3);
    } else {
        for (int i = 0; i < 5; ++i) m.dc_value[i] = Be16(p + 2 * i);
        m.dc_byte_value = p[10];
        m.dc_value[5] = Be16(p + 11);
        for (int i = 0; i < 6; ++i) m.dc_status[i] = p[13 + i];
        for (int i = 6; i < 10; ++i) m.dc_value[i] = Be16(p + 19 + 2 * (i - 6));
        for (int i = 0; i < 4; ++i) m.dc_long[i] = Be32(p + 27 + 4 * i);
        for (int i = 10; i < 16; ++i) m.dc_value[i] = Be16(p + 43 + 2 * (i - 10));
    }
}

// The device's poll_step while the reply to command `index` is awaited (-1: no cycle yet).
int StepOf(int index) {
    if (index < 0) return 0;
    if (index <= 2) return index + 1;
    if (index <= 22) return 4;
    return index - 18;
}

// The recording host, except that alarm evaluations are counted and their numbering checked
// rather than stored: keeping 139 texts a cycle would slow the search down for nothing.
class CountingAlarmsHost : public rxptest::RecordingHost {
public:
    bool OnCheckThresholdBool(SMDVDevice&, int kind, const std::string&, const std::string&,
                              const std::string&, const std::string&, bool,
                              unsigned short ordinal) override {
        FUZZ_CHECK(kind == 1, "every rule is handed over as kind 1");
        FUZZ_CHECK(ordinal == evaluations % 139 + 1, "a pass numbers its rules 1 to 139");
        ++evaluations;
        return false;
    }
    std::size_t evaluations = 0;
};

// Bytes handed to process per input at most: long chunks make a few input bytes into 16 KiB,
// and the search should spend its time on sequences, not on volume.
const std::size_t kMaxBytesPerInput = 1 << 16;

class ReceiveRun {
public:
    ReceiveRun() : device_(new RXP517_T36B2), guard_(*device_, host_) {}

    void Run(const std::uint8_t* data, std::size_t size) {
        std::size_t at = 0;
        auto next = [&]() -> unsigned char { return at < size ? data[at++] : 0; };
        while (at < size && fed_ <= kMaxBytesPerInput) {
            const unsigned char op = next();
            Before();
            if (op < rxpfuzz::kOpLongChunk) {
                const std::size_t n = std::min<std::size_t>(op + 1u, size - at);
                Bytes chunk(data + at, data + at + n);
                at += n;
                Feed(chunk);
            } else if (op < rxpfuzz::kOpRefresh) {
                const std::size_t high = op & 0x3F;
                const std::size_t n = (high << 8 | next()) + 1;
                const unsigned char first = next();
                Bytes chunk(n, next());
                chunk[0] = first;
                Feed(chunk);
            } else if (op < rxpfuzz::kOpReset) {
                Refresh();
            } else if (op < rxpfuzz::kOpFlipHostAnswer) {
                device_->Reset();
                line_.Drop();
                Check(false);
            } else if (op < rxpfuzz::kOpReply) {
                host_.process_answer = !host_.process_answer;
                Check(false);
            } else {
                const unsigned char length = next();
                Bytes raw{0x01, 0x00, 0x00, length};
                for (unsigned i = 0; i < length; ++i) raw.push_back(next());
                Feed(rxptest::EncodeFrame(raw));
            }
        }
    }

private:
    void Before() {
        sent_before_ = host_.sent.size();
        published_before_ = host_.published.size();
        console_.str(std::string());
    }

    void Refresh() {
        FUZZ_CHECK(device_->RefreshStatus(), "RefreshStatus answers true");
        awaited_ = 0;
        accepted_in_cycle_ = 0;
        Check(true);
    }

    void Feed(Bytes chunk) {
        fed_ += chunk.size();
        // The device may write into the chunk it is handed; the model reads its own copy.
        const Bytes copy = chunk;
        const bool answer = device_->process(chunk.data(), static_cast<unsigned int>(chunk.size()));
        bool expected = true;
        bool sends = false;
        if (host_.process_answer) {
            Bytes frame;
            switch (line_.Feed(copy.data(), copy.size(), frame)) {
                case LineEvent::kNothing:
                case LineEvent::kOverflowCollecting:
                    break;
                case LineEvent::kOverflowIdle:
                case LineEvent::kBadFrame:
                    expected = false;
                    break;
                case LineEvent::kGoodFrame:
                    if (awaited_ < 0) break;  // no cycle under way: ignored
                    // A reply too short for the awaited command is dropped like a corrupt one.
                    if (frame[3] < PayloadBytes(awaited_)) {
                        expected = false;
                        break;
                    }
                    ReadReply(awaited_, frame.data() + 4, line_values_);
                    ++accepted_in_cycle_;
                    if (awaited_ + 1 < kCommandsPerCycle) {
                        ++awaited_;
                        sends = true;
                    } else {
                        ++expected_publications_;
                        expected = false;
                    }
                    break;
            }
        }
        FUZZ_CHECK(answer == expected, "process answers as the line warrants");
        Check(sends);
    }

    // The invariants after one operation; `sends` tells whether the awaited command was sent.
    void Check(bool sends) {
        FUZZ_CHECK(
            device_->rx_count >= 0 && static_cast<std::size_t>(device_->rx_count) <= kReceiveLimit,
            "rx_count within the receive buffer");
        FUZZ_CHECK(static_cast<std::size_t>(device_->rx_count) == line_.held(),
                   "rx_count counts the characters of the frame being collected");
        FUZZ_CHECK(device_->poll_step == StepOf(awaited_), "the step follows the accepted replies");

        FUZZ_CHECK(host_.sent.size() == sent_before_ + (sends ? 1 : 0),
                   "one command per accepted reply or RefreshStatus, none otherwise");
        if (sends) {
            FUZZ_CHECK(host_.sent.back() == rxptest::ExpectedCommand(awaited_),
                       "the cycle's next command");
        }

        const std::size_t published = host_.published.size();
        FUZZ_CHECK(published - published_before_ <= 1, "at most one publication per operation");
        FUZZ_CHECK(published == expected_publications_,
                   "a publication exactly for each accepted reply to the 25th command");
        if (published > published_before_) {
            FUZZ_CHECK(accepted_in_cycle_ >= kCommandsPerCycle,
                       "25 accepted replies in the cycle before it is published");
            const rxptest::Publication& p = host_.published.back();
            FUZZ_CHECK(p.data_id == 5112 && p.record.size() == kRecordSize && !p.urgent,
                       "the record is published under 5112 with its 289 bytes");
            FUZZ_CHECK(std::equal(p.record.begin() + 4, p.record.begin() + 282,
                                  expected_record().begin() + 4),
                       "the published record holds only received values");
            FUZZ_CHECK(host_.stored.size() == published && host_.stored.back() == p.record,
                       "the published record is stored");
            FUZZ_CHECK(host_.evaluations == 139 * published, "139 alarm evaluations a cycle");
            FUZZ_CHECK(console_.str() == "rvSize is 0\n", "one rvSize line per cycle");
        } else {
            FUZZ_CHECK(console_.str().empty(), "no console output without a publication");
        }

        const unsigned char* record = reinterpret_cast<const unsigned char*>(&device_->record());
        const Bytes expected = expected_record();
        FUZZ_CHECK(std::equal(record, record + 282, expected.begin()),
                   "record bytes 4..281 change only through good frames of the awaited step");
    }

    Bytes expected_record() const { return line_values_.ExpectedRecord(0); }

public:
    static std::ostringstream console_;

private:
    CountingAlarmsHost host_;
    std::unique_ptr<RXP517_T36B2> device_;
    rxptest::ObserverGuard guard_;
    LineModel line_;
    PowerModel line_values_{};  // the values of every accepted reply so far
    int awaited_ = -1;          // command of the cycle whose reply is awaited
    int accepted_in_cycle_ = 0;
    std::size_t expected_publications_ = 0;
    std::size_t sent_before_ = 0;
    std::size_t published_before_ = 0;
    std::size_t fed_ = 0;
};

std::ostringstream ReceiveRun::console_;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // RoundDone's console line is checked, not printed.
    std::cout.rdbuf(ReceiveRun::console_.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReceiveRun run;
    run.Run(data, size);
    return 0;
}
