// The virtual table of the device and of the providers, slot by slot, as a host built against
// its own declarations of the framework indexes it. On the Itanium C++ ABI a pointer to a
// virtual member function holds the byte offset of its slot in the virtual table (plus 1, or on
// ARM and MIPS with the flag in the adjustment instead), so comparing those offsets with the
// host's slot list shows that each call of the host lands on the right function.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "device/rxp517_t36b2.h"
#include "plugin/rxp517_t36b2_provider.h"

namespace {

struct SlotInfo {
    bool is_virtual;
    long slot;
    std::ptrdiff_t this_adjustment;
};

template <typename MemberFunction>
SlotInfo SlotOf(MemberFunction pmf) {
    static_assert(sizeof(pmf) == 2 * sizeof(std::ptrdiff_t), "Itanium member function pointer");
    std::ptrdiff_t words[2];
    std::memcpy(words, &pmf, sizeof(words));
#if defined(__arm__) || defined(__aarch64__) || defined(__mips__)
    const bool is_virtual = (words[1] & 1) != 0;
    const std::ptrdiff_t offset = words[0];
    const std::ptrdiff_t adjustment = words[1] >> 1;
#else
    const bool is_virtual = (words[0] & 1) != 0;
    const std::ptrdiff_t offset = words[0] - 1;
    const std::ptrdiff_t adjustment = words[1];
#endif
    return SlotInfo{is_virtual,
                    static_cast<long>(offset / static_cast<std::ptrdiff_t>(sizeof(void*))),
                    adjustment};
}

struct Expected {
    const char* operation;
    long slot;
    SlotInfo actual;
};

void ExpectSlots(const Expected* rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const Expected& row = rows[i];
        EXPECT_TRUE(row.actual.is_virtual) << row.operation;
        EXPECT_EQ(row.actual.slot, row.slot) << row.operation;
        EXPECT_EQ(row.actual.this_adjustment, 0) << row.operation;
    }
}

typedef RXP517_T36B2 D;

// Every operation taken as a member of the device class: the offsets are those the device
// object's own virtual table answers to.
TEST(VirtualTable, DeviceOperationsSitInTheHostsSlots) {
    typedef std::string (D::*GetValue)(unsigned int, const std::string&) const;
    typedef bool (D::*LoadText)(const std::string&);
    typedef bool (D::*LoadBytes)(const unsigned char*, int);
    typedef std::int32_t (D::*DataIdFn)() const;
    typedef const std::string& (D::*DeviceTypeFn)() const;
    typedef std::int32_t (D::*IoControl)(int, const void*, int, void*, int, int&);
    typedef void (D::*Plain)();
    typedef bool (D::*Flag)();
    typedef bool (D::*InitVFn)(SMDVDevice*, unsigned int, const Json::Value&);
    typedef bool (D::*InitFn)(std::weak_ptr<SMDController>, unsigned int, const Json::Value&);
    typedef bool (D::*InitSettingFn)(const Json::Value&);
    typedef bool (D::*SupportFn)(const std::string&) const;
    typedef std::shared_ptr<SMDVDevice> (D::*ChildFn)(unsigned int);
    typedef std::vector<std::shared_ptr<SMDVDevice>> (D::*ChildrenFn)();
    typedef bool (D::*SendSPFn)(int, const unsigned char*, unsigned int, bool);
    typedef bool (D::*SendDelayFn)(int);
    typedef bool (D::*SendDoFn)(int, char);
    typedef int (D::*ReadDiFn)(int);
    typedef float (D::*ReadAiFn)(int);
    typedef std::string (D::*SPValueFn)(unsigned int, const std::string&);
    typedef bool (D::*ProcessFn)(unsigned char*, unsigned int);
    typedef bool (D::*SendDataFn)(const unsigned char*, unsigned int);
    typedef bool (D::*ParityFn)(const unsigned char*, unsigned int, EnumParity);

    // Slots 8 and 9 are the destructor (complete object, then deleting); see the test below.
    const Expected rows[] = {
        {"Get_Value", 0, SlotOf<GetValue>(&D::Get_Value)},
        {"LoadFromCache(text)", 1, SlotOf<LoadText>(&D::LoadFromCache)},
        {"LoadFromCache(bytes)", 2, SlotOf<LoadBytes>(&D::LoadFromCache)},
        {"DataId", 3, SlotOf<DataIdFn>(&D::DataId)},
        {"DeviceType", 4, SlotOf<DeviceTypeFn>(&D::DeviceType)},
        {"DeviceIoControl", 5, SlotOf<IoControl>(&D::DeviceIoControl)},
        {"RoundDone", 6, SlotOf<Plain>(&D::RoundDone)},
        {"UseControllerDb", 7, SlotOf<Flag>(&D::UseControllerDb)},
        {"Reset", 10, SlotOf<Plain>(&D::Reset)},
        {"InitV", 11, SlotOf<InitVFn>(&D::InitV)},
        {"Init", 12, SlotOf<InitFn>(&D::Init)},
        {"InitSetting", 13, SlotOf<InitSettingFn>(&D::InitSetting)},
        {"IsSupportDevice", 14, SlotOf<SupportFn>(&D::IsSupportDevice)},
        {"GetChildVDevice", 15, SlotOf<ChildFn>(&D::GetChildVDevice)},
        {"GetAllChildVDevices", 16, SlotOf<ChildrenFn>(&D::GetAllChildVDevices)},
        {"SendSP", 17, SlotOf<SendSPFn>(&D::SendSP)},
        {"SendDelayData", 18, SlotOf<SendDelayFn>(&D::SendDelayData)},
        {"SendDoData", 19, SlotOf<SendDoFn>(&D::SendDoData)},
        {"ReadDi", 20, SlotOf<ReadDiFn>(&D::ReadDi)},
        {"ReadAi", 21, SlotOf<ReadAiFn>(&D::ReadAi)},
        {"Get_SP_Value", 22, SlotOf<SPValueFn>(&D::Get_SP_Value)},
        {"RefreshStatus", 23, SlotOf<Flag>(&D::RefreshStatus)},
        {"process", 24, SlotOf<ProcessFn>(&D::process)},
        {"IsProcessing", 25, SlotOf<Flag>(&D::IsProcessing)},
        {"IsStalled", 26, SlotOf<Flag>(&D::IsStalled)},
        {"SendData", 27, SlotOf<SendDataFn>(&D::SendData)},
        {"SendParityData", 28, SlotOf<ParityFn>(&D::SendParityData)},
        {"OpenPort", 29, SlotOf<Flag>(&D::OpenPort)},
        {"ClosePort", 30, SlotOf<Plain>(&D::ClosePort)},
        {"RunCheckThreshold", 31, SlotOf<Plain>(&D::RunCheckThreshold)},
    };
    ExpectSlots(rows, sizeof(rows) / sizeof(rows[0]));
}

