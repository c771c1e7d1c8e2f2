// The transports: a TCP listener that serves any number of reconnecting clients, and
// RTU on a pseudo-terminal or a serial device. libmodbus frames and checks incoming
// requests; answers are framed here so that faults can bend them.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "exchange.h"

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

void Log(const std::string& line) { std::fprintf(stderr, "novexups-sim: %s\n", line.c_str()); }

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

struct ModbusDeleter {
    void operator()(modbus_t* ctx) const { modbus_free(ctx); }
};
using ModbusPtr = std::unique_ptr<modbus_t, ModbusDeleter>;

// Stop conditions shared by both transports: signals, --duration-s, --max-requests.
class Session {
public:
    Session(const Options& options, FaultInjector& faults) : options_(options), faults_(faults) {
        if (options.duration_s > 0)
            deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(options.duration_s));
    }

    // A signal or the end of --duration-s.
    bool Stopped() const { return g_stop != 0 || (deadline_ && Clock::now() >= *deadline_); }
    // Stopped, or --max-requests served.
    bool Done() const {
        return Stopped() ||
               (options_.max_requests > 0 && faults_.requests() >= options_.max_requests);
    }

    // Waits for `fds` (the stop pipe is added) until one is ready or `until` passes.
    // Returns false when it is time to stop; `fds[i].revents` tell what is ready.
    bool Wait(std::vector<pollfd>& fds, std::optional<Clock::time_point> until = {}) {
        return WaitOn(fds, until, true);
    }

    // Sleeps until `when`; false when stopped meanwhile. The request limit does not
    // cut a sleep short: the last request still gets its answer.
    bool SleepUntil(Clock::time_point when) {
        std::vector<pollfd> none;
        while (Clock::now() < when)
            if (!WaitOn(none, when, false)) return false;
        return true;
    }

private:
    bool WaitOn(std::vector<pollfd>& fds, std::optional<Clock::time_point> until,
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

    const Options& options_;
    FaultInjector& faults_;
    std::optional<Clock::time_point> deadline_;
};

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

bool g_ready = false;

void Ready(const std::string& line) {
    g_ready = true;
    std::printf("ready %s\n", line.c_str());
    std::fflush(stdout);
}

// Sends a reply once due. Returns false when the connection should be closed.
bool Deliver(Session& session, const Options& options, const Reply& reply, int fd, bool socket) {
    if (options.verbose && reply.addressed) Log(reply.trace);
    if (reply.drop) return false;
    if (reply.bytes.empty()) return true;
    if (!session.SleepUntil(reply.send_at)) return true;
    if (!WriteAll(fd, reply.bytes, socket)) {
        Log(Errno("write"));
        return false;
    }
    if (!reply.round_line.empty()) Log(reply.round_line);
    return true;
}

// Clients beyond this many close the oldest: a client that reconnects after a
// timeout often leaves its old connection half-open.
constexpr size_t kMaxClients = 8;

int ServeTcp(const Options& options, Session& session, Responder& responder) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        Log(Errno("socket"));
        return 1;
    }
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(options.tcp_port));
    inet_pton(AF_INET, options.bind.c_str(), &addr.sin_addr);
    socklen_t addr_len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
        Log(Errno("cannot listen on " + options.bind + ":" + std::to_string(options.tcp_port)));
        close(listener);
        return 1;
    }
    const std::string where = options.bind + ":" + std::to_string(ntohs(addr.sin_port));
    // The context only frames requests; the sockets are ours.
    const ModbusPtr ctx(modbus_new_tcp(options.bind.c_str(), ntohs(addr.sin_port)));
    if (!ctx) {
        Log(Errno("modbus_new_tcp"));
        close(listener);
        return 1;
    }
    Ready("tcp " + where);
    Log("serving scenario " + options.scenario + " on tcp " + where);

    std::vector<int> clients;
    auto drop_client = [&clients](size_t i, const char* why) {
        Log(std::string("connection closed: ") + why);
        close(clients[i]);
        clients.erase(clients.begin() + static_cast<long>(i));
    };
    uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        if (!session.Wait(fds)) break;
        if (fds[0].revents & POLLIN) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                if (clients.size() >= kMaxClients) drop_client(0, "too many clients");
                clients.push_back(c);
                Log("client connected");
            }
        }
        for (size_t i = 1; i < fds.size() && !session.Done(); ++i) {
            if (fds[i].revents == 0) continue;
            const auto at = std::find(clients.begin(), clients.end(), fds[i].fd);
            if (at == clients.end()) continue;
            const size_t index = static_cast<size_t>(at - clients.begin());
            modbus_set_socket(ctx.get(), fds[i].fd);
            const int n = modbus_receive(ctx.get(), adu);
            if (n < 0) {
                drop_client(index, errno == ECONNRESET ? "by the client" : modbus_strerror(errno));
                continue;
            }
            if (n == 0) continue;
            const Reply reply = responder.Handle(adu, static_cast<size_t>(n), Clock::now());
            if (!Deliver(session, options, reply, fds[i].fd, true))
                drop_client(index, reply.drop ? "dropped by fault injection" : "write failed");
        }
    }
    for (int c : clients) close(c);
    close(listener);
    return 0;
}

