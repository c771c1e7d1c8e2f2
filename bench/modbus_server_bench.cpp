// The Modbus server under twenty loopback clients, each reading 40 input registers in a
// loop (libmodbus's client): answer latency p50 and p99 (goal p99 <= 1 ms), reads per
// second and reads per second per core of the server's thread (goal >= 20,000). Then
// vimohost polling the simulator paced at 115200 baud, with and without those twenty
// clients on its server: "round_ratio" is the round time under load / without (goal:
// 1 within noise).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "mbserver/register_map.h"
#include "mbserver/server.h"

namespace {

namespace mb = novex::mbserver;
using Clock = std::chrono::steady_clock;

// CPU seconds of this process's thread named `name`.
double ThreadCpu(const std::string& name) {
    const long ticks = sysconf(_SC_CLK_TCK);
    DIR* dir = opendir("/proc/self/task");
    double seconds = 0;
    for (dirent* e; dir && (e = readdir(dir));) {
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name) continue;
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::stoul(field);
            if (i == 15) stime = std::stoul(field);
        }
        seconds += static_cast<double>(utime + stime) / ticks;
    }
    if (dir) closedir(dir);
    return seconds;
}

// Twenty clients read for `seconds`; their latencies in microseconds.
std::vector<double> Load(int port, int clients, double seconds, std::atomic<bool>* stop = nullptr) {
    std::vector<std::vector<double>> each(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(ctx, 1);
            if (modbus_connect(ctx) != 0) return;
            uint16_t words[40];
            while (stop ? !*stop : Clock::now() < end) {
                const Clock::time_point t0 = Clock::now();
                if (modbus_read_input_registers(ctx, 1, 40, words) != 40) break;
                each[static_cast<size_t>(i)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    for (auto& t : threads) t.join();
    std::vector<double> all;
    for (const auto& v : each) all.insert(all.end(), v.begin(), v.end());
    return all;
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

void BM_TwentyClients(benchmark::State& state) {
    mb::Units units;
    auto unit = std::make_shared<novex::monitor::DeviceSnapshot>();
    unit->record.assign(853, 0x11);
    unit->rounds_completed = 1;
    units.Set(1, unit);
    mb::ServerOptions options;
    options.port = 0;
    options.requests_per_second = 1e9;
    options.request_burst = 1e9;
    mb::Server server(units, options, nullptr);
    std::string error;
    if (!server.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        const double cpu0 = ThreadCpu("vimo-modbus");
        const Clock::time_point t0 = Clock::now();
        const std::vector<double> latencies = Load(server.port(), 20, 3.0);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = ThreadCpu("vimo-modbus") - cpu0;
        state.counters["p50_us"] = Quantile(latencies, 0.5);
        state.counters["p99_us"] = Quantile(latencies, 0.99);
        state.counters["reads_per_s"] = static_cast<double>(latencies.size()) / wall;
        state.counters["reads_per_core_s"] = cpu > 0 ? static_cast<double>(latencies.size()) / cpu : 0;
    }
}
BENCHMARK(BM_TwentyClients)->Iterations(1)->Unit(benchmark::kSecond);

std::string BuildDir() {
    const char* dir = std::getenv("NOVEX_BUILD_DIR");
    return dir ? dir : NOVEX_BUILD_DIR_DEFAULT;
}

// Rounds completed so far, from the status block.
long Rounds(int port) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(ctx, 1);
    uint16_t s[4] = {};
    long rounds = -1;
    if (modbus_connect(ctx) == 0 && modbus_read_input_registers(ctx, mb::kStatusFirst, 4, s) == 4)
        rounds = static_cast<long>(s[2]) << 16 | s[3];
    modbus_close(ctx);
    modbus_free(ctx);
    return rounds;
}

// Seconds per round over `seconds`, with or without the twenty clients.
double RoundTime(int port, double seconds, bool load) {
    std::atomic<bool> stop{false};
    std::thread clients;
    if (load) clients = std::thread([&] { Load(port, 20, 0, &stop); });
    const long r0 = Rounds(port);
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long r1 = Rounds(port);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    if (clients.joinable()) clients.join();
    return r1 > r0 ? wall / static_cast<double>(r1 - r0) : 0;
}

void BM_PollRoundsUnderLoad(benchmark::State& state) {
    vimo::ChildProcess sim, vimohost;
    vimo::ChildProcess::Options quiet;
    quiet.stderr_file = "/dev/null";
    std::string error, ready;
    if (!sim.Start({BuildDir() + "/novexups-sim", "--tcp", "0", "--baud-pacing", "115200"}, quiet, error) ||
        !sim.ReadLine(ready, 10000)) {
        state.SkipWithError("novexups-sim did not start");
        return;
    }
    const std::string log = "/tmp/modbus_server_bench." + std::to_string(getpid()) + ".log";
    vimo::ChildProcess::Options options;
    options.stderr_file = log;
    if (!vimohost.Start({BuildDir() + "/vimohost", "--tcp", ready.substr(ready.rfind(' ') + 1), "--interval-ms", "0",
                         "--no-history", "--modbus-listen", "127.0.0.1:0"},
                        options, error)) {
        state.SkipWithError("vimohost did not start");
        return;
    }
    const std::string tag = "Modbus server on 127.0.0.1:";
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::stringstream text;
        text << std::ifstream(log).rdbuf();
        const size_t at = text.str().find(tag);
        if (at != std::string::npos) port = std::atoi(text.str().c_str() + at + tag.size());
        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::remove(log.c_str());
    if (port == 0) {
        state.SkipWithError("vimohost's Modbus server did not start");
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (auto _ : state) {
        const double idle = RoundTime(port, 5, false);
        const double loaded = RoundTime(port, 5, true);
        state.counters["round_idle_s"] = idle;
        state.counters["round_loaded_s"] = loaded;
        state.counters["round_ratio"] = idle > 0 ? loaded / idle : 0;
    }
    vimohost.Stop();
    sim.Stop();
}
BENCHMARK(BM_PollRoundsUnderLoad)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
