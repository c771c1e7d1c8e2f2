// The history's costs: what storing a round with its readings adds to vimohost's CPU
// per round (BM_StoreCpuRatio: the share in one run; BM_WriterCpu: the writer's part
// alone, without the polling's noise); a long history's round list
// (peak memory) and start (BM_LongHistory); the disk per device-day and year of the
// rounds and of the minute aggregates at 1 s and 10 s (BM_SizePerDay); a device-day at one round a second (its size, its readings to CSV, one
// field downsampled to 1,000 points); the longest wait of a line thread while 30 days
// of one device are pruned; and the other table layouts the readings could have had.
// Goals: storing at most +10 % CPU per round, CSV of a day at most 2 s, 1,000 points at
// most 100 ms, longest line-thread wait during pruning under 50 ms, the page's events
// of the last minute among a million stored under 20 ms and 5 MB.
//   NOVEX_BENCH_PRUNE_DAYS (default 30) and NOVEX_BENCH_PRUNE_INTERVAL_S (default 10)
//   size the pruning case; 1 s is the full 2.6 million rounds (about 3.5 GB of disk).
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "history/aggregates.h"
#include "history/chunk_codec.h"
#include "history/reader.h"
#include "history/store.h"
#include "history/times.h"
#include "history/writer.h"
#include "web/history_source.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"
#include "history/readings_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using novex::monitor::Measures;

std::string BuildDir() {
    const char* dir = std::getenv("NOVEX_BUILD_DIR");
    return dir ? dir : NOVEX_BUILD_DIR_DEFAULT;
}

