// The data-device template at the end of a cycle and on a cached record, seen from the host: the
// order of its calls, the console line among them, the alarm_changed flag, the time stamp, and
// the framework's inline answers it builds on.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "device/uni_data_device.h"
#include "protocol/rxp517_t36b2_data.h"
#include "tests/console_capture.h"
#include "tests/support/recording_host.h"

using rxptest::Bytes;
using rxptest::ConsoleCapture;
using rxptest::RecordingHost;

namespace {

typedef UniDataDevice<RXP517_T36B2_Data_t, SMDSPDevice, 5112> DataDevice;

// A device on the template with a rule pass that reports what it found and makes two host
// evaluations, and with Reset and SendSP overridden to see which calls use the virtual table.
class TestDataDevice : public DataDevice {
public:
    using DataDevice::data_;

    std::vector<std::string>* calls = nullptr;  // the host's call list, to log the rule pass
    unsigned short ordinal_at_pass = 0;
    bool alarm_changed_at_pass = true;
    bool data_ready_at_pass = false;
    std::int32_t rx_count_at_pass = -1;
    int own_send_sp_calls = 0;

    void RunCheckThreshold() override {
        ordinal_at_pass = rule_ordinal;
        alarm_changed_at_pass = alarm_changed;
        data_ready_at_pass = data_ready;
        rx_count_at_pass = rx_count;
        if (calls != nullptr) calls->push_back("RunCheckThreshold");
        for (int i = 0; i < 2; ++i) {
            const unsigned short ordinal = rule_ordinal++;
            SMDVDevice::CheckThresholdBool(1, "k", "00000", "n", "t", false, ordinal);
        }
    }
    void Reset() override {
        if (calls != nullptr) calls->push_back("Reset(virtual)");
        SMDSPDevice::Reset();
    }
    bool SendSP(int id, const unsigned char* data, unsigned int size, bool urgent) override {
        ++own_send_sp_calls;
        return SMDSPDevice::SendSP(id, data, size, urgent);
    }

    Bytes Record() const {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&data_);
        return Bytes(p, p + sizeof(data_));
    }
};

// Records the device's console lines among the host calls, in the order they happened, and the
// details of the calls the order test looks at.
class OrderedHost : public RecordingHost {
public:
    explicit OrderedHost(ConsoleCapture& console) : console_(console) {}

    struct ThresholdCall {
        std::string name;
        std::string text;
        float value;
        int level;
    };
    std::vector<ThresholdCall> thresholds;
    std::vector<const unsigned char*> published_at;
    std::vector<std::size_t> batch_size_at_store;

    // Moves console lines written since the last host call into the call list.
    void Sync() {
        std::istringstream fresh(console_.Take());
        std::string line;
        while (std::getline(fresh, line)) calls.push_back("cout:" + line);
    }

    bool OnSendSP(SMDVDevice& d, int id, const unsigned char* data, unsigned int size,
                  bool urgent) override {
        Sync();
        published_at.push_back(data);
        return RecordingHost::OnSendSP(d, id, data, size, urgent);
    }
    void OnReset(SMDSPDevice& d) override {
        Sync();
        RecordingHost::OnReset(d);
    }
    bool OnCheckThresholdBool(SMDVDevice& d, int kind, const std::string& key,
                              const std::string& id, const std::string& name,
                              const std::string& text, bool state,
                              unsigned short ordinal) override {
        Sync();
        return RecordingHost::OnCheckThresholdBool(d, kind, key, id, name, text, state, ordinal);
    }
    bool OnCheckAOReport(SMDVDevice& d, const std::string& name, float value) override {
        Sync();
        return RecordingHost::OnCheckAOReport(d, name, value);
    }
    bool OnCheckThreshold(SMDVDevice& d, const std::string& name, const std::string& text,
                          float value, int level) override {
        Sync();
        thresholds.push_back(ThresholdCall{name, text, value, level});
        return RecordingHost::OnCheckThreshold(d, name, text, value, level);
    }
    bool OnDoBatchCheckThreshold(SMDVDevice& d, const std::vector<rule_value>& batch) override {
        Sync();
        return RecordingHost::OnDoBatchCheckThreshold(d, batch);
    }
    bool OnSaveDeviceHistory(SMDVDevice& d, const unsigned char* data, unsigned int size) override {
        Sync();
        batch_size_at_store.push_back(d.rule_batch.size());
        return RecordingHost::OnSaveDeviceHistory(d, data, size);
    }

private:
    ConsoleCapture& console_;
};

