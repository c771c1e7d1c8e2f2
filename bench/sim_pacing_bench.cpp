// One poll round of the plug-in's twenty requests, made by a plain libmodbus client
// against novexups-sim: paced at 9600 baud (how close a client can get to the wire
// time the simulator reports: "ratio" is measured / paced, the goal is at most 1.05),
// and unpaced (what a round costs without a line, e.g. for soak runs).
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/sim_process.h"

namespace {

// The plug-in's poll round. Columns: function, first, count.
const int kPollRound[][3] = {
    {1, 1, 31},   {1, 65, 33},  {4, 1, 40},   {4, 61, 8},   {4, 81, 1},
    {4, 82, 4},   {4, 86, 4},   {4, 90, 1},   {4, 91, 1},   {4, 100, 21},
    {4, 150, 21}, {4, 200, 21}, {4, 250, 21}, {4, 300, 21}, {4, 350, 21},
    {4, 400, 21}, {4, 450, 21}, {4, 500, 21}, {4, 550, 21}, {4, 2000, 120},
};

bool PollRound(modbus_t* ctx) {
    uint8_t bits[64];
    uint16_t regs[128];
    for (const auto& r : kPollRound) {
        const int n = r[0] == 1 ? modbus_read_bits(ctx, r[1], r[2], bits)
                                : modbus_read_input_registers(ctx, r[1], r[2], regs);
        if (n != r[2]) return false;
    }
    return true;
}

// Args: 0 = TCP, 1 = pty; baud for --baud-pacing, 0 = unpaced.
void BM_SimPollRound(benchmark::State& state) {
    const bool pty = state.range(0) == 1;
    const int baud = static_cast<int>(state.range(1));
    std::vector<std::string> args = pty ? std::vector<std::string>{"--pty"}
                                        : std::vector<std::string>{"--tcp", "0"};
    if (baud > 0) args.insert(args.end(), {"--baud-pacing", std::to_string(baud)});
    runner_test::Simulator sim;
    if (!sim.Start(args)) {
        state.SkipWithError("novexups-sim did not start");
        return;
    }
    modbus_t* ctx = pty ? modbus_new_rtu(sim.address().c_str(), 9600, 'N', 8, 1)
                        : modbus_new_tcp("127.0.0.1", sim.port());
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 2, 0);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        state.SkipWithError("cannot connect");
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!PollRound(ctx)) {
            state.SkipWithError("a request failed");
            break;
        }
    }
    const double per_round =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    modbus_close(ctx);
    modbus_free(ctx);
    sim.Stop();
    if (baud > 0) {
        std::smatch m;
        const std::string log = sim.Stderr();
        if (std::regex_search(log, m, std::regex("round [0-9]+ paced ([0-9.]+) s"))) {
            state.counters["paced_s"] = std::stod(m[1]);
            state.counters["ratio"] = per_round / std::stod(m[1]);
        }
    }
}
BENCHMARK(BM_SimPollRound)
    ->ArgNames({"pty", "baud"})
    ->Args({0, 9600})
    ->Args({1, 9600})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SimPollRound)
    ->ArgNames({"pty", "baud"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
