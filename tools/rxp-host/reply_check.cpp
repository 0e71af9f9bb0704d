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

ReplyCheck::ReplyCheck(unsigned baud, bool addresses) : baud_(baud), addresses_(addresses) {
    if (baud_ == 0) pace_ = Pace::kUnpaced;
}

void ReplyCheck::LineOpened(const std::string& port) {
    if (baud_ == 0) return;
    std::error_code ec;
    const std::string device = std::filesystem::canonical(port, ec).string();
    on_pseudo_terminal_ = ec || device.rfind("/dev/pts/", 0) == 0;
    if (!on_pseudo_terminal_) pace_ = Pace::kPaced;
}

void ReplyCheck::CommandWritten(Clock::time_point when, std::size_t size) {
    command_size_ = size;
    command_written_ = when;
    replies_from_ = when;
    if (pace_ == Pace::kPaced) replies_from_ += Seconds(size * 10.0 / baud_);
}

void ReplyCheck::PollTimedOut() {
    if (on_pseudo_terminal_ && refused_early_) pace_ = Pace::kUnpaced;
}

std::vector<ReplyCheck::Judged> ReplyCheck::Judge(const std::vector<Piece>& pieces, unsigned polled,
                                                  Clock::time_point now, bool was_holding,
                                                  bool holding) {
    const Clock::time_point first_began = was_holding ? held_since_ : now;
    if (holding && !(was_holding && pieces.empty())) held_since_ = now;

    std::vector<Judged> judged;
    bool reply_in_chunk = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const int from = piece.frame ? ReplyAddress(piece.bytes) : -1;
        if (from >= 0 && addresses_ && static_cast<unsigned>(from) != polled) {
            judged.push_back({Verdict::kOtherAddress, from});
            continue;
        }
        const Clock::time_point began = i == 0 ? first_began : now;
        if (from >= 0 && (reply_in_chunk || began < replies_from_)) {
            refused_early_ = refused_early_ || !reply_in_chunk;
            judged.push_back({Verdict::kSecondReply, from});
            continue;
        }
        if (from >= 0 && pace_ == Pace::kUnknown) {
            // The first reply of the run, on an idle line: a far end that answers sooner than
            // the command and the reply take at --baud does not keep to the line speed.
            const double line_time = (command_size_ + piece.bytes.size()) * 10.0 / baud_;
            pace_ = std::chrono::duration<double>(now - command_written_).count() >= 0.8 * line_time
                        ? Pace::kPaced
                        : Pace::kUnpaced;
        }
        reply_in_chunk = reply_in_chunk || from >= 0;
        judged.push_back({Verdict::kPass, from});
    }
    return judged;
}

}  // namespace rxphost