class DataDeviceTest : public ::testing::Test {
protected:
    DataDeviceTest() : host_(console_), guard_(device_, host_) { device_.calls = &host_.calls; }

    // The host queues `count` evaluations in rule_batch during the rule pass.
    void QueueBatchDuringPass(std::size_t count) {
        host_.on_alarm = [this, count](const rxptest::AlarmCall&) {
            if (host_.alarms.size() == 1) device_.rule_batch.resize(count);
        };
    }

    ConsoleCapture console_;
    OrderedHost host_;
    TestDataDevice device_;
    rxptest::ObserverGuard guard_;
};

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 37);
    return bytes;  // byte 0 and every 256/gcd-th byte are 0: embedded NULs in a string
}

Bytes TtimeBytes(const ttime_t& t) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&t);
    return Bytes(p, p + sizeof(t));
}

// ---- one end of cycle -----------------------------------------------------------------------

TEST_F(DataDeviceTest, RoundDoneCallsTheHostInItsFixedOrder) {
    device_.ao_signal_names = {"ua", "missing", "ub"};
    device_.ao_values = {{"ub", 2.5f}, {"ua", 1.5f}, {"unlisted", 9.0f}};
    device_.rule_ordinal = 77;
    device_.alarm_changed = true;
    device_.rx_count = 5;
    QueueBatchDuringPass(2);

    device_.RoundDone();
    host_.Sync();

    const std::vector<std::string> expected = {
        "SendSP",
        "Reset(virtual)",
        "Reset",
        "RunCheckThreshold",
        "CheckThresholdBool",
        "CheckThresholdBool",
        "CheckAOReport:ua",
        "CheckThreshold:ua",
        "CheckAOReport:ub",
        "CheckThreshold:ub",
        "cout:rvSize is 2",
        "DoBatchCheckThreshold:2",
        "SaveDeviceHistory",
    };
    EXPECT_EQ(host_.calls, expected);

    // The rule pass starts at ordinal 1 with the flag cleared, after the host's Reset.
    EXPECT_EQ(device_.ordinal_at_pass, 1);
    EXPECT_FALSE(device_.alarm_changed_at_pass);
    EXPECT_TRUE(device_.data_ready_at_pass);
    EXPECT_EQ(device_.rx_count_at_pass, 0);
    ASSERT_EQ(host_.alarms.size(), 2u);
    EXPECT_EQ(host_.alarms[0].ordinal, 1);
    EXPECT_EQ(host_.alarms[1].ordinal, 2);

    // SendSP goes to the host base directly, not through the virtual table.
    EXPECT_EQ(device_.own_send_sp_calls, 0);
    ASSERT_EQ(host_.published.size(), 1u);
    EXPECT_EQ(host_.published[0].data_id, 5112);
    EXPECT_EQ(host_.published[0].record.size(), 289u);
    EXPECT_FALSE(host_.published[0].urgent);
    // The host is handed the device's own record, not a copy.
    EXPECT_EQ(host_.published_at[0], reinterpret_cast<const unsigned char*>(&device_.data_));
    ASSERT_EQ(host_.stored.size(), 1u);
    EXPECT_EQ(host_.stored[0], host_.published[0].record);

    ASSERT_EQ(host_.thresholds.size(), 2u);
    EXPECT_EQ(host_.thresholds[0].name, "ua");
    EXPECT_EQ(host_.thresholds[0].text, "");
    EXPECT_EQ(host_.thresholds[0].value, 1.5f);
    EXPECT_EQ(host_.thresholds[0].level, 1);
    EXPECT_EQ(host_.thresholds[1].name, "ub");
    EXPECT_EQ(host_.thresholds[1].value, 2.5f);

    // The batch is evaluated and stored with the record, then emptied.
    EXPECT_EQ(host_.batch_size_at_store, std::vector<std::size_t>{2});
    EXPECT_TRUE(device_.rule_batch.empty());
    // A name without a value is skipped and not added.
    EXPECT_EQ(device_.ao_values.count("missing"), 0u);
    EXPECT_EQ(device_.ao_values.size(), 3u);
}

