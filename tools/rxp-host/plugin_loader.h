// Loads a driver plug-in the way the controller's host does: dlopen, look up get_providers,
// keep the provider, ask it for one device. The framework's operations the plug-in needs are
// resolved from this process (libsmdhost.so).
#ifndef RXP_TOOLS_RXP_HOST_PLUGIN_LOADER_H
#define RXP_TOOLS_RXP_HOST_PLUGIN_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "host/provider.h"
#include "host_runtime/host_observer.h"

namespace rxphost {

class LoadedPlugin {
public:
    // Throws std::runtime_error naming the file when it does not load, lacks get_providers or
    // offers no serial-port device provider.
    explicit LoadedPlugin(const std::string& path);
    // Releases the providers, then unloads the plug-in; devices made by it must be gone.
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    // A new device from the kept provider; the caller owns it.
    SMDSPDevice* CreateDevice() const;

private:
    std::string path_;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    const SMDSPDeviceProvider* provider_ = nullptr;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PLUGIN_LOADER_H
