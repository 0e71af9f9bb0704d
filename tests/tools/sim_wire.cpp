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

Json::Value ScenarioOf(const PowerModel& m) {
    Json::Value s(Json::objectValue);
    const char* phases[] = {"a", "b", "c"};
    for (int p = 0; p < 3; ++p) {
        const std::string prefix = std::string("phase_") + phases[p];
        s[prefix + "_value1"] = m.phase_value[p][0];
        s[prefix + "_value2"] = m.phase_value[p][1];
        s[prefix + "_status"] = m.phase_status[p];
    }
    s["ac_value"] = m.ac_value;
    s["ac_frequency_state"] = m.ac_frequency_state;
    for (int k = 0; k < 20; ++k) {
        Json::Value row(Json::objectValue);
        for (int v = 0; v < 4; ++v) row["value" + std::to_string(v + 1)] = m.modules[k].value[v];
        row["status"] = m.modules[k].status;
        row["extra"] = m.modules[k].extra;
        s["modules"][std::to_string(k + 1)] = row;
    }
    s["breaker1_state"] = m.breaker1_state;
    s["breaker2_state"] = m.breaker2_state;
    s["lightning_switch_state"] = m.lightning_switch_state;
    s["dc_switch_value"] = m.dc_switch_value;
    for (int i = 0; i < 16; ++i) s["dc_value" + std::to_string(i + 1)] = m.dc_value[i];
    s["dc_byte_value"] = m.dc_byte_value;
    for (int i = 0; i < 6; ++i) s["dc_status"].append(m.dc_status[i]);
    for (int i = 0; i < 4; ++i) s["dc_long" + std::to_string(i + 1)] = m.dc_long[i];
    return s;
}

Bytes WithoutTimestamp(Bytes record) {
    std::fill(record.begin() + 282, record.end(), 0);
    return record;
}

}  // namespace rxptest
