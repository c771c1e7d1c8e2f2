// What the status document costs: 801 between rounds against a copy of its text,
// the first 801 after a round against a document built afresh, and the heap one
// device holds. Allocations are counted by wrapping malloc for the whole process
// (the JSON library allocates its keys with malloc, its tree with operator new).
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <json/writer.h>

#include "novexups.h"

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;

// A device whose rounds the benchmark completes directly, each one second after
// the last, so that every round is a new one for the document.
class BenchUPS : public NovexUPS {
public:
    void CompleteRound(const NovexUPS_Data_t& data) {
        std::memcpy(&record, &data, sizeof record);
        round_time = next_time_;
        next_time_ += seconds(1);
        record.update_time = get_ttime(round_time);
        PublishCompletedRound();
    }

private:
    ptime next_time_{boost::gregorian::date(2024, 3, 5), boost::posix_time::hours(7)};
};

NovexUPS_Data_t RandomRecord(uint32_t seed) {
    NovexUPS_Data_t data;
    auto* bytes = reinterpret_cast<unsigned char*>(&data);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < sizeof data; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<unsigned char>(x);
    }
    return data;
}

const NovexUPS_Data_t kRecordA = RandomRecord(1);
const NovexUPS_Data_t kRecordB = RandomRecord(2);

std::vector<char>& OutputBuffer() {
    static std::vector<char> buffer(1 << 20);
    return buffer;
}

int Text(NovexUPS& ups) {
    int length = 0;
    std::vector<char>& out = OutputBuffer();
    if (ups.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), length) != 0)
        std::abort();
    return length;
}

void Pointer(NovexUPS& ups) {
    void* pointer = nullptr;
    int length = 0;
    if (ups.DeviceIoControl(803, nullptr, 0, &pointer, sizeof pointer, length) != 0) std::abort();
}

// Bytes in use, small blocks and large (mapped) ones alike.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// 801 with no round in between: the cached text is copied.
void BM_Repeated801(benchmark::State& state) {
    BenchUPS ups;
    ups.CompleteRound(kRecordA);
    const int length = Text(ups);
    for (auto _ : state) benchmark::DoNotOptimize(Text(ups));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    state.counters["text_bytes"] = length;
}
BENCHMARK(BM_Repeated801);

