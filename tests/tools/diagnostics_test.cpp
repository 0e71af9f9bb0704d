// The tools' shared diagnostics: hex and time text, the frame notation with its verdicts on
// replies (checked against the plug-in's own device), capture files and their replay, and a
// site's units in the record reader's CSV.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "protocol/frame.h"
#include "tests/tools/sim_wire.h"
#include "tools/common/capture.h"
#include "tools/common/frame_notation.h"
#include "tools/common/hex.h"
#include "tools/common/time_text.h"
#include "tools/rxp-record/record_view.h"
#include "tools/rxp-record/units.h"
#include "tools/rxp-sim/sim_core.h"

using rxp::tools::LineDirection;
using rxptest::Bytes;

namespace {

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "/" + name + "-" + std::to_string(getpid());
}

// A reply frame with its checksum character pair replaced by the one of `sum`.
Bytes WithChecksum(Bytes frame, unsigned char sum) {
    frame[frame.size() - 3] = static_cast<unsigned char>((sum >> 4) + 0x30);
    frame[frame.size() - 2] = static_cast<unsigned char>((sum & 0x0F) + 0x30);
    return frame;
}

TEST(HexText, OneHelperReadsAndWritesEveryForm) {
    const Bytes bytes = {0x01, 0x0A, 0xFF, 0x7E};
    EXPECT_EQ(rxp::hex::Upper(bytes.data(), bytes.size()), "010AFF7E");
    EXPECT_EQ(rxp::hex::Lower(bytes.data(), bytes.size()), "010aff7e");
    EXPECT_EQ(rxp::hex::Spaced(bytes), "01 0A FF 7E");
    EXPECT_EQ(rxp::hex::Byte(0x0D), "0D");
    EXPECT_EQ(rxp::hex::Parse("01 0a\nFF\t7e"), bytes);
    EXPECT_EQ(rxp::hex::Parse("010AFF7E"), bytes);
    EXPECT_EQ(rxp::hex::Parse(""), Bytes{});
    for (const char* bad : {"0g", "012", "0 12"}) {
        EXPECT_THROW(rxp::hex::Parse(bad), std::runtime_error) << bad;
    }
}

