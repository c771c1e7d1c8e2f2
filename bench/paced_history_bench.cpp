// What storing the history costs at the real pace: several vimohosts at once, each
// polling a simulator of its own once a second, half of them with a history and half
// with --no-history, started together so that all see the same load. Each one's CPU
// (every thread, user and system, to the nanosecond) is read after a warm-up and again
// a measuring window later: the difference over the rounds of the window is its
// marginal CPU per round, without start and exit. Goal: with history at most 1.10x
// the CPU without. The two vimohosts of a pair, and their simulators, share one CPU:
// on a virtual machine a thread's wake-ups cost more on one CPU than on another, by
// more than storing costs, and a pair sees the same.
//   NOVEX_BENCH_PACED_PAIRS (default 4): vimohosts with and without history each
//   NOVEX_BENCH_PACED_SECONDS (default 60): the measuring window, in rounds
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUpSeconds = 8;  // start, the first rounds, the first commits

std::string BuildDir() {
    const char* dir = std::getenv("NOVEX_BUILD_DIR");
    return dir ? dir : NOVEX_BUILD_DIR_DEFAULT;
}

int64_t EnvOr(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoll(v) : fallback;
}

// CPU of a running process in ns: the sum over its threads' run time.
int64_t ProcessCpuNs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    int64_t total = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
        int64_t ns = 0;
        if (in >> ns) total += ns;
    }
    closedir(dir);
    return total;
}

// One vimohost and the simulator it polls.
struct Poller {
    vimo::ChildProcess sim, vimohost;
    bool history = false;
    std::string db;
    int64_t cpu_at_start = -1;

    bool Start(int rounds, std::string& error) {
        vimo::ChildProcess::Options quiet;
        quiet.stderr_file = "/dev/null";
        std::string ready;
        if (!sim.Start({BuildDir() + "/novexups-sim", "--tcp", "0"}, quiet, error) ||
            !sim.ReadLine(ready, 10000)) {
            error = "novexups-sim did not start " + error;
            return false;
        }
        std::vector<std::string> argv = {BuildDir() + "/vimohost", "--tcp",
                                         ready.substr(ready.rfind(' ') + 1), "--rounds",
                                         std::to_string(rounds), "--interval-ms", "1000"};
        if (history)
            argv.insert(argv.end(), {"--history", db});
        else
            argv.push_back("--no-history");
        vimo::ChildProcess::Options options;
        options.capture_stdout = false;
        options.stdout_file = "/dev/null";
        options.stderr_file = "/dev/null";
        return vimohost.Start(argv, options, error);
    }
    ~Poller() {
        vimohost.Stop();
        sim.Stop();
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
    }
};

void BM_PacedStoreCpuRatio(benchmark::State& state) {
    const int pairs = static_cast<int>(EnvOr("NOVEX_BENCH_PACED_PAIRS", 4));
    const int window = static_cast<int>(EnvOr("NOVEX_BENCH_PACED_SECONDS", 60));
    for (auto _ : state) {
        std::vector<std::unique_ptr<Poller>> pollers;
        for (int i = 0; i < 2 * pairs; ++i) {
            pollers.push_back(std::make_unique<Poller>());
            pollers.back()->history = i % 2 == 1;
            pollers.back()->db = "/tmp/paced_history_bench." + std::to_string(getpid()) + "." +
                                 std::to_string(i) + ".db";
            unlink(pollers.back()->db.c_str());
        }
        std::string error;
        // Children take the affinity of the thread that starts them.
        cpu_set_t all;
        sched_getaffinity(0, sizeof all, &all);
        std::vector<int> cpus;
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &all)) cpus.push_back(c);
        for (size_t i = 0; i < pollers.size(); ++i) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpus[i / 2 % cpus.size()], &one);
            sched_setaffinity(0, sizeof one, &one);
            const bool started = pollers[i]->Start(kWarmUpSeconds + window + 10, error);
            sched_setaffinity(0, sizeof all, &all);
            if (!started) return state.SkipWithError(error.c_str());
        }
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_until(start + std::chrono::seconds(kWarmUpSeconds));
        for (auto& p : pollers) p->cpu_at_start = ProcessCpuNs(p->vimohost.pid());
        const Clock::time_point measured = Clock::now();
        std::this_thread::sleep_until(measured + std::chrono::seconds(window));
        const double seconds = std::chrono::duration<double>(Clock::now() - measured).count();
        double per_round[2] = {0, 0};  // µs, mean over the vimohosts without and with
        for (auto& p : pollers) {
            const int64_t now = ProcessCpuNs(p->vimohost.pid());
            if (p->cpu_at_start < 0 || now < 0) return state.SkipWithError("a vimohost ended early");
            per_round[p->history ? 1 : 0] +=
                static_cast<double>(now - p->cpu_at_start) / 1e3 / seconds / pairs;
        }
        state.counters["cpu_us_per_round_without"] = per_round[0];
        state.counters["cpu_us_per_round_with"] = per_round[1];
        state.counters["ratio"] = per_round[1] / per_round[0];
        state.counters["goal_met"] = per_round[1] <= per_round[0] * 1.10;
    }
}
BENCHMARK(BM_PacedStoreCpuRatio)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
