// Modbus RTU on a serial line.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "modbus/modbus_line.h"
#include "modbus/wire_time.h"

namespace vimo {

namespace {

using Clock = std::chrono::steady_clock;

// An answer: slave, function, byte count (or exception code), values, CRC (2). The
// longest asked for holds 250 bytes of values (2000 bits or 125 registers).
constexpr size_t kAnswerOverhead = 5;
constexpr size_t kMaxAnswerBytes = kAnswerOverhead + 250;
static_assert(kMaxAnswerBytes >= kAnswerOverhead + (MODBUS_MAX_READ_BITS + 7) / 8 &&
                  kMaxAnswerBytes >= kAnswerOverhead + 2 * MODBUS_MAX_READ_REGISTERS,
              "room for the largest answer asked for");

uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// Fails an exchange: errno for the classification, `why` for the message.
int Refuse(int error, std::string& detail, std::string why) {
    detail = std::move(why);
    errno = error;
    return -1;
}

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

    // The exchange is done here, not by libmodbus: libmodbus waits its response timeout
    // for the first byte and then its byte timeout for every further one, so a slave
    // (or a noisy line) that sends a byte now and then keeps an exchange going for
    // minutes. Here the whole exchange, from the request's first byte to the answer's
    // last, has `timeout_ms` plus the time both frames take on the wire.
    int Transfer(int slave, int function, int first, int count, void* out,
                 std::string& detail) override {
        const int fd = modbus_get_socket(ctx_);
        const bool bits = function == MODBUS_FC_READ_COILS;
        const auto wire = std::chrono::microseconds(
            static_cast<int64_t>(std::ceil(WireSeconds(settings(), bits, count) * 1e6)));
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(settings().timeout_ms) + wire;
        uint8_t request[8] = {static_cast<uint8_t>(slave), static_cast<uint8_t>(function),
                              static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                              static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
        const uint16_t crc = Crc16(request, 6);
        request[6] = static_cast<uint8_t>(crc);
        request[7] = static_cast<uint8_t>(crc >> 8);
        tcflush(fd, TCIFLUSH);  // whatever came unasked is no answer to this request
        if (!Send(fd, request, sizeof request, deadline, detail)) return -1;

        const size_t asked = bits ? (static_cast<size_t>(count) + 7) / 8 : 2 * static_cast<size_t>(count);
        uint8_t answer[kMaxAnswerBytes];
        size_t got = 0;
        // Slave, function and byte count (or exception code) tell how long the frame is.
        if (!Receive(fd, answer, got, 3, kAnswerOverhead + asked, deadline, detail)) return -1;
        const bool exception = answer[1] == (function | 0x80);
        const size_t whole = kAnswerOverhead + (exception ? 0 : asked);
        if (!exception && answer[1] != function)
            return Refuse(EMBBADDATA, detail,
                          "answer to function " + std::to_string(answer[1]) + ", not " +
                              std::to_string(function));
        if (!exception && answer[2] != asked)
            return Refuse(EMBBADDATA, detail,
                          "answer of " + std::to_string(answer[2]) + " bytes, not " + std::to_string(asked));
        if (!Receive(fd, answer, got, whole, whole, deadline, detail)) return -1;
        if (Crc16(answer, whole - 2) != (answer[whole - 2] | answer[whole - 1] << 8))
            return Refuse(EMBBADCRC, detail, "");
        if (answer[0] != slave)
            return Refuse(EMBBADSLAVE, detail,
                          "answer from slave " + std::to_string(answer[0]) + ", not " + std::to_string(slave));
        if (exception) {
            const int code = answer[2];
            return Refuse(code >= 1 && code <= MODBUS_EXCEPTION_GATEWAY_TARGET ? MODBUS_ENOBASE + code
                                                                                : EMBBADEXC,
                          detail, "");
        }
        const uint8_t* values = answer + 3;
        for (int i = 0; i < count; ++i) {
            if (bits)
                static_cast<uint8_t*>(out)[i] = (values[i / 8] >> (i % 8)) & 1;
            else
                static_cast<uint16_t*>(out)[i] = static_cast<uint16_t>(values[2 * i] << 8 | values[2 * i + 1]);
        }
        return count;
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
        return SetRs485(fd, error, in_use);
    }

private:
    // The kernel's RS-485 mode, by TIOCSRS485 on the port itself: libmodbus's
    // modbus_rtu_set_serial_mode sets the same mode but no RTS levels or delays, and its
    // RTS toggling by hand (modbus_rtu_set_rts) runs in its own send, which Transfer
    // does not use. "off" leaves the port as it is. A port that refuses the mode (a
    // pty, most USB adapters) stays refused: `in_use` so that the start stops.
    bool SetRs485(int fd, std::string& error, bool& in_use) {
        const Rs485Mode& m = settings().rs485;
        if (!m.on) return true;
        serial_rs485 rs{};
        rs.flags = SER_RS485_ENABLED |
                   (m.rts_after_send ? SER_RS485_RTS_AFTER_SEND : SER_RS485_RTS_ON_SEND);
        rs.delay_rts_before_send = static_cast<uint32_t>(m.before_ms);
        rs.delay_rts_after_send = static_cast<uint32_t>(m.after_ms);
        if (ioctl(fd, TIOCSRS485, &rs) == 0) return true;
        const int failure = errno;
        error = std::string(kRs485Key) + " \"" + Rs485Text(m) + "\" refused: " +
                std::strerror(failure);
        // ENOIOCTLCMD reaches user space as ENOTTY; an emulator may say ENOSYS.
        if (failure == ENOTTY || failure == EINVAL || failure == EOPNOTSUPP || failure == ENOSYS)
            error += " (the port has no RS-485 mode; an adapter that switches direction "
                     "itself needs rs485 \"off\")";
        in_use = true;
        return false;
    }

    // Waits for the port until `deadline`: false when it passed (a timeout), true when
    // poll says `events` or an error is there to read.
    static bool Ready(int fd, short events, Clock::time_point deadline, std::string& detail) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, events, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                Refuse(ETIMEDOUT, detail, "");
                return false;
            }
            return true;  // readable, writable, or an error the next call reports
        }
    }

    static bool Send(int fd, const uint8_t* data, size_t size, Clock::time_point deadline,
                     std::string& detail) {
        for (size_t sent = 0; sent < size;) {
            const ssize_t n = write(fd, data + sent, size - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Refuse(errno, detail, "");
                return false;
            }
            if (!Ready(fd, POLLOUT, deadline, detail)) return false;
        }
        return true;
    }

    // Reads until `got` is at least `least`, taking at most `most` in all, before
    // `deadline`; false with errno and `detail` set.
    static bool Receive(int fd, uint8_t* into, size_t& got, size_t least, size_t most,
                        Clock::time_point deadline, std::string& detail) {
        while (got < least) {
            if (!Ready(fd, POLLIN, deadline, detail)) {
                if (got > 0)
                    detail = "answer cut off: " + std::to_string(got) + (got == 1 ? " byte" : " bytes") +
                             " came in time";
                errno = ETIMEDOUT;
                return false;
            }
            const ssize_t n = read(fd, into + got, most - got);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                // Readable but nothing to read: the port is gone (an adapter unplugged).
                Refuse(n == 0 ? EIO : errno, detail, "");
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

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