TEST(TimeText, TimesCarryTheUtcOffsetAndReadBackToTheSameInstant) {
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    const std::regex iso_ms(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    EXPECT_TRUE(std::regex_match(rxp::tools::IsoTimeNow(), iso)) << rxp::tools::IsoTimeNow();
    EXPECT_TRUE(
        std::regex_match(rxp::tools::IsoTimeNow(rxp::tools::TimePrecision::kMilliseconds), iso_ms));

    using rxp::tools::ParseIsoTime;
    const auto noon_utc = ParseIsoTime("2024-05-01T12:00:00Z");
    EXPECT_EQ(ParseIsoTime("2024-05-01T14:00:00+02:00"), noon_utc);
    EXPECT_EQ(ParseIsoTime("2024-05-01T07:30-0430"), noon_utc);
    EXPECT_EQ(ParseIsoTime("2024-05-01 12:00:00.250Z") - noon_utc, std::chrono::milliseconds(250));
    // Written and read back: the same instant, whatever the local zone.
    EXPECT_EQ(ParseIsoTime(rxp::tools::IsoTime(noon_utc)), noon_utc);
    EXPECT_EQ(ParseIsoTime("2024-05-01"), ParseIsoTime("2024-05-01T00:00:00"));
    for (const char* bad :
         {"", "2024-5-1", "2024-05-01T25:00", "2024-13-01", "2024-05-01X", "2024-05-01T12:00+2",
          "2024-05-01T-1:00", "2026-02-30", "2026-02-29", "2100-02-29", "2026-04-31T12:00Z"}) {
        EXPECT_THROW(ParseIsoTime(bad), std::runtime_error) << bad;
    }
    // Leap days are dates; a day the month does not have is not carried into the next month.
    EXPECT_EQ(ParseIsoTime("2024-02-29T12:00:00Z") + std::chrono::hours(24),
              ParseIsoTime("2024-03-01T12:00:00Z"));
    EXPECT_NO_THROW(ParseIsoTime("2000-02-29"));
    EXPECT_EQ(rxp::tools::IsoDateTime(2024, 5, 1, 9, 8, 7), "2024-05-01T09:08:07");
}

TEST(FrameNotation, FramesAreShownByPartAndCommandsByName) {
    const Bytes module1 = rxptest::ExpectedCommand(3);
    EXPECT_EQ(rxp::tools::FrameText(module1.data(), module1.size(), LineDirection::kToPowerSystem),
              "~ addr 01 codes 41/0E len 1 data 01 sum F6 CR");
    // ~ 01 00 00 02 01 F4 57 CR: length 2, payload 01 F4, checksum 57.
    const Bytes reply = rxptest::FromText("~0100000201?457\r");
    EXPECT_EQ(rxp::tools::FrameLine("T", LineDirection::kFromPowerSystem, reply.data(),
                                    reply.size(), "accepted for step 2"),
              "T <- ~ addr 01 codes 00/00 len 2 payload 01 F4 sum 57 CR  accepted for step 2");
    const Bytes garbled = rxptest::FromText("~0A\r");
    EXPECT_EQ(
        rxp::tools::FrameText(garbled.data(), garbled.size(), LineDirection::kFromPowerSystem),
        "7E 30 41 0D");
    // A length byte one more than the bytes after it: no checksum, every byte shown as payload.
    const Bytes one_too_large = rxptest::FromText("~0100000301?457\r");
    EXPECT_EQ(rxp::tools::FrameText(one_too_large.data(), one_too_large.size(),
                                    LineDirection::kFromPowerSystem),
              "~ addr 01 codes 00/00 len 3 payload 01 F4 57 (no checksum) CR");
    const Bytes noise = {0x12, 0x5A};
    EXPECT_EQ(rxp::tools::FrameText(noise.data(), noise.size(), LineDirection::kFromPowerSystem),
              "noise 2 bytes: 12 5A");

    const struct {
        int index;
        const char* name;
    } names[] = {{0, "0x40/0x01 AC phases"},
                 {1, "0x40/0x02 AC value"},
                 {2, "0x40/0x03 AC frequency state"},
                 {3, "0x41/0x0E module 1"},
                 {22, "0x41/0x0E module 20"},
                 {23, "0x42/0x15 breakers and switches"},
                 {24, "0x42/0x16 DC values and status"}};
    for (const auto& c : names) {
        const Bytes frame = rxptest::ExpectedCommand(c.index);
        EXPECT_EQ(rxp::tools::CommandNameOfFrame(frame.data(), frame.size()), c.name);
    }
    EXPECT_EQ(rxp::tools::CommandNameOfFrame(noise.data(), noise.size()), "");
}

// Every verdict names what the device does with the reply: the plug-in's own device, fed the
// same frame at step 1 (0x40/0x01, 15 payload bytes), sends the next command exactly when the
// verdict is empty.
TEST(ReplyVerdicts, DropReasonsAgreeWithThePlugInAndNameTheirNumbers) {
    const rxptest::PowerModel model = rxptest::PowerModel::Distinct(4);
    const Bytes good = model.Reply(0);
    Bytes raw_short = {0x01, 0x40, 0x01, 14};
    const Bytes payload = model.Payload(0);
    raw_short.insert(raw_short.end(), payload.begin(), payload.end() - 1);
    Bytes raw_good = raw_short;
    raw_good[3] = 15;
    raw_good.push_back(payload.back());
    const unsigned char sum = rxp::frame::CharSum(raw_good.data(), raw_good.size());
    Bytes raw_one_too_large = raw_good;
    raw_one_too_large[3] = 16;

    const struct {
        const char* what;
        Bytes frame;
        std::string reason;
    } cases[] = {
        {"intact", good, ""},
        {"checksum off by one", WithChecksum(good, static_cast<unsigned char>(sum + 1)),
         "dropped: checksum expected " + rxp::hex::Byte(sum) + " got " +
             rxp::hex::Byte(static_cast<unsigned char>(sum + 1))},
        {"one payload byte short", rxptest::EncodeFrame(raw_short),
         "dropped: payload 14 bytes, step needs 15"},
        {"length byte past the frame", rxptest::EncodeFrame({0x01, 0x40, 0x01, 20, 0x01, 0xF4}),
         "dropped: length byte says 20 payload bytes, frame holds 2"},
        // The length byte places the checksum just past the decoded bytes.
        {"length byte exactly one too large", rxptest::EncodeFrame(raw_one_too_large),
         "dropped: length byte says 16 payload bytes, frame holds 15"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rxp::tools::ReplyDropReason(c.frame.data(), c.frame.size(), 15), c.reason)
            << c.what;
        rxptest::SimWire wire(rxp::tools::Scenario{});
        wire.device->RefreshStatus();
        ASSERT_EQ(wire.host.sent.size(), 1u);
        Bytes frame = c.frame;
        wire.device->process(frame.data(), static_cast<unsigned int>(frame.size()));
        EXPECT_EQ(wire.host.sent.size() == 2, c.reason.empty()) << c.what;
    }
}

TEST(FrameCutter, NoiseFramesAndSplitRepliesComeApartAsTheCodecReadsThem) {
    rxp::tools::FrameCutter cutter;
    const Bytes first = rxptest::FromText("\x12\x34~0100");
    const Bytes second = rxptest::FromText("~02\r\x55~01");
    auto pieces = cutter.Feed(first.data(), first.size());
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].bytes, (Bytes{0x12, 0x34}));
    EXPECT_FALSE(pieces[0].frame);
    pieces = cutter.Feed(second.data(), second.size());
    ASSERT_EQ(pieces.size(), 2u);
    // A start character inside a frame is an ordinary byte, as for the plug-in's codec.
    EXPECT_EQ(pieces[0].bytes, rxptest::FromText("~0100~02\r"));
    EXPECT_TRUE(pieces[0].frame);
    EXPECT_EQ(pieces[1].bytes, Bytes{0x55});
    rxp::tools::FrameCutter::Piece rest;
    ASSERT_TRUE(cutter.Flush(&rest));
    EXPECT_EQ(rest.bytes, rxptest::FromText("~01"));
    EXPECT_FALSE(cutter.Flush(&rest));
}

