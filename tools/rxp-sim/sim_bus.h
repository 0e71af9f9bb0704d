// Several simulated power systems on one RS-485 line, as cabinets share a bus at a site. Every
// command frame carries the address of the power system it is for; the power systems at that
// address answer it and all others keep quiet. A command for an address nobody holds gets no
// answer at all, as on a real bus.
//
// Two cabinets set to one address (a wiring mistake at a site) both answer: their replies go
// on the line one after the other, so that the host sees two replies to one command.
#ifndef RXP_TOOLS_RXP_SIM_SIM_BUS_H
#define RXP_TOOLS_RXP_SIM_SIM_BUS_H

#include <memory>
#include <string>
#include <vector>

#include "tools/rxp-sim/sim_core.h"

namespace rxp::sim {

class Bus : public Responder {
public:
    // No more power systems than a host drives on one line.
    static constexpr std::size_t kMaxDevices = 32;

    // Adds a power system; one added at an address already held answers along with the first.
    void Add(std::unique_ptr<PowerSystem> power);

    std::vector<Exchange> Answer(const CommandReader::Frame& frame) override;
    // One power system: its own tally; several: "address 1: 50 replies, ...; address 2: ...".
    std::string Tally() const override;

    const std::vector<std::unique_ptr<PowerSystem>>& devices() const { return devices_; }

private:
    std::vector<std::unique_ptr<PowerSystem>> devices_;  // in the order added
};

}  // namespace rxp::sim

#endif  // RXP_TOOLS_RXP_SIM_SIM_BUS_H
