// The answer to one Modbus request PDU for one unit, from the unit's latest snapshot.
// The same answers go out over TCP and RTU; no request ever reaches the UPS.
//
// Rules, in order:
//   unknown unit                                  -> 0B
//   any function but 01/02/03/04 (writes among them) -> 01
//   a request PDU of the wrong length, a count of 0 or over 2000 bits / 125 registers -> 03
//   status block (03/04 from 9000): answered always, also before the first round
//   03 anywhere else                              -> 01, as the UPS answers it
//   an address in the range that no round reads   -> 02
//   no completed round yet, or communication lost -> 0B
//   otherwise the values of the last completed round, as the UPS gave them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "monitor/snapshot.h"

namespace novex {
namespace mbserver {

// `unit` null: no such unit. `now_utc`: epoch seconds, for the status block's data age.
// The answer PDU: function and data, or function | 0x80 and the exception code.
std::string Answer(const monitor::DeviceSnapshot* unit, const uint8_t* pdu, size_t size,
                   int64_t now_utc);

// The status block's values for `unit`, in kStatusRegisters order.
void StatusValues(const monitor::DeviceSnapshot& unit, int64_t now_utc, uint16_t* out);

// Whether a unit answers with the UPS's values (a round completed, communication ok).
bool Fresh(const monitor::DeviceSnapshot& unit);

// The exception code of an answer PDU; 0 for a normal answer.
inline uint8_t ExceptionOf(const std::string& answer) {
    return answer.size() == 2 && (static_cast<uint8_t>(answer[0]) & 0x80) ? static_cast<uint8_t>(answer[1]) : 0;
}

}  // namespace mbserver
}  // namespace novex