int64_t EnvOr(const char* name, int64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoll(v) : fallback;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The machine is shared: CPU time beside wall time tells waiting from working.
double CpuSeconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A busy unit: every register of the measures set, four modules present, every cell
// present; `n` varies the figures from round to round.
std::vector<unsigned char> BusyRecord(int64_t n) {
    std::vector<unsigned char> record(sizeof(NovexUPS_Data_t), 0);
    for (const novex::monitor::Measure& m : Measures()) {
        const auto& row = novex::monitor::kMeasureRows[m.row];
        if (m.scope == novex::monitor::Scope::kModule && m.instance > 4) continue;
        const size_t stride = m.scope == novex::monitor::Scope::kModule
                                  ? sizeof(uint16_t) * 21 * static_cast<size_t>(m.instance - 1)
                              : m.scope == novex::monitor::Scope::kCell
                                  ? 8 * static_cast<size_t>(m.instance - 1)
                                  : 0;
        uint16_t v = static_cast<uint16_t>(row.read == novex::monitor::Read::kPresence
                                               ? 0xFFFF
                                               : 1000 + (n * 7 + m.row * 13) % 1200);
        if (row.read == novex::monitor::Read::kRunState) v = 4;
        std::memcpy(record.data() + row.offset + stride, &v, sizeof v);
    }
    return record;
}

// A day of one device at 1 s (or every `interval` s), written as the writer does
// (batches of 256).
std::string DeviceDay(const std::string& path, int64_t start, int64_t rounds, double& write_s,
                      int64_t interval = 1) {
    unlink(path.c_str());
    std::string error;
    auto store = vimo::HistoryStore::Open(path, false, error);
    if (!store) return error;
    store->SetDeviceName(1, "ups1", error);
    std::vector<vimo::HistoryEntry> batch;
    std::vector<int64_t> ids;
    const Clock::time_point t = Clock::now();
    for (int64_t i = 0; i < rounds; ++i) {
        vimo::HistoryEntry e;
        e.data_id = 1;
        e.utc = start + i * interval;
        e.local = vimo::UtcToLocalText(e.utc);
        e.record = BusyRecord(i);
        batch.push_back(std::move(e));
        if (batch.size() == 256 || i + 1 == rounds) {
            if (!store->Write(batch, ids, error)) return error;
            batch.clear();
        }
    }
    write_s = Seconds(t);
    return "";
}

void BM_DeviceDay(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_day." + std::to_string(getpid()) + ".db";
    const int64_t rounds = 86400;
    const int64_t start = 1765152000;  // 2025-12-08T00:00:00Z
    for (auto _ : state) {
        double write_s = 0;
        const std::string error = DeviceDay(path, start, rounds, write_s);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        struct stat st {};
        stat(path.c_str(), &st);
        state.counters["write_us_per_round"] = write_s * 1e6 / rounds;
        state.counters["MB_per_device_day"] = static_cast<double>(st.st_size) / 1e6;

        // The command as a person runs it, output thrown away.
        vimo::ChildProcess csv;
        vimo::ChildProcess::Options options;
        options.capture_stdout = false;
        options.stdout_file = "/dev/null";
        const std::string since = vimo::IsoTime(start, true), until = vimo::IsoTime(start + rounds, true);
        std::string why;
        rusage before {}, after {};
        getrusage(RUSAGE_CHILDREN, &before);
        Clock::time_point t = Clock::now();
        if (!csv.Start({BuildDir() + "/vimohost", "history", "readings", "--history", path,
                        "--since", since, "--until", until, "--csv"},
                       options, why) ||
            csv.Wait(120000) != 0) {
            state.SkipWithError("vimohost history readings failed");
            return;
        }
        state.counters["csv_all_fields_s"] = Seconds(t);
        getrusage(RUSAGE_CHILDREN, &after);
        state.counters["csv_all_fields_cpu_s"] = CpuSeconds(after) - CpuSeconds(before);
        state.counters["csv_goal_met"] = Seconds(t) <= 2.0;

        // The other way considered: many rounds per row, deltas against the round
        // before, no compression. Their bytes, beside the file's size with zstd.
        {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_stmt* q = nullptr;
            sqlite3_prepare_v2(db, "SELECT meta FROM chunks", -1, &q, nullptr);
            double plain = 0;
            std::vector<vimo::ChunkRound> chunk;
            while (sqlite3_step(q) == SQLITE_ROW) {
                vimo::DecodeChunk(static_cast<const unsigned char*>(sqlite3_column_blob(q, 0)),
                                  sqlite3_column_bytes(q, 0), nullptr, 0, 0, chunk);
                for (const vimo::ChunkRound& r : chunk)
                    plain += static_cast<double>(r.record_size + r.vals_size[0] + r.vals_size[1] +
                                                 r.time.size() + 8);
            }
            sqlite3_finalize(q);
            sqlite3_close(db);
            state.counters["deltas_uncompressed_MB_per_device_day"] = plain / 1e6;
        }
        // A round by id, anywhere in the day: the goal is 10 ms.
        {
            auto store = vimo::HistoryStore::OpenReadOnly(path, why);
            double slowest_ms = 0;
            for (int64_t id = 1; store && id <= rounds; id += rounds / 50) {
                const Clock::time_point s = Clock::now();
                if (!store->Round(id)) state.SkipWithError("a round could not be read");
                slowest_ms = std::max(slowest_ms, Seconds(s) * 1e3);
            }
            state.counters["round_by_id_max_ms"] = slowest_ms;
        }
        auto reader = vimo::HistoryReader::Open(path, why);
        std::vector<vimo::ReadingBucket> buckets;
        const size_t field = novex::monitor::FindMeasure("battery_charge");
        t = Clock::now();
        const double cpu_before = ThreadCpuSeconds();
        reader->DownsamplePoints(1, start, start + rounds, 1000, {field}, buckets, why);
        const double points_s = Seconds(t);
        state.counters["points_1000_cpu_ms"] = (ThreadCpuSeconds() - cpu_before) * 1e3;
        state.counters["points_1000_ms"] = points_s * 1e3;
        state.counters["points_goal_met"] = points_s <= 0.1 && buckets.size() <= 1000;
    }
    if (std::getenv("NOVEX_BENCH_KEEP_DAY")) return;  // to try queries on it by hand
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
}
BENCHMARK(BM_DeviceDay)->Iterations(1)->Unit(benchmark::kSecond);

int64_t FileBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// With NOVEX_WRITE_DOCS set, the size table between "<!-- history size: begin -->" and
// "<!-- history size: end -->" of the README and docs/vimohost.md (NOVEX_SOURCE_DIR, else
// the working folder) is rewritten from BM_SizePerDay's figures once both intervals ran.
// Columns of a row: rounds MB a day, rounds GB a year, minutes MB a day, minutes GB a year.
void WriteSizeTable(int64_t interval, const double (&row)[4]) {
    static std::map<int64_t, std::vector<double>> rows;
    rows[interval].assign(row, row + 4);
    if (!std::getenv("NOVEX_WRITE_DOCS") || rows.size() < 2) return;
    std::string table =
        "| interval | rounds per day | rounds per year | minute aggregates per day | minute "
        "aggregates per year | with the defaults (rounds 30 days, minutes two years) |\n"
        "|---|---|---|---|---|---|\n";
    char line[256];
    for (const auto& r : rows) {
        const std::vector<double>& v = r.second;
        std::snprintf(line, sizeof line, "| %lld s | %.2f MB | %.2f GB | %.2f MB | %.2f GB | %.0f MB |\n",
                      static_cast<long long>(r.first), v[0], v[1], v[2], v[3],
                      v[0] * 30 + v[3] * 2 * 1000);
        table += line;
    }
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    for (const char* file : {"README.md", "docs/vimohost.md"}) {
        const std::string path = std::string(source ? source : ".") + "/" + file;
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        std::string doc = text.str();
        const std::string begin = "<!-- history size: begin -->\n";
        const size_t from = doc.find(begin);
        const size_t to = doc.find("<!-- history size: end -->");
        if (from == std::string::npos || to == std::string::npos) continue;
        doc.replace(from + begin.size(), to - from - begin.size(), table);
        std::ofstream(path) << doc;
    }
}

// The disk a busy device takes per day and per year at one round every Arg seconds:
// its rounds (as BM_DeviceDay stores them) and, apart, its minute aggregates, made as
// the writer makes them and stored a minute at a time, each into its hour's row. Always
// 86,400 rounds (Arg days), so that the rounds not yet in a chunk weigh alike.
void BM_SizePerDay(benchmark::State& state) {
    const int64_t interval = state.range(0);
    const std::string path = "/tmp/history_bench_size." + std::to_string(getpid()) + ".db";
    const int64_t start = 1765152000;
    const int64_t rounds = 86400;
    const double days = static_cast<double>(interval);
    for (auto _ : state) {
        double write_s = 0;
        const std::string error = DeviceDay(path, start, rounds, write_s, interval);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        const double raw = static_cast<double>(FileBytes(path));
        unlink(path.c_str());
        std::string why;
        auto store = vimo::HistoryStore::Open(path, false, why);
        if (!store) {
            state.SkipWithError(why.c_str());
            return;
        }
        const double empty = static_cast<double>(FileBytes(path));
        vimo::MinuteAggregator minutes;
        std::vector<vimo::MinuteAggregate> finished;
        std::vector<int64_t> ids;
        double aggregate_s = 0;
        for (int64_t i = 0; i < rounds; ++i) {
            const auto values = novex::monitor::DecodeMeasures(BusyRecord(i).data());
            const Clock::time_point t = Clock::now();
            minutes.Add(1, start + i * interval, values, finished);
            if (i + 1 == rounds) minutes.TakeAll(finished);
            if (!finished.empty() && !store->Write({}, ids, why, finished)) {
                state.SkipWithError(why.c_str());
                return;
            }
            finished.clear();
            aggregate_s += Seconds(t);
        }
        store.reset();
        const double minute_bytes = static_cast<double>(FileBytes(path)) - empty;
        state.counters["rounds_MB_per_device_day"] = raw / days / 1e6;
        state.counters["rounds_GB_per_device_year"] = raw / days * 365 / 1e9;
        state.counters["minutes_MB_per_device_day"] = minute_bytes / days / 1e6;
        state.counters["minutes_GB_per_device_year"] = minute_bytes / days * 365 / 1e9;
        state.counters["minutes_bytes_per_minute"] = minute_bytes / days / 1440;
        state.counters["minutes_us_per_round"] = aggregate_s * 1e6 / static_cast<double>(rounds);
        WriteSizeTable(interval, {raw / days / 1e6, raw / days * 365 / 1e9,
                                  minute_bytes / days / 1e6, minute_bytes / days * 365 / 1e9});
    }
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
}
BENCHMARK(BM_SizePerDay)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// A line thread hands over a round every 10 ms while the writer prunes every round of
// the days before (--keep 1d over a file of NOVEX_BENCH_PRUNE_DAYS days).
void BM_PruneStall(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_prune." + std::to_string(getpid()) + ".db";
    const int64_t days = EnvOr("NOVEX_BENCH_PRUNE_DAYS", 30);
    const int64_t interval = EnvOr("NOVEX_BENCH_PRUNE_INTERVAL_S", 10);
    const int64_t now = std::time(nullptr);
    const int64_t rounds = days * 86400 / interval;
    for (auto _ : state) {
        unlink(path.c_str());
        std::string error;
        auto store = vimo::HistoryStore::Open(path, false, error);
        std::vector<vimo::HistoryEntry> batch;
        std::vector<int64_t> ids;
        const std::vector<unsigned char> record = BusyRecord(1);
        for (int64_t i = 0; i < rounds; ++i) {
            vimo::HistoryEntry e;
            e.data_id = 1;
            e.utc = now - 86400 - days * 86400 + i * interval;
            e.local = vimo::UtcToLocalText(e.utc);
            e.record = record;
            batch.push_back(std::move(e));
            if (batch.size() == 256 || i + 1 == rounds) {
                store->Write(batch, ids, error);
                batch.clear();
            }
        }
        vimo::HistoryWriterOptions options;
        options.retention.keep_seconds = 86400;
        double longest_submit_ms = 0, longest_store_ms = 0;
        const Clock::time_point t = Clock::now();
        {
            vimo::HistoryWriter writer(*store, options);
            while (store->CountRounds(1u) > 0 && Seconds(t) < 600) {
                vimo::HistoryEntry e;
                e.data_id = 1;
                e.utc = std::time(nullptr);
                e.local = vimo::UtcToLocalText(e.utc);
                e.record = record;
                const Clock::time_point s = Clock::now();
                writer.Submit(std::move(e));
                longest_submit_ms = std::max(longest_submit_ms, Seconds(s) * 1e3);
                writer.Flush(std::chrono::seconds(5));
                longest_store_ms = std::max(longest_store_ms, Seconds(s) * 1e3);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (writer.Pruned() >= rounds) break;
            }
            state.counters["rounds_pruned"] = static_cast<double>(writer.Pruned());
        }
        state.counters["prune_s"] = Seconds(t);
        state.counters["line_thread_wait_max_ms"] = longest_submit_ms;
        state.counters["round_stored_within_max_ms"] = longest_store_ms;
        state.counters["stall_goal_met"] = longest_submit_ms < 50;
    }
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
}
BENCHMARK(BM_PruneStall)->Iterations(1)->Unit(benchmark::kSecond);

// vimohost polling a simulator of its own unpaced, each run `rounds` rounds, with or
// without the history in `db` (removed after).
class PollingRuns {
public:
    explicit PollingRuns(std::string db) : db_(std::move(db)) {
        vimo::ChildProcess::Options options;
        options.stderr_file = "/dev/null";
        std::string error, ready;
        if (sim_.Start({BuildDir() + "/novexups-sim", "--tcp", "0"}, options, error) &&
            sim_.ReadLine(ready, 10000))
            address_ = ready.substr(ready.rfind(' ') + 1);
    }
    ~PollingRuns() {
        sim_.Stop();
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((db_ + suffix).c_str());
    }
    bool started() const { return !address_.empty(); }
    // vimohost's CPU in µs per round; negative when it failed.
    double CpuPerRound(bool history, int64_t rounds) {
        unlink(db_.c_str());
        std::vector<std::string> argv = {BuildDir() + "/vimohost", "--tcp", address_, "--rounds",
                                         std::to_string(rounds), "--interval-ms", "0"};
        if (history)
            argv.insert(argv.end(), {"--history", db_});
        else
            argv.push_back("--no-history");
        vimo::ChildProcess poller;
        vimo::ChildProcess::Options options;
        options.capture_stdout = false;
        options.stdout_file = "/dev/null";
        options.stderr_file = "/dev/null";
        std::string error;
        rusage before {}, after {};
        getrusage(RUSAGE_CHILDREN, &before);
        if (!poller.Start(argv, options, error) || poller.Wait(600000) != 0) return -1;
        getrusage(RUSAGE_CHILDREN, &after);
        return (CpuSeconds(after) - CpuSeconds(before)) * 1e6 / static_cast<double>(rounds);
    }

private:
    std::string db_;
    vimo::ChildProcess sim_;
    std::string address_;
};

// vimohost's CPU per round (all its threads, user and system) polling the simulator
// unpaced, without and with the history. Arg: 0 --no-history, 1 --history.
void BM_RoundCpu(benchmark::State& state) {
    PollingRuns runs("/tmp/history_bench_cpu." + std::to_string(getpid()) + ".db");
    if (!runs.started()) return state.SkipWithError("novexups-sim did not start");
    for (auto _ : state) {
        const double cpu = runs.CpuPerRound(state.range(0) == 1, 3000);
        if (cpu < 0) return state.SkipWithError("vimohost failed");
        state.counters["cpu_us_per_round"] = cpu;
    }
}
BENCHMARK(BM_RoundCpu)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

// vimohost's CPU per round polling the simulator unpaced, alternately without and with
// the history (five pairs, so that both see the same load), and the share storing
// adds: the goal is at most +10 %. The share is taken from each side's median run: on
// a shared machine another process's burst lands in one run and only adds, and the
// mean carries it into the share (both are reported).
void BM_StoreCpuRatio(benchmark::State& state) {
    PollingRuns polling("/tmp/history_bench_ratio." + std::to_string(getpid()) + ".db");
    if (!polling.started()) return state.SkipWithError("novexups-sim did not start");
    constexpr int kPairs = 5;
    std::vector<double> runs[2];  // CPU µs per round of each run, without and with
    for (auto _ : state) {
        for (int pair = 0; pair < kPairs; ++pair)
            for (int history = 0; history < 2; ++history) {
                const double cpu = polling.CpuPerRound(history == 1, 3000);
                if (cpu < 0) return state.SkipWithError("vimohost failed");
                runs[history].push_back(cpu);
            }
    }
    double median[2] = {0, 0}, mean[2] = {0, 0};
    for (int history = 0; history < 2; ++history) {
        std::vector<double>& r = runs[history];
        std::sort(r.begin(), r.end());
        median[history] = r[r.size() / 2];
        for (const double v : r) mean[history] += v / static_cast<double>(r.size());
    }
    state.counters["cpu_us_per_round_without"] = median[0];
    state.counters["cpu_us_per_round_with"] = median[1];
    state.counters["history_share_pct"] = (median[1] / median[0] - 1) * 100;
    state.counters["history_share_of_means_pct"] = (mean[1] / mean[0] - 1) * 100;
    state.counters["share_goal_met"] = median[1] <= median[0] * 1.10;
}
BENCHMARK(BM_StoreCpuRatio)->Iterations(1)->Unit(benchmark::kSecond);

// A long history made fast: one day written as the writer does, then its chunks copied
// for the days after, ids and times shifted (only the small meta blob is made again).
//   NOVEX_BENCH_LONG_DAYS (default 30) days of one device at 1 s.
std::string LongHistory(const std::string& path, int64_t days, int64_t& rounds) {
    const int64_t end = 1765152000;
    double write_s = 0;
    const int64_t first_day = end - days * 86400;
    std::string error = DeviceDay(path, first_day, 86400, write_s);
    if (!error.empty()) return error;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    // The day's rounds not yet in a chunk go: the copies all come before them otherwise.
    sqlite3_exec(db, "BEGIN; DELETE FROM rounds; DELETE FROM readings; DELETE FROM readings_detail;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* read = nullptr;
    sqlite3_stmt* write = nullptr;
    sqlite3_prepare_v2(db, "SELECT meta, data FROM chunks", -1, &read, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO chunks (last_id, data_id, first_id, rounds, first_utc, "
                       "last_utc, meta, data) VALUES (?, 1, ?, ?, ?, ?, ?, ?)", -1, &write, nullptr);
    std::vector<std::vector<vimo::ChunkRound>> day;
    while (sqlite3_step(read) == SQLITE_ROW) {
        day.emplace_back();
        vimo::DecodeChunk(static_cast<const unsigned char*>(sqlite3_column_blob(read, 0)),
                          sqlite3_column_bytes(read, 0),
                          static_cast<const unsigned char*>(sqlite3_column_blob(read, 1)),
                          sqlite3_column_bytes(read, 1), vimo::kChunkEverything, day.back());
    }
    sqlite3_finalize(read);
    rounds = 0;
    for (const auto& chunk : day) rounds += static_cast<int64_t>(chunk.size());
    const int64_t per_day = rounds;
    std::vector<unsigned char> meta, data;
    // Day k of the copies takes ids and times k days after the written day.
    for (int64_t k = 1; k < days; ++k) {
        for (std::vector<vimo::ChunkRound> chunk : day) {
            for (vimo::ChunkRound& r : chunk) {
                r.id += k * per_day;
                r.utc += k * 86400;
                r.time = vimo::UtcToLocalText(r.utc);
            }
            vimo::EncodeChunk(chunk, meta, data);
            const int64_t numbers[] = {chunk.back().id, chunk.front().id,
                                       static_cast<int64_t>(chunk.size()), chunk.front().utc,
                                       chunk.back().utc};
            for (int i = 0; i < 5; ++i) sqlite3_bind_int64(write, i + 1, numbers[i]);
            sqlite3_bind_blob(write, 6, meta.data(), static_cast<int>(meta.size()), SQLITE_STATIC);
            sqlite3_bind_blob(write, 7, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
            if (sqlite3_step(write) != SQLITE_DONE) error = sqlite3_errmsg(db);
            sqlite3_reset(write);
            rounds += static_cast<int64_t>(chunk.size());
        }
    }
    sqlite3_finalize(write);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return error;
}

// Peak memory of a child run: its own rusage, read as it is reaped.
struct ChildRun {
    double seconds = 0;
    long max_rss_kb = 0;
    int status = -1;
};

ChildRun RunChild(const std::vector<std::string>& argv, int timeout_s) {
    ChildRun out;
    const Clock::time_point t = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        alarm(static_cast<unsigned>(timeout_s));
        execv(args[0], args.data());
        _exit(127);
    }
    rusage usage {};
    int status = 0;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        out.max_rss_kb = usage.ru_maxrss;
    }
    out.seconds = Seconds(t);
    return out;
}

// The round list of a long history, table and JSON: peak memory (goal: at most 50 MB
// whatever the size) and time; then the time from start to the first stored round of
// `vimohost --rounds 1` on it, after a clean stop and after a crash (the whole-file
// check then runs on the writer thread; goal: polling within 1 s either way).
void BM_LongHistory(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_long." + std::to_string(getpid()) + ".db";
    const int64_t days = EnvOr("NOVEX_BENCH_LONG_DAYS", 30);
    for (auto _ : state) {
        // Made in a child process: a fork of this one, grown by the making, would count
        // its memory into every program measured after.
        const Clock::time_point made = Clock::now();
        const pid_t maker = fork();
        if (maker == 0) {
            int64_t ignored = 0;
            if (!LongHistory(path, days, ignored).empty()) _exit(1);
            // Another device's history: the polled device has no stored round to
            // replay, whose second the first polled round would wait out.
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            const int rc = sqlite3_exec(db, "UPDATE chunks SET data_id = 7; UPDATE devices SET data_id = 7",
                                        nullptr, nullptr, nullptr);
            sqlite3_close(db);
            _exit(rc == SQLITE_OK ? 0 : 1);
        }
        int status = -1;
        if (maker < 0 || waitpid(maker, &status, 0) != maker || status != 0) {
            state.SkipWithError("the long history could not be made");
            return;
        }
        state.counters["make_s"] = Seconds(made);
        std::string error;
        int64_t rounds = 0;
        if (auto store = vimo::HistoryStore::OpenReadOnly(path, error)) rounds = store->CountRounds(7u);
        struct stat st {};
        stat(path.c_str(), &st);
        state.counters["rounds"] = static_cast<double>(rounds);
        state.counters["file_MB"] = static_cast<double>(st.st_size) / 1e6;
        const std::string vimohost = BuildDir() + "/vimohost";
        const ChildRun list = RunChild({vimohost, "history", "--history", path, "--last", "0"}, 600);
        const ChildRun json =
            RunChild({vimohost, "history", "--history", path, "--last", "0", "--json"}, 600);
        state.counters["list_s"] = list.seconds;
        state.counters["list_MB"] = list.max_rss_kb / 1024.0;
        state.counters["list_json_s"] = json.seconds;
        state.counters["list_json_MB"] = json.max_rss_kb / 1024.0;
        state.counters["list_goal_met"] =
            list.status == 0 && json.status == 0 && std::max(list.max_rss_kb, json.max_rss_kb) <= 50 * 1024;

        vimo::ChildProcess sim;
        vimo::ChildProcess::Options sim_options;
        sim_options.stderr_file = "/dev/null";
        std::string why, ready;
        if (!sim.Start({BuildDir() + "/novexups-sim", "--tcp", "0"}, sim_options, why) ||
            !sim.ReadLine(ready, 10000)) {
            state.SkipWithError("novexups-sim did not start");
            return;
        }
        const std::string address = ready.substr(ready.rfind(' ') + 1);
        const std::vector<std::string> poll = {vimohost, "--tcp", address, "--rounds", "1",
                                               "--interval-ms", "0", "--history", path};
        // The file was never closed by a poller: checked whole, on the writer thread.
        const ChildRun unclean = RunChild(poll, 600);
        // The round just stored goes, so that the next start has none to replay (its
        // second would be waited out: not the start's cost); the clean mark stays.
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, "DELETE FROM rounds WHERE data_id = 1", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        const ChildRun clean = RunChild(poll, 600);
        sim.Stop();
        state.counters["start_to_exit_after_crash_s"] = unclean.seconds;
        state.counters["start_to_exit_after_clean_stop_s"] = clean.seconds;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}
BENCHMARK(BM_LongHistory)->Iterations(1)->Unit(benchmark::kSecond);

// The writer's CPU per round written in commits of `Arg` rounds (1: every round its
// own transaction; 3: the writer's group at one round a second): decoding the
// measures, both readings blobs, the inserts, the WAL, its syncs and checkpoints.
// Beside BM_RoundCpu/0 it is the share storing adds to a round.
void BM_StoreRounds(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_one." + std::to_string(getpid()) + ".db";
    unlink(path.c_str());
    std::string error;
    auto store = vimo::HistoryStore::Open(path, false, error);
    std::vector<int64_t> ids;
    int64_t n = 0;
    const int64_t start = std::time(nullptr);
    double cpu = 0;
    for (auto _ : state) {
        std::vector<vimo::HistoryEntry> group;
        for (int64_t i = 0; i < state.range(0); ++i) {
            vimo::HistoryEntry e;
            e.data_id = 1;
            e.utc = start + n;
            e.local = vimo::UtcToLocalText(e.utc);
            e.record = BusyRecord(n++);
            group.push_back(std::move(e));
        }
        const double before = ThreadCpuSeconds();
        if (!store->Write(group, ids, error)) state.SkipWithError(error.c_str());
        cpu += ThreadCpuSeconds() - before;
    }
    state.counters["store_cpu_us_per_round"] = cpu * 1e6 / static_cast<double>(n);
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}
BENCHMARK(BM_StoreRounds)->Arg(1)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreRounds)->Arg(3)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreRounds)->Arg(5)->Iterations(600)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreRounds)->Arg(256)->Iterations(12)->Unit(benchmark::kMicrosecond);

