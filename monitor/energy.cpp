#include "monitor/energy.h"

#include <algorithm>
#include <string>

namespace novex {
namespace monitor {

namespace {

constexpr int kShortestIntervalMs = 1000;

// The measure of each phase's output active power, in phase order.
const std::array<size_t, kEnergyPhases>& PowerMeasures() {
    static const std::array<size_t, kEnergyPhases> measures = {
        FindMeasure("output_active_power{phase=\"a\"}"),
        FindMeasure("output_active_power{phase=\"b\"}"),
        FindMeasure("output_active_power{phase=\"c\"}"),
    };
    return measures;
}

}  // namespace

EnergyCounter StepEnergy(const EnergyCounter& counter, const PowerSample& sample,
                         double max_gap_s) {
    EnergyCounter next = counter;
    next.last = sample;
    if (!sample.present) return next;
    next.energy.counted = true;
    const double dt = sample.seconds - counter.last.seconds;
    if (!counter.last.present || !(dt > 0.0)) return next;
    if (dt > std::max(max_gap_s, kEnergyGapIntervals * counter.pace_s)) {
        // The first spacing of a line slower than the interval says its pace.
        if (counter.pace_s == 0.0) next.pace_s = dt;
        return next;
    }
    next.pace_s = counter.pace_s == 0.0 ? dt : (counter.pace_s + dt) / 2.0;
    double total = 0.0;
    for (int p = 0; p < kEnergyPhases; ++p) {
        const double before = std::max(0.0, counter.last.watts[p]);
        const double now = std::max(0.0, sample.watts[p]);
        next.energy.phase_joules[p] += (before + now) / 2.0 * dt;
        total += next.energy.phase_joules[p];
    }
    next.energy.total_joules = total;
    return next;
}

double EnergyMaxGapSeconds(int interval_ms) {
    return kEnergyGapIntervals * std::max(interval_ms, kShortestIntervalMs) / 1000.0;
}

PowerSample PowerOf(const std::vector<MeasureValue>& measures, double seconds) {
    PowerSample out;
    out.seconds = seconds;
    out.present = true;
    for (int p = 0; p < kEnergyPhases; ++p) {
        const size_t i = PowerMeasures()[p];
        if (i >= measures.size() || !measures[i].present) return PowerSample{seconds, {}, false};
        out.watts[p] = measures[i].value;
    }
    return out;
}

}  // namespace monitor
}  // namespace novex