// A pseudo-terminal whose slave side stays open here too, so the master never sees
// a hang-up while no client has the line open, and whose line discipline is raw
// before the first client arrives.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

bool OpenPty(Pty& pty, std::string& error) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        error = Errno("cannot create a pseudo-terminal");
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        error = Errno("ptsname");
        return false;
    }
    pty.path = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tios{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &tios) != 0) {
        error = Errno("cannot open " + pty.path);
        return false;
    }
    cfmakeraw(&tios);
    tcsetattr(pty.slave, TCSANOW, &tios);
    return true;
}

int ServeRtu(const Options& options, Session& session, Responder& responder) {
    Pty pty;
    std::string device = options.serial_device;
    if (options.transport == Transport::kPty) {
        std::string error;
        if (!OpenPty(pty, error)) {
            Log(error);
            return 1;
        }
        device = pty.path;
    }
    auto new_context = [&]() {
        ModbusPtr ctx(modbus_new_rtu(device.c_str(), options.baud, options.parity, 8, 1));
        if (ctx) {
            modbus_set_slave(ctx.get(), options.slave);
            // On a checksum error drop the rest of the input, to find the next frame.
            modbus_set_error_recovery(ctx.get(), MODBUS_ERROR_RECOVERY_PROTOCOL);
            if (options.transport == Transport::kPty) modbus_set_socket(ctx.get(), pty.master);
        }
        return ctx;
    };
    ModbusPtr ctx = new_context();
    if (!ctx) {
        Log(Errno("modbus_new_rtu " + device));
        return 1;
    }
    if (options.transport == Transport::kSerial && modbus_connect(ctx.get()) != 0) {
        Log("cannot open " + device + ": " + modbus_strerror(errno));
        return 1;
    }
    const int fd = modbus_get_socket(ctx.get());
    Ready("rtu " + device);
    Log("serving scenario " + options.scenario + " on rtu " + device + ", slave " +
        std::to_string(options.slave));

    int status = 0;
    uint8_t adu[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        std::vector<pollfd> fds{{fd, POLLIN, 0}};
        if (!session.Wait(fds)) break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            Log("the line failed");
            status = 1;
            break;
        }
        const int n = modbus_receive(ctx.get(), adu);
        if (n < 0) {
            if (errno == EIO || errno == EBADF || errno == ENXIO) {
                Log(std::string("the line failed: ") + modbus_strerror(errno));
                status = 1;
                break;
            }
            if (options.verbose) Log(std::string("bad request: ") + modbus_strerror(errno));
            continue;
        }
        if (n == 0) {
            // A request for another slave: libmodbus now takes the next frame for that
            // slave's answer. On a pseudo-terminal nobody else answers, so the next
            // frame is a request again; a fresh context forgets the expectation.
            if (options.transport == Transport::kPty) ctx = new_context();
            if (!ctx) {
                Log(Errno("modbus_new_rtu " + device));
                status = 1;
                break;
            }
            continue;
        }
        const Reply reply = responder.Handle(adu, static_cast<size_t>(n), Clock::now());
        Deliver(session, options, reply, fd, false);
    }
    if (options.transport == Transport::kSerial) modbus_close(ctx.get());
    // Closing the master hangs the line up and discards what the client has not read
    // yet; when the simulator ends by itself, give the last answer time to reach the
    // client's side (the kernel moves it there asynchronously) and to be read.
    if (options.transport == Transport::kPty && g_stop == 0) {
        const auto until = Clock::now() + std::chrono::milliseconds(500);
        auto quiet_since = Clock::now();
        int unread = 0;
        while (Clock::now() < until && ioctl(pty.slave, FIONREAD, &unread) == 0) {
            if (unread > 0) quiet_since = Clock::now();
            else if (Clock::now() - quiet_since >= std::chrono::milliseconds(50)) break;
            usleep(2000);
        }
    }
    return status;
}

}  // namespace

int Serve(const Options& options, UpsState& state) {
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log(Errno("pipe"));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (options.exit_with_parent) {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) return 0;
    }

    const bool tcp = options.transport == Transport::kTcp;
    FaultInjector faults(options.faults, tcp);
    Session session(options, faults);
    Responder responder(state, faults, tcp ? Framing::kTcp : Framing::kRtu, options.slave,
                        options.baud_pacing);
    const int status = tcp ? ServeTcp(options, session, responder)
                           : ServeRtu(options, session, responder);
    if (g_ready)
        Log("stopped after " + faults.Summary() + ", " + std::to_string(state.round()) + " rounds");
    close(g_stop_pipe[0]);
    close(g_stop_pipe[1]);
    return status;
}

}  // namespace novexsim
