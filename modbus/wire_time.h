// How long an exchange keeps a serial line busy: what sets the shortest period a
// serial line's rounds can keep, whatever interval is configured.
#pragma once

#include "modbus/modbus_line.h"

namespace vimo {

// Seconds the RTU request for `count` bits (or registers) and its answer take on the
// wire at the line's speed and framing, with the silent interval before each frame;
// 0 for a TCP line, whose speed is not ours to know.
double WireSeconds(const LineSettings& line, bool bits, int count);

}  // namespace vimo
