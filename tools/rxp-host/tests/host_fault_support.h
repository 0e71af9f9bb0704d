// The host against the simulator, for the end-to-end and fault tests and the soak: a fixture
// that starts the simulator and builds the host's command line, and the simulator's truth, a
// quiet power system whose every value changes from one cycle to the next, so that a stored
// record shows which cycle it belongs to, and a record put together from replies of different
// commands or cycles matches none.
#ifndef RXP_TOOLS_RXP_HOST_TESTS_HOST_FAULT_SUPPORT_H
#define RXP_TOOLS_RXP_HOST_TESTS_HOST_FAULT_SUPPORT_H

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/power_model.h"
#include "tools/rxp-host/tests/host_test_support.h"

namespace hosttest {

std::string JsonText(const Json::Value& v);

// Distinct values everywhere and no alarm condition: status bytes carry only bits that no alarm
// rule reads, state bytes values that no rule tests for.
rxptest::PowerModel QuietModel(std::uint32_t seed);

// The simulator on a pseudo-terminal linked at dir/line, and the host loading the built plug-in
// on it, with its files in the test's scratch folder.
class SimAndHostTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kDeviceId = 0x0A0B0C0D;

    // Starts the simulator with `extra` options (see WithOptions) and waits for its line.
    void StartSim(const Json::Value& scenario, const std::vector<std::string>& extra);
    // The host's command line: no pause between cycles, a 0.5 s reply timeout, `extra` options.
    std::vector<std::string> HostArgs(const std::vector<std::string>& extra);
    int RunHost(const std::vector<std::string>& extra);
    // "cycle" events in the events file so far.
    std::size_t CyclesSoFar() const;

    std::string line() const { return dir_.File("line"); }
    std::string events_path() const { return dir_.File("events.jsonl"); }
    std::string history() const { return dir_.File("history.db"); }
    std::string out() const { return dir_.File("host.out"); }
    std::string err() const { return dir_.File("host.err"); }

    TempDir dir_;
    std::unique_ptr<Process> sim_;
};

// What the events file and the history database hold, against the truth.
struct TruthCheck {
    std::size_t published = 0;     // "publish" events
    std::size_t rows = 0;          // history rows
    std::size_t wrong = 0;         // publications matching no cycle, out of order, or rows
                                   // that differ from their publication
    std::string first_wrong;       // what was wrong first
    std::size_t false_alarms = 0;  // "alarm_raised" events (the system raises none)
    unsigned last_cycle = 0;       // the simulator's cycle of the last publication
};

class CycleTruth {
public:
    // Values change at every cycle up to `cycles`, then stay. Another `seed` gives values
    // that match none of the first.
    CycleTruth(unsigned cycles, std::uint32_t device_id, std::uint32_t seed = 1000);

    // The simulator's scenario.
    Json::Value Scenario() const;
    // The record the host must publish for simulator cycle `cycle` (1..), time stamp zero.
    Bytes Record(unsigned cycle) const;
    TruthCheck Check(const std::vector<Json::Value>& events, const std::string& db_path) const;
    // The same across simulators started one after another, each with its own truth: the
    // publications follow the first truth's cycles, then the next one's from its first cycle.
    static TruthCheck CheckAcross(const std::vector<const CycleTruth*>& truths,
                                  const std::vector<Json::Value>& events,
                                  const std::string& db_path);

private:
    std::vector<rxptest::PowerModel> models_;
    std::vector<Bytes> records_;
};

}  // namespace hosttest

#endif  // RXP_TOOLS_RXP_HOST_TESTS_HOST_FAULT_SUPPORT_H
