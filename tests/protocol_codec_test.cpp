// The frame codec: command frames on the line, and reply frames collected from chunks in every
// way a serial line can deliver them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/rxp517_t36b2.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"

using rxptest::Bytes;
using rxptest::FromHex;
using rxptest::FromText;
using rxptest::RecordingHost;

namespace {

// Exposes the codec's state for inspection.
class CodecDevice : public RXP517_T36B2 {
public:
    using RXP517_T36B2::decoded_frame;
    using RXP517_T36B2::module_index;
    using RXP517_T36B2::process_payload;
    using RXP517_T36B2::rx_buffer;

    bool Feed(const Bytes& chunk) {
        Bytes copy = chunk;
        return process(copy.data(), static_cast<unsigned int>(copy.size()));
    }
    Bytes Record() const {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&record());
        return Bytes(p, p + sizeof(RXP517_T36B2_Data_t));
    }
};

class CodecTest : public ::testing::Test {
protected:
    CodecTest() : device_(new CodecDevice), guard_(*device_, host_) {}

    RecordingHost host_;
    std::unique_ptr<CodecDevice> device_;
    rxptest::ObserverGuard guard_;
};

// ---- sending ---------------------------------------------------------------------------------

TEST_F(CodecTest, CommandWithoutDataIsTwelveCharacters) {
    ASSERT_TRUE(device_->write_cmd(0x40, 0x01));
    ASSERT_EQ(host_.sent.size(), 1u);
    EXPECT_EQ(host_.sent[0], FromHex("7E 30 31 34 30 30 31 30 30 38 36 0D"));
}

TEST_F(CodecTest, CommandWithOneDataByte) {
    const unsigned char module = 0x01;
    device_->write_cmd(0x41, 0x0E, &module, 1);
    ASSERT_EQ(host_.sent.size(), 1u);
    Bytes expected = FromText("~01410>0101?6");
    expected.push_back(0x0D);
    EXPECT_EQ(host_.sent[0], expected);
}

TEST_F(CodecTest, ChecksumIsTheSumOfTheCharacters) {
    device_->write_cmd(0x42, 0x15);
    const Bytes& frame = host_.sent.at(0);
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame[9], '8');
    EXPECT_EQ(frame[10], '=');
    unsigned char raw[] = {0x01, 0x42, 0x15, 0x00};
    EXPECT_EQ(device_->calc_crc(raw, 4), 0x8D);
}

TEST_F(CodecTest, CommandGoesToTheDeviceAddress) {
    device_->device_address = 0xA7;
    device_->write_cmd(0x40, 0x02);
    EXPECT_EQ(host_.sent.at(0), rxptest::EncodeFrame(FromHex("A7 40 02 00")));
}

TEST_F(CodecTest, DataIsSentOnlyWhenPresentAndLengthPositive) {
    const unsigned char data[] = {0x05, 0x06};
    device_->write_cmd(0x41, 0x0E, nullptr, 2);
    device_->write_cmd(0x41, 0x0E, data, 0);
    device_->write_cmd(0x41, 0x0E, data, -3);
    device_->write_cmd(0x41, 0x0E, data, 2);
    ASSERT_EQ(host_.sent.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(host_.sent[i], rxptest::EncodeFrame(FromHex("01 41 0E 00"))) << i;
    }
    EXPECT_EQ(host_.sent[3], rxptest::EncodeFrame(FromHex("01 41 0E 02 05 06")));
}

TEST_F(CodecTest, LongestCommandFitsAndLongerIsRefused) {
    Bytes data(256, 0xAB);
    EXPECT_FALSE(device_->write_cmd(0x42, 0x16, data.data(), 256));
    EXPECT_TRUE(host_.sent.empty());

    EXPECT_TRUE(device_->write_cmd(0x42, 0x16, data.data(), 255));
    Bytes raw{0x01, 0x42, 0x16, 0xFF};
    raw.insert(raw.end(), data.begin(), data.begin() + 255);
    ASSERT_EQ(host_.sent.size(), 1u);
    EXPECT_EQ(host_.sent[0].size(), 2u * 255 + 12);
    EXPECT_EQ(host_.sent[0], rxptest::EncodeFrame(raw));
}

// ---- receiving -------------------------------------------------------------------------------

// A reply while poll_step is 2 (awaiting 0x40/0x02): payload 01 F4.
const char kAcValueReply[] = "~0100000201?457\r";

