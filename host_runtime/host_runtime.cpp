// The stand-in host's definitions of the framework operations that a device object calls or
// inherits. Host programs and tests link this library; the plug-in resolves these symbols from
// the process that loads it.
#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "host_runtime/host_observer.h"

namespace smdhost {

HostObserver::~HostObserver() {}
bool HostObserver::OnSendData(SMDSPDevice&, const unsigned char*, unsigned int) {
    return true;
}
bool HostObserver::OnProcess(SMDSPDevice&, unsigned char*, unsigned int) {
    return true;
}
bool HostObserver::OnRefreshStatus(SMDSPDevice&) {
    return true;
}
void HostObserver::OnReset(SMDSPDevice&) {}
bool HostObserver::OnSendSP(SMDVDevice&, int, const unsigned char*, unsigned int, bool) {
    return true;
}
bool HostObserver::OnSaveDeviceHistory(SMDVDevice&, const unsigned char*, unsigned int) {
    return true;
}
bool HostObserver::OnCheckAOReport(SMDVDevice&, const std::string&, float) {
    return false;
}
bool HostObserver::OnCheckThreshold(SMDVDevice&, const std::string&, const std::string&, float,
                                    int) {
    return false;
}
bool HostObserver::OnDoBatchCheckThreshold(SMDVDevice&, const std::vector<rule_value>&) {
    return false;
}
bool HostObserver::OnCheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                                        const std::string&, const std::string&, bool,
                                        unsigned short) {
    return false;
}
bool HostObserver::OnInitSetting(SMDVDevice&, const Json::Value&) {
    return true;
}

namespace {
HostObserver g_quiet_host;

// The process default and the observers of single devices, by device address. A host program
// sets them up around its devices, rarely, and may drive its devices from several threads: the
// changes take the lock, and each advances g_generation before the lock is released.
std::mutex g_observers_mutex;
HostObserver* g_default_observer = &g_quiet_host;
std::unordered_map<const SMDVDevice*, HostObserver*> g_observers;
std::atomic<std::uintptr_t> g_generation(1);

// The lookup made on every framework call takes no lock: each thread keeps its last answer,
// with the generation it was read at, and uses it again for the same device while no change
// has been made since. A device is driven a whole cycle at a time on one thread (some 190
// calls), so the lock is taken about once a cycle. The entry is this thread's alone; its
// generation 0 is never current, so the first lookup of a thread takes the lock. (The counter
// is as wide as a pointer: on a 32-bit host an answer kept across exactly 2^32 changes would be
// taken for current; a host program makes a few changes per device it creates.)
struct LastLookup {
    const SMDVDevice* device;
    HostObserver* observer;
    std::uintptr_t generation;
};
// Initial-exec: the runtime is linked into its host programs, never opened later, so its
// thread-local entry sits in the static block and is reached without a call.
__attribute__((tls_model("initial-exec"))) thread_local LastLookup t_last = {nullptr, nullptr, 0};

// Called with g_observers_mutex held, after a change: every thread's last answer is stale.
void Changed() {
    g_generation.fetch_add(1, std::memory_order_release);
}
}  // namespace

void SetDefaultObserver(HostObserver* observer) {
    std::lock_guard<std::mutex> lock(g_observers_mutex);
    g_default_observer = observer != nullptr ? observer : &g_quiet_host;
    Changed();
}

void SetObserver(SMDVDevice& device, HostObserver* observer) {
    std::lock_guard<std::mutex> lock(g_observers_mutex);
    if (observer == nullptr) {
        g_observers.erase(&device);
    } else {
        g_observers[&device] = observer;
    }
    Changed();
}

namespace {
// The lookup when this thread's last answer does not hold: under the lock, kept for next time.
__attribute__((noinline)) HostObserver& LookUpLocked(const SMDVDevice& device, LastLookup& last) {
    std::lock_guard<std::mutex> lock(g_observers_mutex);
    const auto found = g_observers.find(&device);
    last.device = &device;
    last.observer = found != g_observers.end() ? found->second : g_default_observer;
    last.generation = g_generation.load(std::memory_order_relaxed);
    return *last.observer;
}

// Inlined into every framework operation below (ObserverOf is exported, so calls to it would
// go through the PLT).
inline HostObserver& LookUp(const SMDVDevice& device) {
    LastLookup& last = t_last;
    if (last.device == &device && last.generation == g_generation.load(std::memory_order_acquire)) {
        return *last.observer;
    }
    return LookUpLocked(device, last);
}
}  // namespace

HostObserver& ObserverOf(SMDVDevice& device) {
    return LookUp(device);
}

// A new device never inherits the observer of a destroyed one that lived at its address.
static void ForgetDevice(const SMDVDevice& device) {
    std::lock_guard<std::mutex> lock(g_observers_mutex);
    if (g_observers.erase(&device) != 0) Changed();
}

}  // namespace smdhost

