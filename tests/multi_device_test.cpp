// Several devices of the loaded plug-in driven at once, as a host with several power systems in
// one process drives them: complete cycles on several threads, each device on one thread at a
// time and moving to another thread between its cycles. Every record and every alarm pass is
// checked against the power model. Built under ThreadSanitizer by the tsan preset, where a data
// race in the plug-in or in the stand-in runtime fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/thread/barrier.hpp>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/provider.h"
#include "host_runtime/host_observer.h"
#include "tests/support/plugin_library.h"
#include "tests/support/power_model.h"
#include "tests/support/recording_host.h"

#ifndef RXP_PLUGIN_PATH
#error "RXP_PLUGIN_PATH must name the built rxp517_t36b2.so"
#endif

using rxptest::Bytes;
using rxptest::PowerModel;
using rxptest::RecordingHost;

namespace {

constexpr std::size_t kDevices = 5;
constexpr unsigned kThreads = 3;
constexpr int kRounds = 30;

// Runs `rounds` rounds on `threads` threads. In round r thread t runs one cycle of every device d
// with (d + r) % threads == t: a device is on one thread at a time and moves to the next thread
// between its cycles; the barrier at the end of a round orders its cycles on the two threads.
void RunInRotation(std::size_t devices, unsigned threads, int rounds,
                   const std::function<void(std::size_t device, int round)>& cycle) {
    boost::barrier barrier(threads);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                for (std::size_t d = 0; d < devices; ++d) {
                    if ((d + static_cast<std::size_t>(r)) % threads == t) cycle(d, r);
                }
                barrier.wait();
            }
        });
    }
    for (std::thread& thread : pool) thread.join();
}

// Feeds the device the replies of one cycle of `model`; false unless it asked for more after
// every reply but the last.
bool FeedCycle(SMDSPDevice& device, const PowerModel& model) {
    device.RefreshStatus();
    bool as_expected = true;
    for (int i = 0; i < 25; ++i) {
        Bytes reply = model.Reply(i);
        const bool more = device.process(reply.data(), static_cast<unsigned int>(reply.size()));
        as_expected = as_expected && more == (i < 24);
    }
    return as_expected;
}

// What one cycle of `model` must have given the host: the 25 commands, one record with the
// device's id published and stored, and the 139 evaluations with the record's states. Empty
// when all is so, else the first difference.
std::string CycleProblem(const RecordingHost& host, const PowerModel& model,
                         std::uint32_t device_id) {
    if (host.sent.size() != 25) return std::to_string(host.sent.size()) + " commands sent";
    for (int i = 0; i < 25; ++i) {
        if (host.sent[i] != rxptest::ExpectedCommand(i)) return "command " + std::to_string(i);
    }
    if (host.published.size() != 1 || host.stored.size() != 1) {
        return std::to_string(host.published.size()) + " records published, " +
               std::to_string(host.stored.size()) + " stored";
    }
    const Bytes& record = host.published[0].record;
    if (host.published[0].data_id != 5112 || record.size() != 289) return "publication";
    const Bytes expected = model.ExpectedRecord(device_id);
    if (!std::equal(expected.begin(), expected.begin() + 282, record.begin())) {
        return "record " + rxptest::ToHex(Bytes(record.begin(), record.begin() + 282));
    }
    if (host.stored[0] != record) return "stored record differs from the published one";
    if (host.alarms.size() != 139) return std::to_string(host.alarms.size()) + " evaluations";
    const std::vector<bool> states = rxptest::ExpectedAlarmStates(record);
    for (std::size_t i = 0; i < 139; ++i) {
        if (host.alarms[i].state != states[i]) return "evaluation " + std::to_string(i + 1);
    }
    return std::string();
}

// Counts the evaluations a process-wide default observer is asked for, from any thread.
class CountingHost : public smdhost::HostObserver {
public:
    std::atomic<long> evaluations{0};
    bool OnCheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&, bool,
                              unsigned short) override {
        ++evaluations;
        return false;
    }
};

class MultiDeviceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rxptest::OpenPlugin(RXP_PLUGIN_PATH, &handle_, &get_providers_);
    }
    static void TearDownTestSuite() { rxptest::ClosePlugin(&handle_); }

    void SetUp() override {
        ASSERT_NE(get_providers_, nullptr);
        const std::vector<std::shared_ptr<Provider>> providers = get_providers_();
        ASSERT_EQ(providers.size(), 1u);
        const auto& factory = dynamic_cast<const SMDSPDeviceProvider&>(*providers[0]);
        for (std::size_t d = 0; d < kDevices; ++d) {
            devices_.emplace_back(factory.create());
            ASSERT_NE(devices_.back(), nullptr);
            // Each device gets its own id with its settings, as the host gives them.
            devices_.back()->data_id = static_cast<std::int32_t>(0x00A10000 + d);
            ASSERT_TRUE(devices_.back()->InitSetting(Json::Value(Json::objectValue)));
        }
    }
    void TearDown() override {
        smdhost::SetDefaultObserver(nullptr);
        for (const std::unique_ptr<SMDSPDevice>& device : devices_) {
            smdhost::SetObserver(*device, nullptr);
        }
    }

    // Distinct values for every device and cycle, so that a record that lands in the wrong
    // device, or a stale one, shows.
    static PowerModel ModelOf(std::size_t device, int round) {
        return PowerModel::Distinct(static_cast<std::uint32_t>(1000 * (device + 1) + round));
    }

    static void* handle_;
    static get_providers_fn get_providers_;
    std::vector<std::unique_ptr<SMDSPDevice>> devices_;
};

