// When the battery counts as low, the one rule every face reads (the UPS protocol's LB,
// the MIB's batteryLow, /metrics' ups_battery_low, vimohost's own forced shutdown): at
// or below the device's "battery_charge_low", or at or below its "battery_runtime_low"
// when one is set, as UPS drivers declare it from either.
#pragma once

namespace novex {
namespace monitor {

// A battery counts as low at or below this charge in percent, unless the device's
// "battery_charge_low" says otherwise.
#define NOVEX_DEFAULT_CHARGE_LOW 20
constexpr int kDefaultChargeLow = NOVEX_DEFAULT_CHARGE_LOW;

// Columns of a device's limits: charge in percent, runtime in seconds (0: not used).
struct LowBatteryLimits {
    int charge_low = kDefaultChargeLow;
    int runtime_low_s = 0;
};

// `charge` and `runtime` as measured; a figure that is not there (`has_*` false) counts
// for nothing.
inline bool BatteryLow(bool has_charge, double charge, bool has_runtime, double runtime,
                       const LowBatteryLimits& limits) {
    return (has_charge && charge <= limits.charge_low) ||
           (limits.runtime_low_s > 0 && has_runtime && runtime <= limits.runtime_low_s);
}

}  // namespace monitor
}  // namespace novex
