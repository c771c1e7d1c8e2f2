#include "sim/wire_time.h"

namespace novexsim {

double ExchangeSeconds(size_t request_frame_bytes, size_t response_frame_bytes, int baud) {
    const double characters =
        static_cast<double>(request_frame_bytes + response_frame_bytes) + 2 * kSilentCharacters;
    return characters * kBitsPerCharacter / baud;
}

}  // namespace novexsim