using smdhost::LookUp;

ttime_t get_ttime(boost::posix_time::ptime time) {
    ttime_t t = {};
    if (time.is_special()) return t;
    const boost::gregorian::date d = time.date();
    const boost::posix_time::time_duration tod = time.time_of_day();
    const unsigned year = static_cast<unsigned>(d.year());
    t.date[0] = static_cast<unsigned char>(year & 0xFF);
    t.date[1] = static_cast<unsigned char>(year >> 8);
    t.date[2] = static_cast<unsigned char>(d.month().as_number());
    t.date[3] = static_cast<unsigned char>(d.day().as_number());
    t.hour = static_cast<unsigned char>(tod.hours());
    t.minute = static_cast<unsigned char>(tod.minutes());
    t.second = static_cast<unsigned char>(tod.seconds());
    return t;
}

// --- SMDVDevice ------------------------------------------------------------------------------

SMDVDevice::SMDVDevice()
    : rule_ordinal(1),
      data_ready(false),
      alarm_changed(false),
      poll_step(0),
      device_address(0),
      rx_count(0) {
    smdhost::ForgetDevice(*this);
}

std::int32_t SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) {
    return -2;
}
void SMDVDevice::Reset() {}
bool SMDVDevice::InitV(SMDVDevice*, unsigned int, const Json::Value&) {
    return true;
}
bool SMDVDevice::Init(std::weak_ptr<SMDController> c, unsigned int, const Json::Value&) {
    controller = c;
    return true;
}
bool SMDVDevice::InitSetting(const Json::Value& setting) {
    return LookUp(*this).OnInitSetting(*this, setting);
}
bool SMDVDevice::IsSupportDevice(const std::string& type) const {
    return type == device_type;
}
bool SMDVDevice::SendSP(int id, const unsigned char* data, unsigned int size, bool urgent) {
    return LookUp(*this).OnSendSP(*this, id, data, size, urgent);
}
bool SMDVDevice::SendDelayData(int) {
    return false;
}
bool SMDVDevice::SendDoData(int, char) {
    return false;
}
int SMDVDevice::ReadDi(int) {
    return 0;
}
float SMDVDevice::ReadAi(int) {
    return 0.0f;
}
std::string SMDVDevice::Get_SP_Value(unsigned int, const std::string&) {
    return std::string();
}

bool SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
    return LookUp(*this).OnSaveDeviceHistory(*this, data, size);
}
bool SMDVDevice::CheckAOReport(const std::string& name, float value) {
    return LookUp(*this).OnCheckAOReport(*this, name, value);
}
bool SMDVDevice::CheckThreshold(const std::string& name, const std::string& text,
                                const float& value, int level) {
    return LookUp(*this).OnCheckThreshold(*this, name, text, value, level);
}
bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
    return LookUp(*this).OnDoBatchCheckThreshold(*this, batch);
}
bool SMDVDevice::CheckThresholdBool(int kind, const std::string& signal_key,
                                    const std::string& alarm_id, const std::string& alarm_name,
                                    const std::string& alarm_text, bool state,
                                    unsigned short ordinal) {
    return LookUp(*this).OnCheckThresholdBool(*this, kind, signal_key, alarm_id, alarm_name,
                                              alarm_text, state, ordinal);
}

// --- SMDSPDevice -----------------------------------------------------------------------------

// No line speed until the host configures the port: a device sets its own.
SMDSPDevice::SMDSPDevice() : baud_rate(0) {}

void SMDSPDevice::Reset() {
    // Any partial reception is dropped: the device's codec relies on rx_count being 0 after this.
    rx_count = 0;
    LookUp(*this).OnReset(*this);
}
bool SMDSPDevice::Init(std::weak_ptr<SMDController> c, unsigned int index,
                       const Json::Value& setting) {
    return SMDVDevice::Init(c, index, setting);
}
bool SMDSPDevice::RefreshStatus() {
    return LookUp(*this).OnRefreshStatus(*this);
}
bool SMDSPDevice::process(unsigned char* data, unsigned int size) {
    return LookUp(*this).OnProcess(*this, data, size);
}
bool SMDSPDevice::IsProcessing() {
    return rx_count > 0;
}
bool SMDSPDevice::IsStalled() {
    return false;
}
bool SMDSPDevice::SendData(const unsigned char* data, unsigned int size) {
    return LookUp(*this).OnSendData(*this, data, size);
}
bool SMDSPDevice::SendParityData(const unsigned char* data, unsigned int size, EnumParity) {
    return SendData(data, size);
}
bool SMDSPDevice::OpenPort() {
    return false;
}
void SMDSPDevice::ClosePort() {}
void SMDSPDevice::RunCheckThreshold() {}
