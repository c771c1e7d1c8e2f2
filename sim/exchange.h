// One request in, at most one answer out: addressing, faults, pacing and the round
// account, independent of how the bytes travel.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/register_map.h"

namespace novexsim {

using Clock = std::chrono::steady_clock;

enum class Framing { kRtu, kTcp };

struct Reply {
    bool addressed = false;       // false: another slave's request, ignored
    std::vector<uint8_t> bytes;   // the frame to send; empty: no answer
    bool drop = false;            // close the connection instead of answering
    Clock::time_point send_at;    // not before this
    std::string round_line;       // to log once the answer is out
    std::string trace;            // one line for --verbose
};

class Responder {
public:
    // Answers the addresses first_slave..last_slave, all from the one `state`.
    Responder(UpsState& state, FaultInjector& faults, Framing framing, int first_slave,
              int last_slave, int baud_pacing);

    // `adu`: the whole request as received (RTU: address, PDU, CRC; TCP: MBAP header
    // and PDU), already checked for framing and checksum.
    Reply Handle(const uint8_t* adu, size_t length, Clock::time_point received);

private:
    UpsState& state_;
    FaultInjector& faults_;
    Framing framing_;
    int first_slave_;
    int last_slave_;
    int baud_pacing_;
    double round_wire_seconds_ = 0;
};

}  // namespace novexsim
