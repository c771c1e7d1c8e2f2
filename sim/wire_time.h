// How long a Modbus RTU exchange occupies a serial line: what a real UPS behind a
// serial line (or a serial gateway) costs a poll round, whatever transport the
// simulator itself is reached by.
#pragma once

#include <cstddef>

namespace novexsim {

// 8N1: a start bit, eight data bits, a stop bit.
constexpr int kBitsPerCharacter = 10;
// Frames are separated by at least 3.5 character times of silence.
constexpr double kSilentCharacters = 3.5;
// RTU adds the slave address before the PDU and two CRC bytes after it.
constexpr size_t kRtuOverheadBytes = 3;

inline size_t RtuFrameBytes(size_t pdu_bytes) { return pdu_bytes + kRtuOverheadBytes; }

// Seconds from the first bit of the request to the end of the silence after the
// response: both frames plus one silent interval after each.
double ExchangeSeconds(size_t request_frame_bytes, size_t response_frame_bytes, int baud);

}  // namespace novexsim