TEST_F(CodecTest, ReplyDecodesToPayloadAndStoresIt) {
    device_->poll_step = 2;
    EXPECT_TRUE(device_->Feed(FromText(kAcValueReply)));
    EXPECT_EQ(Bytes(device_->decoded_frame, device_->decoded_frame + 7),
              FromHex("01 00 00 02 01 F4 57"));
    const Bytes rec = device_->Record();
    EXPECT_EQ(rec[19], 0xF4);
    EXPECT_EQ(rec[20], 0x01);
    EXPECT_EQ(device_->poll_step, 3);
    ASSERT_EQ(host_.sent.size(), 1u);
    EXPECT_EQ(host_.sent[0], rxptest::ExpectedCommand(2));
    EXPECT_EQ(device_->rx_count, 0);
}

TEST_F(CodecTest, CharactersAboveNineDecodeWithoutLetters) {
    // '1' 'A' is 0x11 (0x41 - 0x30 = 0x11 spills into the high half), not 0x1A.
    device_->poll_step = 0;
    device_->Feed(FromText("~01000001"));
    device_->Feed(FromText("1A00\r"));
    EXPECT_EQ(device_->decoded_frame[4], 0x11);
}

TEST_F(CodecTest, NoiseAroundAFrameIsDropped) {
    device_->poll_step = 2;
    Bytes chunk = FromText("noise\r\x01");
    Bytes frame = FromText(kAcValueReply);
    chunk.insert(chunk.end(), frame.begin(), frame.end());
    Bytes tail = FromText("0123~\r");
    chunk.insert(chunk.end(), tail.begin(), tail.end());
    EXPECT_TRUE(device_->Feed(chunk));
    EXPECT_EQ(device_->poll_step, 3);
    EXPECT_EQ(device_->rx_count, 0);  // the bytes after CR were not kept
}

TEST_F(CodecTest, ChunkWithoutStartWhileIdleChangesNothing) {
    device_->poll_step = 2;
    EXPECT_TRUE(device_->Feed(FromText("0100000201?457\r")));
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_TRUE(host_.sent.empty());
}

// Fewer than six characters are not a frame, even when they end in CR: "~00" CR is kept and the
// next chunk is appended behind it ("~00\r~0100..." then decodes shifted and fails its checksum).
TEST_F(CodecTest, FewerThanSixCharactersEndingInCarriageReturnAreNotYetAFrame) {
    for (const char* start : {"~\r", "~0\r", "~00\r", "~000\r"}) {
        device_->poll_step = 2;
        const Bytes chunk = FromText(start);
        EXPECT_TRUE(device_->Feed(chunk)) << start;
        EXPECT_EQ(device_->rx_count, static_cast<int>(chunk.size())) << start;
        EXPECT_FALSE(device_->Feed(FromText(kAcValueReply))) << start;
        EXPECT_EQ(device_->rx_count, 0) << start;
        EXPECT_EQ(device_->poll_step, 2) << start;
    }
}

// The low character is not masked to four bits: '0' 'A' is 0x11 (0x41 - 0x30 spills into the
// high half), where a masked reading gives 0x01. The checksum is that of the byte 0x11, so only
// the unmasked reading takes the frame.
TEST_F(CodecTest, LowCharacterIsNotMaskedToFourBits) {
    device_->poll_step = 2;
    Bytes frame = rxptest::EncodeFrame(FromHex("01 40 02 02 11 22"));
    ASSERT_EQ(frame[9], '1');  // payload byte 0: characters 9 and 10
    ASSERT_EQ(frame[10], '1');
    frame[9] = '0';
    frame[10] = 'A';
    EXPECT_TRUE(device_->Feed(frame));
    EXPECT_EQ(device_->decoded_frame[4], 0x11);
    const Bytes rec = device_->Record();
    EXPECT_EQ(rec[19], 0x22);
    EXPECT_EQ(rec[20], 0x11);
    EXPECT_EQ(device_->poll_step, 3);
}

// A receive count the host left outside the buffer is never used as a place to copy to: the
// codec has the host reset its reception and drops the chunk.
TEST_F(CodecTest, CountLeftOutsideTheBufferStartsReceptionOver) {
    for (int count : {-1, -4096, 8193}) {
        host_.Clear();
        device_->poll_step = 2;
        device_->rx_count = count;
        std::memset(device_->rx_buffer, 0, sizeof(device_->rx_buffer));
        EXPECT_TRUE(device_->Feed(FromText(kAcValueReply))) << count;
        EXPECT_EQ(host_.calls, (std::vector<std::string>{"process", "Reset"})) << count;
        EXPECT_EQ(device_->rx_count, 0) << count;
        EXPECT_EQ(device_->poll_step, 2) << count;
        EXPECT_EQ(device_->Record(), Bytes(289, 0)) << count;
    }
}

