// Modbus RTU on a serial line.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "modbus/modbus_line.h"

namespace vimo {

namespace {

class RtuLine : public ModbusLine {
public:
    using ModbusLine::ModbusLine;

protected:
    modbus_t* NewContext(std::string& error) override {
        const LineSettings& s = settings();
        modbus_t* ctx =
            modbus_new_rtu(s.port.c_str(), s.baud, s.parity, s.data_bits, s.stop_bits);
        if (!ctx) error = modbus_strerror(errno);
        return ctx;
    }

    void Recover(Exchange failure) override {
        switch (failure) {
            case Exchange::kTimeout:
            case Exchange::kBadFrame:
                Drain();
                break;
            case Exchange::kLinkDown:
                // An unplugged adapter: reopen on the next round.
                Close();
                break;
            default:
                break;
        }
    }

    // A second master on the bus would interleave its requests with ours, and each
    // would read the other's answers as its own. The port is taken twice: TIOCEXCL
    // makes any later open() fail (for all but root), and a write lock, which root
    // honours too, names the process that holds it.
    bool Claim(modbus_t* ctx, std::string& error, bool& in_use) override {
        const int fd = modbus_get_socket(ctx);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &lock) != 0) {
            if (errno != EACCES && errno != EAGAIN) return true;  // no locks here (ENOLCK)
            struct flock holder {};
            holder.l_type = F_WRLCK;
            holder.l_whence = SEEK_SET;
            error = "in use by another program";
            if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0)
                error += " (process " + std::to_string(holder.l_pid) + ")";
            in_use = true;
            return false;
        }
        ioctl(fd, TIOCEXCL);
        return true;
    }

private:
    // A late answer, or the rest of a broken one, would otherwise be read as the
    // answer to the next request, and two requests of one function and size cannot
    // be told apart: discard what arrives until the line has been quiet for one
    // response timeout (at most a few of them on a line that never goes quiet).
    void Drain() {
        const int fd = modbus_get_socket(ctx_);
        const int quiet_ms = settings().timeout_ms;
        const auto give_up = std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(4 * static_cast<int64_t>(quiet_ms));
        modbus_flush(ctx_);
        while (fd >= 0 && std::chrono::steady_clock::now() < give_up) {
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, quiet_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            unsigned char discard[256];
            if (read(fd, discard, sizeof discard) <= 0) break;
        }
    }
};

}  // namespace

std::unique_ptr<ModbusLine> MakeRtuLine(const LineSettings& settings) {
    return std::make_unique<RtuLine>(settings);
}

}  // namespace vimo
