// How long a Modbus RTU exchange keeps a serial line busy: what sets the shortest
// period a serial line's rounds can keep, whatever interval is configured, and what
// the simulator waits before it answers as a real UPS behind a serial line would.
#pragma once

#include <cstddef>

#include "modbus/modbus_line.h"

namespace vimo {

// A character on the line: a start bit, the data bits, a parity bit unless 'N', the
// stop bits.
struct RtuCharacter {
    int baud = 9600;
    int data_bits = 8;
    char parity = 'N';
    int stop_bits = 1;
};

// RTU adds the slave address before the PDU and two CRC bytes after it.
constexpr size_t kRtuOverheadBytes = 3;
inline size_t RtuFrameBytes(size_t pdu_bytes) { return pdu_bytes + kRtuOverheadBytes; }

// Seconds from the first bit of the request to the end of the silence after the
// answer: both frames plus the silent interval that ends each; 0 for a speed of 0.
double RtuExchangeSeconds(const RtuCharacter& line, size_t request_frame_bytes,
                          size_t answer_frame_bytes);

// The same for a read of `count` bits (or registers) on `line`; 0 for a TCP line,
// whose speed is not ours to know.
double WireSeconds(const LineSettings& line, bool bits, int count);

}  // namespace vimo