// The interface's eight operations are its whole table (its destructor is not virtual): the
// first virtual a class adds after them takes slot 8.
class AfterInterface : public VDeviceInterface {
public:
    bool LoadFromCache(const unsigned char*, int) override { return false; }
    using VDeviceInterface::LoadFromCache;
    virtual void Added() {}
};

TEST(VirtualTable, InterfaceHasExactlyEightSlots) {
    EXPECT_EQ(SlotOf(&AfterInterface::Added).slot, 8);
    EXPECT_EQ(SlotOf(&VDeviceInterface::UseControllerDb).slot, 7);
}

// A class added below the device would start after the device's last slot.
class AfterDevice : public RXP517_T36B2 {
public:
    virtual void Added() {}
};

TEST(VirtualTable, DeviceAddsNoSlotOfItsOwn) {
    EXPECT_EQ(SlotOf(&AfterDevice::Added).slot, 32);
}

// Calls the function in slot `slot` of an object's virtual table as a destructor does.
void CallSlot(void* object, long slot) {
    typedef void (*Destructor)(void*);
    void** table = *static_cast<void***>(object);
    Destructor destructor;
    void* entry = table[slot];
    std::memcpy(&destructor, &entry, sizeof(destructor));
    destructor(object);
}

int g_destroyed = 0;

class CountedDevice : public RXP517_T36B2 {
public:
    ~CountedDevice() override { ++g_destroyed; }
};

// Slot 8 destroys without freeing, slot 9 destroys and frees (a leak or double free shows
// under the sanitizer and valgrind runs).
TEST(VirtualTable, DestructorTakesSlotsEightAndNine) {
    g_destroyed = 0;
    alignas(CountedDevice) static unsigned char storage[sizeof(CountedDevice)];
    CountedDevice* placed = new (storage) CountedDevice;
    CallSlot(placed, 8);
    EXPECT_EQ(g_destroyed, 1);

    CountedDevice* owned = new CountedDevice;
    CallSlot(owned, 9);
    EXPECT_EQ(g_destroyed, 2);
}

// ---- providers --------------------------------------------------------------------------------

int g_providers_destroyed = 0;

class CountedProvider : public RXP517_T36B2Provider {
public:
    ~CountedProvider() override { ++g_providers_destroyed; }
};

TEST(VirtualTable, ProviderCreateFollowsTheDestructor) {
    typedef SMDSPDevice* (SMDSPDeviceProvider::*Create)() const;
    EXPECT_EQ(SlotOf<Create>(&SMDSPDeviceProvider::create).slot, 2);
    typedef SMDSPDevice* (RXP517_T36B2Provider::*OwnCreate)() const;
    const SlotInfo own = SlotOf<OwnCreate>(&RXP517_T36B2Provider::create);
    EXPECT_TRUE(own.is_virtual);
    EXPECT_EQ(own.slot, 2);
    EXPECT_EQ(own.this_adjustment, 0);

    g_providers_destroyed = 0;
    alignas(CountedProvider) static unsigned char storage[sizeof(CountedProvider)];
    CountedProvider* placed = new (storage) CountedProvider;
    CallSlot(placed, 0);
    EXPECT_EQ(g_providers_destroyed, 1);
    CountedProvider* owned = new CountedProvider;
    CallSlot(owned, 1);
    EXPECT_EQ(g_providers_destroyed, 2);
}

// Through the slot the host uses for create, a provider makes a device.
TEST(VirtualTable, CreateSlotMakesADevice) {
    const RXP517_T36B2Provider provider;
    typedef SMDSPDevice* (*CreateFn)(const void*);
    void** table = *reinterpret_cast<void** const*>(&provider);
    CreateFn create;
    void* entry = table[2];
    std::memcpy(&create, &entry, sizeof(create));
    SMDSPDevice* device = create(&provider);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType(), "rxp517_t36b2");
    delete device;
}

}  // namespace
