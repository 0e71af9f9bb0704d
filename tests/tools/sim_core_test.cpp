// The simulator's core on its own: which frames it answers, the bytes of its replies, each
// fault option, and the line-speed schedule.
#include "tools/rxp-sim/sim_core.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"
#include "tools/rxp-sim/sim_bus.h"

using rxp::sim::Clock;
using rxp::sim::CommandReader;
using rxp::sim::Exchange;
using rxp::sim::FaultOptions;
using rxp::sim::FrameVerdict;
using rxp::sim::LineModel;
using rxp::sim::PowerSystem;
using rxp::tools::Scenario;
using rxptest::Bytes;
using rxptest::FromText;

namespace {

std::vector<Exchange> Send(PowerSystem& power, CommandReader& reader, const Bytes& bytes) {
    std::vector<Exchange> out;
    for (const auto& f : reader.Feed(bytes.data(), bytes.size(), Clock::now())) {
        out.push_back(power.OnFrame(f));
    }
    return out;
}

// One exchange for a command sent whole.
Exchange SendOne(PowerSystem& power, const Bytes& command) {
    CommandReader reader;
    std::vector<Exchange> xs = Send(power, reader, command);
    EXPECT_EQ(xs.size(), 1u);
    return xs.empty() ? Exchange{} : xs[0];
}

// Decodes a reply frame's characters (test-side, independent of the simulator).
Bytes DecodeReply(const Bytes& frame) {
    Bytes raw;
    for (std::size_t i = 1; i + 2 < frame.size(); i += 2) {
        raw.push_back(static_cast<unsigned char>((frame[i] - 0x30) * 16 + (frame[i + 1] - 0x30)));
    }
    return raw;
}

bool ChecksumRight(const Bytes& raw) {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < raw.size(); ++i)
        sum += (raw[i] >> 4) + 0x30 + (raw[i] & 15) + 0x30;
    return (sum & 0xFF) == raw.back();
}

TEST(SimCommands, AnswersOnlyWellFormedCommandsForItsAddress) {
    struct Case {
        const char* name;
        Bytes frame;
        FrameVerdict verdict;
    };
    const std::vector<Case> cases = {
        {"0x40/0x01", rxptest::FromHex("7E 30 31 34 30 30 31 30 30 38 36 0D"),
         FrameVerdict::kAnswered},
        {"module 7", FromText("~01410>0107?<\r"), FrameVerdict::kAnswered},
        {"checksum off by one", FromText("~0140010087\r"), FrameVerdict::kBadChecksum},
        {"other address", rxptest::EncodeFrame({0x02, 0x40, 0x01, 0x00}),
         FrameVerdict::kOtherAddress},
        {"unknown command 0x40/0x09", rxptest::EncodeFrame({0x01, 0x40, 0x09, 0x00}),
         FrameVerdict::kUnknownCommand},
        {"module 0", rxptest::EncodeFrame({0x01, 0x41, 0x0E, 0x01, 0x00}),
         FrameVerdict::kUnknownCommand},
        {"module 21", rxptest::EncodeFrame({0x01, 0x41, 0x0E, 0x01, 21}),
         FrameVerdict::kUnknownCommand},
        {"module command without its byte", rxptest::EncodeFrame({0x01, 0x41, 0x0E, 0x00}),
         FrameVerdict::kUnknownCommand},
        {"AC command with a data byte", rxptest::EncodeFrame({0x01, 0x40, 0x01, 0x01, 0x05}),
         FrameVerdict::kUnknownCommand},
        {"letters instead of : ; < = > ?", FromText("~01400100A6\r"), FrameVerdict::kMalformed},
        {"odd number of characters", FromText("~014001008\r"), FrameVerdict::kMalformed},
        {"length byte says 1, no data", FromText("~0140010186\r"), FrameVerdict::kMalformed},
        {"start and end only", FromText("~\r"), FrameVerdict::kMalformed},
    };
    for (const Case& c : cases) {
        PowerSystem power(Scenario{}, 1, {});
        const Exchange x = SendOne(power, c.frame);
        EXPECT_EQ(x.verdict, c.verdict) << c.name << ": " << x.why;
        EXPECT_EQ(x.reply.empty(), c.verdict != FrameVerdict::kAnswered) << c.name;
        EXPECT_EQ(power.replies(), c.verdict == FrameVerdict::kAnswered ? 1u : 0u) << c.name;
    }
}

