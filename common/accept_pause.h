// accept() that fails for want of descriptors or memory leaves the connection waiting:
// the listening socket is readable again at once, and a loop that polls it again
// spins. A listener rests its socket a while instead, and says so as a failing output
// does (common/failure_note.h): the first time, a reminder now and then, the recovery.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "common/failure_note.h"

namespace vimo {

class AcceptPause {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kRest{100};

    explicit AcceptPause(std::string what) : what_(std::move(what)) {}

    // After accept() failed with `error` (errno): the line to log, or "". Rests the
    // socket when the failure is a lack of resources; any other (the client went away
    // before it was accepted, EAGAIN) is not a failure of the listener.
    std::string Failed(int error, Clock::time_point now) {
        if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return "";
        until_ = now + kRest;
        return note_.Failed(what_ + ": cannot accept connections", std::strerror(error), now);
    }
    // After accept() gave a connection: the recovery's line, or "".
    std::string Worked() { return note_.Worked(what_ + ": cannot accept connections"); }

    // The descriptor to poll for new connections: -1 while resting.
    int PollFd(int listen_fd, Clock::time_point now) const { return until_ > now ? -1 : listen_fd; }
    // The end of the rest, or the zero time point when not resting.
    Clock::time_point RestsUntil() const { return until_; }

private:
    const std::string what_;
    Clock::time_point until_{};
    FailureNote note_;
};

}  // namespace vimo
