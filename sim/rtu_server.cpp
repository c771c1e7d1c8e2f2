// Modbus RTU on a pseudo-terminal (--pty) or a serial device (--serial). libmodbus
// frames and checks the requests; the answers are ours, so faults can bend them.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim/transport.h"

namespace novexsim {
namespace {

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

// What one receive step came to.
enum class Received { kRequest, kNothing, kLineFailed };

class RtuServer {
public:
    RtuServer(const Options& options, StopConditions& stop, Responder& responder)
        : options_(options), stop_(stop), responder_(responder), pty_line_(options.transport ==
                                                                           Transport::kPty) {}
    ~RtuServer() {
        if (ctx_ && !pty_line_) modbus_close(ctx_.get());
    }

    // Opens the line; prints the ready line. False after logging why not.
    bool Open() {
        device_ = options_.serial_device;
        if (pty_line_) {
            std::string error;
            if (!OpenPty(pty_, error)) {
                Log(error);
                return false;
            }
            device_ = pty_.path;
        }
        if (!NewContext()) return false;
        if (!pty_line_ && modbus_connect(ctx_.get()) != 0) {
            Log("cannot open " + device_ + ": " + modbus_strerror(errno));
            ctx_.reset();
            return false;
        }
        fd_ = modbus_get_socket(ctx_.get());
        Ready("rtu " + device_);
        Log("serving scenario " + options_.scenario + " on rtu " + device_ + ", slave " +
            std::to_string(options_.slave));
        return true;
    }

    // Until a stop condition or a failed line: wait, receive a request, answer it.
    // Returns the exit status.
    int Run() {
        for (;;) {
            std::vector<pollfd> fds{{fd_, POLLIN, 0}};
            if (!stop_.Wait(fds)) break;
            if (fds[0].revents & (POLLERR | POLLNVAL)) {
                Log("the line failed");
                return 1;
            }
            const Received received = Receive();
            if (received == Received::kLineFailed) return 1;
            if (received == Received::kRequest) Answer();
        }
        if (pty_line_ && !StopSignalled()) LetTheLastAnswerArrive();
        return 0;
    }

private:
    bool NewContext() {
        ctx_.reset(modbus_new_rtu(device_.c_str(), options_.baud, options_.parity, 8, 1));
        if (!ctx_) {
            Log(Errno("modbus_new_rtu " + device_));
            return false;
        }
        modbus_set_slave(ctx_.get(), options_.slave);
        // On a checksum error drop the rest of the input, to find the next frame.
        modbus_set_error_recovery(ctx_.get(), MODBUS_ERROR_RECOVERY_PROTOCOL);
        if (pty_line_) modbus_set_socket(ctx_.get(), pty_.master);
        return true;
    }

    Received Receive() {
        length_ = modbus_receive(ctx_.get(), adu_);
        if (length_ < 0) {
            if (errno == EIO || errno == EBADF || errno == ENXIO) {
                Log(std::string("the line failed: ") + modbus_strerror(errno));
                return Received::kLineFailed;
            }
            if (options_.verbose) Log(std::string("bad request: ") + modbus_strerror(errno));
            return Received::kNothing;
        }
        // A request for another slave: libmodbus now takes the next frame for that
        // slave's answer. On a pseudo-terminal nobody else answers, so the next frame
        // is a request again; a fresh context forgets the expectation.
        if (length_ == 0 && pty_line_ && !NewContext()) return Received::kLineFailed;
        return length_ == 0 ? Received::kNothing : Received::kRequest;
    }

    void Answer() {
        const Reply reply = responder_.Handle(adu_, static_cast<size_t>(length_), Clock::now());
        Deliver(stop_, options_, reply, fd_, false);
    }

    // Closing the master hangs the line up and discards what the client has not read
    // yet; when the simulator ends by itself, give the last answer time to reach the
    // client's side (the kernel moves it there asynchronously) and to be read.
    void LetTheLastAnswerArrive() {
        const auto until = Clock::now() + std::chrono::milliseconds(500);
        auto quiet_since = Clock::now();
        int unread = 0;
        while (Clock::now() < until && ioctl(pty_.slave, FIONREAD, &unread) == 0) {
            if (unread > 0) quiet_since = Clock::now();
            else if (Clock::now() - quiet_since >= std::chrono::milliseconds(50)) break;
            usleep(2000);
        }
    }

    const Options& options_;
    StopConditions& stop_;
    Responder& responder_;
    const bool pty_line_;
    Pty pty_;
    std::string device_;
    ModbusPtr ctx_;
    int fd_ = -1;
    uint8_t adu_[MODBUS_RTU_MAX_ADU_LENGTH] = {};
    int length_ = 0;
};

}  // namespace

int ServeRtu(const Options& options, StopConditions& stop, Responder& responder) {
    RtuServer server(options, stop, responder);
    if (!server.Open()) return 1;
    return server.Run();
}

}  // namespace novexsim