TEST(SimCommands, AnswersToTheAddressItIsGiven) {
    PowerSystem power(Scenario{}, 5, {});
    EXPECT_EQ(SendOne(power, rxptest::ExpectedCommand(0)).verdict, FrameVerdict::kOtherAddress);
    const Exchange x = SendOne(power, rxptest::EncodeFrame({0x05, 0x40, 0x02, 0x00}));
    ASSERT_EQ(x.verdict, FrameVerdict::kAnswered);
    EXPECT_EQ(DecodeReply(x.reply)[0], 0x05);
}

TEST(SimCommands, ReaderCutsCommandsOutOfNoiseAndChunks) {
    PowerSystem power(Scenario{}, 1, {});
    CommandReader reader;
    const Bytes cmd = rxptest::ExpectedCommand(4);
    // Noise, then the command one byte at a time: one reply, on the last byte.
    EXPECT_TRUE(Send(power, reader, FromText("\x01\r junk\r")).empty());
    for (std::size_t i = 0; i + 1 < cmd.size(); ++i) {
        EXPECT_TRUE(Send(power, reader, Bytes{cmd[i]}).empty()) << i;
    }
    std::vector<Exchange> xs = Send(power, reader, Bytes{cmd.back()});
    ASSERT_EQ(xs.size(), 1u);
    EXPECT_EQ(xs[0].meaning, "0x41/0x0E module 2");

    // A command cut off by a new start character is dropped; the new one is answered. Two
    // commands in one chunk get two replies.
    Bytes stream = FromText("~0140");
    for (int i : {0, 1}) {
        const Bytes c = rxptest::ExpectedCommand(i);
        stream.insert(stream.end(), c.begin(), c.end());
    }
    xs = Send(power, reader, stream);
    ASSERT_EQ(xs.size(), 2u);
    EXPECT_EQ(xs[0].meaning, "0x40/0x01 AC phases");
    EXPECT_EQ(xs[1].meaning, "0x40/0x02 AC value");

    // A run without an end character longer than any command is dropped.
    Bytes endless(1, 0x7E);
    endless.insert(endless.end(), 600, '0');
    EXPECT_TRUE(Send(power, reader, endless).empty());
    EXPECT_EQ(Send(power, reader, rxptest::ExpectedCommand(2)).size(), 1u);
}

// The checksum and code bytes of real frames, and the payload byte order.
TEST(SimReplies, AcValueReplyMatchesTheFrameByHand) {
    Json::Value s;
    s["ac_value"] = 0x01F4;
    PowerSystem power(Scenario::FromJson(s, "test"), 1, {});
    // ~ 01 40 02 02 01F4 + checksum: the characters 0 1 4 0 0 2 0 2 0 1 ? 4 sum to 0x25D.
    EXPECT_EQ(SendOne(power, rxptest::ExpectedCommand(1)).reply, FromText("~0140020201?45=\r"));
}

TEST(SimReplies, ModuleReplyCarriesItsNumberAndItsOwnRow) {
    Json::Value s;
    s["modules"]["7"]["value1"] = 0xA1B2;
    s["modules"]["7"]["status"] = "0x10";
    s["modules"]["7"]["extra"] = 0x3D;
    PowerSystem power(Scenario::FromJson(s, "test"), 1, {});
    const Bytes raw = DecodeReply(SendOne(power, rxptest::ExpectedCommand(2 + 7)).reply);
    ASSERT_EQ(raw.size(), 4u + 11u + 1u);
    EXPECT_EQ(raw[3], 11);
    EXPECT_EQ(raw[4], 7);  // module number, payload byte 0
    EXPECT_EQ(raw[5], 0xA1);
    EXPECT_EQ(raw[6], 0xB2);
    EXPECT_EQ(raw[13], 0x10);
    EXPECT_EQ(raw[14], 0x3D);
    EXPECT_TRUE(ChecksumRight(raw));
}