// The yardstick of the above: one memcpy of a text of the same length.
void BM_MemcpyOfText(benchmark::State& state) {
    BenchUPS ups;
    ups.CompleteRound(kRecordA);
    const std::string text(OutputBuffer().data(), static_cast<size_t>(Text(ups)));
    for (auto _ : state) {
        std::memcpy(OutputBuffer().data(), text.data(), text.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MemcpyOfText);

// The first 801 after a round: rebuild in place and serialise. First argument 0:
// every round carries the same record; 1: rounds alternate between two records, so
// nearly every value changes. Second argument 1: the document's address was handed
// out by 803 before, so members are found by key instead of by remembered place.
void BM_First801AfterRound(benchmark::State& state) {
    BenchUPS ups;
    const bool alternate = state.range(0) != 0;
    ups.CompleteRound(kRecordA);
    if (state.range(1) != 0) Pointer(ups);
    Text(ups);
    size_t rounds = 0;
    const size_t allocations = g_allocations.load();
    for (auto _ : state) {
        ups.CompleteRound(alternate && (++rounds & 1) ? kRecordB : kRecordA);
        benchmark::DoNotOptimize(Text(ups));
    }
    const double per_801 =
        static_cast<double>(g_allocations.load() - allocations) / state.iterations();
    // What the compact writer allocates by itself; the rest is the rebuild's.
    const size_t before_writer = g_allocations.load();
    benchmark::DoNotOptimize(Json::FastWriter().write(ups.status_document));
    const double writer = static_cast<double>(g_allocations.load() - before_writer);
    state.counters["allocs_per_801"] = per_801;
    state.counters["rebuild_allocs"] = per_801 - writer;
}
BENCHMARK(BM_First801AfterRound)
    ->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

// The naive way: a document built afresh from the record by a new device, written
// and copied the same way, then destroyed.
void BM_Naive801(benchmark::State& state) {
    const bool alternate = state.range(0) != 0;
    size_t rounds = 0;
    for (auto _ : state) {
        BenchUPS ups;
        ups.CompleteRound(alternate && (++rounds & 1) ? kRecordB : kRecordA);
        benchmark::DoNotOptimize(Text(ups));
    }
}
BENCHMARK(BM_Naive801)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Both ways timed side by side in one loop on alternating records, so the ratio is
// not skewed by drift between two benchmarks (and each way runs with caches as the
// other left them, as after a poll round). Argument as the second above.
void BM_First801OverNaive(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    BenchUPS kept;
    kept.CompleteRound(kRecordA);
    if (state.range(0) != 0) Pointer(kept);
    Text(kept);
    Clock::duration in_place{}, naive{};
    size_t rounds = 0;
    for (auto _ : state) {
        const NovexUPS_Data_t& data = ++rounds & 1 ? kRecordB : kRecordA;
        const Clock::time_point t0 = Clock::now();
        kept.CompleteRound(data);
        benchmark::DoNotOptimize(Text(kept));
        const Clock::time_point t1 = Clock::now();
        {
            BenchUPS fresh;
            fresh.CompleteRound(data);
            benchmark::DoNotOptimize(Text(fresh));
        }
        naive += Clock::now() - t1;
        in_place += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["in_place_us"] = std::chrono::duration<double>(in_place).count() * 1e6 / n;
    state.counters["naive_us"] = std::chrono::duration<double>(naive).count() * 1e6 / n;
    state.counters["ratio"] = std::chrono::duration<double>(in_place).count() /
                              std::chrono::duration<double>(naive).count();
}
BENCHMARK(BM_First801OverNaive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The rebuild alone, without serialising: 803 after each round (members found by
// key, since 803 hands out the address).
void BM_RebuildBy803(benchmark::State& state) {
    BenchUPS ups;
    ups.CompleteRound(kRecordA);
    Pointer(ups);
    size_t rounds = 0;
    const size_t allocations = g_allocations.load();
    for (auto _ : state) {
        ups.CompleteRound(++rounds & 1 ? kRecordB : kRecordA);
        Pointer(ups);
    }
    state.counters["allocs_per_rebuild"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - allocations) / state.iterations());
}
BENCHMARK(BM_RebuildBy803)->Unit(benchmark::kMicrosecond);

// Heap held by one device: after its first rebuild (text included), and after
// 10,000 more rebuilds and serialisations (801) alternating between two records.
void BM_DeviceHeap(benchmark::State& state) {
    for (auto _ : state) {
        const size_t empty = HeapInUse();
        auto ups = std::make_unique<BenchUPS>();
        const size_t constructed = HeapInUse();
        ups->CompleteRound(kRecordA);
        const int text_bytes = Text(*ups);
        const size_t first = HeapInUse();
        for (int i = 0; i < 10000; ++i) {
            ups->CompleteRound(i % 2 ? kRecordA : kRecordB);
            Text(*ups);
        }
        const size_t last = HeapInUse();
        ups.reset();
        state.counters["device_KiB"] = static_cast<double>(constructed - empty) / 1024;
        state.counters["after_first_KiB"] = static_cast<double>(first - empty) / 1024;
        state.counters["text_KiB"] = static_cast<double>(text_bytes) / 1024;
        state.counters["growth_bytes"] =
            static_cast<double>(static_cast<int64_t>(last) - static_cast<int64_t>(first));
        state.counters["left_after_delete"] =
            static_cast<double>(static_cast<int64_t>(HeapInUse()) - static_cast<int64_t>(empty));
    }
}
BENCHMARK(BM_DeviceHeap)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
