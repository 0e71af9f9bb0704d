// Test wiring: the plug-in's device and the simulated power system joined in one process,
// without a serial line. Every command the device sends goes to the simulator; every reply the
// simulator builds goes back to the device in the chunks the simulator chose.
#ifndef RXP_TESTS_TOOLS_SIM_WIRE_H
#define RXP_TESTS_TOOLS_SIM_WIRE_H

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "device/rxp517_t36b2.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"
#include "tools/rxp-sim/sim_core.h"

namespace rxptest {

class WiredDevice : public RXP517_T36B2 {
public:
    using RXP517_T36B2::module_index;
    using RXP517_T36B2::poll_step;
};

class SimWire {
public:
    explicit SimWire(rxp::tools::Scenario scenario, rxp::sim::FaultOptions faults = {},
                     std::uint32_t device_id = 0x0A0B0C0D);

    // Starts a poll and carries commands and replies until the device sends nothing new.
    // Returns true when the poll ended in a completed cycle.
    bool Poll();

    RecordingHost host;
    std::unique_ptr<WiredDevice> device;
    rxp::sim::PowerSystem power;
    rxp::sim::CommandReader reader;
    std::vector<rxp::sim::Exchange> exchanges;  // every exchange, in order
    std::vector<bool> process_results;          // what process answered for each reply

private:
    std::size_t commands_seen_ = 0;
    ObserverGuard guard_;
};

// A record with its time stamp bytes zeroed.
Bytes WithoutTimestamp(Bytes record);

// The command of poll step `index` (0..24) for the power system at `address`.
Bytes CommandTo(unsigned char address, int index);

// Appends one run of rxp-host to a capture file, written by the host's own capture writer:
// every command 100 ms after the one before, its reply (when not empty) 10 ms after it.
struct CapturedPair {
    Bytes command;
    Bytes reply;
};
void AppendCaptureRun(const std::string& path, const std::vector<CapturedPair>& exchanges);

}  // namespace rxptest

#endif  // RXP_TESTS_TOOLS_SIM_WIRE_H
