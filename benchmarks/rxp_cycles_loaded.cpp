// Runs complete polling cycles of one device of the built plug-in, loaded with dlopen as the
// controller's host loads it, on a host that does nothing. Made for counting the instructions of
// each loaded object under an emulator (scripts/bench.sh runs the controller's build under
// qemu-mipsel): the figures of N + 10 cycles less those of N cycles, over 10, are one
// steady-state cycle.
//   usage: rxp_cycles_loaded PLUGIN CYCLES [MAPS]
// MAPS, when given, receives the program's memory map (/proc/self/maps) once the plug-in is
// loaded, to tell the objects' code apart. RoundDone's "rvSize is" lines go to standard output.
// Exit status: 0, 1 when the plug-in cannot be loaded or a cycle did not complete, 2 on a usage
// error.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "benchmarks/cycle_fixture.h"
#include "host/provider.h"
#include "host_runtime/host_observer.h"

int main(int argc, char** argv) {
    const long cycles = argc >= 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    if (argc < 3 || argc > 4 || cycles < 1) {
        std::fprintf(stderr,
                     "usage: %s PLUGIN CYCLES [MAPS]\nloads PLUGIN with dlopen and runs CYCLES "
                     "complete polling cycles with a quiet host, e.g.\n  %s rxp517_t36b2.so 100\n",
                     argv[0], argv[0]);
        return 2;
    }
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[1], dlerror());
        return 1;
    }
    const auto get_providers = reinterpret_cast<get_providers_fn>(dlsym(handle, "get_providers"));
    if (get_providers == nullptr) {
        std::fprintf(stderr, "%s: no get_providers\n", argv[1]);
        return 1;
    }
    std::unique_ptr<SMDSPDevice> device;
    {
        const std::vector<std::shared_ptr<Provider>> providers = get_providers();
        const auto* factory = providers.empty()
                                  ? nullptr
                                  : dynamic_cast<const SMDSPDeviceProvider*>(providers[0].get());
        if (factory == nullptr) {
            std::fprintf(stderr, "%s: no device provider\n", argv[1]);
            return 1;
        }
        device.reset(factory->create());
    }
    if (argc == 4) {
        std::ifstream maps("/proc/self/maps");
        std::ofstream out(argv[3]);
        out << maps.rdbuf();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write the memory map\n", argv[3]);
            return 1;
        }
    }
    rxpbench::CycleReplies replies;
    for (long i = 0; i < cycles; ++i) {
        if (!rxpbench::RunCycle(*device, replies)) return 1;
    }
    device.reset();
    std::fprintf(stderr, "cycles: %ld\n", cycles);
    return 0;
}
