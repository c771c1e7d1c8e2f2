// The same answers on a serial line: vimohost as an RTU slave for every unit it
// serves, on a second RS-485 line of its own. libmodbus opens and sets up the port;
// frames are read here (by the length the function implies, or a silent gap) so that
// one thread answers several units. A frame with a bad CRC, for a unit not served or
// broadcast (0) is not answered, as a slave on a shared line must not.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "mbserver/units.h"

typedef struct _modbus modbus_t;

namespace novex {
namespace mbserver {

struct RtuLine {
    std::string device;
    int baud = 9600;
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
};

// "DEV [BAUD [FRAME]]", e.g. "/dev/ttyS1 19200 8E1" (defaults 9600 8N1).
bool ParseRtuLine(const std::string& text, RtuLine& line, std::string& error);

// The CRC of an RTU frame, low byte first on the wire.
uint16_t Crc16(const uint8_t* data, size_t size);

// Expected length of an RTU request frame from the bytes so far; 0: not known yet
// (too few bytes, or a function whose length the gap has to tell).
size_t RtuRequestLength(const uint8_t* data, size_t size);

class RtuSlave {
public:
    explicit RtuSlave(const Units& units) : units_(units) {}
    ~RtuSlave();  // Stop()
    RtuSlave(const RtuSlave&) = delete;
    RtuSlave& operator=(const RtuSlave&) = delete;

    bool Start(const RtuLine& line, std::string& error);
    void Stop();
    uint64_t requests() const { return requests_; }

private:
    void Run();
    // The answer frame to `frame` (CRC checked), or "" for none.
    std::string Handle(const std::string& frame);

    const Units& units_;
    modbus_t* ctx_ = nullptr;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    int gap_ms_ = 2;
    std::atomic<uint64_t> requests_{0};
    std::thread thread_;
};

}  // namespace mbserver
}  // namespace novex
