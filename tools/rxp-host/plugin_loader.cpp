#include "tools/rxp-host/plugin_loader.h"

#include <dlfcn.h>

#include <stdexcept>

namespace rxphost {

LoadedPlugin::LoadedPlugin(const std::string& path) : path_(path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        throw std::runtime_error("cannot load plug-in '" + path +
                                 "': " + (why != nullptr ? why : "unknown error"));
    }
    ::dlerror();
    void* entry = ::dlsym(handle_, "get_providers");
    if (entry == nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("plug-in '" + path + "' has no entry get_providers");
    }
    const get_providers_fn get_providers = reinterpret_cast<get_providers_fn>(entry);
    try {
        providers_ = get_providers();
    } catch (const std::exception& e) {
        ::dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("plug-in '" + path + "': get_providers failed: " + e.what());
    }
    for (const std::shared_ptr<Provider>& p : providers_) {
        provider_ = dynamic_cast<const SMDSPDeviceProvider*>(p.get());
        if (provider_ != nullptr) break;
    }
    if (provider_ == nullptr) {
        const std::size_t count = providers_.size();
        providers_.clear();
        ::dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("plug-in '" + path +
                                 "' offers no serial-port device provider (get_providers gave " +
                                 std::to_string(count) + " providers)");
    }
}

LoadedPlugin::~LoadedPlugin() {
    provider_ = nullptr;
    providers_.clear();
    if (handle_ != nullptr) ::dlclose(handle_);
}

SMDSPDevice* LoadedPlugin::CreateDevice() const {
    return provider_->create();
}

}  // namespace rxphost
