#include "tools/rxp-sim/sim_core.h"

#include <algorithm>

#include "tools/common/frame_notation.h"
#include "tools/common/hex.h"

namespace rxp::sim {

namespace {

Bytes Encode(const Bytes& raw) {
    Bytes out(2 * raw.size() + 2);
    out.resize(frame::EncodeRaw(raw.data(), raw.size(), out.data()));
    return out;
}

// Address, code bytes, length and payload of a reply; the checksum is appended by the caller.
Bytes ReplyBody(const tools::RecordBytes& state, std::uint8_t address, const PollCommand& cmd,
                unsigned module) {
    Bytes payload(cmd.payload_needed, 0);
    std::size_t base = 0;
    if (cmd.step == kStepModule) {
        payload[0] = static_cast<unsigned char>(module);  // which module answers
        base = kModuleRowsOffset + kModuleRowSize * (module - 1);
    }
    for (unsigned f = cmd.first_field; f < cmd.first_field + cmd.field_count; ++f) {
        const ReplyField& field = kReplyFields[f];
        const std::uint32_t value =
            tools::ReadField(state.data(), base + field.record_offset, field.width);
        // Big-endian on the line.
        for (unsigned b = 0; b < field.width; ++b) {
            payload[field.payload_offset + b] =
                static_cast<unsigned char>(value >> (8 * (field.width - 1 - b)));
        }
    }
    Bytes raw;
    raw.reserve(frame::kHeaderBytes + payload.size() + 1);
    raw.push_back(address);
    raw.push_back(cmd.group);
    raw.push_back(cmd.command);
    raw.push_back(static_cast<unsigned char>(payload.size()));
    for (unsigned char b : payload) raw.push_back(b);
    return raw;
}

// The exchange of a received frame before anything is answered: the frame decoded and checked.
Exchange Decoded(const CommandReader::Frame& frame) {
    Exchange x;
    x.received = frame.chars;
    x.received_start = frame.start;
    x.verdict = DecodeCommand(frame.chars, &x.command, &x.why);
    return x;
}

}  // namespace

// --- CommandReader ------------------------------------------------------------------------

std::vector<CommandReader::Frame> CommandReader::Feed(const unsigned char* data, std::size_t size,
                                                      Clock::time_point now) {
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char b = data[i];
        if (b == frame::kStart) {
            dropped_ += pending_.size();  // a frame cut off by a new start character
            pending_.assign(1, b);
            collecting_ = true;
            start_ = now;
            continue;
        }
        if (!collecting_) {
            ++dropped_;  // noise between frames
            continue;
        }
        pending_.push_back(b);
        if (b == frame::kEnd) {
            frames.push_back(Frame{pending_, start_});
            pending_.clear();
            collecting_ = false;
        } else if (pending_.size() >= kMaxFrameChars) {
            dropped_ += pending_.size();  // longer than any command: not one
            pending_.clear();
            collecting_ = false;
        }
    }
    return frames;
}

// --- commands and replies -----------------------------------------------------------------

FrameVerdict DecodeCommand(const Bytes& chars, Command* out, std::string* why) {
    Bytes raw;
    if (!tools::DecodeFrameChars(chars.data(), chars.size(), &raw)) {
        *why = "not a frame of protocol characters";
        return FrameVerdict::kMalformed;
    }
    if (raw.size() < frame::kHeaderBytes + 1) {
        *why = "too short for a command";
        return FrameVerdict::kMalformed;
    }
    const std::size_t length = raw[3];
    if (raw.size() != frame::kHeaderBytes + length + 1) {
        *why = "length byte " + std::to_string(length) + " does not match " +
               std::to_string(raw.size() - frame::kHeaderBytes - 1) + " data bytes";
        return FrameVerdict::kMalformed;
    }
    const unsigned char expected = frame::CharSum(raw.data(), frame::kHeaderBytes + length);
    if (raw.back() != expected) {
        *why = "checksum " + hex::Byte(raw.back()) + ", expected " + hex::Byte(expected);
        return FrameVerdict::kBadChecksum;
    }
    out->address = raw[0];
    out->group = raw[1];
    out->command = raw[2];
    out->data.assign(raw.begin() + frame::kHeaderBytes, raw.end() - 1);
    return FrameVerdict::kAnswered;
}

