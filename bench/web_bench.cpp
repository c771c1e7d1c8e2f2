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

// What a scrape costs at 1,000 UPSes once each device's series were rendered (and
// compressed) as it published its round: the pieces joined.
void MetricsRendered(benchmark::State& bench, bool gzip) {
    novex::web::HostState state = Fleet(1000);
    for (novex::web::DeviceState& d : state.devices) d.metrics = novex::web::RenderDeviceMetrics(d, gzip);
    size_t bytes = 0;
    for (auto _ : bench) {
        std::string out;
        if (gzip) novex::web::RenderMetricsGzip(state, out);
        else novex::web::RenderMetrics(state, out);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    bench.counters["bytes_per_ups"] = static_cast<double>(bytes) / 1000.0;
}
void BM_Metrics1000DevicesRendered(benchmark::State& bench) { MetricsRendered(bench, false); }
void BM_MetricsGzip1000DevicesRendered(benchmark::State& bench) { MetricsRendered(bench, true); }
BENCHMARK(BM_Metrics1000DevicesRendered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MetricsGzip1000DevicesRendered)->Unit(benchmark::kMillisecond);

// A device's series rendered once per round, as text (0), compressed (1), and
// compressed after a round whose figures all differ but not its alarms (2): what the
// line thread pays per round once a scraper asks.
void BM_RenderDevice(benchmark::State& bench) {
    const novex::web::HostState state = Fleet(1);
    novex::web::DeviceState before = state.devices[0];
    auto jittered = std::make_shared<novex::monitor::DeviceSnapshot>(*before.snapshot);
    for (auto& m : jittered->measures)
        if (m.value > 1.0) m.value += 0.1;
    --jittered->rounds_completed;
    before.snapshot = jittered;
    const auto previous = novex::web::RenderDeviceMetrics(before, true);
    const bool gzip = bench.range(0) != 0;
    for (auto _ : bench) {
        const auto rendered = novex::web::RenderDeviceMetrics(state.devices[0], gzip,
                                                              bench.range(0) == 2 ? previous.get() : nullptr);
        benchmark::DoNotOptimize(rendered.get());
    }
}
BENCHMARK(BM_RenderDevice)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_DeviceApi(benchmark::State& bench) {
    const novex::web::HostState state = Fleet(1);
    for (auto _ : bench) {
        const auto r = novex::web::DeviceResponse(state, nullptr, nullptr, "ups1", "", "", 1714550401);
        benchmark::DoNotOptimize(r.body.data());
    }
}
BENCHMARK(BM_DeviceApi)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
