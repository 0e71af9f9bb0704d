#include "tools/common/frame_notation.h"

#include <algorithm>
#include <cstring>

#include "protocol/frame.h"
#include "protocol/reply_layout.h"
#include "tools/common/hex.h"

namespace rxp::tools {

namespace {

bool IsProtocolChar(unsigned char c) {
    return c >= frame::kCharBase && c <= frame::kCharBase + 0x0F;
}

std::string StepMeaning(const PollCommand& cmd, const unsigned char* data, std::size_t size) {
    switch (cmd.step) {
        case kStepPhases:
            return "AC phases";
        case kStepAcValue:
            return "AC value";
        case kStepFrequency:
            return "AC frequency state";
        case kStepModule:
            return size == 1 ? "module " + std::to_string(data[0]) : "module ?";
        case kStepSwitches:
            return "breakers and switches";
        case kStepDc:
            return "DC values and status";
    }
    return "step " + std::to_string(cmd.step);
}

}  // namespace

const char kLateNote[] = "late or unexpected";

bool DecodeFrameChars(const unsigned char* chars, std::size_t size, Bytes* raw) {
    if (size < 2 || chars[0] != frame::kStart || chars[size - 1] != frame::kEnd) return false;
    if ((size - 2) % 2 != 0) return false;
    raw->clear();
    for (std::size_t i = 1; i + 1 < size; i += 2) {
        if (!IsProtocolChar(chars[i]) || !IsProtocolChar(chars[i + 1])) return false;
        raw->push_back(frame::DecodePair(chars[i], chars[i + 1]));
    }
    return true;
}

std::string CommandName(std::uint8_t group, std::uint8_t command, const unsigned char* data,
                        std::size_t data_size) {
    std::string name = "0x" + hex::Byte(group) + "/0x" + hex::Byte(command);
    for (const PollCommand& c : kPollCommands) {
        if (c.group == group && c.command == command) {
            return name + " " + StepMeaning(c, data, data_size);
        }
    }
    return name;
}

int ExpectedReplyPayload(const unsigned char* chars, std::size_t size) {
    // ~ aa gg cc ...: the address, group and command characters are the first after the start.
    if (size < frame::FrameChars(0) || chars[0] != frame::kStart) return -1;
    const unsigned char group = frame::DecodePair(chars[3], chars[4]);
    const unsigned char command = frame::DecodePair(chars[5], chars[6]);
    for (const PollCommand& c : kPollCommands) {
        if (c.group == group && c.command == command) return c.payload_needed;
    }
    return -1;
}

std::string CommandNameOfFrame(const unsigned char* chars, std::size_t size) {
    Bytes raw;
    if (!DecodeFrameChars(chars, size, &raw) || raw.size() < frame::kHeaderBytes + 1) return "";
    const std::size_t length = raw[3];
    const std::size_t data = raw.size() - frame::kHeaderBytes - 1;
    return CommandName(raw[1], raw[2], raw.data() + frame::kHeaderBytes,
                       length < data ? length : data);
}

std::string FrameText(const unsigned char* chars, std::size_t size, LineDirection direction) {
    if (size == 0 || chars[0] != frame::kStart) {
        return "noise " + std::to_string(size) + (size == 1 ? " byte: " : " bytes: ") +
               hex::Spaced(chars, size);
    }
    Bytes raw;
    if (!DecodeFrameChars(chars, size, &raw) || raw.size() < frame::kHeaderBytes + 1) {
        return hex::Spaced(chars, size);
    }
    // ~ addr, codes, len, data or payload, sum CR: the length byte places the checksum, as the
    // codec reads it; bytes beyond it are shown after it.
    const std::size_t length = raw[3];
    const std::size_t held = raw.size() - frame::kHeaderBytes;
    const std::size_t shown = length < held ? length : held;
    std::string text = "~ addr " + hex::Byte(raw[0]) + " codes " + hex::Byte(raw[1]) + "/" +
                       hex::Byte(raw[2]) + " len " + std::to_string(length);
    if (shown > 0) {
        text += direction == LineDirection::kToPowerSystem ? " data " : " payload ";
        text += hex::Spaced(raw.data() + frame::kHeaderBytes, shown);
    }
    if (length < held) {
        text += " sum " + hex::Byte(raw[frame::kHeaderBytes + length]);
        const std::size_t after = held - length - 1;
        if (after > 0) {
            text += " then " + hex::Spaced(raw.data() + frame::kHeaderBytes + length + 1, after);
        }
    } else {
        text += " (no checksum)";
    }
    return text + " CR";
}

std::string FrameLine(const std::string& time, LineDirection direction, const unsigned char* chars,
                      std::size_t size, const std::string& note) {
    std::string line = time;
    line += direction == LineDirection::kToPowerSystem ? " -> " : " <- ";
    line += FrameText(chars, size, direction);
    if (!note.empty()) line += "  " + note;
    return line;
}

std::string AcceptedNote(unsigned step) {
    return "accepted for step " + std::to_string(step);
}

std::string ReplyDropReason(const unsigned char* chars, std::size_t size, unsigned payload_needed) {
    if (size == 0 || chars[0] != frame::kStart) return "dropped: no start character";
    if (size < frame::kMinFrameChars || chars[size - 1] != frame::kEnd) {
        return "dropped: incomplete frame";
    }
    if (size > frame::kRxBufferSize) {
        return "dropped: " + std::to_string(size) + " characters, more than the device holds";
    }
    // Decoded as the codec decodes: pairs between start and end character, unchecked.
    // On the stack: every reply of a cycle comes through here (the reply check asks).
    const std::size_t decoded = (size - 2) / 2;
    unsigned char raw[frame::kRxBufferSize / 2];
    frame::DecodePairs(chars + 1, decoded, raw);
    if (decoded <= frame::kHeaderBytes) return "dropped: frame too short";
    const std::size_t length = raw[3];
    const std::size_t checksum_at = frame::kHeaderBytes + length;
    if (checksum_at >= decoded) {
        return "dropped: length byte says " + std::to_string(length) +
               " payload bytes, frame holds " + std::to_string(decoded - frame::kHeaderBytes - 1);
    }
    const unsigned char expected = frame::CharSum(raw, checksum_at);
    if (expected != raw[checksum_at]) {
        return "dropped: checksum expected " + hex::Byte(expected) + " got " +
               hex::Byte(raw[checksum_at]);
    }
    if (length < payload_needed) {
        return "dropped: payload " + std::to_string(length) + " bytes, step needs " +
               std::to_string(payload_needed);
    }
    return "";
}

std::vector<FrameCutter::Piece> FrameCutter::Feed(const unsigned char* data, std::size_t size) {
    std::vector<Piece> pieces;
    const unsigned char* end = data + size;
    for (const unsigned char* p = data; p < end;) {
        if (!in_frame_ && *p == frame::kStart) {
            if (!held_.empty()) pieces.push_back(Piece{held_, false});
            held_.assign(1, *p++);
            in_frame_ = true;
            continue;
        }
        if (!in_frame_) {
            // Noise up to the next start character.
            const void* start = std::memchr(p, frame::kStart, static_cast<std::size_t>(end - p));
            p = Hold(p, start ? static_cast<const unsigned char*>(start) : end, &pieces);
            continue;
        }
        // A frame's characters up to its end character; a start character inside is an
        // ordinary one.
        const void* found = std::memchr(p, frame::kEnd, static_cast<std::size_t>(end - p));
        const unsigned char* body_end = found ? static_cast<const unsigned char*>(found) : end;
        p = Hold(p, body_end, &pieces);
        // Overflowed (its end character, if it is next, is noise), or the chunk ended first.
        if (!in_frame_ || p < body_end || !found) continue;
        held_.push_back(*p++);
        pieces.push_back(Piece{held_, true});
        held_.clear();
        in_frame_ = false;
    }
    // Noise is shown as it comes, not held for a frame that may never start.
    if (!in_frame_ && !held_.empty()) {
        pieces.push_back(Piece{held_, false});
        held_.clear();
    }
    return pieces;
}

const unsigned char* FrameCutter::Hold(const unsigned char* from, const unsigned char* to,
                                       std::vector<Piece>* pieces) {
    const std::size_t room = frame::kRxBufferSize - held_.size();
    const std::size_t take = std::min<std::size_t>(room, static_cast<std::size_t>(to - from));
    held_.insert(held_.end(), from, from + take);
    if (held_.size() >= frame::kRxBufferSize) {
        // More than the device would ever hold as one frame: shown as it came.
        pieces->push_back(Piece{held_, false});
        held_.clear();
        in_frame_ = false;
    }
    return from + take;
}

bool FrameCutter::Flush(Piece* piece) {
    if (held_.empty()) return false;
    *piece = Piece{held_, false};
    held_.clear();
    in_frame_ = false;
    return true;
}

}  // namespace rxp::tools