const PollCommand* FindCommand(std::uint8_t group, std::uint8_t command) {
    for (const PollCommand& c : kPollCommands) {
        if (c.group == group && c.command == command) return &c;
    }
    return nullptr;
}

Bytes BuildReply(const tools::RecordBytes& state, std::uint8_t address, const PollCommand& cmd,
                 unsigned module) {
    Bytes raw = ReplyBody(state, address, cmd, module);
    raw.push_back(frame::CharSum(raw.data(), raw.size()));
    return Encode(raw);
}

Bytes Exchange::Wire() const {
    Bytes all = noise;
    all.insert(all.end(), reply.begin(), reply.end());
    return all;
}

// --- LineModel ----------------------------------------------------------------------------

std::chrono::nanoseconds LineModel::CharsTime(std::size_t chars) const {
    if (baud_ == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(chars) * 10 * 1000000000LL / baud_);
}

void LineModel::Schedule(Exchange& x, Clock::time_point now) {
    x.writes.clear();
    if (x.chunks.empty()) return;
    // Line time already past is no longer anyone's.
    busy_.erase(
        std::remove_if(busy_.begin(), busy_.end(), [now](const Busy& b) { return b.to < now; }),
        busy_.end());
    if (x.chunk_delays.size() == x.chunks.size()) {
        // A replayed reply keeps its captured timing, but after what the line still carries.
        Clock::time_point after = busy_.empty() ? now : busy_.back().to;
        for (std::size_t i = 0; i < x.chunks.size(); ++i) {
            after = std::max(now + x.chunk_delays[i], after);
            x.writes.push_back({after, x.chunks[i]});
        }
        Reserve(x.writes.front().at, x.writes.back().at);
        return;
    }
    // The writes, timed from the reply's start.
    std::vector<Exchange::Write> from_start;
    if (baud_ == 0) {
        for (std::size_t i = 0; i < x.chunks.size(); ++i) {
            from_start.push_back({Clock::time_point{} + i * kSplitGap, x.chunks[i]});
        }
    } else {
        const bool paced_by_character = x.chunks.size() == 1;
        std::size_t sent = 0;
        for (std::size_t size : x.chunks) {
            for (std::size_t part = paced_by_character ? 1 : size, left = size; left > 0;
                 left -= part) {
                sent += part;
                from_start.push_back({Clock::time_point{} + CharsTime(sent), part});
            }
        }
    }
    const Clock::time_point arrived =
        baud_ == 0 ? now : x.received_start + CharsTime(x.received.size());
    const Clock::duration length = from_start.back().at - Clock::time_point{};
    Clock::time_point& device_free = device_free_[x.device];
    const Clock::time_point start = Fit(std::max({arrived, now, device_free}) + x.delay, length);
    device_free = start + length;
    for (const Exchange::Write& w : from_start) {
        x.writes.push_back({start + (w.at - Clock::time_point{}), w.size});
    }
    Reserve(start, start + length);
}

Clock::time_point LineModel::Fit(Clock::time_point desired, Clock::duration length) const {
    Clock::time_point t = desired;
    // Sorted by start and never overlapping: one pass finds the first gap long enough.
    for (const Busy& b : busy_) {
        if (t < b.to && b.from < t + length) t = b.to;
    }
    return t;
}

void LineModel::Reserve(Clock::time_point from, Clock::time_point to) {
    const auto at = std::upper_bound(busy_.begin(), busy_.end(), from,
                                     [](Clock::time_point t, const Busy& b) { return t < b.from; });
    busy_.insert(at, Busy{from, to});
}

// --- PowerSystem --------------------------------------------------------------------------

PowerSystem::PowerSystem(tools::Scenario scenario, std::uint8_t address, FaultOptions faults)
    : scenario_(std::move(scenario)), address_(address), faults_(faults), random_(faults.seed) {}

unsigned PowerSystem::Random(unsigned low, unsigned high) {
    // The generator's raw output, so that a seed gives the same bytes with any library.
    return low + static_cast<unsigned>(random_() % (high - low + 1));
}