TEST_F(CodecTest, WrongChecksumDropsTheFrameAndLeavesTheCodecIdle) {
    device_->poll_step = 2;
    EXPECT_FALSE(device_->Feed(FromText("~0100000201?458\r")));
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_EQ(device_->Record(), Bytes(289, 0));
    // The next chunk is searched for a start character again.
    EXPECT_TRUE(device_->Feed(FromText("zz" + std::string(kAcValueReply))));
    EXPECT_EQ(device_->poll_step, 3);
}

TEST_F(CodecTest, CutOffFrameIsNotResynchronisedOnTheNextStart) {
    device_->poll_step = 2;
    EXPECT_TRUE(device_->Feed(FromText("~01000002")));
    // The new frame's characters, its ~ included, are appended to the cut-off one.
    EXPECT_FALSE(device_->Feed(FromText(kAcValueReply)));
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_TRUE(device_->Feed(FromText(kAcValueReply)));
    EXPECT_EQ(device_->poll_step, 3);
}

TEST_F(CodecTest, HostRefusingTheChunkMeansItIsNotLookedAt) {
    device_->poll_step = 2;
    host_.process_answer = false;
    EXPECT_TRUE(device_->Feed(FromText(kAcValueReply)));
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_EQ(device_->poll_step, 2);
}

// Frames that would make the decoder use bytes this frame did not carry are dropped.
TEST_F(CodecTest, ChecksumPlacedBeyondTheDecodedBytesDropsTheFrame) {
    // Leave a frame in the decode buffer whose bytes would match at the far position.
    device_->poll_step = 2;
    ASSERT_TRUE(device_->Feed(FromText(kAcValueReply)));
    ASSERT_EQ(device_->poll_step, 3);
    host_.sent.clear();

    // Length byte 2, but only 5 bytes decoded: the checksum would sit at byte 6.
    const Bytes raw = FromHex("01 00 00 02 01");
    Bytes frame{0x7E};
    for (unsigned char b : raw) {
        frame.push_back(static_cast<unsigned char>('0' + (b >> 4)));
        frame.push_back(static_cast<unsigned char>('0' + (b & 15)));
    }
    frame.push_back(0x0D);
    device_->poll_step = 2;
    EXPECT_FALSE(device_->Feed(frame));
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_EQ(device_->rx_count, 0);

    // Exactly at the end of the decoded bytes is dropped too.
    EXPECT_FALSE(device_->Feed(rxptest::EncodeFrame(FromHex("01 00 00 03 01 F4"))));
    EXPECT_EQ(device_->poll_step, 2);
}

// A frame whose checksum would sit exactly at the end of the bytes it decodes to: the byte there
// is left from a longer frame before, and here it is that checksum. The frame is dropped all
// the same.
TEST_F(CodecTest, ChecksumAtTheEndOfTheDecodedBytesIsNeverTakenFromTheFrameBefore) {
    // A reply to 0x40/0x02 with its checksum: 7 bytes decoded, the checksum the last.
    const Bytes whole = rxptest::EncodeFrame(FromHex("01 40 02 02 01 F4"));
    device_->poll_step = 2;
    ASSERT_TRUE(device_->Feed(whole));
    ASSERT_EQ(device_->poll_step, 3);
    host_.sent.clear();

    // The same frame without the checksum's two characters: 6 bytes decoded, and the length
    // byte places the checksum at byte 6, where the frame before left its checksum.
    Bytes cut(whole.begin(), whole.end() - 3);
    cut.push_back(0x0D);
    device_->poll_step = 2;
    EXPECT_FALSE(device_->Feed(cut));
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_TRUE(host_.sent.empty());
}

TEST_F(CodecTest, FrameTooShortToHoldItsHeaderIsDropped) {
    device_->poll_step = 2;
    EXPECT_FALSE(device_->Feed(FromText("~0100\r")));
    EXPECT_FALSE(device_->Feed(FromText("~01000000\r")));
    EXPECT_EQ(device_->poll_step, 2);
    EXPECT_EQ(device_->rx_count, 0);
}