// `count` busy rounds of device 1 with the monitor's figures, one a second up to now.
std::vector<vimo::HistoryEntry> BusyRounds(int64_t count) {
    const int64_t start = std::time(nullptr) - count;
    std::vector<vimo::HistoryEntry> entries;
    for (int64_t n = 0; n < count; ++n) {
        vimo::HistoryEntry e;
        e.data_id = 1;
        e.utc = start + n;
        e.local = vimo::UtcToLocalText(e.utc);
        e.record = BusyRecord(n);
        e.measures = novex::monitor::DecodeMeasures(e.record.data());
        entries.push_back(std::move(e));
    }
    return entries;
}

// The writer's CPU per round as vimohost pays it, without the polling around it: busy
// rounds carrying the monitor's figures go through HistoryWriter (queue, minute
// aggregates, group commits, chunks) and the process's CPU while they are submitted and
// flushed is divided by the rounds. Steadier than BM_StoreCpuRatio on a shared machine,
// since no other process's load is in it; its share of BM_RoundCpu/0 is the cost.
void BM_WriterCpu(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_writer." + std::to_string(getpid()) + ".db";
    const int64_t rounds = 6 * static_cast<int64_t>(vimo::kChunkRounds);
    const std::vector<vimo::HistoryEntry> entries = BusyRounds(rounds);
    double cpu = 0;
    for (auto _ : state) {
        unlink(path.c_str());
        std::string error;
        auto store = vimo::HistoryStore::Open(path, false, error);
        if (!store) {
            state.SkipWithError(error.c_str());
            return;
        }
        rusage before {}, after {};
        getrusage(RUSAGE_SELF, &before);
        {
            vimo::HistoryWriter writer(*store, vimo::HistoryWriterOptions());
            for (const vimo::HistoryEntry& e : entries) writer.Submit(e);
            if (!writer.Flush(std::chrono::seconds(60))) state.SkipWithError("not flushed");
        }
        getrusage(RUSAGE_SELF, &after);
        cpu += CpuSeconds(after) - CpuSeconds(before);
    }
    state.counters["writer_cpu_us_per_round"] =
        cpu * 1e6 / static_cast<double>(rounds * state.iterations());
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}
BENCHMARK(BM_WriterCpu)->Iterations(5)->Unit(benchmark::kMillisecond);

