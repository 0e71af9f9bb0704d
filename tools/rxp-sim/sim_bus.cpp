#include "tools/rxp-sim/sim_bus.h"

namespace rxp::sim {

void Bus::Add(std::unique_ptr<PowerSystem> power) {
    devices_.push_back(std::move(power));
}

std::vector<Exchange> Bus::Answer(const CommandReader::Frame& frame) {
    // One power system says itself why it ignores a frame, as it always has.
    if (devices_.size() == 1) return devices_[0]->Answer(frame);

    Exchange ignored;
    ignored.received = frame.chars;
    ignored.received_start = frame.start;
    ignored.verdict = DecodeCommand(frame.chars, &ignored.command, &ignored.why);
    if (ignored.verdict != FrameVerdict::kAnswered) return {ignored};

    std::vector<Exchange> out;
    unsigned at_address = 0;
    for (const std::unique_ptr<PowerSystem>& d : devices_) {
        if (d->address() == ignored.command.address) ++at_address;
    }
    unsigned cabinet = 0;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const std::unique_ptr<PowerSystem>& d = devices_[i];
        if (d->address() != ignored.command.address) continue;
        Exchange x = d->OnFrame(frame);
        x.device = static_cast<unsigned>(i);
        if (x.verdict != FrameVerdict::kAnswered && !out.empty()) continue;
        std::string who = "address " + std::to_string(d->address());
        if (at_address > 1) {
            who += " (cabinet " + std::to_string(++cabinet) + " of " + std::to_string(at_address) +
                   ")";
        }
        if (!x.note.empty()) x.note = who + ": " + x.note;
        out.push_back(std::move(x));
    }
    if (out.empty()) {
        ignored.verdict = FrameVerdict::kOtherAddress;
        ignored.why = "no power system at address " + std::to_string(ignored.command.address);
        out.push_back(std::move(ignored));
    }
    return out;
}

std::string Bus::Tally() const {
    if (devices_.size() == 1) return devices_[0]->Tally();
    std::string text;
    for (const std::unique_ptr<PowerSystem>& d : devices_) {
        if (!text.empty()) text += "; ";
        text += "address " + std::to_string(d->address()) + ": " + d->Tally();
    }
    return text;
}

}  // namespace rxp::sim