// A frame as long as the device holds, end character included, is one; one character longer
// is shown as it came, and the end character after it is noise, not a frame of its own.
TEST(FrameCutter, EndCharacterJustPastTheLongestFrameIsNoise) {
    for (const std::size_t body : {rxp::frame::kRxBufferSize - 2, rxp::frame::kRxBufferSize - 1}) {
        rxp::tools::FrameCutter cutter;
        Bytes line(1, rxp::frame::kStart);
        line.insert(line.end(), body, '0');
        line.push_back(rxp::frame::kEnd);
        const auto pieces = cutter.Feed(line.data(), line.size());
        if (body + 2 == rxp::frame::kRxBufferSize) {
            ASSERT_EQ(pieces.size(), 1u);
            EXPECT_TRUE(pieces[0].frame);
            EXPECT_EQ(pieces[0].bytes, line);
        } else {
            ASSERT_EQ(pieces.size(), 2u);
            EXPECT_FALSE(pieces[0].frame);
            EXPECT_EQ(pieces[1].bytes, Bytes{rxp::frame::kEnd});
            EXPECT_FALSE(pieces[1].frame);
        }
    }
}

// A capture as the bench host writes it: a command answered in two chunks, a command whose
// reply comes corrupted, and a reply that comes after the host gave up.
class CaptureFile : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = rxptest::PowerModel::Distinct(6);
        rxp::tools::CaptureWriter writer;
        writer.Open(path_);
        const auto t0 = rxp::tools::CaptureWriter::Clock::now();
        const auto ms = [t0](int n) { return t0 + std::chrono::milliseconds(n); };
        const Bytes c0 = rxptest::ExpectedCommand(0), c1 = rxptest::ExpectedCommand(1);
        const Bytes r0 = model_.Reply(0);
        const Bytes r1 = model_.Reply(1);
        const unsigned sum = rxp::frame::DecodePair(r1[r1.size() - 3], r1[r1.size() - 2]);
        bad_ = WithChecksum(r1, static_cast<unsigned char>(sum + 1));
        writer.Write(ms(0), 1, 1, LineDirection::kToPowerSystem, c0.data(), c0.size());
        writer.Write(ms(20), 1, 1, LineDirection::kFromPowerSystem, r0.data(), 7);
        writer.Write(ms(30), 1, 1, LineDirection::kFromPowerSystem, r0.data() + 7, r0.size() - 7);
        writer.Write(ms(40), 1, 2, LineDirection::kToPowerSystem, c1.data(), c1.size());
        writer.Write(ms(50), 1, 2, LineDirection::kFromPowerSystem, bad_.data(), bad_.size());
        writer.Note("poll 1 failed: dropped");
        writer.Write(ms(1000), 2, 1, LineDirection::kToPowerSystem, c0.data(), c0.size());
        writer.Write(ms(2500), 0, 0, LineDirection::kFromPowerSystem, r0.data(), r0.size());
        writer.Flush();
    }
    void TearDown() override { unlink(path_.c_str()); }

    std::string path_ = TempPath("capture");
    rxptest::PowerModel model_;
    Bytes bad_;
};