// --- faults -------------------------------------------------------------------------------

// Sends `count` commands of a cycle (repeating) and returns the exchanges.
std::vector<Exchange> RunReplies(const FaultOptions& faults, int count) {
    PowerSystem power(Scenario{}, 1, faults);
    std::vector<Exchange> xs;
    for (int i = 0; i < count; ++i) xs.push_back(SendOne(power, rxptest::ExpectedCommand(i % 25)));
    return xs;
}

TEST(SimFaults, EveryNthFaultHitsExactlyThoseReplies) {
    FaultOptions f;
    f.drop_every = 3;
    f.corrupt_every = 4;
    f.short_every = 5;
    f.delay_ms = 250;
    f.delay_every = 6;
    const std::vector<Exchange> xs = RunReplies(f, 60);
    const std::vector<Exchange> clean = RunReplies(FaultOptions{}, 60);
    for (int n = 1; n <= 60; ++n) {
        const Exchange& x = xs[n - 1];
        ASSERT_EQ(x.reply_number, static_cast<unsigned>(n));
        EXPECT_EQ(x.dropped, n % 3 == 0) << n;
        EXPECT_EQ(x.delay.count(), n % 6 == 0 ? 250 : 0) << n;
        if (n % 3 == 0) {
            EXPECT_TRUE(x.reply.empty()) << n;
            EXPECT_TRUE(x.chunks.empty()) << n;
            continue;
        }
        const Bytes raw = DecodeReply(x.reply);
        const Bytes intact = DecodeReply(clean[n - 1].reply);
        EXPECT_EQ(ChecksumRight(raw), n % 4 != 0) << n;
        if (n % 5 == 0) {
            EXPECT_EQ(raw[3] + 1, intact[3]) << n << ": one payload byte short";
            EXPECT_EQ(raw.size() + 1, intact.size()) << n;
            EXPECT_TRUE(std::equal(raw.begin() + 4, raw.end() - 1, intact.begin() + 4)) << n;
        } else {
            EXPECT_EQ(raw.size(), intact.size()) << n;
            EXPECT_TRUE(std::equal(raw.begin(), raw.end() - 1, intact.begin())) << n;
        }
    }
}

TEST(SimFaults, NoiseAndChunksFollowTheSeed) {
    FaultOptions f;
    f.noise_max = 12;
    f.split_max = 5;
    f.seed = 42;
    const std::vector<Exchange> a = RunReplies(f, 50);
    const std::vector<Exchange> b = RunReplies(f, 50);
    f.seed = 43;
    const std::vector<Exchange> c = RunReplies(f, 50);
    const std::vector<Exchange> clean = RunReplies(FaultOptions{}, 50);
    bool differs = false;
    std::size_t longest_noise = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].noise, b[i].noise) << i;
        EXPECT_EQ(a[i].chunks, b[i].chunks) << i;
        differs = differs || a[i].noise != c[i].noise || a[i].chunks != c[i].chunks;

        EXPECT_GE(a[i].noise.size(), 1u);
        EXPECT_LE(a[i].noise.size(), 12u);
        longest_noise = std::max(longest_noise, a[i].noise.size());
        EXPECT_EQ(std::count(a[i].noise.begin(), a[i].noise.end(), 0x7E), 0) << i;
        EXPECT_EQ(a[i].reply, clean[i].reply) << i << ": noise and chunks leave the reply intact";

        std::size_t total = 0;
        for (std::size_t size : a[i].chunks) {
            EXPECT_GE(size, 1u);
            EXPECT_LE(size, 5u);
            total += size;
        }
        EXPECT_EQ(total, a[i].noise.size() + a[i].reply.size()) << i;
    }
    EXPECT_TRUE(differs) << "another seed gives other noise and chunks";
    EXPECT_EQ(longest_noise, 12u);
}

