// The power-system device object: its defaults, its refusals of value queries by age of the
// data, and its answer to every control request.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <string>

#include "device/rxp517_t36b2.h"
#include "tests/console_capture.h"
#include "tests/support/recording_host.h"

using rxptest::Bytes;

namespace {

class InspectDevice : public RXP517_T36B2 {
public:
    using RXP517_T36B2::decoded_frame;
    using RXP517_T36B2::module_count;
    using RXP517_T36B2::module_index;
    using RXP517_T36B2::rx_buffer;
};

// The text of the std::out_of_range that Get_Value throws, or a note that it did something else.
std::string Refusal(const VDeviceInterface& device, unsigned id = 5112,
                    const std::string& name = "ac_value") {
    try {
        device.Get_Value(id, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    } catch (...) {
        return "<another exception>";
    }
    return "<returned>";
}

bool AllZero(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// ---- construction -----------------------------------------------------------------------------

TEST(DeviceDefaults, ConstructorSetsEveryDefaultWhateverTheStorageHeld) {
    alignas(InspectDevice) static unsigned char storage[sizeof(InspectDevice)];
    std::memset(storage, 0xA5, sizeof(storage));
    InspectDevice* device = new (storage) InspectDevice;

    EXPECT_EQ(device->device_type, "rxp517_t36b2");
    EXPECT_EQ(device->DeviceType(), "rxp517_t36b2");
    EXPECT_EQ(device->baud_rate, 9600);
    EXPECT_EQ(device->device_address, 1);
    EXPECT_EQ(device->module_count, 20);
    EXPECT_EQ(device->module_index, 1);
    EXPECT_TRUE(AllZero(device->rx_buffer, sizeof(device->rx_buffer)));
    EXPECT_EQ(sizeof(device->rx_buffer), 8192u);
    EXPECT_TRUE(AllZero(device->decoded_frame, sizeof(device->decoded_frame)));
    EXPECT_EQ(sizeof(device->decoded_frame), 4096u);
    EXPECT_TRUE(AllZero(reinterpret_cast<const unsigned char*>(&device->record()), 289));
    EXPECT_EQ(device->b_mode(), 1);
    EXPECT_FALSE(device->data_ready);
    EXPECT_EQ(Refusal(*device), "数据未就绪");
    device->~InspectDevice();
}

TEST(DeviceDefaults, DestroyedThroughAnyHostBase) {
    SMDVDevice* as_virtual = new RXP517_T36B2;
    delete as_virtual;
    SMDSPDevice* as_serial = new RXP517_T36B2;
    delete as_serial;
    std::unique_ptr<SMDVDevice> owned(new RXP517_T36B2);
    // Every host base pointer of the device is the device's own address.
    EXPECT_EQ(static_cast<void*>(static_cast<VDeviceInterface*>(owned.get())),
              static_cast<void*>(owned.get()));
}

// ---- Get_Value --------------------------------------------------------------------------------

struct AgeCase {
    const char* what;
    bool data_ready;
    long long age_seconds;  // now minus last_update_time; negative: in the future
    const char* expected;
};

void PrintTo(const AgeCase& c, std::ostream* os) {
    *os << c.what;
}

class GetValueAgeTest : public ::testing::TestWithParam<AgeCase> {};

// The clock may tick between setting the time and the query: repeat until both fall in the
// same second, so that the age seen by the device is exactly the one set.
TEST_P(GetValueAgeTest, RefusalTellsWhyByTheAgeOfTheData) {
    using namespace boost::posix_time;
    const AgeCase& c = GetParam();
    RXP517_T36B2 device;
    device.data_ready = c.data_ready;
    std::string answer;
    bool same_second = false;
    for (int attempt = 0; attempt < 20 && !same_second; ++attempt) {
        const ptime now = second_clock::local_time();
        // Whole hours and the rest apart: each part fits a 32-bit count.
        device.last_update_time = now - hours(static_cast<long>(c.age_seconds / 3600)) -
                                  seconds(static_cast<long>(c.age_seconds % 3600));
        answer = Refusal(device);
        same_second = second_clock::local_time() == now;
    }
    ASSERT_TRUE(same_second);
    EXPECT_EQ(answer, c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Ages, GetValueAgeTest,
    ::testing::Values(AgeCase{"just updated", true, 0, "不支持变量"},
                      AgeCase{"exactly a minute", true, 60, "不支持变量"},
                      AgeCase{"a minute and a second", true, 61, "数据已超时"},
                      AgeCase{"a day", true, 86400, "数据已超时"},
                      AgeCase{"seventy years: beyond 32 bits of seconds", true, 70LL * 365 * 86400,
                              "数据已超时"},
                      AgeCase{"clock set back an hour", true, -3600, "不支持变量"},
                      AgeCase{"clock set back a second", true, -1, "不支持变量"},
                      AgeCase{"not ready, however old", false, 3600, "数据未就绪"},
                      AgeCase{"not ready, fresh", false, 0, "数据未就绪"}));

// A completed cycle whose time is not a date (or is infinite) has no age to trust: too old.
TEST(GetValue, UpdateTimeThatIsNotADateCountsAsTimedOut) {
    using namespace boost::posix_time;
    RXP517_T36B2 device;
    device.data_ready = true;
    for (const ptime& t : {ptime(not_a_date_time), ptime(neg_infin), ptime(pos_infin)}) {
        device.last_update_time = t;
        EXPECT_EQ(Refusal(device), "数据已超时") << t;
    }
}

TEST(GetValue, ArgumentsDoNotChangeTheAnswer) {
    RXP517_T36B2 device;
    for (unsigned id : {0u, 5112u, 0xFFFFFFFFu}) {
        for (const char* name : {"", "ac_value", "数据"}) {
            EXPECT_EQ(Refusal(device, id, name), "数据未就绪");
        }
    }
}

TEST(GetValue, CachedRecordCountsAsFreshData) {
    rxptest::ConsoleCapture quiet;
    RXP517_T36B2 device;
    const Bytes cached(289, 0);
    ASSERT_TRUE(device.LoadFromCache(cached.data(), 289));
    EXPECT_EQ(Refusal(device), "不支持变量");
}

// ---- DeviceIoControl --------------------------------------------------------------------------

struct IoCase {
    int code;
    int out_size;
    bool null_out;
    int expected_len;
};

void PrintTo(const IoCase& c, std::ostream* os) {
    *os << "code " << c.code << ", out_size " << c.out_size << (c.null_out ? ", no buffer" : "");
}

class DeviceIoControlTest : public ::testing::TestWithParam<IoCase> {};

TEST_P(DeviceIoControlTest, AnswersTwoWhenFourBytesFitAndNothingOtherwise) {
    const IoCase& c = GetParam();
    RXP517_T36B2 device;
    VDeviceInterface& host_view = device;
    unsigned char out[12];
    std::memset(out, 0xEE, sizeof(out));
    int out_len = 99;
    const char in[] = "request";

    const int result = host_view.DeviceIoControl(c.code, in, sizeof(in), c.null_out ? nullptr : out,
                                                 c.out_size, out_len);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out_len, c.expected_len);
    Bytes expected(12, 0xEE);
    if (c.expected_len == 4) {
        const std::int32_t two = 2;
        std::memcpy(expected.data(), &two, 4);
    }
    EXPECT_EQ(Bytes(out, out + 12), expected);
}

INSTANTIATE_TEST_SUITE_P(Requests, DeviceIoControlTest,
                         ::testing::Values(IoCase{0, 3, false, 0}, IoCase{0, 4, false, 4},
                                           IoCase{0, 8, false, 4}, IoCase{1, 3, false, 0},
                                           IoCase{1, 4, false, 4}, IoCase{-1, 8, false, 4},
                                           IoCase{0x7FFFFFFF, 12, false, 4},
                                           IoCase{12345, 0, false, 0}, IoCase{7, 8, true, 0},
                                           IoCase{7, -1, false, 0}, IoCase{7, INT_MIN, false, 0},
                                           IoCase{INT_MIN, 4, false, 4}));

TEST(DeviceIoControlDispatch, EveryHostBaseReachesTheDevicesAnswer) {
    RXP517_T36B2 device;
    std::int32_t value = 0;
    int len = 0;
    EXPECT_EQ(static_cast<SMDVDevice&>(device).DeviceIoControl(3, nullptr, 0, &value, 4, len), 0);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(len, 4);
    value = 0;
    EXPECT_EQ(static_cast<SMDSPDevice&>(device).DeviceIoControl(3, nullptr, 0, &value, 4, len), 0);
    EXPECT_EQ(value, 2);
}

// ---- the stand-in runtime's observers ----------------------------------------------------------

// The runtime keeps a device's observer beside the device: one made later at the address of a
// device destroyed without unsetting its observer does not report to that observer.
TEST(StandInObservers, DeviceAtAReusedAddressStartsWithoutAnObserver) {
    alignas(RXP517_T36B2) static unsigned char storage[sizeof(RXP517_T36B2)];
    rxptest::RecordingHost earlier;
    RXP517_T36B2* device = new (storage) RXP517_T36B2;
    smdhost::SetObserver(*device, &earlier);
    device->RefreshStatus();
    ASSERT_EQ(earlier.sent.size(), 1u);
    device->~RXP517_T36B2();

    device = new (storage) RXP517_T36B2;
    device->RefreshStatus();
    EXPECT_EQ(earlier.sent.size(), 1u);
    device->~RXP517_T36B2();
}

}  // namespace
