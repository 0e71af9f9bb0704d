// Preloaded into rxp-host by its tests (LD_PRELOAD): a plug-in's console used as a plug-in may
// use it, beyond the lines rxp517_t36b2 prints. Every time the device's receiver is reset (once
// a cycle) it writes RXP_SHIM_LINES whole lines to standard output; when the host lets go of the
// device at the end of the run it writes RXP_SHIM_TAIL without a line end. Each then goes on to
// the stand-in runtime's own function.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

// SMDSPDevice::Reset() and smdhost::SetObserver(SMDVDevice&, HostObserver*), by their names.
extern "C" void ShimReset(void* device) __asm__("_ZN11SMDSPDevice5ResetEv");
extern "C" void ShimSetObserver(void* device, void* observer) __asm__(
    "_ZN7smdhost11SetObserverER10SMDVDevicePNS_12HostObserverE");

extern "C" void ShimReset(void* device) {
    static const auto next = Next<void (*)(void*)>("_ZN11SMDSPDevice5ResetEv");
    const char* lines = std::getenv("RXP_SHIM_LINES");
    std::string text;
    for (long i = 0, n = lines != nullptr ? std::atol(lines) : 0; i < n; ++i) {
        text += "console line " + std::to_string(i) + "\n";
    }
    WriteAll(text);
    if (next != nullptr) next(device);
}

extern "C" void ShimSetObserver(void* device, void* observer) {
    static const auto next =
        Next<void (*)(void*, void*)>("_ZN7smdhost11SetObserverER10SMDVDevicePNS_12HostObserverE");
    const char* tail = std::getenv("RXP_SHIM_TAIL");
    if (observer == nullptr && tail != nullptr) WriteAll(tail);
    if (next != nullptr) next(device, observer);
}
