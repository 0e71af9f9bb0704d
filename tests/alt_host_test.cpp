// The plug-in's own sources, built a second time against another conformant host framework
// (tests/alt_host) and loaded by that host's program with dlopen: the same commands, the same
// record and the same 139 evaluations as against our own declarations. This program knows only
// that host's declarations; nothing of host/ or of the stand-in runtime is in it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "alt_runtime.h"
#include "provider.h"
#include "smd_device.h"
#include "tests/support/member_order.h"
#include "tests/support/plugin_library.h"
#include "tests/support/power_model.h"

#ifndef RXP_ALT_PLUGIN_PATH
#error "RXP_ALT_PLUGIN_PATH must name the plug-in built against tests/alt_host"
#endif
#ifndef RXP_TEST_DATA_DIR
#error "RXP_TEST_DATA_DIR must name the folder of the test data files"
#endif

using rxptest::Bytes;
using rxptest::PowerModel;
using rxptest::Refusal;

namespace {

typedef std::vector<std::shared_ptr<Provider>> (*GetProviders)();

class AltHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rxptest::OpenPlugin(RXP_ALT_PLUGIN_PATH, &handle_, &get_providers_);
    }
    static void TearDownTestSuite() { rxptest::ClosePlugin(&handle_); }

    void SetUp() override {
        ASSERT_NE(get_providers_, nullptr);
        althost::Clear();
        providers_ = get_providers_();
        ASSERT_EQ(providers_.size(), 1u);
        factory_ = dynamic_cast<const SMDSPDeviceProvider*>(providers_[0].get());
        ASSERT_NE(factory_, nullptr);
    }

    // A new device as this host sees it; the test owns it.
    std::unique_ptr<SMDSPDevice> Create() {
        SMDVDevice* made = factory_->create();
        SMDSPDevice* device = dynamic_cast<SMDSPDevice*>(made);
        EXPECT_NE(device, nullptr);
        return std::unique_ptr<SMDSPDevice>(device);
    }

    static void* handle_;
    static GetProviders get_providers_;
    std::vector<std::shared_ptr<Provider>> providers_;
    const SMDSPDeviceProvider* factory_ = nullptr;
};

void* AltHostTest::handle_ = nullptr;
GetProviders AltHostTest::get_providers_ = nullptr;

// ordinal, key, id, name, text of the 139 evaluations, from the device's alarm documentation.
std::vector<std::string> GoldenRows() {
    std::ifstream in(RXP_TEST_DATA_DIR "/alarm_rules.golden");
    std::vector<std::string> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') rows.push_back(line);
    }
    return rows;
}

std::string Row(const althost::Evaluation& e) {
    return std::to_string(e.ordinal) + "\t" + e.signal_key + "\t" + e.alarm_id + "\t" +
           e.alarm_name + "\t" + e.alarm_text;
}

Bytes StampBytes(const boost::posix_time::ptime& t) {
    const HostStamp s = get_ttime(t);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&s);
    return Bytes(p, p + sizeof(s));
}

// The pass of one publication against the model: texts in order, states from the record.
void ExpectEvaluations(const std::vector<althost::Evaluation>& evaluations, const Bytes& record) {
    const std::vector<std::string> golden = GoldenRows();
    ASSERT_EQ(golden.size(), 139u);
    const std::vector<bool> states = rxptest::ExpectedAlarmStates(record);
    ASSERT_EQ(evaluations.size(), 139u);
    for (std::size_t i = 0; i < 139; ++i) {
        EXPECT_EQ(Row(evaluations[i]), golden[i]) << "evaluation " << i + 1;
        EXPECT_EQ(evaluations[i].state, states[i]) << "evaluation " << i + 1;
    }
}

TEST_F(AltHostTest, NewDeviceSetsItsOwnDefaultsOverTheHosts) {
    std::unique_ptr<SMDSPDevice> device = Create();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType(), "rxp517_t36b2");
    ASSERT_NE(althost::kDefaultBaudRate, 9600);
    EXPECT_EQ(device->baud_rate, 9600);
    EXPECT_EQ(device->device_address, 1);
    EXPECT_FALSE(device->data_ready);
    EXPECT_EQ(Refusal(*device), "数据未就绪");
    int answer = 0;
    int answer_len = 0;
    EXPECT_EQ(device->DeviceIoControl(3, nullptr, 0, &answer, 4, answer_len), 0);
    EXPECT_EQ(answer, 2);
    EXPECT_EQ(answer_len, 4);
    const SMDVDevice& base = *device;
    EXPECT_STREQ(typeid(base).name(), "12RXP517_T36B2");
}

