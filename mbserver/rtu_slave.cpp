#include "mbserver/rtu_slave.h"

#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include "mbserver/responder.h"
#include "common/thread_name.h"

namespace novex {
namespace mbserver {

namespace {

constexpr size_t kMaxRtuFrame = 256;

}  // namespace

bool ParseRtuLine(const std::string& text, RtuLine& line, std::string& error) {
    std::istringstream in(text);
    std::string baud, frame, extra;
    in >> line.device >> baud >> frame >> extra;
    const auto bad = [&](const std::string& why) {
        error = "serial line \"" + text + "\": " + why;
        return false;
    };
    if (line.device.empty() || line.device[0] != '/') return bad("give the device path first, as /dev/ttyS1 9600 8N1");
    if (!extra.empty()) return bad("more than DEV BAUD FRAME");
    if (!baud.empty()) {
        if (baud.size() > 7 || baud.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(baud) < 50 || std::stoi(baud) > 4000000)
            return bad("the speed must be 50..4000000");
        line.baud = std::stoi(baud);
    }
    if (!frame.empty()) {
        if (frame.size() != 3 || frame[0] < '5' || frame[0] > '8' ||
            std::string("NEO").find(frame[1]) == std::string::npos || (frame[2] != '1' && frame[2] != '2'))
            return bad("the frame must be data bits 5..8, parity N, E or O, stop bits 1 or 2, as 8N1");
        line.data_bits = frame[0] - '0';
        line.parity = frame[1];
        line.stop_bits = frame[2] - '0';
    }
    return true;
}

uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

size_t RtuRequestLength(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    switch (data[1]) {
        case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
            return 8;
        case 0x0F: case 0x10:
            return size < 7 ? 0 : 9 + size_t{data[6]};
        case 0x16:
            return 10;
        case 0x17:
            return size < 11 ? 0 : 13 + size_t{data[10]};
        default:
            return 0;
    }
}

RtuSlave::~RtuSlave() { Stop(); }

bool RtuSlave::Start(const RtuLine& line, std::string& error) {
    ctx_ = modbus_new_rtu(line.device.c_str(), line.baud, line.parity, line.data_bits, line.stop_bits);
    if (ctx_ == nullptr || modbus_connect(ctx_) != 0) {
        error = "serial line " + line.device + ": " + modbus_strerror(errno);
        if (ctx_) modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    fd_ = modbus_get_socket(ctx_);
    // The silence that ends a frame: 3.5 characters of 11 bits, at least 2 ms.
    gap_ms_ = std::max(2, static_cast<int>(3.5 * 11 * 1000 / line.baud + 1));
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] {
        vimo::NameThisThread("rtu slave");
        Run();
    });
    return true;
}

void RtuSlave::Stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int* fd : {&wake_[0], &wake_[1]})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    if (ctx_) {
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
}

std::string RtuSlave::Handle(const std::string& frame) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    if (frame.size() < 4 || frame.size() > kMaxRtuFrame) return "";
    const uint16_t crc = static_cast<uint16_t>(bytes[frame.size() - 2] | bytes[frame.size() - 1] << 8);
    if (Crc16(bytes, frame.size() - 2) != crc) return "";
    const uint8_t unit = bytes[0];
    const UnitSnapshot snapshot = unit == 0 ? nullptr : units_.Get(unit);
    if (!snapshot) return "";
    ++requests_;
    std::string out(1, static_cast<char>(unit));
    out += Answer(snapshot.get(), bytes + 1, frame.size() - 3, static_cast<int64_t>(std::time(nullptr)));
    const uint16_t answer_crc = Crc16(reinterpret_cast<const uint8_t*>(out.data()), out.size());
    out += static_cast<char>(answer_crc & 0xFF);
    out += static_cast<char>(answer_crc >> 8);
    return out;
}

void RtuSlave::Run() {
    std::string frame;
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        // While a frame is begun, silence ends it; otherwise wait for the next byte.
        const int r = poll(fds, 2, frame.empty() ? -1 : gap_ms_);
        if (r < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (r == 0) {  // the gap: whatever came is one frame
            const std::string answer = Handle(frame);
            if (!answer.empty()) (void)!write(fd_, answer.data(), answer.size());
            frame.clear();
            continue;
        }
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            struct timespec pause = {0, 50 * 1000 * 1000};
            nanosleep(&pause, nullptr);  // a pty whose other side is not open yet
        }
        if (!(fds[1].revents & POLLIN)) continue;
        uint8_t buffer[512];
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) continue;
        frame.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
        // Whole frames known by their length are answered at once, without the gap.
        for (size_t need; (need = RtuRequestLength(reinterpret_cast<const uint8_t*>(frame.data()), frame.size())) > 0 &&
                          frame.size() >= need;) {
            const std::string answer = Handle(frame.substr(0, need));
            if (!answer.empty()) (void)!write(fd_, answer.data(), answer.size());
            frame.erase(0, need);
        }
        if (frame.size() > kMaxRtuFrame) frame.clear();
    }
}

}  // namespace mbserver
}  // namespace novex
