// What storing the history costs at the real pace: several vimohosts at once, each
// polling a simulator of its own once a second, half of them with a history and half
// with --no-history, started together so that all see the same load. Each one's CPU
// (every thread, user and system, to the nanosecond) is read after a warm-up and again
// a measuring window later: the difference over the rounds of the window is its
// marginal CPU per round, without start and exit. Goal: with history at most 1.10x
// the CPU without. The two vimohosts of a pair, and their simulators, share one CPU:
// on a virtual machine a thread's wake-ups cost more on one CPU than on another, by
// more than storing costs, and a pair sees the same.
//
// The window is two chunk periods long by default: once every 512 rounds a device's
// writer moves them into a chunk, a commit of some 11-17 ms of CPU at this pace, and
// about every 13 minutes the write-ahead log is checkpointed (4-5 ms). A window of a
// minute sees neither, and tells about a fifth less than storing costs in the long run.
//   NOVEX_BENCH_PACED_PAIRS (default 4): vimohosts with and without history each
//   NOVEX_BENCH_PACED_SECONDS (default 1030): the measuring window, in rounds
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

// CPU of a running process in ns: the sum over its threads' run time, and that of its
// history writer (the thread named "vimo-history") alone.
struct ProcessCpu {
    int64_t all = -1;
    int64_t writer = 0;
};

ProcessCpu ReadProcessCpu(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    ProcessCpu cpu;
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return cpu;
    cpu.all = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream in(task + "/schedstat"), comm(task + "/comm");
        int64_t ns = 0;
        std::string name;
        if (!(in >> ns)) continue;
        cpu.all += ns;
        if (comm >> name && name == "vimo-history") cpu.writer += ns;
    }
    closedir(dir);
    return cpu;
}

// One vimohost and the simulator it polls.
struct Poller {
    vimo::ChildProcess sim, vimohost;
    bool history = false;
    std::string db;
    ProcessCpu cpu_at_start;

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
    const int window = static_cast<int>(EnvOr("NOVEX_BENCH_PACED_SECONDS", 1030));
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
        for (auto& p : pollers) p->cpu_at_start = ReadProcessCpu(p->vimohost.pid());
        const Clock::time_point measured = Clock::now();
        std::this_thread::sleep_until(measured + std::chrono::seconds(window));
        const double seconds = std::chrono::duration<double>(Clock::now() - measured).count();
        double per_round[2] = {0, 0};  // µs, mean over the vimohosts without and with
        double writer = 0;             // µs, the history writer's thread alone
        for (auto& p : pollers) {
            const ProcessCpu now = ReadProcessCpu(p->vimohost.pid());
            if (p->cpu_at_start.all < 0 || now.all < 0)
                return state.SkipWithError("a vimohost ended early");
            const double scale = 1e3 * seconds * pairs;
            per_round[p->history ? 1 : 0] += static_cast<double>(now.all - p->cpu_at_start.all) / scale;
            writer += static_cast<double>(now.writer - p->cpu_at_start.writer) / scale;
        }
        state.counters["cpu_us_per_round_without"] = per_round[0];
        state.counters["cpu_us_per_round_with"] = per_round[1];
        state.counters["ratio"] = per_round[1] / per_round[0];
        // Where the difference goes: the writer's thread, and the rest of the process
        // over a vimohost without history (the line thread's part of storing, and noise).
        state.counters["writer_us_per_round"] = writer;
        state.counters["rest_us_per_round_over"] = per_round[1] - writer - per_round[0];
        state.counters["goal_met"] = per_round[1] <= per_round[0] * 1.10;
    }
}
BENCHMARK(BM_PacedStoreCpuRatio)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
