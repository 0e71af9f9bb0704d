// Drives several devices of the built plug-in, loaded with dlopen as the host loads it, on one
// thread: a round runs one complete cycle of every device in turn, as a bus host polls them.
// Every device has an observer of its own, as a host program installs one per device. Made for
// counting the stand-in runtime's instructions under callgrind (scripts/bench-runtime.sh): the
// figures of N + 10 rounds less those of N rounds, over 10 x DEVICES, are one steady-state
// device-cycle.
//   usage: rxp_runtime_cycles PLUGIN DEVICES ROUNDS
// RoundDone's "rvSize is" lines go to standard output. Exit status: 0, 1 when the plug-in cannot
// be loaded or a cycle did not complete with its 139 alarm evaluations, 2 on a usage error.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "benchmarks/cycle_fixture.h"
#include "host/provider.h"
#include "host_runtime/host_observer.h"

namespace {

// A quiet host that counts the alarm evaluations it is asked for.
class CountingHost : public smdhost::HostObserver {
public:
    long evaluations = 0;
    bool OnCheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&, bool,
                              unsigned short) override {
        ++evaluations;
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const long devices = argc == 4 ? std::strtol(argv[2], nullptr, 10) : 0;
    const long rounds = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (devices < 1 || devices > 32 || rounds < 1) {
        std::fprintf(stderr,
                     "usage: %s PLUGIN DEVICES ROUNDS\nloads PLUGIN with dlopen and runs ROUNDS "
                     "rounds of one complete cycle of each of DEVICES devices (1 to 32), e.g.\n"
                     "  %s rxp517_t36b2.so 4 100\n",
                     argv[0], argv[0]);
        return 2;
    }
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[1], dlerror());
        return 1;
    }
    const auto get_providers = reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"));
    const std::vector<std::shared_ptr<Provider>> providers =
        get_providers != nullptr ? get_providers() : std::vector<std::shared_ptr<Provider>>();
    const auto* factory =
        providers.empty() ? nullptr : dynamic_cast<const SMDSPDeviceProvider*>(providers[0].get());
    if (factory == nullptr) {
        std::fprintf(stderr, "%s: no device provider\n", argv[1]);
        return 1;
    }
    std::vector<std::unique_ptr<SMDSPDevice>> fleet;
    std::vector<CountingHost> hosts(static_cast<std::size_t>(devices));
    for (CountingHost& host : hosts) {
        fleet.emplace_back(factory->create());
        smdhost::SetObserver(*fleet.back(), &host);
    }
    rxpbench::CycleReplies replies;
    for (long round = 0; round < rounds; ++round) {
        for (std::unique_ptr<SMDSPDevice>& device : fleet) {
            if (!rxpbench::RunCycle(*device, replies)) return 1;
        }
    }
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        if (hosts[i].evaluations != 139 * rounds) {
            std::fprintf(stderr, "device %zu: %ld alarm evaluations in %ld cycles\n", i,
                         hosts[i].evaluations, rounds);
            return 1;
        }
        smdhost::SetObserver(*fleet[i], nullptr);
    }
    fleet.clear();
    std::fprintf(stderr, "devices: %ld, rounds: %ld\n", devices, rounds);
    return 0;
}