TEST_F(DataDeviceTest, EmptyBatchStillPrintsZeroAndIsChecked) {
    device_.RoundDone();
    device_.RoundDone();
    host_.Sync();
    EXPECT_EQ(console_.Text(), "rvSize is 0\nrvSize is 0\n");
    const std::vector<std::string> one_cycle = {"SendSP",
                                                "Reset(virtual)",
                                                "Reset",
                                                "RunCheckThreshold",
                                                "CheckThresholdBool",
                                                "CheckThresholdBool",
                                                "cout:rvSize is 0",
                                                "DoBatchCheckThreshold:0",
                                                "SaveDeviceHistory"};
    std::vector<std::string> two_cycles = one_cycle;
    two_cycles.insert(two_cycles.end(), one_cycle.begin(), one_cycle.end());
    EXPECT_EQ(host_.calls, two_cycles);
    // The second cycle numbers its rules from 1 again.
    ASSERT_EQ(host_.alarms.size(), 4u);
    EXPECT_EQ(host_.alarms[2].ordinal, 1);
}

struct FlagCase {
    const char* what;
    bool preset;        // alarm_changed before RoundDone
    bool set_by_rules;  // the host sets alarm_changed inside the rule pass
    bool ua, ub;        // CheckAOReport answers
    bool batch;         // DoBatchCheckThreshold answer
    bool expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << c.what;
}

class AlarmChangedTest : public DataDeviceTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(AlarmChangedTest, ChecksAreOredAndALaterFalseNeverClears) {
    const FlagCase& c = GetParam();
    device_.ao_signal_names = {"ua", "ub"};
    device_.ao_values = {{"ua", 1.0f}, {"ub", 2.0f}};
    device_.alarm_changed = c.preset;
    host_.ao_report_answer = [&c](const std::string& name, float) {
        return name == "ua" ? c.ua : c.ub;
    };
    host_.batch_answer = c.batch;
    if (c.set_by_rules) {
        host_.on_alarm = [this](const rxptest::AlarmCall&) { device_.alarm_changed = true; };
    }

    device_.RoundDone();

    EXPECT_EQ(device_.alarm_changed, c.expected) << c.what;
    // Every check is made, whatever the flag already holds.
    std::size_t checks = 0;
    for (const std::string& call : host_.calls) {
        checks += call.rfind("CheckAOReport:", 0) == 0 || call.rfind("DoBatch", 0) == 0;
    }
    EXPECT_EQ(checks, 3u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, AlarmChangedTest,
    ::testing::Values(
        FlagCase{"all false clears an earlier true", true, false, false, false, false, false},
        FlagCase{"first report true, rest false", false, false, true, false, false, true},
        FlagCase{"second report true", false, false, false, true, false, true},
        FlagCase{"both reports true", false, false, true, true, false, true},
        FlagCase{"batch true", false, false, false, false, true, true},
        FlagCase{"set by the host in the rule pass", false, true, false, false, false, true}));

// ---- time stamp -------------------------------------------------------------------------------

TEST(HostTime, SevenBytesAreYearLittleEndianMonthDayHourMinuteSecond) {
    using namespace boost::posix_time;
    const ptime t(boost::gregorian::date(2024, 2, 29), time_duration(23, 59, 58));
    EXPECT_EQ(TtimeBytes(get_ttime(t)), rxptest::FromHex("E8 07 02 1D 17 3B 3A"));
    const ptime u(boost::gregorian::date(1999, 12, 1), time_duration(0, 0, 7));
    EXPECT_EQ(TtimeBytes(get_ttime(u)), rxptest::FromHex("CF 07 0C 01 00 00 07"));
}

TEST_F(DataDeviceTest, TimeStampIsTheHostTimeOfPublication) {
    using namespace boost::posix_time;
    const ptime before = second_clock::local_time();
    device_.RoundDone();
    const ptime after = second_clock::local_time();

    const ptime stamped = device_.last_update_time;
    EXPECT_LE(before, stamped);
    EXPECT_LE(stamped, after);
    EXPECT_EQ(stamped.time_of_day().fractional_seconds(), 0);

    const Bytes rec = device_.Record();
    const Bytes stamp(rec.begin() + 282, rec.end());
    EXPECT_EQ(stamp, TtimeBytes(get_ttime(stamped)));
    EXPECT_EQ(stamp[0] | (stamp[1] << 8), stamped.date().year());
    EXPECT_EQ(stamp[2], stamped.date().month().as_number());
    EXPECT_EQ(stamp[3], stamped.date().day().as_number());
    EXPECT_EQ(stamp[4], stamped.time_of_day().hours());
    EXPECT_EQ(stamp[5], stamped.time_of_day().minutes());
    EXPECT_EQ(stamp[6], stamped.time_of_day().seconds());
    // Published and stored with the stamp, and the rest of the record untouched.
    ASSERT_EQ(host_.published.size(), 1u);
    EXPECT_EQ(host_.published[0].record, rec);
    EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 282), Bytes(282, 0));
}