void* MultiDeviceTest::handle_ = nullptr;
get_providers_fn MultiDeviceTest::get_providers_ = nullptr;

// Each device has two observers and takes the other one before every second cycle, on whatever
// thread runs it, while the other devices run: every call of a cycle reaches the observer
// installed for it, and nothing reaches another device's, also when a thread runs one device
// after another with no observer changed in between.
TEST_F(MultiDeviceTest, CyclesOnSeveralThreadsEachKeepToTheirOwnDevice) {
    struct Unit {
        RecordingHost hosts[2];
        std::set<std::thread::id> threads;
        std::vector<std::string> problems;
    };
    std::vector<Unit> units(kDevices);
    RunInRotation(kDevices, kThreads, kRounds, [&](std::size_t d, int round) {
        Unit& unit = units[d];
        SMDSPDevice& device = *devices_[d];
        RecordingHost& host = unit.hosts[round / 2 % 2];
        const RecordingHost& idle = unit.hosts[(round / 2 + 1) % 2];
        if (round % 2 == 0) smdhost::SetObserver(device, &host);
        unit.threads.insert(std::this_thread::get_id());
        const PowerModel model = ModelOf(d, round);
        std::string problem = FeedCycle(device, model) ? std::string() : "cycle incomplete";
        if (problem.empty()) {
            problem = CycleProblem(host, model, static_cast<std::uint32_t>(device.data_id));
        }
        if (problem.empty() && !idle.calls.empty()) problem = "the idle observer was called";
        if (!problem.empty()) {
            unit.problems.push_back("cycle " + std::to_string(round) + ": " + problem);
        }
        host.Clear();
    });
    for (std::size_t d = 0; d < kDevices; ++d) {
        EXPECT_EQ(units[d].threads.size(), kThreads) << "device " << d;
        EXPECT_TRUE(units[d].problems.empty())
            << "device " << d << ", " << units[d].problems.size() << " bad cycles, first "
            << units[d].problems.front();
    }
}

// A change of observer reaches the very next call, also on a thread that has just driven the
// device with the observer before.
TEST_F(MultiDeviceTest, ObserverChangesReachTheNextCycleOnTheSameThread) {
    SMDSPDevice& device = *devices_[0];
    RecordingHost own, other;
    CountingHost first, second;
    smdhost::SetObserver(device, &own);
    ASSERT_TRUE(FeedCycle(device, ModelOf(0, 0)));
    smdhost::SetObserver(device, &other);
    ASSERT_TRUE(FeedCycle(device, ModelOf(0, 1)));
    EXPECT_EQ(own.alarms.size(), 139u);
    EXPECT_EQ(other.alarms.size(), 139u);

    smdhost::SetDefaultObserver(&first);
    smdhost::SetObserver(device, nullptr);
    ASSERT_TRUE(FeedCycle(device, ModelOf(0, 2)));
    smdhost::SetDefaultObserver(&second);
    ASSERT_TRUE(FeedCycle(device, ModelOf(0, 3)));
    EXPECT_EQ(first.evaluations, 139);
    EXPECT_EQ(second.evaluations, 139);
    EXPECT_EQ(own.alarms.size() + other.alarms.size(), 278u);
}

// The process-wide default observer changed while devices that have none of their own run:
// every evaluation reaches one of the observers set, and once the change is done every device
// reports to the new one.
TEST_F(MultiDeviceTest, DefaultObserverChangedWhileDevicesRun) {
    CountingHost first, second, last;
    smdhost::SetDefaultObserver(&first);
    std::atomic<bool> running{true};
    std::atomic<long> changes{0};
    std::thread changer([&] {
        while (running) {
            smdhost::SetDefaultObserver(changes % 2 == 0 ? &second : &first);
            ++changes;
            std::this_thread::yield();
        }
    });
    while (changes == 0) std::this_thread::yield();  // the devices start once it is changing
    std::atomic<int> incomplete{0};
    RunInRotation(kDevices, kThreads, kRounds, [&](std::size_t d, int round) {
        if (!FeedCycle(*devices_[d], ModelOf(d, round))) ++incomplete;
    });
    running = false;
    changer.join();
    EXPECT_EQ(incomplete, 0);
    EXPECT_EQ(first.evaluations + second.evaluations, 139L * kDevices * kRounds);

    smdhost::SetDefaultObserver(&last);
    const long before = first.evaluations + second.evaluations;
    RunInRotation(kDevices, kThreads, kThreads, [&](std::size_t d, int round) {
        if (!FeedCycle(*devices_[d], ModelOf(d, round))) ++incomplete;
    });
    EXPECT_EQ(incomplete, 0);
    EXPECT_EQ(last.evaluations, 139L * kDevices * kThreads);
    EXPECT_EQ(first.evaluations + second.evaluations, before);
}

}  // namespace
