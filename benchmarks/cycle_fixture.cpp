#include "benchmarks/cycle_fixture.h"

#include <algorithm>

#include "tests/support/power_model.h"

namespace rxpbench {

CycleReplies::CycleReplies() {
    const rxptest::PowerModel model = rxptest::PowerModel::Distinct(1);
    for (int i = 0; i < 25; ++i) {
        frames.push_back(model.Reply(i));
        bytes += frames.back().size();
    }
}

bool RunCycle(SMDSPDevice& device, CycleReplies& replies) {
    device.RefreshStatus();
    bool as_expected = true;
    for (std::size_t i = 0; i < replies.frames.size(); ++i) {
        std::vector<unsigned char>& frame = replies.frames[i];
        const bool answer = device.process(frame.data(), static_cast<unsigned int>(frame.size()));
        as_expected = as_expected && answer == (i + 1 < replies.frames.size());
    }
    return as_expected;
}

LineCountingSink::int_type LineCountingSink::overflow(int_type c) {
    if (c == '\n') ++lines_;
    return traits_type::not_eof(c);
}

std::streamsize LineCountingSink::xsputn(const char* s, std::streamsize n) {
    lines_ += static_cast<std::size_t>(std::count(s, s + n, '\n'));
    return n;
}

}  // namespace rxpbench
