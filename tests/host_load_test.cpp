// Loading the plug-in as the host does: this program carries the framework (the stand-in
// runtime) but none of the plug-in's code. It opens the built rxp517_t36b2.so, looks its entry
// up by name, keeps devices beyond the provider list that made them, drives them through the
// host's own declarations and destroys them through a host base pointer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
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
using rxptest::Refusal;

namespace {

typedef std::vector<std::shared_ptr<Provider>> ProviderList;

class HostLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The entry is not in this program: only the loaded plug-in can answer it.
        ASSERT_EQ(dlsym(RTLD_DEFAULT, "get_providers"), nullptr);
        rxptest::OpenPlugin(RXP_PLUGIN_PATH, &handle_, &get_providers_);
    }
    static void TearDownTestSuite() { rxptest::ClosePlugin(&handle_); }

    void SetUp() override { ASSERT_NE(get_providers_, nullptr); }

    static void* handle_;
    static get_providers_fn get_providers_;
};

void* HostLoadTest::handle_ = nullptr;
get_providers_fn HostLoadTest::get_providers_ = nullptr;

// Only the plain name is exported; mangled names of the plug-in's own code are not.
TEST_F(HostLoadTest, OnlyThePlainEntryNameIsFound) {
    EXPECT_EQ(dlsym(handle_, "_Z13get_providersv"), nullptr);
    EXPECT_EQ(dlsym(handle_, "_ZN12RXP517_T36B2C1Ev"), nullptr);
    EXPECT_EQ(dlsym(handle_, "_ZNK20RXP517_T36B2Provider6createEv"), nullptr);
}

TEST_F(HostLoadTest, EveryCallGivesOneFreshProvider) {
    ProviderList first = get_providers_();
    ProviderList second = get_providers_();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    ASSERT_NE(first[0], nullptr);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);
    // The host finds its device factory type in it, and the plug-in's provider class.
    EXPECT_NE(dynamic_cast<SMDSPDeviceProvider*>(first[0].get()), nullptr);
    const Provider& provider = *first[0];
    EXPECT_STREQ(typeid(provider).name(), "20RXP517_T36B2Provider");
}

TEST_F(HostLoadTest, DevicesOutliveTheProviderListAndWorkAsTheHostDrivesThem) {
    SMDSPDevice* devices[2] = {nullptr, nullptr};
    std::weak_ptr<Provider> provider_alive;
    {
        ProviderList providers = get_providers_();
        ASSERT_EQ(providers.size(), 1u);
        provider_alive = providers[0];
        const SMDSPDeviceProvider& factory =
            dynamic_cast<const SMDSPDeviceProvider&>(*providers[0]);
        devices[0] = factory.create();
        devices[1] = factory.create();
    }
    EXPECT_TRUE(provider_alive.expired());
    ASSERT_NE(devices[0], nullptr);
    ASSERT_NE(devices[1], nullptr);
    ASSERT_NE(devices[0], devices[1]);

    for (SMDSPDevice* device : devices) {
        EXPECT_EQ(device->DeviceType(), "rxp517_t36b2");
        EXPECT_EQ(device->baud_rate, 9600);
        EXPECT_EQ(device->device_address, 1);
        EXPECT_FALSE(device->data_ready);
        EXPECT_EQ(Refusal(*device), "数据未就绪");
        std::int32_t answer = 0;
        int answer_len = 0;
        EXPECT_EQ(device->DeviceIoControl(9, nullptr, 0, &answer, 4, answer_len), 0);
        EXPECT_EQ(answer, 2);
        EXPECT_EQ(answer_len, 4);
    }

    RecordingHost host;
    RecordingHost other_host;
    smdhost::SetObserver(*devices[0], &host);
    smdhost::SetObserver(*devices[1], &other_host);

    // Settings: the host's reader sees them, the record takes the device id.
    std::ostringstream console;
    std::streambuf* saved = std::cout.rdbuf(console.rdbuf());
    devices[0]->data_id = 0x00ABCDEF;
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = "3";
    settings["thresholdSetting"]["k"]["NMAlarmID"] = "06016";
    host.init_setting_answer = false;
    const bool init_result = devices[0]->InitSetting(settings);

    // A full cycle fed through process.
    const PowerModel model = PowerModel::Distinct(31);
    devices[0]->RefreshStatus();
    bool last = true;
    for (int i = 0; i < 25; ++i) {
        Bytes reply = model.Reply(i);
        last = devices[0]->process(reply.data(), static_cast<unsigned int>(reply.size()));
    }
    // A cached record on the second device, through the host's text overload.
    Bytes cached = model.ExpectedRecord(0x11223344);
    cached[13] = 0x40;  // battery symmetry fault, ordinal 7
    const bool cache_taken = devices[1]->LoadFromCache(std::string(cached.begin(), cached.end()));
    std::cout.rdbuf(saved);

    EXPECT_FALSE(init_result);
    EXPECT_EQ(console.str(),
              "InitSetting 11259375 b_mode_:3\nhere 1\nhere 2\nhere k\n"
              "11259375 ID is missing\n11259375 SignalNumber is missing\n"
              "mobile:k:06016;;; level:0 value:0\n"
              "rvSize is 0\nrvSize is 0\n");
    ASSERT_EQ(host.settings.size(), 1u);
    EXPECT_EQ(host.settings[0], settings);

    EXPECT_FALSE(last);
    ASSERT_EQ(host.sent.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(host.sent[i], rxptest::ExpectedCommand(i)) << i;
    ASSERT_EQ(host.published.size(), 1u);
    EXPECT_EQ(host.published[0].data_id, 5112);
    Bytes published = host.published[0].record;
    ASSERT_EQ(published.size(), 289u);
    std::fill(published.begin() + 282, published.end(), 0);
    EXPECT_EQ(published, model.ExpectedRecord(0x00ABCDEF));
    EXPECT_EQ(host.stored.size(), 1u);
    EXPECT_EQ(host.alarms.size(), 139u);
    EXPECT_TRUE(devices[0]->data_ready);
    EXPECT_EQ(Refusal(*devices[0]), "不支持变量");

    // The second device kept to itself: nothing of the first reached it, and the reverse.
    EXPECT_TRUE(cache_taken);
    ASSERT_EQ(other_host.published.size(), 1u);
    EXPECT_EQ(
        Bytes(other_host.published[0].record.begin(), other_host.published[0].record.begin() + 282),
        Bytes(cached.begin(), cached.begin() + 282));
    EXPECT_TRUE(other_host.sent.empty());
    ASSERT_EQ(other_host.alarms.size(), 139u);
    std::set<int> true_ordinals;
    for (const rxptest::AlarmCall& call : other_host.alarms) {
        if (call.state) true_ordinals.insert(call.ordinal);
    }
    EXPECT_EQ(true_ordinals.count(7), 1u);

    // The host destroys what it owns through its own base type.
    for (SMDSPDevice*& device : devices) {
        smdhost::SetObserver(*device, nullptr);
        SMDVDevice* host_base = device;
        delete host_base;
        device = nullptr;
    }
}

TEST_F(HostLoadTest, ProviderMakesDevicesAfterOthersWereDestroyed) {
    ProviderList providers = get_providers_();
    const SMDSPDeviceProvider& factory = dynamic_cast<const SMDSPDeviceProvider&>(*providers[0]);
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<SMDVDevice> device(factory.create());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType(), "rxp517_t36b2");
        EXPECT_EQ(device->rx_count, 0);
    }
}

}  // namespace
