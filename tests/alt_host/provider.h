// The second host framework's device factories (see smd_device.h): this host hands a new device
// out as its most general device type.
#ifndef ALT_HOST_PROVIDER_H
#define ALT_HOST_PROVIDER_H

#include <memory>
#include <vector>

#include "smd_device.h"

class Provider {
public:
    Provider() {}
    virtual ~Provider() {}
};

class SMDSPDeviceProvider : public Provider {
public:
    SMDSPDeviceProvider() {}
    virtual ~SMDSPDeviceProvider() {}
    virtual SMDVDevice* create() const = 0;
};

#endif  // ALT_HOST_PROVIDER_H
