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

#include "registers/ups_registers.h"
#include "tests/sim_process.h"

namespace {

bool PollRound(modbus_t* ctx) {
    uint8_t bits[64];
    uint16_t regs[128];
    for (const novex::registers::Block& b : novex::registers::kBlocks) {
        const int n = b.function == novex::registers::kCoils
                          ? modbus_read_bits(ctx, b.first, b.count, bits)
                          : modbus_read_input_registers(ctx, b.first, b.count, regs);
        if (n != b.count) return false;
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
