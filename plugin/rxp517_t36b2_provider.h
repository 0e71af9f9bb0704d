// The plug-in's one device factory.
#ifndef RXP_PLUGIN_RXP517_T36B2_PROVIDER_H
#define RXP_PLUGIN_RXP517_T36B2_PROVIDER_H

#include <memory>
#include <vector>

#include "device/host_framework.h"

class RXP517_T36B2Provider : public SMDSPDeviceProvider {
public:
    RXP517_T36B2Provider() {}
    virtual ~RXP517_T36B2Provider() {}
    // A new power-system device with its defaults; the caller owns it.
    rxp::host::CreatedDevice create() const override;
};

// The plug-in's entry: a fresh list holding one fresh provider on every call. The host looks it
// up under the plain name "get_providers".
__attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() __asm__("get_providers");

#endif  // RXP_PLUGIN_RXP517_T36B2_PROVIDER_H
