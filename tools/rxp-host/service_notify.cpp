#include "tools/rxp-host/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace rxphost {

ServiceNotify::ServiceNotify() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    listening_ = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotify::Ready(const std::string& status) {
    last_status_ = status;
    Send("READY=1\nSTATUS=" + status);
}

void ServiceNotify::Alive(const std::string& status) {
    // Progress comes with every command sent; a tenth of the period apart is often enough.
    const auto now = std::chrono::steady_clock::now();
    std::string message;
    if (watchdog_.count() > 0 && now - last_alive_ >= watchdog_ / 10) {
        message = "WATCHDOG=1";
        last_alive_ = now;
    }
    if (status != last_status_) {
        last_status_ = status;
        message += (message.empty() ? "" : "\n") + ("STATUS=" + status);
    }
    if (!message.empty()) Send(message);
}

void ServiceNotify::Stopping(const std::string& status) {
    last_status_ = status;
    Send("STOPPING=1\nSTATUS=" + status);
}

// sd_notify does nothing without NOTIFY_SOCKET; a manager that went away is not the host's
// concern.
void ServiceNotify::Send(const std::string& message) {
    sd_notify(0, message.c_str());
}

}  // namespace rxphost
