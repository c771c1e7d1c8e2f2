// The units the Modbus server answers for: unit id -> the device's latest snapshot.
// The feed sets a unit's snapshot after every publish; the server's thread copies the
// pointer for each request. The only lock is held for that copy or swap.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/thread_annotations.h"
#include "monitor/snapshot.h"

namespace novex {
namespace mbserver {

using UnitSnapshot = std::shared_ptr<const monitor::DeviceSnapshot>;

class Units {
public:
    // Null: the unit is not served (again).
    void Set(uint8_t unit, UnitSnapshot snapshot) {
        MutexLock lock(mutex_);
        units_[unit] = std::move(snapshot);
    }
    UnitSnapshot Get(uint8_t unit) const {
        MutexLock lock(mutex_);
        return units_[unit];
    }

private:
    mutable Mutex mutex_;
    std::array<UnitSnapshot, 256> units_ GUARDED_BY(mutex_);
};

}  // namespace mbserver
}  // namespace novex