// The events answer of the last minute (since now - 60, the page's question) over a
// history of a million events of one device, one a second, 20 alarms taking turns,
// one of them raised first and never cleared. Counters: ms per answer, the growth of
// the peak RSS in MB over the answers, spans answered.
void BM_EventsLastMinute(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_events." + std::to_string(getpid()) + ".db";
    const int64_t events = EnvOr("NOVEX_BENCH_EVENTS", 1000000);
    const int64_t now = 1765184400;
    std::string error;
    {
        auto store = vimo::HistoryStore::Open(path, false, error);
        if (!store || !store->Execute(
                          "INSERT INTO events (data_id, alarm, text, severity, state, utc, local) "
                          "VALUES (1, 'fan_fault', 'x', 'critical', 'raised', " +
                              std::to_string(now - events - 10) + ", '');"
                          "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                              std::to_string(events - 1) +
                              ") INSERT INTO events (data_id, alarm, text, severity, state, utc, local) "
                              "SELECT 1, 'module' || (i % 20 + 1) || '.fan_fault', 'x', 'critical', "
                              "CASE WHEN (i / 20) % 2 = 0 THEN 'raised' ELSE 'cleared' END, " +
                              std::to_string(now - events) + " + i, '' FROM n",
                          error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    auto web = novex::web::WebHistory::Open(path, error);
    if (!web) {
        state.SkipWithError(error.c_str());
        return;
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    double seconds = 0;
    size_t spans = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        novex::web::EventList list;
        if (!web->Events({1, now - 60, now + 1, false}, list, error)) state.SkipWithError(error.c_str());
        seconds += Seconds(start);
        spans = list.events.size();
    }
    getrusage(RUSAGE_SELF, &after);
    state.counters["ms"] = seconds * 1e3 / static_cast<double>(state.iterations());
    state.counters["rss_growth_MB"] = static_cast<double>(after.ru_maxrss - before.ru_maxrss) / 1024.0;
    state.counters["spans"] = static_cast<double>(spans);
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
}
BENCHMARK(BM_EventsLastMinute)->Iterations(20)->Unit(benchmark::kMillisecond);

// The layouts not taken, over one hour of rounds: a narrow table (one row per round
// and measure) and a wide one (one column per measure). Size per round and the time
// to read one field of every round, beside the blob the history uses.
void BM_Layouts(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_layout." + std::to_string(getpid()) + ".db";
    const int64_t rounds = 3600;
    const size_t field = novex::monitor::FindMeasure("battery_charge");
    for (auto _ : state) {
        for (int layout = 0; layout < 3; ++layout) {
            unlink(path.c_str());
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            std::string create, insert, scan;
            if (layout == 0) {  // as the history stores them: unit and detail blobs
                create = "CREATE TABLE r (round INTEGER PRIMARY KEY, vals BLOB); "
                         "CREATE TABLE d (round INTEGER PRIMARY KEY, vals BLOB)";
                insert = "INSERT INTO r VALUES (?1, ?2)";
                scan = "SELECT vals FROM r";
            } else if (layout == 1) {
                create = "CREATE TABLE r (round INTEGER, m INTEGER, v REAL, PRIMARY KEY (m, round))"
                         " WITHOUT ROWID";
                insert = "INSERT INTO r VALUES (?1, ?2, ?3)";
                scan = "SELECT v FROM r WHERE m = " + std::to_string(field);
            } else {
                create = "CREATE TABLE r (round INTEGER PRIMARY KEY";
                insert = "INSERT INTO r VALUES (?1";
                for (size_t m = 0; m < Measures().size(); ++m) {
                    create += ", m" + std::to_string(m) + " REAL";
                    insert += ", ?" + std::to_string(m + 2);
                }
                create += ")";
                insert += ")";
                scan = "SELECT m" + std::to_string(field) + " FROM r";
            }
            sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
            sqlite3_stmt* s = nullptr;
            sqlite3_stmt* detail = nullptr;
            sqlite3_prepare_v2(db, insert.c_str(), -1, &s, nullptr);
            sqlite3_prepare_v2(db, "INSERT INTO d VALUES (?1, ?2)", -1, &detail, nullptr);
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            Clock::time_point t = Clock::now();
            std::vector<unsigned char> blob;
            for (int64_t i = 0; i < rounds; ++i) {
                const auto values = novex::monitor::DecodeMeasures(BusyRecord(i).data());
                if (layout == 0) {
                    for (int part = 0; part < vimo::kReadingParts; ++part) {
                        blob.clear();
                        vimo::EncodeReadings(values, part, blob);
                        sqlite3_stmt* target = part == 0 ? s : detail;
                        sqlite3_bind_int64(target, 1, i);
                        sqlite3_bind_blob(target, 2, blob.data(), static_cast<int>(blob.size()),
                                          SQLITE_STATIC);
                        sqlite3_step(target);
                        sqlite3_reset(target);
                    }
                    continue;
                }
                sqlite3_bind_int64(s, 1, i);
                for (size_t m = 0; m < values.size(); ++m) {
                    if (layout == 1) {
                        if (!values[m].present) continue;
                        sqlite3_bind_int64(s, 2, static_cast<int64_t>(m));
                        sqlite3_bind_double(s, 3, values[m].value);
                        sqlite3_step(s);
                        sqlite3_reset(s);
                    } else if (values[m].present) {
                        sqlite3_bind_double(s, static_cast<int>(m) + 2, values[m].value);
                    } else {
                        sqlite3_bind_null(s, static_cast<int>(m) + 2);
                    }
                }
                if (layout == 2) {
                    sqlite3_step(s);
                    sqlite3_reset(s);
                }
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            const double write_s = Seconds(t);
            sqlite3_finalize(s);
            sqlite3_finalize(detail);
            sqlite3_prepare_v2(db, scan.c_str(), -1, &s, nullptr);
            vimo::ReadingsDecoder decoder;
            decoder.Bind(vimo::CurrentLayoutText(0), {field});
            double sum = 0, value = 0;
            t = Clock::now();
            while (sqlite3_step(s) == SQLITE_ROW) {
                if (layout == 0) {
                    decoder.Decode(static_cast<const unsigned char*>(sqlite3_column_blob(s, 0)),
                                   static_cast<size_t>(sqlite3_column_bytes(s, 0)), &value);
                    sum += value;
                } else {
                    sum += sqlite3_column_double(s, 0);
                }
            }
            const double scan_s = Seconds(t);
            benchmark::DoNotOptimize(sum);
            sqlite3_finalize(s);
            sqlite3_close(db);
            struct stat st {};
            stat(path.c_str(), &st);
            const char* names[] = {"blob", "narrow", "wide"};
            const std::string name = names[layout];
            state.counters[name + "_bytes_per_round"] = static_cast<double>(st.st_size) / rounds;
            state.counters[name + "_write_us_per_round"] = write_s * 1e6 / rounds;
            state.counters[name + "_one_field_day_ms"] = scan_s * 1e3 * 86400 / rounds;
        }
    }
    unlink(path.c_str());
}
BENCHMARK(BM_Layouts)->Iterations(1)->Unit(benchmark::kSecond);

// The CPU of the commit that moves a device's oldest 512 rounds into a chunk (reading
// them back, encoding and compressing, the chunk's row in, the rounds' rows out), with
// the one round that fills it: once every 512 rounds a device's writer pays it, at the
// real pace once every 8.5 minutes. Fresh statements each run; min and median of 40.
void BM_ChunkCommit(benchmark::State& state) {
    const std::string path = "/tmp/history_bench_chunk." + std::to_string(getpid()) + ".db";
    std::vector<vimo::HistoryEntry> group = BusyRounds(static_cast<int64_t>(vimo::kChunkRounds));
    const std::vector<vimo::HistoryEntry> last(1, group.back());
    group.pop_back();
    std::vector<double> cpus;
    for (auto _ : state) {
        unlink(path.c_str());
        std::string error;
        auto store = vimo::HistoryStore::Open(path, false, error);
        if (!store) return state.SkipWithError(error.c_str());
        std::vector<int64_t> ids;
        if (!store->Write(group, ids, error)) return state.SkipWithError(error.c_str());
        const double before = ThreadCpuSeconds();
        if (!store->Write(last, ids, error)) return state.SkipWithError(error.c_str());
        cpus.push_back((ThreadCpuSeconds() - before) * 1e6);
        store.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
    }
    std::sort(cpus.begin(), cpus.end());
    if (cpus.empty()) return;
    state.counters["commit_cpu_us_min"] = cpus.front();
    state.counters["commit_cpu_us_median"] = cpus[cpus.size() / 2];
}
BENCHMARK(BM_ChunkCommit)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
