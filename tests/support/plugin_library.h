// The built plug-in opened as a host program opens it: dlopen, then the entry found by its plain
// name. It names no framework type (the test passes its own), so that the test of another
// conformant framework uses it as the tests of ours do.
#ifndef RXP_TESTS_SUPPORT_PLUGIN_LIBRARY_H
#define RXP_TESTS_SUPPORT_PLUGIN_LIBRARY_H

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace rxptest {

// Opens the plug-in at `path` into `*handle` and finds its get_providers, as an `Entry`, in
// `*entry`; a failure fails the test with the dynamic linker's reason.
template <typename Entry>
void OpenPlugin(const char* path, void** handle, Entry* entry) {
    *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(*handle, nullptr) << dlerror();
    void* symbol = dlsym(*handle, "get_providers");
    ASSERT_NE(symbol, nullptr) << dlerror();
    *entry = reinterpret_cast<Entry>(symbol);
}

inline void ClosePlugin(void** handle) {
    if (*handle != nullptr) dlclose(*handle);
    *handle = nullptr;
}

// The reason the device gives for refusing the AC values (Get_Value's out_of_range text).
template <typename Device>
std::string Refusal(const Device& device) {
    try {
        device.Get_Value(5112, "ac_value");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "<no refusal>";
}

}  // namespace rxptest

#endif  // RXP_TESTS_SUPPORT_PLUGIN_LIBRARY_H
