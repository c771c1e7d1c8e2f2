// Modbus RTU on a serial line.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "modbus_line.h"

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
