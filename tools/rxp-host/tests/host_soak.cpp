// Fault soak of the bench host: the simulator with delayed, dropped, corrupted, short and noisy
// replies together, killed half way and started again on the same link, for RXP_SOAK_SECONDS
// (default 120). At the end every stored record must be the simulator's record for its cycle,
// no alarm may rise (the simulated system raises none), the history must hold one row per
// publication, and the host's memory must not grow after the first tenth of the run. The
// figures are printed. Run by scripts/soak.sh.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::milliseconds;

namespace {

const std::uint32_t kDeviceId = 0x00C0FFEE;
// More growth than this after the warm-up counts as a leak.
const long kRssGrowthLimitKiB = 512;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        std::string rest;
        std::getline(status, rest);
    }
    return -1;
}

TEST(HostSoak, FaultsTogetherWithARestartStoreOnlyTheSimulatorsRecords) {
    const char* env = std::getenv("RXP_SOAK_SECONDS");
    const int seconds = env != nullptr ? std::max(10, std::atoi(env)) : 120;
    hosttest::TempDir dir;
    const std::string line = dir.File("line");
    const std::string events = dir.File("events.jsonl");
    const std::string history = dir.File("history.db");

    // Values change every cycle for the first 400 cycles of each simulator, then stay.
    const hosttest::CycleTruth first(400, kDeviceId, 1000);
    const hosttest::CycleTruth second(400, kDeviceId, 9000);
    std::unique_ptr<hosttest::Process> sim;
    int sim_runs = 0;
    auto start_sim = [&](const hosttest::CycleTruth& truth) {
        const std::string scenario = dir.File("scenario" + std::to_string(sim_runs) + ".json");
        hosttest::WriteText(scenario, hosttest::JsonText(truth.Scenario()));
        std::error_code ignored;
        std::filesystem::remove(line, ignored);
        sim.reset(new hosttest::Process({RXP_SIM_BIN,
                                         "--baud",
                                         "0",
                                         "--link",
                                         line,
                                         "--scenario",
                                         scenario,
                                         "--seed",
                                         std::to_string(7 + sim_runs),
                                         "--split",
                                         "40",
                                         "--noise",
                                         "6",
                                         "--delay",
                                         "700",
                                         "--delay-every",
                                         "199",
                                         "--drop-every",
                                         "211",
                                         "--corrupt-every",
                                         "173",
                                         "--short-every",
                                         "157"},
                                        dir.File("sim.out"),
                                        dir.File("sim" + std::to_string(sim_runs) + ".err")));
        ++sim_runs;
        ASSERT_TRUE(hosttest::WaitUntil([&] { return std::filesystem::exists(line); },
                                        milliseconds(10000)));
    };

    start_sim(first);
    hosttest::WriteText(dir.File("settings.json"),
                        "{\"deviceId\": " + std::to_string(kDeviceId) + "}");
    hosttest::Process host({RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--port", line, "--settings",
                            dir.File("settings.json"), "--events", events, "--history", history,
                            "--interval", "0", "--timeout", "0.4"},
                           dir.File("host.out"), dir.File("host.err"));

    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::steady_clock::now() - started; };
    const auto total = std::chrono::seconds(seconds);
    long rss_warm = -1, rss_peak = -1;
    bool restarted = false;
    while (elapsed() < total) {
        std::this_thread::sleep_for(milliseconds(200));
        const long rss = ResidentKiB(host.pid());
        if (elapsed() >= total / 10) {
            if (rss_warm < 0) rss_warm = rss;
            rss_peak = std::max(rss_peak, rss);
        }
        if (!restarted && elapsed() >= total / 2) {
            restarted = true;
            sim->Signal(SIGKILL);
            sim->Wait(milliseconds(5000));
            std::this_thread::sleep_for(milliseconds(1500));
            start_sim(second);
        }
    }
    const long rss_end = ResidentKiB(host.pid());
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(dir.File("host.err"));
    sim->Signal(SIGTERM);
    sim->Wait(milliseconds(5000));

    const std::vector<Json::Value> all = hosttest::ReadEvents(events);
    const hosttest::TruthCheck check =
        hosttest::CycleTruth::CheckAcross({&first, &second}, all, history);
    std::map<std::string, std::size_t> failed;
    for (const Json::Value& e : all) {
        if (e["event"].asString() == "poll_failed") ++failed[e["reason"].asString()];
    }
    std::string polls_line;
    {
        std::istringstream out(hosttest::ReadText(dir.File("host.out")));
        std::string l;
        while (std::getline(out, l)) {
            if (l.find("completed in") != std::string::npos) polls_line = l;
        }
    }

    std::cout << "soak: " << seconds << " s, simulator started " << sim_runs << " times\n"
              << "  " << polls_line << "\n"
              << "  publications " << check.published << ", history rows " << check.rows
              << ", records unlike the simulator's " << check.wrong << ", alarms raised "
              << check.false_alarms << "\n"
              << "  failed polls:";
    for (const auto& f : failed) std::cout << " " << f.first << " " << f.second;
    std::cout << "\n  comm_lost " << hosttest::CountEvents(all, "comm_lost") << ", comm_restored "
              << hosttest::CountEvents(all, "comm_restored") << ", errors "
              << hosttest::CountEvents(all, "error") << "\n"
              << "  host memory (VmRSS): " << rss_warm << " KiB after the first tenth, peak "
              << rss_peak << " KiB, " << rss_end << " KiB at the end" << std::endl;

    EXPECT_GT(check.published, 50u);
    EXPECT_EQ(check.wrong, 0u) << check.first_wrong;
    EXPECT_EQ(check.false_alarms, 0u);
    EXPECT_EQ(check.rows, check.published);
    // The restart at least; three failed polls in a row may add more, each one restored.
    EXPECT_GE(hosttest::CountEvents(all, "comm_lost"), 1u);
    EXPECT_EQ(hosttest::CountEvents(all, "comm_restored"), hosttest::CountEvents(all, "comm_lost"));
    EXPECT_EQ(hosttest::CountEvents(all, "error"), 0u);
    EXPECT_LE(rss_peak - rss_warm, kRssGrowthLimitKiB);
}

}  // namespace
