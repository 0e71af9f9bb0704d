#include "tests/tools/sim_wire.h"

#include <string>

namespace rxptest {

SimWire::SimWire(rxp::tools::Scenario scenario, rxp::sim::FaultOptions faults,
                 std::uint32_t device_id)
    : device(new WiredDevice), power(std::move(scenario), 1, faults), guard_(*device, host) {
    device->data_id = static_cast<std::int32_t>(device_id);
    device->InitSetting(Json::Value(Json::objectValue));
}

bool SimWire::Poll() {
    const std::size_t published = host.published.size();
    device->RefreshStatus();
    while (commands_seen_ < host.sent.size()) {
        const Bytes command = host.sent[commands_seen_++];
        for (const auto& frame :
             reader.Feed(command.data(), command.size(), rxp::sim::Clock::now())) {
            rxp::sim::Exchange x = power.OnFrame(frame);
            const Bytes wire = x.Wire();
            std::size_t at = 0;
            bool result = true;
            for (std::size_t size : x.chunks) {
                Bytes chunk(wire.begin() + at, wire.begin() + at + size);
                result = device->process(chunk.data(), static_cast<unsigned int>(chunk.size()));
                at += size;
            }
            if (!x.chunks.empty()) process_results.push_back(result);
            exchanges.push_back(std::move(x));
        }
    }
    return host.published.size() > published;
}

Bytes WithoutTimestamp(Bytes record) {
    std::fill(record.begin() + 282, record.end(), 0);
    return record;
}

}  // namespace rxptest
