#include "sim/stop_conditions.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace novexsim {
namespace {

int g_stop_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
    const char c = 0;
    const ssize_t ignored = write(g_stop_pipe[1], &c, 1);
    (void)ignored;
}

}  // namespace

bool CatchStopSignals(std::string& error) {
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    return true;
}

void ReleaseStopSignals() {
    close(g_stop_pipe[0]);
    close(g_stop_pipe[1]);
}

bool StopSignalled() { return g_stop != 0; }

StopConditions::StopConditions(const Options& options, const FaultInjector& faults)
    : options_(options), faults_(faults) {
    if (options.duration_s > 0)
        deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.duration_s));
}

bool StopConditions::Stopped() const {
    return g_stop != 0 || (deadline_ && Clock::now() >= *deadline_);
}

bool StopConditions::Done() const {
    return Stopped() || (options_.max_requests > 0 && faults_.requests() >= options_.max_requests);
}

bool StopConditions::Wait(std::vector<pollfd>& fds, std::optional<Clock::time_point> until) {
    return WaitOn(fds, until, true);
}

bool StopConditions::SleepUntil(Clock::time_point when) {
    std::vector<pollfd> none;
    while (Clock::now() < when)
        if (!WaitOn(none, when, false)) return false;
    return true;
}

bool StopConditions::WaitOn(std::vector<pollfd>& fds, std::optional<Clock::time_point> until,
                            bool request_limit) {
    for (;;) {
        if (request_limit ? Done() : Stopped()) return false;
        std::optional<Clock::time_point> limit = until;
        if (deadline_ && (!limit || *deadline_ < *limit)) limit = deadline_;
        timespec ts{};
        timespec* timeout = nullptr;
        if (limit) {
            const auto left = std::max(Clock::duration::zero(), *limit - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        std::vector<pollfd> all = fds;
        all.push_back({g_stop_pipe[0], POLLIN, 0});
        const int rc = ppoll(all.data(), all.size(), timeout, nullptr);
        if (rc < 0 && errno != EINTR) return false;
        if (request_limit ? Done() : Stopped()) return false;
        for (size_t i = 0; i < fds.size(); ++i) fds[i].revents = rc > 0 ? all[i].revents : 0;
        if (rc > 0 || (until && Clock::now() >= *until)) return true;
    }
}

}  // namespace novexsim
