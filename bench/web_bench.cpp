// /metrics for 100 UPSes with every module and cell fitted (the most series a device
// can show), and one device's API answer, as a scrape and a page refresh cost them.
#include <benchmark/benchmark.h>

#include <memory>

#include "web/api.h"
#include "web/metrics.h"

namespace {

novex::web::HostState Fleet(int devices) {
    novex::web::HostState state;
    state.version = "1.0.0";
    const auto& all = novex::monitor::Measures();
    for (int d = 1; d <= devices; ++d) {
        auto s = std::make_shared<novex::monitor::DeviceSnapshot>();
        s->device_name = "ups" + std::to_string(d);
        s->data_id = static_cast<uint32_t>(d);
        s->measures.resize(all.size());
        for (size_t i = 0; i < all.size(); ++i)
            s->measures[i] = {all[i].unit == novex::monitor::Unit::kBoolean ? 1.0 : 200.0 + 0.1 * static_cast<double>(i % 97), true};
        s->active_alarms = {3, 22};
        s->last_round_utc = 1714550400;
        s->rounds_completed = 1000;
        novex::web::DeviceState device{s, 10.0, {}};
        device.round_durations.Add(0.08);
        state.devices.push_back(device);
    }
    return state;
}

void BM_Metrics100Devices(benchmark::State& bench) {
    const novex::web::HostState state = Fleet(100);
    size_t bytes = 0;
    for (auto _ : bench) {
        std::string out;
        novex::web::RenderMetrics(state, out);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    bench.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Metrics100Devices)->Unit(benchmark::kMillisecond);

void BM_DeviceApi(benchmark::State& bench) {
    const novex::web::HostState state = Fleet(1);
    for (auto _ : bench) {
        const auto r = novex::web::DeviceResponse(state, nullptr, "ups1", "", "", 1714550401);
        benchmark::DoNotOptimize(r.body.data());
    }
}
BENCHMARK(BM_DeviceApi)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