// ---- cached record ----------------------------------------------------------------------------

struct CacheCase {
    std::size_t size;
    bool as_string;
};

void PrintTo(const CacheCase& c, std::ostream* os) {
    *os << c.size << (c.as_string ? " bytes as text" : " bytes");
}

class CacheTest : public DataDeviceTest, public ::testing::WithParamInterface<CacheCase> {
protected:
    bool Load(const Bytes& bytes) {
        VDeviceInterface& host_view = device_;  // the host calls through its own base
        if (GetParam().as_string) {
            return host_view.LoadFromCache(std::string(bytes.begin(), bytes.end()));
        }
        return host_view.LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
    }
};

TEST_P(CacheTest, OnlyARecordOfExactly289BytesIsTaken) {
    const Bytes cached = Pattern(GetParam().size);
    const bool taken = Load(cached);

    if (GetParam().size != 289) {
        EXPECT_FALSE(taken);
        EXPECT_TRUE(host_.calls.empty());
        EXPECT_FALSE(device_.data_ready);
        EXPECT_TRUE(device_.last_update_time.is_not_a_date_time());
        EXPECT_EQ(device_.Record(), Bytes(289, 0));
        EXPECT_EQ(console_.Text(), "");
        return;
    }

    EXPECT_TRUE(taken);
    EXPECT_TRUE(device_.data_ready);
    ASSERT_EQ(host_.published.size(), 1u);
    ASSERT_EQ(host_.stored.size(), 1u);
    const Bytes& published = host_.published[0].record;
    // Every byte is taken, device id included; only the time stamp is replaced.
    EXPECT_EQ(Bytes(published.begin(), published.begin() + 282),
              Bytes(cached.begin(), cached.begin() + 282));
    EXPECT_EQ(Bytes(published.begin() + 282, published.end()),
              TtimeBytes(get_ttime(device_.last_update_time)));
    EXPECT_EQ(host_.stored[0], published);
    EXPECT_EQ(device_.Record(), published);
    EXPECT_EQ(console_.Text(), "rvSize is 0\n");
    EXPECT_EQ(host_.calls.front(), "SendSP");
    EXPECT_EQ(host_.calls.back(), "SaveDeviceHistory");

    // A later end of cycle rewrites the time stamp only.
    device_.RoundDone();
    const Bytes again = device_.Record();
    EXPECT_EQ(Bytes(again.begin(), again.begin() + 282),
              Bytes(cached.begin(), cached.begin() + 282));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CacheTest,
                         ::testing::Values(CacheCase{288, false}, CacheCase{289, false},
                                           CacheCase{290, false}, CacheCase{288, true},
                                           CacheCase{289, true}, CacheCase{290, true},
                                           CacheCase{0, true}, CacheCase{0, false}),
                         [](const ::testing::TestParamInfo<CacheCase>& info) {
                             return std::to_string(info.param.size) +
                                    (info.param.as_string ? "_string" : "_bytes");
                         });

TEST_F(DataDeviceTest, CacheRefusesMissingBytesAndNegativeCounts) {
    EXPECT_FALSE(device_.LoadFromCache(nullptr, 289));
    const Bytes cached = Pattern(289);
    EXPECT_FALSE(device_.LoadFromCache(cached.data(), -289));
    EXPECT_FALSE(device_.LoadFromCache(cached.data(), -1));
    EXPECT_TRUE(host_.calls.empty());
    EXPECT_FALSE(device_.data_ready);
    EXPECT_EQ(device_.Record(), Bytes(289, 0));
}

