// What the host tells the service manager (systemd's notification socket, NOTIFY_SOCKET): that it
// is ready once it polls, how the bus stands (shown by `systemctl status`), that it is alive while
// the bus makes progress, and that it stops. Without a service manager every call does nothing.
#ifndef RXP_TOOLS_RXP_HOST_SERVICE_NOTIFY_H
#define RXP_TOOLS_RXP_HOST_SERVICE_NOTIFY_H

#include <chrono>
#include <cstdint>
#include <string>

namespace rxphost {

class ServiceNotify {
public:
    // Reads the watchdog's period from the environment systemd gave (WATCHDOG_USEC, WATCHDOG_PID).
    ServiceNotify();

    // READY=1 with the first status line.
    void Ready(const std::string& status);
    // WATCHDOG=1 (when a watchdog is set) with the status line; only from the loop that polls,
    // when it made progress.
    void Alive(const std::string& status);
    void Stopping(const std::string& status);

    // The watchdog's period; zero when none is set.
    std::chrono::microseconds watchdog() const { return watchdog_; }
    // A service manager listens (NOTIFY_SOCKET was given): without one there is nothing to tell,
    // and nothing need be made to tell it.
    bool listening() const { return listening_; }

private:
    void Send(const std::string& message);

    bool listening_ = false;
    std::chrono::microseconds watchdog_{0};
    std::chrono::steady_clock::time_point last_alive_{};
    std::string last_status_;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_SERVICE_NOTIFY_H