// ---- overflow --------------------------------------------------------------------------------

TEST_F(CodecTest, CollectingUpToTheBufferSizeIsAppended) {
    device_->poll_step = 0;
    Bytes start = FromText("~");
    start.resize(8000, '0');
    EXPECT_TRUE(device_->Feed(start));
    ASSERT_EQ(device_->rx_count, 8000);
    EXPECT_TRUE(device_->Feed(Bytes(192, '1')));
    EXPECT_EQ(device_->rx_count, 8192);
    EXPECT_EQ(device_->rx_buffer[8191], '1');
}

TEST_F(CodecTest, CollectingPastTheBufferSizeResetsAndAppendsNothing) {
    device_->poll_step = 0;
    Bytes start = FromText("~");
    start.resize(8000, '0');
    device_->Feed(start);
    host_.calls.clear();
    EXPECT_TRUE(device_->Feed(Bytes(200, '1')));
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_EQ(host_.calls, (std::vector<std::string>{"process", "Reset"}));
    EXPECT_EQ(device_->rx_buffer[8000], 0);
    // Collecting starts afresh.
    device_->poll_step = 2;
    EXPECT_TRUE(device_->Feed(FromText(kAcValueReply)));
    EXPECT_EQ(device_->poll_step, 3);
}

TEST_F(CodecTest, OversizedSpanInOneChunkWhileIdleResetsAndFails) {
    Bytes chunk(10, 'x');
    chunk.push_back('~');
    chunk.resize(chunk.size() + 8192, '0');  // the span from ~ is 8193 bytes
    EXPECT_FALSE(device_->Feed(chunk));
    EXPECT_EQ(device_->rx_count, 0);
    EXPECT_EQ(host_.calls.back(), "Reset");

    // A span of exactly 8192 is taken.
    Bytes fits{'~'};
    fits.resize(8192, '0');
    EXPECT_TRUE(device_->Feed(fits));
    EXPECT_EQ(device_->rx_count, 8192);
}

TEST_F(CodecTest, LongestFrameDecodesIntoTheBuffer) {
    // 8192 characters: ~, 8190 body characters, CR. The decoder fills 4095 bytes.
    Bytes frame{'~'};
    frame.resize(8191, '?');
    frame.push_back(0x0D);
    device_->poll_step = 0;
    EXPECT_FALSE(device_->Feed(frame));  // length byte 0xFF; the checksum does not match
    EXPECT_EQ(device_->decoded_frame[4094], 0xFF);
    EXPECT_EQ(device_->decoded_frame[4095], 0x00);
}

// ---- the one-pass decoder --------------------------------------------------------------------

// The word-at-a-time decoder gives the pair decoder's bytes and the checksum's sum whenever every
// character is '0'..'?', at any length and alignment, and refuses any other character.
TEST(WordDecoder, AgreesWithThePairDecoderAndRefusesCharactersOutsideTheRange) {
    namespace frame = rxp::frame;
    std::mt19937 rng(16);
    unsigned char chars[2 * 260 + 16];
    for (std::size_t pairs = 0; pairs <= 260; ++pairs) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            unsigned char* body = chars + offset;
            for (std::size_t i = 0; i < 2 * pairs; ++i) {
                body[i] = static_cast<unsigned char>('0' + rng() % 16);
            }
            unsigned char expected[260];
            frame::DecodePairs(body, pairs, expected);
            unsigned char decoded[260];
            unsigned char sum = 0;
            ASSERT_TRUE(frame::DecodeSummed(body, pairs, decoded, &sum)) << pairs;
            ASSERT_EQ(Bytes(decoded, decoded + pairs), Bytes(expected, expected + pairs)) << pairs;
            ASSERT_EQ(sum, frame::CharSum(expected, pairs)) << pairs << " pairs at " << offset;
            if (pairs == 0) continue;
            // One character outside the range, anywhere: '/', '@', CR, 0xB5.
            const unsigned char outside[] = {'/', '@', 0x0D, 0xB5};
            const std::size_t at = rng() % (2 * pairs);
            body[at] = outside[rng() % 4];
            EXPECT_FALSE(frame::DecodeSummed(body, pairs, decoded, &sum)) << pairs << " " << at;
        }
    }
}