TEST_F(CaptureFile, ChunksReadBackExactlyWithTheirPollStepAndTime) {
    const rxp::tools::Capture capture = rxp::tools::ReadCapture(path_);
    ASSERT_EQ(capture.runs.size(), 1u);
    EXPECT_TRUE(capture.warnings.empty());
    const rxp::tools::CaptureRun& run = capture.runs[0];
    ASSERT_EQ(run.chunks.size(), 7u);
    EXPECT_FALSE(run.started.empty());
    const Bytes r0 = model_.Reply(0);
    EXPECT_EQ(run.chunks[2].bytes, Bytes(r0.begin() + 7, r0.end()));
    EXPECT_NEAR(run.chunks[2].seconds, 0.030, 0.0005);
    EXPECT_EQ(run.chunks[4].step, 2u);
    EXPECT_EQ(run.chunks[6].poll, 0u);

    const std::vector<rxp::tools::CapturedExchange> x = rxp::tools::CapturedExchanges(capture);
    ASSERT_EQ(x.size(), 3u);
    EXPECT_EQ(x[0].command, rxptest::ExpectedCommand(0));
    ASSERT_EQ(x[0].replies.size(), 2u);
    EXPECT_NEAR(x[0].replies[1].delay, 0.030, 0.0005);
    EXPECT_EQ(x[1].replies[0].bytes, bad_);
    ASSERT_EQ(x[2].replies.size(), 1u);
    EXPECT_TRUE(x[2].replies[0].late);
    EXPECT_NEAR(x[2].replies[0].delay, 1.5, 0.0005);
}

