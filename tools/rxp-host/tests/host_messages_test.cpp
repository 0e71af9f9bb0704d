// What rxp-host tells people, end to end against the simulator: its standard output (the
// plug-in's lines tagged, dropped or sent to the events file, the summaries, a standard output
// nobody reads), and the one-line errors that name the thing, the reason and the fix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::milliseconds;

namespace {

class HostMessages : public hosttest::SimAndHostTest {};

TEST_F(HostMessages, StandardOutputNobodyReadsNeverHoldsUpThePolls) {
    StartSim(Json::Value(Json::objectValue), {});
    // Standard output is a pipe of one page that the host itself holds open and nobody reads:
    // it is full after a dozen cycles.
    hosttest::Process host(HostArgs({"--interval", "0.1"}), out(), err(), [] {
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(125);
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        ::dup2(ends[1], 1);
    });
    std::this_thread::sleep_for(std::chrono::seconds(60));
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(15000)), 0) << hosttest::ReadText(err());

    // 600 rounds start in 60 s at --interval 0.1; half of them is the margin for a busy machine.
    const std::size_t cycles = CyclesSoFar();
    EXPECT_GE(cycles, 300u);
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), cycles);
    EXPECT_NE(hosttest::ReadText(err()).find("of standard output dropped"), std::string::npos)
        << hosttest::ReadText(err());
}

struct OutputCase {
    std::vector<std::string> options;
    std::vector<std::string> in_out;      // on standard output
    std::vector<std::string> not_in_out;  // nowhere on standard output
    std::size_t plugin_events;            // "plugin_output" events
};

TEST_F(HostMessages, PluginLinesAreTaggedDroppedOrEventsAndSummariesFollowSummary) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::vector<OutputCase> cases = {
        {{}, {"plug-in: rvSize is 0\ncycle 1", "cycle 3"}, {"\nrvSize"}, 0},
        {{"--plugin-output", "drop", "--summary", "changes"},
         {"cycle 1", "cycles completed in"},
         {"rvSize", "cycle 2"},
         0},
        {{"--plugin-output", "events", "--summary", "none"},
         {"cycles completed in"},
         {"rvSize", "cycle 1"},
         3},
    };
    for (const OutputCase& c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--cycles", "3"});
        std::remove(events_path().c_str());
        ASSERT_EQ(RunHost(options), 0) << hosttest::ReadText(err());
        const std::string out = hosttest::ReadText(this->out());
        for (const std::string& text : c.in_out)
            EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        for (const std::string& text : c.not_in_out)
            EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
        std::size_t plugin_events = 0;
        for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
            if (e["event"] == "plugin_output") {
                EXPECT_EQ(e["text"].asString(), "rvSize is 0");
                ++plugin_events;
            }
        }
        EXPECT_EQ(plugin_events, c.plugin_events);
    }
}

}  // namespace
