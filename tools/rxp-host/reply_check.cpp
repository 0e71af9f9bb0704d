#include "tools/rxp-host/reply_check.h"

#include <filesystem>
#include <system_error>

#include "protocol/frame.h"

namespace rxphost {

namespace {

// The address of a reply frame the device would take (whole, its length and checksum right);
// -1 for anything else, which the device drops by itself.
int ReplyAddress(const rxp::tools::Bytes& chars) {
    if (!rxp::tools::ReplyDropReason(chars.data(), chars.size(), 0).empty()) return -1;
    return rxp::frame::DecodePair(chars[1], chars[2]);
}

std::chrono::steady_clock::duration Seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

}  // namespace

ReplyCheck::ReplyCheck(unsigned baud, bool addresses) : baud_(baud), addresses_(addresses) {}

void ReplyCheck::LineOpened(const std::string& port) {
    std::error_code ec;
    const std::string device = std::filesystem::canonical(port, ec).string();
    on_pseudo_terminal_ = ec || device.rfind("/dev/pts/", 0) == 0;
}

void ReplyCheck::CommandWritten(Clock::time_point when, const unsigned char* chars,
                                std::size_t size) {
    command_.clear();
    rxp::tools::DecodeFrameChars(chars, size, &command_);
    command_written_ = when;
    on_the_line_ = when;
    if (baud_ != 0) on_the_line_ += Seconds(size * 10.0 / baud_);
}

// The reply's code bytes are the command's (the power system echoes them), and a module's reply
// starts with the module's number, the command's data byte:
//   -> 01 41 0E 01 07 sum        <- 01 41 0E 0B 07 14 E6 ... sum
bool ReplyCheck::AnswersCommand(const rxp::tools::Bytes& reply_chars) const {
    rxp::tools::Bytes reply;
    if (command_.size() < 4 ||
        !rxp::tools::DecodeFrameChars(reply_chars.data(), reply_chars.size(), &reply) ||
        reply.size() < 4) {
        return false;
    }
    if (reply[1] != command_[1] || reply[2] != command_[2]) return false;
    const std::size_t data = command_[3];
    return data == 0 || (reply.size() > 4 && command_.size() > 4 && reply[4] == command_[4]);
}

const std::vector<ReplyCheck::Judged>& ReplyCheck::Judge(const std::vector<Piece>& pieces,
                                                         unsigned polled, Clock::time_point now,
                                                         bool was_holding, bool holding) {
    const Clock::time_point first_began = was_holding ? held_since_ : now;
    if (holding && !(was_holding && pieces.empty())) held_since_ = now;

    std::vector<Judged>& judged = judged_;
    judged.clear();
    bool reply_in_chunk = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const int from = piece.frame ? ReplyAddress(piece.bytes) : -1;
        if (from < 0) {
            judged.push_back({Verdict::kPass, from});  // noise or a broken frame: the device's
            continue;
        }
        if (addresses_ && static_cast<unsigned>(from) != polled) {
            judged.push_back({Verdict::kOtherAddress, from});
            continue;
        }
        const Clock::time_point began = i == 0 ? first_began : now;
        const bool early =
            began < on_the_line_ && (!on_pseudo_terminal_ || !AnswersCommand(piece.bytes));
        if (reply_in_chunk || began < command_written_ || early) {
            judged.push_back({Verdict::kSecondReply, from});
            continue;
        }
        reply_in_chunk = true;
        judged.push_back({Verdict::kPass, from});
    }
    return judged;
}

}  // namespace rxphost