TEST_F(AltHostTest, CycleAndCacheLoadGiveTheModelsRecordAndEvaluations) {
    std::unique_ptr<SMDSPDevice> device = Create();
    ASSERT_NE(device, nullptr);
    device->data_id = 0x00C0FFEE;

    std::ostringstream console;
    std::streambuf* saved = std::cout.rdbuf(console.rdbuf());
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = "3";
    settings["thresholdSetting"]["k"]["NMAlarmID"] = "06016";
    const auto settings_answer = device->InitSetting(settings);

    const PowerModel model = PowerModel::Distinct(77);
    const boost::posix_time::ptime before = boost::posix_time::second_clock::local_time();
    device->RefreshStatus();
    bool last = true;
    for (int i = 0; i < 25; ++i) {
        Bytes reply = model.Reply(i);
        last = device->process(reply.data(), static_cast<unsigned int>(reply.size()));
        if (i < 24) {
            EXPECT_TRUE(last) << "reply " << i;
        }
    }
    const boost::posix_time::ptime after = boost::posix_time::second_clock::local_time();
    std::cout.rdbuf(saved);

    // The host's own answer, of its own type, comes back through the plug-in's settings pass.
    EXPECT_EQ(settings_answer, althost::kSettingsAnswer);
    EXPECT_EQ(althost::TheLog().settings_read, 1);
    EXPECT_EQ(console.str(),
              "InitSetting 12648430 b_mode_:3\nhere 1\nhere 2\nhere k\n"
              "12648430 ID is missing\n12648430 SignalNumber is missing\n"
              "mobile:k:06016;;; level:0 value:0\nrvSize is 0\n");

    EXPECT_FALSE(last);
    const althost::Log& log = althost::TheLog();
    // The host's own RefreshStatus first, then the first command.
    ASSERT_GE(log.calls.size(), 3u);
    EXPECT_EQ(log.calls[0], "InitSetting");
    EXPECT_EQ(log.calls[1], "RefreshStatus");
    EXPECT_EQ(log.calls[2], "SendData");
    ASSERT_EQ(log.sent.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(log.sent[i], rxptest::ExpectedCommand(i)) << i;
    ASSERT_EQ(log.published.size(), 1u);
    EXPECT_TRUE(log.ready_at_publication[0]) << "the record is published before it is ready";
    const Bytes& published = log.published[0];
    ASSERT_EQ(published.size(), 289u);
    const Bytes expected = model.ExpectedRecord(0x00C0FFEE);
    EXPECT_EQ(Bytes(published.begin(), published.begin() + 282),
              Bytes(expected.begin(), expected.begin() + 282));
    // This host's own time value, copied unchanged.
    const Bytes stamp(published.begin() + 282, published.end());
    EXPECT_TRUE(stamp == StampBytes(before) || stamp == StampBytes(after));
    ASSERT_EQ(log.stored.size(), 1u);
    EXPECT_EQ(log.stored[0], published);
    ExpectEvaluations(log.evaluations, published);
    EXPECT_TRUE(device->data_ready);
    EXPECT_EQ(Refusal(*device), "不支持变量");

    // A cached record on a second device, through the host's text overload.
    std::unique_ptr<SMDSPDevice> second = Create();
    ASSERT_NE(second, nullptr);
    althost::Clear();
    Bytes cached = PowerModel::Distinct(78).ExpectedRecord(0x01020304);
    saved = std::cout.rdbuf(console.rdbuf());
    const bool taken = second->LoadFromCache(std::string(cached.begin(), cached.end()));
    std::cout.rdbuf(saved);
    EXPECT_TRUE(taken);
    ASSERT_EQ(althost::TheLog().published.size(), 1u);
    const Bytes& republished = althost::TheLog().published[0];
    EXPECT_EQ(Bytes(republished.begin(), republished.begin() + 282),
              Bytes(cached.begin(), cached.begin() + 282));
    EXPECT_TRUE(althost::TheLog().sent.empty());
    ExpectEvaluations(althost::TheLog().evaluations, cached);

    // The host destroys what it owns through its own base type.
    SMDVDevice* host_base = device.release();
    delete host_base;
}

TEST_F(AltHostTest, OrderedMembersKeepTheirOrderAmongThisHostsOwn) {
    std::unique_ptr<SMDSPDevice> device = Create();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(rxptest::FirstOutOfOrder(rxptest::OrderedHostMembers(*device)), "");
    const rule_value r{};
    EXPECT_EQ(rxptest::FirstOutOfOrder({{"rule_id", rxptest::AddressOf(r.rule_id)},
                                        {"key", rxptest::AddressOf(r.key)},
                                        {"nm_id", rxptest::AddressOf(r.nm_id)},
                                        {"limit", rxptest::AddressOf(r.limit)},
                                        {"title", rxptest::AddressOf(r.title)},
                                        {"detail", rxptest::AddressOf(r.detail)},
                                        {"weight", rxptest::AddressOf(r.weight)}}),
              "");
}

}  // namespace