TEST_F(CaptureFile, TheReaderShowsEveryReplyWithItsVerdict) {
    const std::string text = rxp::tools::FormatCapture(rxp::tools::ReadCapture(path_));
    std::istringstream lines(text);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 6u) << text;  // the split reply is one frame
    EXPECT_NE(all[0].find(" -> ~ addr 01 codes 40/01 len 0 sum 86 CR  0x40/0x01 AC phases, poll 1 "
                          "step 1"),
              std::string::npos)
        << all[0];
    EXPECT_NE(all[1].find("  accepted for step 1"), std::string::npos) << all[1];
    const Bytes r1 = model_.Reply(1);
    const unsigned expected = rxp::frame::DecodePair(r1[r1.size() - 3], r1[r1.size() - 2]);
    EXPECT_NE(all[3].find("  dropped: checksum expected " + rxp::hex::Byte(expected) + " got " +
                          rxp::hex::Byte(expected + 1)),
              std::string::npos)
        << all[3];
    EXPECT_NE(all[5].find("  late or unexpected"), std::string::npos) << all[5];
    EXPECT_TRUE(
        std::regex_search(all[5], std::regex(R"(^\d{4}-\d\d-\d\dT[0-9:.]+[+-]\d\d:\d\d <- )")))
        << all[5];
}

TEST_F(CaptureFile, ReplayAnswersInCaptureOrderSkipsAheadAndKeepsLateBytesLate) {
    rxp::sim::CaptureReplay replay(rxp::tools::CapturedExchanges(rxp::tools::ReadCapture(path_)),
                                   rxp::sim::CaptureReplay::Timing::kAtOnce);
    auto send = [&replay](const Bytes& command) {
        return replay.OnFrame({command, rxp::sim::Clock::now()});
    };
    rxp::sim::Exchange x = send(rxptest::ExpectedCommand(0));
    ASSERT_EQ(x.verdict, rxp::sim::FrameVerdict::kAnswered);
    EXPECT_EQ(x.reply, model_.Reply(0));
    EXPECT_EQ(x.chunks, (std::vector<std::size_t>{7, model_.Reply(0).size() - 7}));
    EXPECT_EQ(x.chunk_delays[1], rxp::sim::LineModel::kSplitGap);
    // The third captured command is the first again: the second is skipped over.
    x = send(rxptest::ExpectedCommand(0));
    ASSERT_EQ(x.verdict, rxp::sim::FrameVerdict::kAnswered);
    EXPECT_EQ(x.reply_number, 3u);
    const auto micros = [](std::chrono::nanoseconds d) {
        return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    };
    EXPECT_NEAR(micros(x.chunk_delays[0]), 1500000, 2) << "late bytes stay late";
    EXPECT_EQ(send(rxptest::ExpectedCommand(1)).verdict, rxp::sim::FrameVerdict::kUnknownCommand);
    EXPECT_EQ(replay.Tally(),
              "2 of 3 captured commands answered, 1 skipped, played out for address 1");

    rxp::sim::CaptureReplay timed(rxp::tools::CapturedExchanges(rxp::tools::ReadCapture(path_)),
                                  rxp::sim::CaptureReplay::Timing::kAsCaptured);
    x = timed.OnFrame({rxptest::ExpectedCommand(0), rxp::sim::Clock::now()});
    EXPECT_NEAR(micros(x.chunk_delays[0]), 20000, 2);
    EXPECT_NEAR(micros(x.chunk_delays[1]), 30000, 2);
}

// A reply of the power system at `address` reporting `ac_value` to the command of step
// `index`.
Bytes ReplyOf(unsigned char address, unsigned ac_value, int index) {
    Json::Value s;
    s["ac_value"] = ac_value;
    rxp::sim::PowerSystem power(rxp::tools::Scenario::FromJson(s, "test"), address, {});
    return power.OnFrame({rxptest::CommandTo(address, index), rxp::sim::Clock::now()}).reply;
}

