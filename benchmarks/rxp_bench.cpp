// Benchmarks of the plug-in with a host that does nothing (the stand-in runtime's quiet host):
//   ProcessReplyStream  complete cycles: RefreshStatus, the 25 replies of a real cycle handed to
//                       process one frame a chunk, the 25 commands sent back, the end of the
//                       cycle (record published, 139 rules evaluated, record stored); bytes/s,
//                       time per cycle and operator new calls per steady-state cycle
//   RepliesOfOneCycle   the first 24 replies only: codec and polling without the end of cycle
//   EndOfCycle          RoundDone alone: time stamp, publication, 139 rules, console line, store
//   AlarmPass           the 139 rule evaluations alone
// RoundDone's "rvSize is" line is formatted into a sink that counts lines: the formatting is
// measured, the write to the terminal is not. Timings are printed, never asserted.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "benchmarks/cycle_fixture.h"
#include "device/rxp517_t36b2.h"
#include "tests/support/alloc_counter.h"

namespace {

using rxpbench::CycleReplies;
using rxpbench::RunCycle;

// Sends std::cout to a line-counting sink while alive.
class ConsoleSink {
public:
    ConsoleSink() : saved_(std::cout.rdbuf(&sink_)) {}
    ~ConsoleSink() { std::cout.rdbuf(saved_); }
    ConsoleSink(const ConsoleSink&) = delete;
    ConsoleSink& operator=(const ConsoleSink&) = delete;
    std::size_t lines() const { return sink_.lines(); }

private:
    rxpbench::LineCountingSink sink_;
    std::streambuf* saved_;
};

void BM_ProcessReplyStream(benchmark::State& state) {
    CycleReplies replies;
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    ConsoleSink console;
    // The first cycle builds the alarm texts once per process; steady state starts after it.
    if (!RunCycle(*device, replies)) {
        state.SkipWithError("the device did not complete the warm-up cycle");
        return;
    }
    std::size_t incomplete = 0;
    rxptest::AllocationCounter allocations;
    for (auto _ : state) {
        if (!RunCycle(*device, replies)) ++incomplete;
    }
    const double allocs = static_cast<double>(allocations.count());
    const auto cycles = static_cast<std::size_t>(state.iterations());
    if (incomplete != 0) state.SkipWithError("a cycle did not complete");
    if (console.lines() != cycles + 1) state.SkipWithError("not one console line per cycle");

    state.SetBytesProcessed(static_cast<std::int64_t>(cycles * replies.bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(cycles));
    state.counters["bytes_per_cycle"] = static_cast<double>(replies.bytes);
    state.counters["allocs_per_cycle"] = allocs / static_cast<double>(cycles);
}
BENCHMARK(BM_ProcessReplyStream);

void BM_RepliesOfOneCycle(benchmark::State& state) {
    CycleReplies replies;
    replies.frames.pop_back();
    std::size_t bytes = 0;
    for (const auto& frame : replies.frames) bytes += frame.size();
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    std::size_t refused = 0;
    for (auto _ : state) {
        device->RefreshStatus();
        for (auto& frame : replies.frames) {
            if (!device->process(frame.data(), static_cast<unsigned int>(frame.size()))) ++refused;
        }
    }
    if (refused != 0) state.SkipWithError("a reply was refused");
    if (device->poll_step != 6) state.SkipWithError("the cycle did not reach its last step");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_RepliesOfOneCycle);

void BM_EndOfCycle(benchmark::State& state) {
    CycleReplies replies;
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    ConsoleSink console;
    if (!RunCycle(*device, replies)) {
        state.SkipWithError("the device did not complete the warm-up cycle");
        return;
    }
    for (auto _ : state) device->RoundDone();
    if (console.lines() != static_cast<std::size_t>(state.iterations()) + 1) {
        state.SkipWithError("not one console line per end of cycle");
    }
}
BENCHMARK(BM_EndOfCycle);

void BM_AlarmPass(benchmark::State& state) {
    CycleReplies replies;
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    ConsoleSink console;
    if (!RunCycle(*device, replies)) {
        state.SkipWithError("the device did not complete the warm-up cycle");
        return;
    }
    for (auto _ : state) {
        device->rule_ordinal = 1;
        device->RunCheckThreshold();
    }
    if (device->rule_ordinal != 140) state.SkipWithError("not 139 rules in a pass");
}
BENCHMARK(BM_AlarmPass);

}  // namespace

BENCHMARK_MAIN();
