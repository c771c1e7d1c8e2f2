#include "modbus/wire_time.h"

namespace vimo {

namespace {

// A read request: slave, function, first address (2), count (2), CRC (2).
constexpr size_t kReadRequestBytes = 8;
// A read answer around its values: slave, function, byte count, CRC (2).
constexpr size_t kReadAnswerOverheadBytes = 5;
// The silence that ends a frame: 3.5 characters, and a fixed 1.75 ms above 19200 baud,
// where the character time would be too short for a receiver to time.
constexpr double kGapCharacters = 3.5;
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapSeconds = 0.00175;

}  // namespace

double RtuExchangeSeconds(const RtuCharacter& line, size_t request_frame_bytes,
                          size_t answer_frame_bytes) {
    if (line.baud <= 0) return 0.0;
    const int parity_bits = line.parity == 'N' ? 0 : 1;
    const double character = (1.0 + line.data_bits + parity_bits + line.stop_bits) / line.baud;
    const double gap = line.baud > kFixedGapAboveBaud ? kFixedGapSeconds : kGapCharacters * character;
    return static_cast<double>(request_frame_bytes + answer_frame_bytes) * character + 2 * gap;
}

double WireSeconds(const LineSettings& line, bool bits, int count) {
    if (line.transport == "tcp" || count < 0) return 0.0;
    const size_t values = bits ? static_cast<size_t>(count + 7) / 8 : 2 * static_cast<size_t>(count);
    return RtuExchangeSeconds({line.baud, line.data_bits, line.parity, line.stop_bits},
                              kReadRequestBytes, kReadAnswerOverheadBytes + values);
}

}  // namespace vimo