TEST(SimFaults, OnlyAnIntactLastReplyCompletesACycle) {
    FaultOptions f;
    f.corrupt_every = 25;  // the 0x42/0x16 reply of the first cycle
    PowerSystem power(Scenario{}, 1, f);
    for (int i = 0; i < 25; ++i) SendOne(power, rxptest::ExpectedCommand(i));
    EXPECT_EQ(power.completed_cycles(), 0u);
    // The host repeats the last command: this reply is intact and ends cycle 1.
    const Exchange x = SendOne(power, rxptest::ExpectedCommand(24));
    EXPECT_EQ(x.cycle, 1u);
    EXPECT_TRUE(x.completes_cycle);
    EXPECT_EQ(power.completed_cycles(), 1u);
    EXPECT_EQ(SendOne(power, rxptest::ExpectedCommand(0)).cycle, 2u);
}

// --- a bus ---------------------------------------------------------------------------------

// A power system at `address` that reports `ac_value`.
std::unique_ptr<PowerSystem> AcValue(std::uint8_t address, unsigned ac_value,
                                     FaultOptions faults = {}) {
    Json::Value s;
    s["ac_value"] = ac_value;
    return std::make_unique<PowerSystem>(Scenario::FromJson(s, "test"), address, faults);
}

std::vector<Exchange> BusSend(rxp::sim::Bus& bus, const Bytes& command) {
    return bus.Answer({command, Clock::now()});
}

TEST(SimBus, EachAddressAnswersWithItsOwnValuesAndCyclesAndNobodyForAnEmptyOne) {
    rxp::sim::Bus bus;
    bus.Add(AcValue(1, 111));
    bus.Add(AcValue(2, 222));
    const auto ac_value = [&bus](std::uint8_t address) {
        const std::vector<Exchange> xs =
            BusSend(bus, rxptest::EncodeFrame({address, 0x40, 0x02, 0}));
        EXPECT_EQ(xs.size(), 1u);
        const Bytes raw = DecodeReply(xs[0].reply);
        return raw.size() < 6 ? -1 : raw[0] * 0x10000 + raw[4] * 256 + raw[5];
    };
    EXPECT_EQ(ac_value(1), 0x10000 + 111);
    EXPECT_EQ(ac_value(2), 0x20000 + 222);
    const std::vector<Exchange> none = BusSend(bus, rxptest::EncodeFrame({3, 0x40, 0x02, 0}));
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].verdict, FrameVerdict::kOtherAddress);
    EXPECT_EQ(none[0].why, "no power system at address 3");
    EXPECT_TRUE(none[0].reply.empty());

    // A whole cycle of address 1 is not one of address 2.
    for (int i = 0; i < 25; ++i) BusSend(bus, rxptest::ExpectedCommand(i));
    EXPECT_EQ(bus.devices()[0]->completed_cycles(), 1u);
    EXPECT_EQ(bus.devices()[1]->completed_cycles(), 0u);
    EXPECT_EQ(BusSend(bus, rxptest::EncodeFrame({2, 0x40, 0x01, 0}))[0].cycle, 1u);
    EXPECT_EQ(
        bus.Tally(),
        "address 1: 26 replies, 1 completed cycles; address 2: 2 replies, 0 completed cycles");
}

// --- line speed ---------------------------------------------------------------------------

Exchange Scheduled(LineModel& line, Exchange x, Clock::time_point received, Clock::time_point now) {
    x.received_start = received;
    line.Schedule(x, now);
    return x;
}

TEST(SimLineSpeed, ReplyStartsAfterTheCommandAndPacesEveryCharacter) {
    LineModel line(9600);
    PowerSystem power(Scenario{}, 1, {});
    const Exchange x0 = SendOne(power, rxptest::ExpectedCommand(0));  // 12 in, 42 out
    const Clock::time_point t0 = Clock::now();
    const Exchange x = Scheduled(line, x0, t0, t0);
    ASSERT_EQ(x.writes.size(), 42u);
    const auto char_ns = [](std::int64_t n) {
        return std::chrono::nanoseconds(n * 10000000000LL / 9600);
    };
    for (std::size_t k = 0; k < 42; ++k) {
        EXPECT_EQ(x.writes[k].size, 1u);
        EXPECT_EQ(x.writes[k].at, t0 + char_ns(12 + static_cast<std::int64_t>(k) + 1)) << k;
    }
    // The next reply waits for the line: a command received while the line is busy.
    const Exchange y = Scheduled(line, x0, t0, t0);
    EXPECT_EQ(y.writes.front().at, x.writes.back().at + char_ns(1));
}

