#include "tools/common/capture.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "protocol/frame.h"
#include "protocol/reply_layout.h"
#include "tools/common/hex.h"
#include "tools/common/time_text.h"

namespace rxp::tools {

void CaptureWriter::Open(const std::string& path) {
    file_.Open(path, "capture file");
    if (file_.ended_torn_line()) {
        *diagnostics_ << "rxp-host: capture file '" << path
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

bool CaptureWriter::Reopen() {
    if (!file_.is_open() || !file_.Replaced()) return false;
    file_.Open(file_.path(), "capture file");
    head_ = "# rxp-host capture\n" + started_ + "# opened again " +
            IsoTimeNow(TimePrecision::kMilliseconds) + "\n";
    Put("");
    return true;
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
            *diagnostics_ << "rxp-host: capture file '" << file_.path() << "' is written again; "
                          << lost_unreported_ << " lines were lost" << std::endl;
        }
        head_.clear();
        lost_unreported_ = 0;
        return;
    }
    if (line.empty()) return;  // the head alone: it waits for the first line
    if (lost_unreported_ == 0) {
        *diagnostics_ << "rxp-host: cannot write capture file '" << file_.path() << "': " << error
                      << "; trying again with every line" << std::endl;
    }
    ++lost_total_;
    ++lost_unreported_;
}

namespace {

const char kRunHead[] = "# rxp-host capture";
const char kStartedHead[] = "# started ";

bool StartsWith(const std::string& text, const char* head) {
    return text.compare(0, std::strlen(head), head) == 0;
}

// One line of chunk; throws naming the file and line.
CaptureChunk ParseChunk(const std::string& line, const std::string& path, unsigned number) {
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
    return chunk;
}

}  // namespace

Capture ReadCapture(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in) throw std::runtime_error("cannot read capture file '" + path + "'");
    Capture capture;
    auto run = [&capture](unsigned number) -> CaptureRun& {
        if (capture.runs.empty()) capture.runs.push_back(CaptureRun{"", number, {}});
        return capture.runs.back();
    };
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ": line " + std::to_string(number) + ": ";
        // Only the last line can lack its end: the writer stopped in the middle of it.
        if (in.eof()) {
            capture.warnings.push_back(where + "the last line is torn (no end of line), left out");
            break;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        // A run whose head was written after a torn line, on the same line.
        const std::size_t head = line.find(kRunHead);
        if (head != std::string::npos && head > 0) {
            capture.warnings.push_back(where + "a torn line, the next run's head written after " +
                                       "it; the torn part is left out");
            line.erase(0, head);
        }
        if (StartsWith(line, kRunHead)) {
            capture.runs.push_back(CaptureRun{"", number, {}});
        } else if (StartsWith(line, kStartedHead)) {
            // A second start without a head is a run of its own too.
            if (!capture.runs.empty() && !capture.runs.back().started.empty()) {
                capture.runs.push_back(CaptureRun{"", number, {}});
            }
            run(number).started = line.substr(std::strlen(kStartedHead));
        } else if (line[0] != '#') {
            run(number).chunks.push_back(ParseChunk(line, path, number));
        }
    }
    return capture;
}

namespace {

// The address byte of a reply frame (its first character pair), -1 when it is not one.
int ReplyAddress(const Bytes& frame) {
    auto digit = [](unsigned char c) { return c >= 0x30 && c <= 0x3F; };
    if (frame.size() < 3 || !digit(frame[1]) || !digit(frame[2])) return -1;
    return frame::DecodePair(frame[1], frame[2]);
}

std::string FormatRun(const CaptureRun& capture) {
    WallClock::time_point start{};
    if (!capture.started.empty()) start = ParseIsoTime(capture.started);
    std::ostringstream out;
    FrameCutter cutter;
    unsigned payload_needed = 0;
    int polled = -1;  // the address of the last command, -1 when it could not be read
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
            polled = -1;
            if (DecodeFrameChars(c.bytes.data(), c.bytes.size(), &raw) && raw.size() >= 3) {
                polled = raw[0];
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
                // On a bus the host hands a reply from another address to no device.
                const int from = ReplyAddress(p.bytes);
                if (c.poll != 0 && polled >= 0 && from >= 0 && from != polled) {
                    note = "from address " + std::to_string(from) + " while polling " +
                           std::to_string(polled);
                }
            }
            out << FrameLine(piece_time, c.direction, p.bytes.data(), p.bytes.size(), note) << '\n';
            piece_time = time;
        }
        held_time = piece_time;
    }
    flush();
    return out.str();
}

}  // namespace

std::string FormatCapture(const Capture& capture) {
    if (capture.runs.size() == 1) return FormatRun(capture.runs[0]);
    std::string text;
    for (std::size_t i = 0; i < capture.runs.size(); ++i) {
        const CaptureRun& run = capture.runs[i];
        text += "== run " + std::to_string(i + 1) + " of " + std::to_string(capture.runs.size());
        if (!run.started.empty()) text += ", started " + run.started;
        text += ", line " + std::to_string(run.first_line);
        if (run.chunks.empty()) text += ", no chunks";
        text += " ==\n" + FormatRun(run);
    }
    return text;
}

std::vector<CapturedExchange> CapturedExchanges(const Capture& capture) {
    std::vector<CapturedExchange> exchanges;
    for (const CaptureRun& run : capture.runs) {
        // Bytes before a run's first command answer nothing the replay will be asked.
        bool in_run = false;
        double sent_at = 0;
        for (const CaptureChunk& c : run.chunks) {
            if (c.direction == LineDirection::kToPowerSystem) {
                exchanges.push_back(CapturedExchange{c.bytes, {}});
                sent_at = c.seconds;
                in_run = true;
                continue;
            }
            if (!in_run) continue;
            exchanges.back().replies.push_back({c.seconds - sent_at, c.poll == 0, c.bytes});
        }
    }
    return exchanges;
}

}  // namespace rxp::tools
