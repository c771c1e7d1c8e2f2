#include "modbus/wire_time.h"

namespace vimo {

namespace {

// A read request: slave, function, first address (2), count (2), CRC (2).
constexpr int kRequestBytes = 8;
// An answer around its values: slave, function, byte count, CRC (2).
constexpr int kAnswerOverheadBytes = 5;
// The silence that ends a frame: 3.5 characters, and a fixed 1.75 ms above 19200 baud,
// where the character time would be too short for a receiver to time.
constexpr double kGapCharacters = 3.5;
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapSeconds = 0.00175;

}  // namespace

double WireSeconds(const LineSettings& line, bool bits, int count) {
    if (line.transport == "tcp" || line.baud <= 0) return 0.0;
    const int parity_bits = line.parity == 'N' ? 0 : 1;
    const double character = (1.0 + line.data_bits + parity_bits + line.stop_bits) / line.baud;
    const int values = bits ? (count + 7) / 8 : 2 * count;
    const int bytes = kRequestBytes + kAnswerOverheadBytes + values;
    const double gap = line.baud > kFixedGapAboveBaud ? kFixedGapSeconds : kGapCharacters * character;
    return bytes * character + 2 * gap;
}

}  // namespace vimo
