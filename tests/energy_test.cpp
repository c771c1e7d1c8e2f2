// The output energy counter: traces of rounds through the step function (gaps, rounds
// without power, a restored count), and the power it reads from a decoded record.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "device/novexups_data.h"
#include "monitor/energy.h"
#include "registers/ups_registers.h"

namespace {

using namespace novex::monitor;

// A round of a trace: time, the phases' watts; `absent`: the round gave no power.
struct Round {
    double t;
    double a, b, c;
    bool absent = false;
};

struct Trace {
    const char* what;
    std::vector<Round> rounds;
    std::array<double, kEnergyPhases> start;  // restored count; all -1: none
    std::array<double, kEnergyPhases> joules;  // after the last round
    bool counted;
};

TEST(Energy, TracesOfRounds) {
    const double kGap = EnergyMaxGapSeconds(1000);  // 3 s
    const std::array<double, 3> kNone{-1, -1, -1};
    const Trace kTraces[] = {
        {"steady power, phases apart", {{0, 1000, 2000, 3000}, {1, 1000, 2000, 3000}, {2, 1000, 2000, 3000}},
         kNone, {2000, 4000, 6000}, true},
        {"a ramp is the mean of its ends (trapezoid)", {{0, 0, 0, 0}, {1, 1000, 2000, 0}},
         kNone, {500, 1000, 0}, true},
        {"a gap of more than 3 s is not bridged; counting goes on after it",
         {{0, 100, 100, 100}, {1, 100, 100, 100}, {5, 900, 900, 900}, {6, 900, 900, 900}},
         kNone, {1000, 1000, 1000}, true},
        {"a gap of exactly 3 s is bridged", {{0, 100, 0, 0}, {3, 100, 0, 0}}, kNone, {300, 0, 0}, true},
        {"a round without power ends the stretch",
         {{0, 10, 10, 10}, {1, 10, 10, 10}, {2, 0, 0, 0, true}, {3, 50, 50, 50}, {4, 50, 50, 50}},
         kNone, {60, 60, 60}, true},
        {"a clock that goes back counts nothing for that step",
         {{10, 100, 100, 100}, {11, 100, 100, 100}, {10.5, 100, 100, 100}, {10.5, 100, 100, 100},
          {11.5, 100, 100, 100}},
         kNone, {200, 200, 200}, true},
        {"negative power counts as none", {{0, -500, 100, 100}, {2, -500, 100, 100}}, kNone, {0, 200, 200}, true},
        {"a restored count goes on, its first round starting a stretch",
         {{100, 1000, 1000, 1000}, {101, 1000, 1000, 1000}}, {5e6, 6e6, 7e6}, {5e6 + 1000, 6e6 + 1000, 7e6 + 1000},
         true},
        {"no round with power: nothing counted", {{0, 0, 0, 0, true}, {1, 0, 0, 0, true}}, kNone, {0, 0, 0}, false},
        {"one round: counted, nothing yet", {{0, 5000, 5000, 5000}}, kNone, {0, 0, 0}, true},
        {"a busy line's rounds 5 s apart: the first spacing sets the pace, the rest count",
         {{0, 100, 0, 0}, {5, 100, 0, 0}, {10, 100, 0, 0}, {15.5, 100, 0, 0}}, kNone, {1050, 0, 0}, true},
        {"at that pace a gap of more than three paces is still not bridged",
         {{0, 100, 0, 0}, {5, 100, 0, 0}, {10, 100, 0, 0}, {26, 100, 0, 0}, {31, 100, 0, 0}}, kNone,
         {1000, 0, 0}, true},
    };
    for (const Trace& trace : kTraces) {
        SCOPED_TRACE(trace.what);
        EnergyCounter counter;
        if (trace.start[0] >= 0) {
            counter.energy.counted = true;
            counter.energy.phase_joules = trace.start;
            counter.energy.total_joules = trace.start[0] + trace.start[1] + trace.start[2];
        }
        for (const Round& r : trace.rounds) {
            PowerSample sample{r.t, {r.a, r.b, r.c}, !r.absent};
            const EnergyCounter before = counter;
            counter = StepEnergy(counter, sample, kGap);
            const OutputEnergy& e = counter.energy;
            // The total is the phases' sum, and no phase ever falls.
            EXPECT_DOUBLE_EQ(e.phase_joules[0] + e.phase_joules[1] + e.phase_joules[2], e.total_joules);
            for (int p = 0; p < kEnergyPhases; ++p)
                EXPECT_GE(e.phase_joules[p], before.energy.phase_joules[p]);
        }
        for (int p = 0; p < kEnergyPhases; ++p) EXPECT_DOUBLE_EQ(trace.joules[p], counter.energy.phase_joules[p]) << p;
        EXPECT_EQ(trace.counted, counter.energy.counted);
    }
}

TEST(Energy, GapFollowsTheInterval) {
    // Columns: interval in ms, the longest gap bridged in seconds.
    const std::pair<int, double> kRows[] = {{1000, 3}, {200, 3}, {0, 3}, {5000, 15}, {60000, 180}};
    for (const auto& [interval, gap] : kRows) EXPECT_DOUBLE_EQ(gap, EnergyMaxGapSeconds(interval)) << interval;
}

// The registers give kW in hundredths: 812 is 8120 W, and each phase its own register.
TEST(Energy, PowerOfADecodedRecord) {
    NovexUPS_Data_t data{};
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&data);
    const uint16_t values[] = {812, 795, 834};
    for (int p = 0; p < 3; ++p)
        std::memcpy(bytes + novex::registers::RecordOffset(novex::registers::kInputs, 18 + p), &values[p], 2);
    const std::vector<MeasureValue> measures = DecodeMeasures(bytes);
    PowerSample s = PowerOf(measures, 7.5);
    EXPECT_TRUE(s.present);
    EXPECT_DOUBLE_EQ(7.5, s.seconds);
    EXPECT_DOUBLE_EQ(8120, s.watts[0]);
    EXPECT_DOUBLE_EQ(7950, s.watts[1]);
    EXPECT_DOUBLE_EQ(8340, s.watts[2]);
    EXPECT_FALSE(PowerOf({}, 1).present);  // no round decoded
}

}  // namespace