Exchange PowerSystem::OnFrame(const CommandReader::Frame& frame) {
    Exchange x = Decoded(frame);
    if (x.verdict != FrameVerdict::kAnswered) return x;

    const Command& c = x.command;
    if (c.address != address_) {
        x.verdict = FrameVerdict::kOtherAddress;
        x.why = "for address " + std::to_string(c.address) + ", not " + std::to_string(address_);
        return x;
    }
    const PollCommand* cmd = FindCommand(c.group, c.command);
    const std::size_t data_needed = cmd != nullptr && cmd->step == kStepModule ? 1 : 0;
    if (cmd == nullptr || c.data.size() != data_needed) {
        x.verdict = FrameVerdict::kUnknownCommand;
        x.why = "not a command of this power system";
        return x;
    }
    unsigned module = 0;
    if (cmd->step == kStepModule) {
        module = c.data[0];
        if (module < 1 || module > kModuleCount) {
            x.verdict = FrameVerdict::kUnknownCommand;
            x.why = "no module " + std::to_string(module) + " (modules are 1 to 20)";
            return x;
        }
    }
    x.meaning = tools::CommandName(c.group, c.command, c.data.data(), c.data.size());

    x.reply_number = ++replies_;
    x.cycle = completed_ + 1;
    Bytes raw = ReplyBody(scenario_.StateForCycle(x.cycle), address_, *cmd, module);
    ApplyFaults(x);
    if (x.shortened && raw[3] > 0) {
        raw.pop_back();
        raw[3] = static_cast<unsigned char>(raw[3] - 1);
    }
    unsigned char checksum = frame::CharSum(raw.data(), raw.size());
    if (x.corrupted) checksum = static_cast<unsigned char>(checksum + 1);
    raw.push_back(checksum);
    if (x.dropped) {
        x.note = "reply " + std::to_string(x.reply_number) + " dropped";
        return x;
    }

    x.reply = Encode(raw);
    if (faults_.noise_max > 0) {
        const unsigned n = Random(1, faults_.noise_max);
        for (unsigned i = 0; i < n; ++i) {
            // Never a start character: the receiver would take it as the start of a frame.
            unsigned char b = static_cast<unsigned char>(Random(0, 0xFE));
            if (b >= frame::kStart) ++b;
            x.noise.push_back(b);
        }
    }
    const std::size_t total = x.noise.size() + x.reply.size();
    if (faults_.split_max > 0) {
        for (std::size_t left = total; left > 0;) {
            const std::size_t size =
                std::min<std::size_t>(left, Random(1, std::max(1u, faults_.split_max)));
            x.chunks.push_back(size);
            left -= size;
        }
    } else {
        x.chunks.push_back(total);
    }
    x.completes_cycle = cmd->step == kStepDc && !x.corrupted && !x.shortened;
    if (x.completes_cycle) ++completed_;

    x.note = "reply " + std::to_string(x.reply_number) + ", cycle " + std::to_string(x.cycle);
    if (x.shortened) x.note += ", payload one byte short";
    if (x.corrupted) x.note += ", checksum corrupted";
    if (x.chunks.size() > 1) x.note += ", in " + std::to_string(x.chunks.size()) + " chunks";
    if (x.delay.count() > 0) x.note += ", delayed " + std::to_string(x.delay.count()) + " ms";
    if (x.completes_cycle) x.note += ", cycle complete";
    return x;
}

std::vector<Exchange> PowerSystem::Answer(const CommandReader::Frame& frame) {
    return {OnFrame(frame)};
}

std::string PowerSystem::Tally() const {
    return std::to_string(replies_) + " replies, " + std::to_string(completed_) +
           " completed cycles";
}

void PowerSystem::ApplyFaults(Exchange& x) {
    const unsigned n = x.reply_number;
    auto every = [n](unsigned period) { return period > 0 && n % period == 0; };
    x.dropped = every(faults_.drop_every);
    x.shortened = every(faults_.short_every);
    x.corrupted = every(faults_.corrupt_every);
    if (faults_.delay_ms > 0 && every(std::max(1u, faults_.delay_every))) {
        x.delay = std::chrono::milliseconds(faults_.delay_ms);
    }
}

// --- CaptureReplay ------------------------------------------------------------------------

