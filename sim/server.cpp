// Serve: catches the stop signals, builds the responder and hands over to the transport
// the options chose. Also the pieces both transports share (transport.h).
#include "sim/server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/transport.h"

namespace novexsim {
namespace {

bool g_ready = false;

bool WriteAll(int fd, const std::vector<uint8_t>& bytes, bool socket) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = socket ? send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                 : write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void Log(const std::string& line) { std::fprintf(stderr, "novexups-sim: %s\n", line.c_str()); }

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void Ready(const std::string& line) {
    g_ready = true;
    std::printf("ready %s\n", line.c_str());
    std::fflush(stdout);
}

bool Deliver(StopConditions& stop, const Options& options, const Reply& reply, int fd,
             bool socket) {
    if (options.verbose && reply.addressed) Log(reply.trace);
    if (reply.drop) return false;
    if (reply.bytes.empty()) return true;
    if (!stop.SleepUntil(reply.send_at)) return true;
    if (!WriteAll(fd, reply.bytes, socket)) {
        Log(Errno("write"));
        return false;
    }
    if (!reply.round_line.empty()) Log(reply.round_line);
    return true;
}

int Serve(const Options& options, UpsState& state) {
    std::string error;
    if (!CatchStopSignals(error)) {
        Log(error);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    if (options.exit_with_parent) {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) return 0;
    }

    const bool tcp = options.transport == Transport::kTcp;
    FaultInjector faults(options.faults, tcp);
    StopConditions stop(options, faults);
    Responder responder(state, faults, tcp ? Framing::kTcp : Framing::kRtu, options.slave,
                        std::max(options.slave, options.last_slave), options.baud_pacing);
    const int status =
        tcp ? ServeTcp(options, stop, responder) : ServeRtu(options, stop, responder);
    if (g_ready)
        Log("stopped after " + faults.Summary() + ", " + std::to_string(state.round()) + " rounds");
    ReleaseStopSignals();
    return status;
}

}  // namespace novexsim
