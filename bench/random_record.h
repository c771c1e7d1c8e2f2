// Records of pseudo-random bytes for the benchmarks: every register some value, the
// same for the same start, so that runs compare.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/novexups_data.h"

namespace bench_support {

// The record of xorshift32 from `state` (not 0), one byte a step.
inline NovexUPS_Data_t RandomRecord(uint32_t state) {
    NovexUPS_Data_t data;
    auto* bytes = reinterpret_cast<unsigned char*>(&data);
    for (size_t i = 0; i < sizeof data; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<unsigned char>(state);
    }
    return data;
}

}  // namespace bench_support
