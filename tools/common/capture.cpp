#include "tools/common/capture.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "protocol/reply_layout.h"
#include "tools/common/hex.h"
#include "tools/common/time_text.h"

namespace rxp::tools {

void CaptureWriter::Open(const std::string& path) {
    file_.Open(path, "capture file");
    if (file_.ended_torn_line()) {
        std::cerr << "rxp-host: capture file '" << path
                  << "' ended in an unfinished line; this run starts on a line of its own"
                  << std::endl;
    }
    started_ = "# started " + IsoTimeNow(TimePrecision::kMilliseconds) + "\n";
    head_ = "# rxp-host capture\n" + started_;
    Put("");
    // Seconds count from here, after the head is written, so that writing it costs no chunk
    // its place in time.
    start_ = Clock::now();
}

void CaptureWriter::Reopen() {
    if (!file_.is_open()) return;
    file_.Open(file_.path(), "capture file");
    head_ = "# rxp-host capture\n" + started_ + "# opened again " +
            IsoTimeNow(TimePrecision::kMilliseconds) + "\n";
    Put("");
}

void CaptureWriter::Write(Clock::time_point when, unsigned poll, unsigned step,
                          LineDirection direction, const unsigned char* data, std::size_t size) {
    if (!file_.is_open()) return;
    char head[64];
    const double seconds = std::chrono::duration<double>(when - start_).count();
    if (poll == 0) {
        std::snprintf(head, sizeof(head), "%.6f - - ", seconds);
    } else {
        std::snprintf(head, sizeof(head), "%.6f %u %u ", seconds, poll, step);
    }
    Put(head + std::string(direction == LineDirection::kToPowerSystem ? "-> " : "<- ") +
        hex::Upper(data, size) + "\n");
}

void CaptureWriter::Note(const std::string& text) {
    if (file_.is_open()) Put("# " + text + "\n");
}

// A line goes out whole or not at all; the head of the run and the note of lost lines go
// before the first line that gets through after them, so that no line stands without its run.
void CaptureWriter::Put(const std::string& line) {
    std::string text = head_;
    if (lost_unreported_ > 0) {
        text += "# " + std::to_string(lost_unreported_) +
                (lost_unreported_ == 1 ? " line" : " lines") + " could not be written\n";
    }
    text += line;
    std::string error;
    if (file_.Append(text, &error)) {
        if (lost_unreported_ > 0) {
            std::cerr << "rxp-host: capture file '" << file_.path() << "' is written again; "
                      << lost_unreported_ << " lines were lost" << std::endl;
        }
        head_.clear();
        lost_unreported_ = 0;
        return;
    }
    if (line.empty()) return;  // the head alone: it waits for the first line
    if (lost_unreported_ == 0) {
        std::cerr << "rxp-host: cannot write capture file '" << file_.path() << "': " << error
                  << "; trying again with every line" << std::endl;
    }
    ++lost_total_;
    ++lost_unreported_;
}

Capture ReadCapture(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) throw std::runtime_error("cannot read capture file '" + path + "'");
    Capture capture;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '#') {
            const std::string started = "# started ";
            if (line.compare(0, started.size(), started) == 0) {
                capture.started = line.substr(started.size());
            }
            continue;
        }
        auto fail = [&](const std::string& what) {
            throw std::runtime_error(path + ": line " + std::to_string(number) + ": " + what);
        };
        std::istringstream fields(line);
        CaptureChunk chunk;
        std::string poll, step, dir, bytes;
        if (!(fields >> chunk.seconds >> poll >> step >> dir >> bytes) || chunk.seconds < 0) {
            fail("expected: seconds poll step dir bytes");
        }
        if (dir == "->") {
            chunk.direction = LineDirection::kToPowerSystem;
        } else if (dir == "<-") {
            chunk.direction = LineDirection::kFromPowerSystem;
        } else {
            fail("direction '" + dir + "': expected -> or <-");
        }
        if (poll != "-") {
            try {
                chunk.poll = static_cast<unsigned>(std::stoul(poll));
                chunk.step = static_cast<unsigned>(std::stoul(step));
            } catch (const std::exception&) {
                fail("poll and step are numbers or -");
            }
        }
        try {
            chunk.bytes = hex::Parse(bytes);
        } catch (const std::exception& e) {
            fail(std::string("bytes: ") + e.what());
        }
        capture.chunks.push_back(std::move(chunk));
    }
    return capture;
}

std::string FormatCapture(const Capture& capture) {
    WallClock::time_point start{};
    if (!capture.started.empty()) start = ParseIsoTime(capture.started);
    std::ostringstream out;
    FrameCutter cutter;
    unsigned payload_needed = 0;
    std::string held_time;

    auto time_of = [&](double seconds) {
        return IsoTime(start + std::chrono::duration_cast<WallClock::duration>(
                                   std::chrono::duration<double>(seconds)),
                       TimePrecision::kMilliseconds);
    };
    auto flush = [&]() {
        FrameCutter::Piece held;
        if (!cutter.Flush(&held)) return;
        out << FrameLine(held_time, LineDirection::kFromPowerSystem, held.bytes.data(),
                         held.bytes.size(), "incomplete")
            << '\n';
    };

    for (const CaptureChunk& c : capture.chunks) {
        const std::string time = time_of(c.seconds);
        if (c.direction == LineDirection::kToPowerSystem) {
            flush();
            Bytes raw;
            payload_needed = 0;
            if (DecodeFrameChars(c.bytes.data(), c.bytes.size(), &raw) && raw.size() >= 3) {
                for (const PollCommand& p : kPollCommands) {
                    if (p.group == raw[1] && p.command == raw[2]) payload_needed = p.payload_needed;
                }
            }
            std::string note = CommandNameOfFrame(c.bytes.data(), c.bytes.size());
            if (c.poll != 0) {
                note += ", poll " + std::to_string(c.poll) + " step " + std::to_string(c.step);
            }
            out << FrameLine(time, c.direction, c.bytes.data(), c.bytes.size(), note) << '\n';
            continue;
        }
        // A piece is shown at the time its first byte came.
        std::string piece_time = cutter.holding() ? held_time : time;
        for (const FrameCutter::Piece& p : cutter.Feed(c.bytes.data(), c.bytes.size())) {
            std::string note;
            if (p.frame) {
                const std::string reason =
                    ReplyDropReason(p.bytes.data(), p.bytes.size(), payload_needed);
                note = c.poll == 0 ? kLateNote : reason.empty() ? AcceptedNote(c.step) : reason;
            }
            out << FrameLine(piece_time, c.direction, p.bytes.data(), p.bytes.size(), note) << '\n';
            piece_time = time;
        }
        held_time = piece_time;
    }
    flush();
    return out.str();
}

std::vector<CapturedExchange> CapturedExchanges(const Capture& capture) {
    std::vector<CapturedExchange> exchanges;
    double sent_at = 0;
    for (const CaptureChunk& c : capture.chunks) {
        if (c.direction == LineDirection::kToPowerSystem) {
            exchanges.push_back(CapturedExchange{c.bytes, {}});
            sent_at = c.seconds;
            continue;
        }
        // Bytes before the first command answer nothing the replay will be asked.
        if (exchanges.empty()) continue;
        exchanges.back().replies.push_back({c.seconds - sent_at, c.poll == 0, c.bytes});
    }
    return exchanges;
}

}  // namespace rxp::tools
