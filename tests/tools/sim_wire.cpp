#include "tests/tools/sim_wire.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/power_model.h"

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

Bytes CommandTo(unsigned char address, int index) {
    const Bytes chars = ExpectedCommand(index);
    Bytes raw;
    for (std::size_t i = 1; i + 2 < chars.size(); i += 2) {
        raw.push_back(static_cast<unsigned char>((chars[i] - 0x30) * 16 + (chars[i + 1] - 0x30)));
    }
    raw[0] = address;
    raw.pop_back();  // the checksum, made again for the new address
    return EncodeFrame(raw);
}

void AppendCaptureRun(const std::string& path, const std::vector<CapturedPair>& exchanges) {
    const std::string run = path + ".run";
    unlink(run.c_str());
    {
        rxp::tools::CaptureWriter writer;
        writer.Open(run);
        const auto t0 = rxp::tools::CaptureWriter::Clock::now();
        for (std::size_t i = 0; i < exchanges.size(); ++i) {
            const auto at = t0 + std::chrono::milliseconds(100 * static_cast<int>(i));
            const Bytes& c = exchanges[i].command;
            const Bytes& r = exchanges[i].reply;
            const unsigned poll = static_cast<unsigned>(i / 25 + 1);
            const unsigned step = static_cast<unsigned>(i % 25 + 1);
            writer.Write(at, poll, step, rxp::tools::LineDirection::kToPowerSystem, c.data(),
                         c.size());
            if (r.empty()) continue;
            writer.Write(at + std::chrono::milliseconds(10), poll, step,
                         rxp::tools::LineDirection::kFromPowerSystem, r.data(), r.size());
        }
        writer.Flush();
    }
    std::ifstream in(run, std::ios::binary);
    std::ofstream(path, std::ios::binary | std::ios::app) << in.rdbuf();
    unlink(run.c_str());
}

}  // namespace rxptest
