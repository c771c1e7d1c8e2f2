// Telling the service manager how vimohost is doing, by the datagram protocol systemd
// documents for Type=notify services: "READY=1" once the devices are set up, "STATUS=..."
// lines, "RELOADING=1" and "STOPPING=1", and "WATCHDOG=1" at half the watchdog interval
// while the poll loop runs. Without NOTIFY_SOCKET every call does nothing.
// Written here rather than taken from libsystemd: its sd_notify (Debian 12, systemd 252)
// blocks while the manager's socket queue is full, and a manager that does not read
// would then stop the poll loop; each datagram here is sent without waiting, and lost
// instead.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace vimo {

class ServiceNotifier {
public:
    using Clock = std::chrono::steady_clock;

    // NOTIFY_SOCKET ("/path" or "@abstract"), WATCHDOG_USEC and WATCHDOG_PID (which must be
    // this process, when set) of the environment.
    static ServiceNotifier FromEnvironment();
    ServiceNotifier(std::string socket_path, std::chrono::microseconds watchdog)
        : socket_(std::move(socket_path)), watchdog_(watchdog) {}

    bool active() const { return !socket_.empty(); }
    std::chrono::microseconds watchdog() const { return watchdog_; }

    // One datagram of "KEY=value" lines; false when it could not be sent.
    bool Send(const std::string& message) const;

    // "WATCHDOG=1" when half the watchdog interval has passed since the last one (or none
    // was sent yet); called from the poll loop on each of its ticks.
    void KeepAlive(Clock::time_point now);

private:
    std::string socket_;
    std::chrono::microseconds watchdog_{0};  // 0: no watchdog
    bool kept_alive_ = false;
    Clock::time_point last_keep_alive_{};
};

}  // namespace vimo
