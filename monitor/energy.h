// The UPS's output active energy: per phase and in total, integrated from the output
// active power of each completed round (output_active_power{phase=...}, watts in the
// measure table) by the trapezoid rule: the energy between two rounds is the mean of
// their powers times the time between them. Rounds further apart than
// kEnergyGapIntervals intervals (a device silent for longer, a failed run of rounds, a
// restart) are not bridged: the count stands still over the gap and goes on from the
// next round. An interval is the device's own (at least a second) or the pace its
// rounds keep, whichever is longer: devices sharing a busy serial line come round
// less often than their interval asks. Negative power counts as none, so the count
// never falls.
//
// A value type and a pure step function: the device monitor keeps one counter per
// device and carries its energy on every snapshot (DeviceSnapshot::energy).
#pragma once

#include <array>
#include <vector>

#include "monitor/measures.h"

namespace novex {
namespace monitor {

constexpr int kEnergyPhases = 3;  // a, b, c
// The longest time between two rounds that is integrated: this many of the device's
// intervals, an interval counted as at least a second (as CommLossWindow counts it) or
// as the pace the device's rounds keep. Three: one or two lost rounds are bridged,
// three in a row (which raise communication_lost by default) are not.
constexpr int kEnergyGapIntervals = 3;

// What the faces read.
struct OutputEnergy {
    std::array<double, kEnergyPhases> phase_joules{};  // a, b, c
    double total_joules = 0.0;                         // the phases' sum
    // True once a round gave output power, or a count was restored from the history:
    // before that the faces show no counter.
    bool counted = false;
};

// One completed round's output power: at `seconds` on a steady clock.
struct PowerSample {
    double seconds = 0.0;
    std::array<double, kEnergyPhases> watts{};
    bool present = false;  // false: the round gave no output power (the count waits)
};

// The counter: the energy so far and the round it last integrated up to.
struct EnergyCounter {
    OutputEnergy energy;
    PowerSample last;  // last.present false: the next sample starts a new stretch
    // The time rounds keep between them: the first spacing seen, then the mean of the
    // last pace and each spacing integrated; 0 before any.
    double pace_s = 0.0;
};

// The counter after `sample`. A sample more than `max_gap_s` after the last one (or
// more than kEnergyGapIntervals times the pace, if longer), at the same time or before
// it, or after a sample without power, adds nothing and starts a new stretch; one
// without power ends the stretch.
EnergyCounter StepEnergy(const EnergyCounter& counter, const PowerSample& sample,
                         double max_gap_s);

// The longest gap integrated for a device polled every `interval_ms`.
double EnergyMaxGapSeconds(int interval_ms);

// The output power of a round's measures (aligned with Measures()); not present when
// any phase's power is absent.
PowerSample PowerOf(const std::vector<MeasureValue>& measures, double seconds);

// kWh of `joules`, as the page and dashboards count energy.
constexpr double KilowattHours(double joules) { return joules / 3.6e6; }

}  // namespace monitor
}  // namespace novex