// Two runs of the host appended to one file, the second stopped in the middle of a line by a
// crash: both runs are read, the torn line is left out with a warning naming file and line.
TEST(CaptureRuns, AppendedRunsAreReadAndATornLastLineIsLeftOutWithAWarning) {
    const std::string path = TempPath("runs.capture");
    unlink(path.c_str());
    const Bytes c0 = rxptest::CommandTo(1, 0), c1 = rxptest::CommandTo(1, 1);
    const Bytes r0 = ReplyOf(1, 0, 0), r1 = ReplyOf(1, 500, 1);
    rxptest::AppendCaptureRun(path, {{c0, r0}, {c1, r1}});
    rxptest::AppendCaptureRun(path, {{c1, r1}});
    std::ofstream(path, std::ios::app) << "0.200000 1 2 -> 7E3031";  // no end of line
    std::size_t lines = 0;
    for (std::ifstream in(path); in.ignore(1 << 20, '\n');) ++lines;

    const rxp::tools::Capture capture = rxp::tools::ReadCapture(path);
    ASSERT_EQ(capture.runs.size(), 2u);
    EXPECT_EQ(capture.runs[0].chunks.size(), 4u);
    EXPECT_EQ(capture.runs[1].chunks.size(), 2u);
    EXPECT_FALSE(capture.runs[1].started.empty());
    EXPECT_NEAR(capture.runs[1].chunks[1].seconds, 0.010, 0.0005) << "seconds restart at 0";
    ASSERT_EQ(capture.warnings.size(), 1u);
    EXPECT_EQ(capture.warnings[0], path + ": line " + std::to_string(lines) +
                                       ": the last line is torn (no end of line), left out");

    const std::string text = rxp::tools::FormatCapture(capture);
    EXPECT_NE(text.find("== run 1 of 2, started " + capture.runs[0].started + ", line 1 =="),
              std::string::npos)
        << text;
    const std::size_t second = text.find("== run 2 of 2, started " + capture.runs[1].started);
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_NE(text.find("0x40/0x02 AC value, poll 1 step 1", second), std::string::npos) << text;

    const std::vector<rxp::tools::CapturedExchange> x = rxp::tools::CapturedExchanges(capture);
    ASSERT_EQ(x.size(), 3u);
    EXPECT_EQ(x[2].command, c1);
    EXPECT_EQ(x[2].replies[0].bytes, r1);

    // A run started on the same line as a torn one: the head is found, the torn part left out.
    std::string all;
    std::getline(std::ifstream(path), all, '\0');
    all.erase(all.rfind("0.200000"));
    const std::size_t head = all.find("# rxp-host capture", 1);
    all.erase(head - 1, 1);  // the torn line's end
    std::ofstream(path, std::ios::trunc) << all;
    const rxp::tools::Capture glued = rxp::tools::ReadCapture(path);
    ASSERT_EQ(glued.runs.size(), 2u);
    EXPECT_EQ(glued.runs[0].chunks.size(), 3u);
    EXPECT_EQ(glued.runs[1].chunks.size(), 2u);
    ASSERT_EQ(glued.warnings.size(), 1u);
    EXPECT_NE(glued.warnings[0].find("a torn line, the next run's head written after it"),
              std::string::npos)
        << glued.warnings[0];
    unlink(path.c_str());
}

