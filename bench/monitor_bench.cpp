// What reading a round costs vimohost: decoding a record into the measures and
// alarms, and the summary line from them. vimohost is to poll a hundred devices a
// second on the controller's small CPU, so both must stay far below the document.
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/random_record.h"
#include "device/novexups_data.h"
#include "monitor/snapshot.h"

namespace {

NovexUPS_Data_t Record() { return bench_support::RandomRecord(2463534242u); }

void BM_DecodeRecord(benchmark::State& state) {
    const NovexUPS_Data_t data = Record();
    novex::monitor::DecodedRound round;
    std::string error;
    for (auto _ : state) {
        novex::monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data,
                                     round, error);
        benchmark::DoNotOptimize(round);
    }
}
BENCHMARK(BM_DecodeRecord);

void BM_SummaryLine(benchmark::State& state) {
    const NovexUPS_Data_t data = Record();
    novex::monitor::DecodedRound round;
    std::string error;
    novex::monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data,
                                 round, error);
    novex::monitor::DeviceSnapshot snapshot;
    snapshot.measures = round.measures;
    snapshot.active_alarms = round.alarms;
    for (auto _ : state) benchmark::DoNotOptimize(novex::monitor::SummaryLine(snapshot));
}
BENCHMARK(BM_SummaryLine);

}  // namespace

BENCHMARK_MAIN();