TEST_F(DataDeviceTest, RefusedCacheKeepsAnEarlierRecord) {
    const Bytes first = Pattern(289);
    ASSERT_TRUE(device_.LoadFromCache(first.data(), 289));
    const Bytes held = device_.Record();
    host_.Clear();
    const Bytes other(290, 0x5A);
    EXPECT_FALSE(device_.LoadFromCache(other.data(), 289 + 1));
    EXPECT_FALSE(device_.LoadFromCache(std::string(288, 'x')));
    EXPECT_EQ(device_.Record(), held);
    EXPECT_TRUE(host_.calls.empty());
}

// ---- construction -----------------------------------------------------------------------------

TEST(DataDeviceConstruction, RecordIsZeroedWhateverTheStorageHeld) {
    alignas(TestDataDevice) unsigned char storage[sizeof(TestDataDevice)];
    std::memset(storage, 0xA5, sizeof(storage));
    TestDataDevice* device = new (storage) TestDataDevice;
    EXPECT_EQ(device->Record(), Bytes(289, 0));
    EXPECT_EQ(device->b_mode(), 1);
    EXPECT_TRUE(device->signal_ids().empty());
    EXPECT_TRUE(device->signal_names().empty());
    device->~TestDataDevice();
}

// ---- the framework's inline answers -----------------------------------------------------------

// A device of the interface alone: only the pure cache operation is its own.
class BareDevice : public VDeviceInterface {
public:
    Bytes seen;
    int seen_size = -1;
    bool answer = true;
    bool LoadFromCache(const unsigned char* data, int size) override {
        seen.assign(data, data + size);
        seen_size = size;
        return answer;
    }
    using VDeviceInterface::LoadFromCache;
};

TEST(InterfaceInline, GetValueIsRefusedAsNotReady) {
    BareDevice bare;
    const VDeviceInterface& host_view = bare;
    for (unsigned id : {0u, 5112u, 0xFFFFFFFFu}) {
        try {
            host_view.Get_Value(id, "any");
            ADD_FAILURE() << "Get_Value returned";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
        }
    }
}

TEST(InterfaceInline, DeviceIoControlAnswersMinusTwoAndWritesNothing) {
    BareDevice bare;
    VDeviceInterface& host_view = bare;
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof(out));
    int out_len = 77;
    EXPECT_EQ(host_view.DeviceIoControl(1, "in", 2, out, 8, out_len), -2);
    EXPECT_EQ(out_len, 77);
    EXPECT_EQ(Bytes(out, out + 8), Bytes(8, 0xEE));
    EXPECT_EQ(host_view.DeviceIoControl(0, nullptr, 0, nullptr, 0, out_len), -2);
    EXPECT_EQ(out_len, 77);
}

TEST(InterfaceInline, AccessorsReturnTheMembers) {
    BareDevice bare;
    VDeviceInterface& host_view = bare;
    bare.data_id = -12345;
    bare.device_type = "some_type";
    EXPECT_EQ(host_view.DataId(), -12345);
    EXPECT_EQ(&host_view.DeviceType(), &bare.device_type);
    bare.use_controller_db = true;
    EXPECT_TRUE(host_view.UseControllerDb());
    bare.use_controller_db = false;
    EXPECT_FALSE(host_view.UseControllerDb());
}

TEST(InterfaceInline, CachedTextIsHandedOnWithAllItsBytes) {
    BareDevice bare;
    VDeviceInterface& host_view = bare;
    const Bytes bytes = Pattern(300);
    EXPECT_TRUE(host_view.LoadFromCache(std::string(bytes.begin(), bytes.end())));
    EXPECT_EQ(bare.seen_size, 300);
    EXPECT_EQ(bare.seen, bytes);
    bare.answer = false;
    EXPECT_FALSE(host_view.LoadFromCache(std::string()));
    EXPECT_EQ(bare.seen_size, 0);
}

// A virtual device that keeps the framework's child operations.
class PlainVDevice : public SMDVDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    using SMDVDevice::LoadFromCache;
};

TEST(InterfaceInline, VirtualDeviceHasNoChildren) {
    PlainVDevice device;
    SMDVDevice& host_view = device;
    EXPECT_EQ(host_view.GetChildVDevice(0), nullptr);
    EXPECT_EQ(host_view.GetChildVDevice(7), nullptr);
    EXPECT_TRUE(host_view.GetAllChildVDevices().empty());
}

}  // namespace
