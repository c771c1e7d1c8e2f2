#include "vimohost/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/command_line.h"

namespace vimo {

ServiceNotifier ServiceNotifier::FromEnvironment() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    int64_t watchdog = 0, watchdog_pid = 0;
    // The watchdog may be meant for another process of the service (WATCHDOG_PID).
    const bool ours = !pid || (novex::ParseWhole(pid, 1, INT32_MAX, watchdog_pid) &&
                               watchdog_pid == static_cast<int64_t>(getpid()));
    if (!usec || !ours || !novex::ParseWhole(usec, 1, INT64_MAX, watchdog)) watchdog = 0;
    return ServiceNotifier(socket ? socket : "", std::chrono::microseconds(watchdog));
}

bool ServiceNotifier::Send(const std::string& message) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_.empty() || socket_.size() >= sizeof address.sun_path) return false;
    if (socket_[0] != '/' && socket_[0] != '@') return false;
    std::memcpy(address.sun_path, socket_.data(), socket_.size());
    // "@name" is a socket in the abstract namespace, whose name starts with a zero byte.
    if (socket_[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // A manager that does not read its socket must not stop the poll loop: a full queue
    // loses this message instead.
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address), length);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

void ServiceNotifier::KeepAlive(Clock::time_point now) {
    if (!active() || watchdog_.count() == 0) return;
    if (kept_alive_ && now - last_keep_alive_ < watchdog_ / 2) return;
    kept_alive_ = true;
    last_keep_alive_ = now;
    Send("WATCHDOG=1");
}

}  // namespace vimo
