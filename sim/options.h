// The simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"

namespace novexsim {

enum class Transport { kNone, kTcp, kPty, kSerial };

struct Options {
    Transport transport = Transport::kNone;
    int tcp_port = 0;
    std::string bind = "127.0.0.1";
    std::string serial_device;
    int baud = 9600;
    char parity = 'N';
    int slave = 1;
    std::string scenario = "normal";
    FaultConfig faults;
    int baud_pacing = 0;
    uint64_t max_requests = 0;  // 0: no limit
    double duration_s = 0;      // 0: no limit
    bool exit_with_parent = false;
    bool verbose = false;
    bool help = false;
};

// `args` without the program name. On failure returns false with `error` one line
// naming the offending option.
bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

extern const char kUsage[];

}  // namespace novexsim
