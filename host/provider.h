// The host's device factories. A plug-in's entry function hands the host a list of providers;
// the host keeps one and asks it for a device object per configured device.
#ifndef SMD_HOST_PROVIDER_H
#define SMD_HOST_PROVIDER_H

#include <memory>
#include <vector>

#include "smd_device.h"

#pragma GCC visibility push(default)

class Provider {
public:
    Provider() {}
    virtual ~Provider() {}
};

class SMDSPDeviceProvider : public Provider {
public:
    SMDSPDeviceProvider() {}
    virtual ~SMDSPDeviceProvider() {}
    // A new device object; the caller owns it and destroys it through its virtual destructor.
    virtual SMDSPDevice* create() const = 0;
};

#pragma GCC visibility pop

#endif  // SMD_HOST_PROVIDER_H
