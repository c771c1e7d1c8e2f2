// What the SNMP agent's thread spends per device: taking a round into the alarm table
// and making the UPS MIB view that a walk is answered from (made at most once a second
// and after each round). A hundred devices polled every second must leave the agent
// thread mostly idle on the controller's small CPU.
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/random_record.h"
#include "device/novexups_data.h"
#include "monitor/snapshot.h"
#include "snmp/ups_mib.h"

namespace {

novex::monitor::DeviceSnapshot Snapshot() {
    const NovexUPS_Data_t data = bench_support::RandomRecord(2463534242u);
    novex::monitor::DecodedRound round;
    std::string error;
    novex::monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data, round,
                                 error);
    novex::monitor::DeviceSnapshot s;
    s.device_name = "rack1";
    s.rounds_completed = 1;
    s.measures = round.measures;
    s.active_alarms = round.alarms;
    return s;
}

void BM_TakeRound(benchmark::State& state) {
    const novex::monitor::DeviceSnapshot s = Snapshot();
    vimo::snmp::DeviceTrack track;
    vimo::snmp::UpsIdentity identity;
    double now = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vimo::snmp::TakeRound(track, s, identity, now += 1, 0));
    }
}
BENCHMARK(BM_TakeRound);

void BM_MakeView(benchmark::State& state) {
    const novex::monitor::DeviceSnapshot s = Snapshot();
    vimo::snmp::DeviceTrack track;
    vimo::snmp::UpsIdentity identity;
    vimo::snmp::TakeRound(track, s, identity, 0, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vimo::snmp::MapUpsMib(s, identity, track, 1));
    }
}
BENCHMARK(BM_MakeView);

}  // namespace

BENCHMARK_MAIN();
