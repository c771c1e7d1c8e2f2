// The simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "sim/faults.h"

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
    int last_slave = 0;  // --slaves: every address from `slave` to this one; 0: `slave` alone
    std::string scenario = "normal";
    FaultConfig faults;
    int baud_pacing = 0;
    uint64_t max_requests = 0;  // 0: no limit
    double duration_s = 0;      // 0: no limit
    bool exit_with_parent = false;
    bool verbose = false;
};

// `args` without the program name. Serve when the result's exit_code is -1; otherwise
// print its text (help, version, or one line naming the offending option) and exit.
novex::Parsed ParseOptions(const std::vector<std::string>& args, Options& out);

}  // namespace novexsim
