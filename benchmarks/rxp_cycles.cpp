// Runs complete polling cycles of one device with a host that does nothing, for counting under
// valgrind: the instructions or heap allocations of N + 10 cycles less those of N cycles, over
// 10, are the figures of one steady-state cycle.
//   usage: rxp_cycles CYCLES        (RoundDone's "rvSize is" lines go to standard output)
// Reports the operator new calls after the first cycle and the reply characters of a cycle on
// standard error. Exit status: 0, 1 when
// a cycle did not complete, 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "benchmarks/cycle_fixture.h"
#include "device/rxp517_t36b2.h"
#include "tests/support/alloc_counter.h"

int main(int argc, char** argv) {
    const long cycles = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (cycles < 1) {
        std::fprintf(stderr,
                     "usage: %s CYCLES\nruns CYCLES complete polling cycles with a quiet host, "
                     "e.g. under valgrind --tool=callgrind\n",
                     argv[0]);
        return 2;
    }
    rxpbench::CycleReplies replies;
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    if (!rxpbench::RunCycle(*device, replies)) return 1;
    rxptest::AllocationCounter allocations;
    for (long i = 1; i < cycles; ++i) {
        if (!rxpbench::RunCycle(*device, replies)) return 1;
    }
    std::fprintf(stderr,
                 "cycles: %ld, operator new calls after the first cycle: %zu, reply characters "
                 "per cycle: %zu\n",
                 cycles, allocations.count(), replies.bytes);
    return 0;
}