TEST(SimLineSpeed, DeadlinesDoNotDriftOverALongStream) {
    LineModel line(9600);
    Exchange x;
    x.received = Bytes(12, '0');
    x.chunks = {7, 100000, 3};  // a split reply: one write per chunk
    const Clock::time_point t0 = Clock::now();
    x = Scheduled(line, x, t0, t0);
    ASSERT_EQ(x.writes.size(), 3u);
    // 100022 characters after the command: exactly 100022 x 10 / 9600 s, not a rounded sum.
    EXPECT_EQ((x.writes[2].at - t0).count(), (12LL + 100010LL) * 10000000000LL / 9600);
    EXPECT_EQ(x.writes[1].size, 100000u);
    EXPECT_EQ(line.CharsTime(1236), std::chrono::nanoseconds(1287500000));
}

TEST(SimLineSpeed, DelayAndLateCommandsMoveTheStart) {
    LineModel line(9600);
    Exchange x;
    x.received = Bytes(12, '0');
    x.chunks = {1};
    x.delay = std::chrono::milliseconds(300);
    const Clock::time_point t0 = Clock::now();
    // The command was complete only 50 ms after its start character: the reply waits for that.
    x = Scheduled(line, x, t0, t0 + std::chrono::milliseconds(50));
    EXPECT_EQ(x.writes[0].at, t0 + std::chrono::milliseconds(350) + line.CharsTime(1));
}

// A reply held back by a delay must not hold back another power system's reply: that one goes
// out in the line time left free before it, or after it when it does not fit.
TEST(SimLineSpeed, ADelayedReplyKeepsItsLineTimeAndOthersGoAroundIt) {
    for (unsigned baud : {9600u, 0u}) {
        LineModel line(baud);
        Exchange late;
        late.received = Bytes(12, '0');
        late.chunks = {42};
        late.delay = std::chrono::milliseconds(1000);
        const Clock::time_point t0 = Clock::now();
        late = Scheduled(line, late, t0, t0);
        Exchange other = late;
        other.delay = std::chrono::milliseconds(0);
        other.device = 1;  // another power system on the bus
        const Clock::time_point t1 = t0 + std::chrono::milliseconds(100);
        other = Scheduled(line, other, t1, t1);
        EXPECT_LT(other.writes.back().at, late.writes.front().at) << baud;
        EXPECT_LT(other.writes.front().at, t1 + std::chrono::milliseconds(100)) << baud;
        // The delayed power system's own next reply waits for it.
        Exchange own = other;
        own.device = 0;
        own = Scheduled(line, own, t1, t1);
        EXPECT_GE(own.writes.front().at, late.writes.back().at) << baud;
        // One that would overlap the delayed reply goes after it.
        const Clock::time_point t2 = late.writes.front().at - line.CharsTime(10);
        Exchange after = Scheduled(line, other, t2, t2);
        EXPECT_GE(after.writes.front().at, late.writes.back().at) << baud;
    }
}

TEST(SimLineSpeed, WithoutASpeedRepliesGoOutAtOnce) {
    LineModel line(0);
    Exchange x;
    x.received = Bytes(12, '0');
    x.chunks = {4, 4, 4};
    const Clock::time_point t0 = Clock::now();
    x = Scheduled(line, x, t0, t0);
    ASSERT_EQ(x.writes.size(), 3u);
    EXPECT_EQ(x.writes[0].at, t0);
    EXPECT_EQ(x.writes[2].at, t0 + 2 * LineModel::kSplitGap);
}

}  // namespace