// A reply handed over whole goes the one-pass way when it can; one character at a time it goes
// the general way. Both must answer alike for every kind of frame, good or not.
TEST(WholeAndSplitReplies, AnswerAlikeForGoodAndMalformedFrames) {
    namespace frame = rxp::frame;
    const Bytes good = FromText(kAcValueReply);  // ~ 01 00 00 02 01F4 57 CR
    auto with = [&](std::size_t at, const char* text) {
        Bytes f = good;
        const Bytes part = FromText(text);
        std::copy(part.begin(), part.end(), f.begin() + static_cast<long>(at));
        return f;
    };
    auto cr_at = [&](std::size_t at) {
        Bytes f = good;
        f[at] = frame::kEnd;
        return f;
    };
    // A body of character pairs with the checksum the receiver computes over what it decodes,
    // characters outside '0'..'?' included.
    auto checked = [](const char* body_text) {
        const Bytes body = FromText(body_text);
        unsigned char decoded[16];
        frame::DecodePairs(body.data(), body.size() / 2, decoded);
        const unsigned char sum = frame::CharSum(decoded, body.size() / 2);
        Bytes f(body.size() + 4, frame::kStart);
        std::copy(body.begin(), body.end(), f.begin() + 1);
        f.resize(body.size() + 1);
        f.push_back(frame::HighChar(sum));
        f.push_back(frame::LowChar(sum));
        f.push_back(frame::kEnd);
        return f;
    };
    const std::vector<Bytes> frames = {
        good,
        with(13, "8"),                    // wrong checksum
        with(13, "5?"),                   // wrong checksum, different characters
        checked("010000020@?4"),          // '@' low: 0x10 spills into the high half, accepted
        checked("0100000201?A"),          // 'A' low in the last payload byte, accepted
        checked("0100000201/4"),          // '/' high: wraps around, accepted
        with(9, "1@"),                    // '@' and a checksum that does not match
        cr_at(11),                        // an end character before the one the length places
        cr_at(14),                        // an end character inside the checksum's pair
        with(7, "03"),                    // length 3: the checksum would sit past the end
        with(7, "01"),                    // length 1: the checksum is the low payload byte
        FromText("~0100000201?45777\r"),  // characters after the checksum, before the end
        FromText("~0100000201?457"),      // no end character
        FromText("~01000\r"),             // too short for a header
        FromText("~0100000201?4:7\r"),    // a ':' in the checksum pair
    };
    for (std::size_t f = 0; f < frames.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        RecordingHost whole_host;
        RecordingHost split_host;
        CodecDevice whole;
        CodecDevice split;
        rxptest::ObserverGuard whole_guard(whole, whole_host);
        rxptest::ObserverGuard split_guard(split, split_host);
        whole.poll_step = 2;
        split.poll_step = 2;
        const bool whole_answer = whole.Feed(frames[f]);
        // The answer that counts is the one for the character that ends the frame; characters
        // after it are noise to both.
        bool split_answer = true;
        bool ended = false;
        for (unsigned char c : frames[f]) {
            const bool answer = split.Feed(Bytes(1, c));
            if (!ended) split_answer = answer;
            ended = ended || c == frame::kEnd;
        }
        EXPECT_EQ(whole_answer, split_answer);
        EXPECT_EQ(whole.poll_step, split.poll_step);
        EXPECT_EQ(whole.rx_count, split.rx_count);
        EXPECT_EQ(whole.Record(), split.Record());
        EXPECT_EQ(whole_host.sent, split_host.sent);
        // A complete frame decodes to the same bytes both ways.
        const auto end = std::find(frames[f].begin(), frames[f].end(), frame::kEnd);
        const std::size_t held = static_cast<std::size_t>(end - frames[f].begin()) + 1;
        if (end != frames[f].end() && held >= frame::kMinFrameChars) {
            const std::size_t decoded = (held - 2) / 2;
            EXPECT_EQ(Bytes(whole.decoded_frame, whole.decoded_frame + decoded),
                      Bytes(split.decoded_frame, split.decoded_frame + decoded));
        }
    }
    // The frames accepted despite characters outside the range store what they decode to.
    CodecDevice device;
    RecordingHost host;
    rxptest::ObserverGuard guard(device, host);
    device.poll_step = 2;
    EXPECT_TRUE(device.Feed(frames[3]));
    EXPECT_EQ(device.poll_step, 3);
    EXPECT_EQ(device.Record()[19], 0xF4);
    EXPECT_EQ(device.Record()[20], 0x10);
}

}  // namespace