// A bus capture: commands of addresses 1 and 2 in turn. Each address is answered from its own
// captured commands, in its own order, whatever order the devices are polled in now.
TEST(CaptureReplayOfABus, EachAddressIsAnsweredFromItsOwnCommandsInItsOrder) {
    const std::string path = TempPath("bus.capture");
    unlink(path.c_str());
    std::vector<rxptest::CapturedPair> pairs;
    for (int step = 0; step < 2; ++step) {
        for (unsigned char address : {1, 2}) {
            pairs.push_back(
                {rxptest::CommandTo(address, step), ReplyOf(address, 100u * address + step, step)});
        }
    }
    // A late reply of address 1 during the poll of address 2.
    pairs.push_back({rxptest::CommandTo(2, 2), ReplyOf(1, 0, 2)});
    rxptest::AppendCaptureRun(path, pairs);
    const std::string text = rxp::tools::FormatCapture(rxp::tools::ReadCapture(path));
    EXPECT_NE(text.find("  from address 1 while polling 2\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("from address 2"), std::string::npos) << text;
    rxp::sim::CaptureReplay replay(rxp::tools::CapturedExchanges(rxp::tools::ReadCapture(path)),
                                   rxp::sim::CaptureReplay::Timing::kAtOnce);
    for (unsigned char address : {2, 1}) {
        for (int step = 0; step < 2; ++step) {
            const rxp::sim::Exchange x =
                replay.OnFrame({rxptest::CommandTo(address, step), rxp::sim::Clock::now()});
            EXPECT_EQ(x.verdict, rxp::sim::FrameVerdict::kAnswered) << x.why;
            EXPECT_EQ(x.reply, ReplyOf(address, 100u * address + step, step))
                << "address " << int(address) << " step " << step;
        }
    }
    const rxp::sim::Exchange none =
        replay.OnFrame({rxptest::CommandTo(3, 0), rxp::sim::Clock::now()});
    EXPECT_EQ(none.verdict, rxp::sim::FrameVerdict::kOtherAddress);
    EXPECT_TRUE(none.reply.empty());
    EXPECT_EQ(replay.Tally(), "4 of 5 captured commands answered");
    unlink(path.c_str());
}

TEST(CaptureFileErrors, ALineThatIsNotAChunkIsNamedWithItsNumber) {
    const std::string path = TempPath("bad-capture");
    std::ofstream(path) << "# rxp-host capture\n0.1 1 1 -> 7E0D\n0.2 1 1 => 7E0D\n";
    try {
        rxp::tools::ReadCapture(path);
        ADD_FAILURE() << "read a bad capture";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path + ": line 3: direction '=>'"), std::string::npos)
            << e.what();
    }
    unlink(path.c_str());
}

TEST(SiteUnits, ScaleAndUnitByNameOrForEveryModuleShowInCsv) {
    const rxp::record::Units units = rxp::record::Units::FromText(
        R"({"phase_a_value1": {"scale": 0.1, "unit": "V"},
            "modules[*].value2": {"scale": 0.1, "unit": "A, DC"},
            "modules[6].value2": {"unit": "mA"}})",
        "site.json");
    Bytes record(289, 0);
    const auto* phase = rxp::tools::FindRecordField("phase_a_value1");
    const auto* m1 = rxp::tools::FindRecordField("modules[0].value2");
    const auto* m7 = rxp::tools::FindRecordField("modules[6].value2");
    const auto* dc = rxp::tools::FindRecordField("dc_value1");
    rxp::tools::WriteField(record.data(), phase->offset, phase->width, 2205);
    rxp::tools::WriteField(record.data(), m1->offset, m1->width, 123);
    rxp::tools::WriteField(record.data(), m7->offset, m7->width, 118);
    rxp::tools::WriteField(record.data(), dc->offset, dc->width, 5350);
    const std::vector<const rxp::tools::RecordField*> fields = {phase, m1, m7, dc};
    EXPECT_EQ(rxp::record::CsvHead(fields, units),
              "time,row,phase_a_value1 (V),\"modules[0].value2 (A, DC)\",modules[6].value2 (mA),"
              "dc_value1\n");
    EXPECT_EQ(rxp::record::CsvLine("2024-05-01T12:00:00+02:00", 7, record.data(), fields, units),
              "2024-05-01T12:00:00+02:00,7,220.5,12.3,118,5350\n");
    EXPECT_EQ(rxp::record::CsvLine("t", 0, record.data(), fields, rxp::record::Units()),
              "t,,2205,123,118,5350\n");

    for (const char* bad : {R"({"phase_z": {"unit": "V"}})", R"({"dc_value1": {"scale": 0}})",
                            R"({"dc_value1": {"factor": 2}})", "[]"}) {
        EXPECT_THROW(rxp::record::Units::FromText(bad, "site.json"), std::runtime_error) << bad;
    }
    try {
        rxp::record::Units::FromText(R"({"phase_z": {"unit": "V"}})", "site.json");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "site.json: \"phase_z\": not a field of the record");
    }
}

}  // namespace
