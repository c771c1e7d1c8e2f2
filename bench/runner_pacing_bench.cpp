// vimohost's poll round against novexups-sim paced at 9600 baud: how close the round
// gets to the wire time the simulator reports for it. "ratio_max" is the slowest
// round's measured / paced time; the goal is at most 1.05 (no sleeps or gaps of our
// own); "goal_met" says whether every round met it. The round is what vimohost times and reports: RefreshStatus to completion,
// through the real plug-in, the host side and the libmodbus line.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "config/device_config.h"
#include "session/plugin_library.h"
#include "session/device_session.h"

namespace {

std::string BuildDir() {
    const char* dir = std::getenv("NOVEX_BUILD_DIR");
    return dir ? dir : NOVEX_BUILD_DIR_DEFAULT;
}

// The plug-in's "rvSize is" lines would land amid the benchmark's table.
class QuietStdout {
public:
    QuietStdout() : saved_(std::cout.rdbuf(sink_.rdbuf())) {}
    ~QuietStdout() { std::cout.rdbuf(saved_); }

private:
    std::ostringstream sink_;
    std::streambuf* saved_;
};

// Args: 0 = TCP loopback, 1 = RTU on a pseudo-terminal; the pacing baud.
void BM_VimohostPacedRound(benchmark::State& state) {
    const bool pty = state.range(0) == 1;
    const std::string baud = std::to_string(state.range(1));
    const std::string log = "/tmp/runner_pacing_bench." + std::to_string(getpid()) + ".log";
    vimo::ChildProcess sim;
    vimo::ChildProcess::Options options;
    options.stderr_file = log;
    std::string error, ready;
    std::vector<std::string> argv = {BuildDir() + "/novexups-sim", "--baud-pacing", baud};
    if (pty) argv.push_back("--pty");
    else argv.insert(argv.end(), {"--tcp", "0"});
    if (!sim.Start(argv, options, error) || !sim.ReadLine(ready, 10000)) {
        state.SkipWithError("novexups-sim did not start");
        return;
    }
    const std::string address = ready.substr(ready.rfind(' ') + 1);
    auto plugin = vimo::PluginLibrary::Load(BuildDir() + "/novexups.so", error);
    std::vector<vimo::DeviceConfig> configs;
    const std::string config = std::string("{\"transport\": \"") + (pty ? "rtu" : "tcp") +
                               "\", \"port\": \"" + address + "\", \"baud\": " + baud +
                               ", \"timeout_ms\": 2000}";
    if (!plugin || !vimo::ParseDeviceConfigs(config, "bench", configs, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> rounds;
    {
        QuietStdout quiet;
        auto session = vimo::DeviceSession::Create(*plugin, configs[0], nullptr, error);
        auto line = vimo::MakeLine(session->Line());
        for (auto _ : state) {
            const vimo::RoundResult result = session->Poll(*line);
            if (!result.completed) {
                state.SkipWithError("a round failed");
                break;
            }
            state.SetIterationTime(result.seconds);
            rounds.push_back(result.seconds);
        }
    }
    sim.Stop();
    // "round K paced S s", one line per round the simulator served.
    std::map<int, double> paced;
    std::ifstream in(log);
    const std::regex pattern("round ([0-9]+) paced ([0-9.]+) s");
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, pattern)) paced[std::stoi(m[1])] = std::stod(m[2]);
    }
    std::remove(log.c_str());
    double ratio_max = 0, ratio_sum = 0, paced_sum = 0;
    for (size_t i = 0; i < rounds.size(); ++i) {
        const auto it = paced.find(static_cast<int>(i) + 1);
        if (it == paced.end() || it->second <= 0) {
            state.SkipWithError("the simulator reported no paced time for a round");
            return;
        }
        ratio_max = std::max(ratio_max, rounds[i] / it->second);
        ratio_sum += rounds[i] / it->second;
        paced_sum += it->second;
    }
    const double n = static_cast<double>(std::max<size_t>(rounds.size(), 1));
    state.counters["paced_s"] = paced_sum / n;
    state.counters["ratio_mean"] = ratio_sum / n;
    state.counters["ratio_max"] = ratio_max;
    state.counters["goal_met"] = ratio_max <= 1.05 ? 1 : 0;
}
BENCHMARK(BM_VimohostPacedRound)
    ->ArgNames({"pty", "baud"})
    ->Args({0, 9600})
    ->Args({1, 9600})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