CaptureReplay::CaptureReplay(std::vector<tools::CapturedExchange> exchanges, Timing timing, End end)
    : exchanges_(std::move(exchanges)), timing_(timing), end_(end) {
    for (std::size_t i = 0; i < exchanges_.size(); ++i) {
        Command c;
        std::string why;
        // A command the host sent garbled is never asked again in a form that matches it.
        if (DecodeCommand(exchanges_[i].command, &c, &why) != FrameVerdict::kAnswered) continue;
        devices_[c.address].commands.push_back(i);
    }
}

Exchange CaptureReplay::OnFrame(const CommandReader::Frame& frame) {
    Exchange x = Decoded(frame);
    if (x.verdict != FrameVerdict::kAnswered) return x;
    x.meaning = tools::CommandName(x.command.group, x.command.command, x.command.data.data(),
                                   x.command.data.size());
    const std::string address = std::to_string(x.command.address);
    const auto found = devices_.find(x.command.address);
    if (found == devices_.end()) {
        x.verdict = FrameVerdict::kOtherAddress;
        x.why = "the capture has no commands for address " + address;
        return x;
    }
    Device& d = found->second;
    auto next_of = [this, &d, &frame](std::size_t from) {
        while (from < d.commands.size() && exchanges_[d.commands[from]].command != frame.chars) {
            ++from;
        }
        return from;
    };
    std::size_t at = d.played_out ? d.commands.size() : next_of(d.next);
    if (at == d.commands.size() && !d.played_out) {
        if (end_ == End::kLoop && next_of(0) < d.commands.size()) {
            at = next_of(0);
            d.next = 0;
            if (d.loops++ == 0) {
                x.notice = "the capture is played out for address " + address +
                           "; it starts over (--loop), and will each time it ends";
            }
        } else {
            d.played_out = true;
            x.notice = "the capture is played out for address " + address + " (no " + x.meaning +
                       " after its command " + std::to_string(d.next) + " of " +
                       std::to_string(d.commands.size()) + "); address " + address +
                       " is not answered any more (--loop starts over)";
        }
    }
    if (at == d.commands.size()) {
        x.verdict = FrameVerdict::kUnknownCommand;
        x.why = "the capture is played out for address " + address;
        return x;
    }
    skipped_ += at - d.next;
    d.next = at + 1;
    ++answered_;
    const std::size_t index = d.commands[at];
    x.reply_number = static_cast<unsigned>(index + 1);

    const tools::CapturedExchange& captured = exchanges_[index];
    std::chrono::nanoseconds previous{0};
    for (std::size_t i = 0; i < captured.replies.size(); ++i) {
        const tools::CapturedExchange::Reply& r = captured.replies[i];
        x.reply.insert(x.reply.end(), r.bytes.begin(), r.bytes.end());
        x.chunks.push_back(r.bytes.size());
        // Captured to the microsecond.
        std::chrono::nanoseconds delay =
            std::chrono::round<std::chrono::microseconds>(std::chrono::duration<double>(r.delay));
        // Bytes the host got after it had given up stay late, or they would answer the poll.
        if (timing_ == Timing::kAtOnce && !r.late) delay = i * LineModel::kSplitGap;
        previous = std::max(previous, delay);
        x.chunk_delays.push_back(previous);
    }
    x.dropped = captured.replies.empty();
    x.note = "captured reply to command " + std::to_string(index + 1);
    if (x.dropped) x.note += ": none came";
    if (x.chunks.size() > 1) x.note += ", in " + std::to_string(x.chunks.size()) + " chunks";
    return x;
}

std::vector<Exchange> CaptureReplay::Answer(const CommandReader::Frame& frame) {
    return {OnFrame(frame)};
}

std::string CaptureReplay::Tally() const {
    std::string text = std::to_string(answered_) + " of " + std::to_string(exchanges_.size()) +
                       " captured commands answered";
    if (skipped_ > 0) text += ", " + std::to_string(skipped_) + " skipped";
    for (const auto& [address, d] : devices_) {
        if (d.played_out) text += ", played out for address " + std::to_string(address);
        if (d.loops > 0) {
            text += ", address " + std::to_string(address) + " started over " +
                    std::to_string(d.loops) + " times";
        }
    }
    return text;
}

}  // namespace rxp::sim
