// When the simulator stops serving: SIGTERM/SIGINT, --duration-s, --max-requests. Every
// wait of the transports goes through StopConditions, so each of them ends it.
#pragma once

#include <poll.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/exchange.h"
#include "sim/faults.h"
#include "sim/options.h"

namespace novexsim {

// Routes SIGTERM and SIGINT into a pipe that every wait watches; false with `error`.
bool CatchStopSignals(std::string& error);
void ReleaseStopSignals();
bool StopSignalled();

class StopConditions {
public:
    StopConditions(const Options& options, const FaultInjector& faults);

    // A signal or the end of --duration-s.
    bool Stopped() const;
    // Stopped, or --max-requests served.
    bool Done() const;

    // Waits for `fds` (the stop pipe is added) until one is ready or `until` passes.
    // Returns false when it is time to stop; `fds[i].revents` tell what is ready.
    bool Wait(std::vector<pollfd>& fds, std::optional<Clock::time_point> until = {});

    // Sleeps until `when`; false when stopped meanwhile. The request limit does not
    // cut a sleep short: the last request still gets its answer.
    bool SleepUntil(Clock::time_point when);

private:
    bool WaitOn(std::vector<pollfd>& fds, std::optional<Clock::time_point> until,
                bool request_limit);

    const Options& options_;
    const FaultInjector& faults_;
    std::optional<Clock::time_point> deadline_;
};

}  // namespace novexsim
