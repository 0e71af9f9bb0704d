// The stand-in host's hook: every framework operation that a device calls back reports here,
// and the answers a device receives come from here. A host program or a test installs one
// observer for the whole process (SetDefaultObserver) or one per device (SetObserver).
#ifndef SMD_HOST_RUNTIME_HOST_OBSERVER_H
#define SMD_HOST_RUNTIME_HOST_OBSERVER_H

#include <string>
#include <vector>

#include "host/provider.h"
#include "host/smd_device.h"

#pragma GCC visibility push(default)

// The plug-in entry a host program looks up by the plain name "get_providers".
typedef std::vector<std::shared_ptr<Provider>> (*get_providers_fn)();

namespace smdhost {

class HostObserver {
public:
    virtual ~HostObserver();

    // Serial port side (SMDSPDevice).
    virtual bool OnSendData(SMDSPDevice& device, const unsigned char* data, unsigned int size);
    virtual bool OnProcess(SMDSPDevice& device, unsigned char* data, unsigned int size);
    virtual bool OnRefreshStatus(SMDSPDevice& device);
    virtual void OnReset(SMDSPDevice& device);

    // Publication, history and alarm handling (SMDVDevice).
    virtual bool OnSendSP(SMDVDevice& device, int data_id, const unsigned char* data,
                          unsigned int size, bool urgent);
    virtual bool OnSaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                     unsigned int size);
    virtual bool OnCheckAOReport(SMDVDevice& device, const std::string& name, float value);
    virtual bool OnCheckThreshold(SMDVDevice& device, const std::string& name,
                                  const std::string& text, float value, int level);
    virtual bool OnDoBatchCheckThreshold(SMDVDevice& device, const std::vector<rule_value>& batch);
    virtual bool OnCheckThresholdBool(SMDVDevice& device, int kind, const std::string& signal_key,
                                      const std::string& alarm_id, const std::string& alarm_name,
                                      const std::string& alarm_text, bool state,
                                      unsigned short ordinal);
    virtual bool OnInitSetting(SMDVDevice& device, const Json::Value& setting);
};

// The observer used by devices that have none of their own; null restores the built-in one,
// which records nothing and answers as a quiet host does (true for port and setting calls,
// false for the alarm checks).
// Both setters may be called while devices run on other threads: every framework call that
// starts after a setter returned reaches the new observer, while a call already under way may
// still finish with the one replaced, which must therefore outlive it.
void SetDefaultObserver(HostObserver* observer);
// The observer for one device; null makes the device use the process default again. The
// runtime keeps this beside the device, not in it (the framework's classes are the host's, and
// their destructors are built into the plug-in), so a host program unsets a device's observer
// before it destroys the device. A device constructed later at the same address starts without
// one all the same: the framework's constructor forgets whatever was kept for its address.
void SetObserver(SMDVDevice& device, HostObserver* observer);
HostObserver& ObserverOf(SMDVDevice& device);

}  // namespace smdhost

#pragma GCC visibility pop

#endif  // SMD_HOST_RUNTIME_HOST_OBSERVER_H
