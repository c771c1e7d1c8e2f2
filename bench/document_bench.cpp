// What the status document costs: 801 between rounds against a copy of its text,
// the first 801 after a round against that copy (5 % of the values changed) and
// against a document built afresh and written by the
// compact writer (the naive way), and the heap one device holds. Allocations are counted by wrapping malloc for the whole process
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

#include "bench/random_record.h"
#include "device/novexups.h"

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
    return bench_support::RandomRecord(seed * 2654435761u + 1);
}

const NovexUPS_Data_t kRecordA = RandomRecord(1);
const NovexUPS_Data_t kRecordB = RandomRecord(2);

// The values a round reads, as (offset, width) in the record: the coils one byte
// each, then the registers. Rounds of a running UPS change some of them.
struct Field {
    size_t offset;
    size_t width;
};

std::vector<Field> RoundFields() {
    namespace off = novex::record_offset;
    std::vector<Field> fields;
    for (size_t i = 0; i < 64; ++i) fields.push_back({off::kBits1To31 + i, 1});
    for (size_t at = off::kRegs1To40; at < off::kUpdateTime; at += 2) fields.push_back({at, 2});
    return fields;
}

// Rounds in which `percent` % of the values change (coils to 0 or 1, registers to
// any value), from a record with coils of 0 or 1.
class ChangingRounds {
public:
    explicit ChangingRounds(int percent) : fields_(RoundFields()), percent_(percent) {
        data_ = kRecordA;
        for (size_t i = 0; i < 64; ++i) reinterpret_cast<unsigned char*>(&data_)[4 + i] &= 1;
    }
    const NovexUPS_Data_t& Next() {
        const size_t count = (fields_.size() * static_cast<size_t>(percent_) + 50) / 100;
        auto* bytes = reinterpret_cast<unsigned char*>(&data_);
        for (size_t i = 0; i < count; ++i) {
            const Field& f = percent_ == 100 ? fields_[i] : fields_[Random() % fields_.size()];
            // Every chosen value changes: a coil flips, a register takes another value.
            if (f.width == 1) {
                bytes[f.offset] ^= 1;
            } else {
                uint16_t value;
                std::memcpy(&value, bytes + f.offset, sizeof value);
                value = static_cast<uint16_t>(value + 1 + Random() % 65535);
                std::memcpy(bytes + f.offset, &value, sizeof value);
            }
        }
        return data_;
    }

private:
    uint32_t Random() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    std::vector<Field> fields_;
    int percent_;
    NovexUPS_Data_t data_;
    uint32_t state_ = 2463534242u;
};

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

const Json::Value* Pointer(NovexUPS& ups) {
    const Json::Value* pointer = nullptr;
    int length = 0;
    if (ups.DeviceIoControl(803, nullptr, 0, &pointer, sizeof pointer, length) != 0) std::abort();
    return pointer;
}

// The naive way: a document built afresh from the record (the tree behind 803, on a
// new device) and written by the compact writer, copied out the same way.
int NaiveText(const NovexUPS_Data_t& data) {
    BenchUPS fresh;
    fresh.CompleteRound(data);
    Pointer(fresh);
    return Text(fresh);
}

// Bytes in use, small blocks and large (mapped) ones alike.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Heap held by a device: after its first 801, and after 10,000 more rounds with 5 %
// of the values changed, each shown by 801. The first device derives the template
// every device shares (with the spare room that splices share), so this runs first; a
// second device shows its own share.
void BM_DeviceHeap(benchmark::State& state) {
    OutputBuffer();  // the benchmark's own, not the device's
    for (auto _ : state) {
        ChangingRounds rounds(5);
        const size_t empty = HeapInUse();
        auto first = std::make_unique<BenchUPS>();
        first->CompleteRound(kRecordA);
        const int text_bytes = Text(*first);
        const size_t with_template = HeapInUse();
        auto ups = std::make_unique<BenchUPS>();
        const size_t before_second = HeapInUse();
        ups->CompleteRound(kRecordA);
        Text(*ups);
        const size_t second = HeapInUse();
        for (int i = 0; i < 10000; ++i) {
            ups->CompleteRound(rounds.Next());
            Text(*ups);
        }
        const size_t last = HeapInUse();
        ups.reset();
        first.reset();
        state.counters["first_device_KiB"] = static_cast<double>(with_template - empty) / 1024;
        state.counters["device_KiB"] = static_cast<double>(second - before_second) / 1024;
        state.counters["text_KiB"] = static_cast<double>(text_bytes) / 1024;
        state.counters["growth_bytes"] =
            static_cast<double>(static_cast<int64_t>(last) - static_cast<int64_t>(second));
    }
}
BENCHMARK(BM_DeviceHeap)->Iterations(1)->Unit(benchmark::kSecond);

// 801 with no round in between against a memcpy of a text as long, timed in turns
// in one loop.
void BM_Repeated801OverMemcpy(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    BenchUPS ups;
    ups.CompleteRound(kRecordA);
    const int length = Text(ups);
    const std::string text(OutputBuffer().data(), static_cast<size_t>(length));
    Clock::duration by_801{}, by_memcpy{};
    constexpr int kBatch = 64;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(Text(ups));
        const Clock::time_point t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(OutputBuffer().data(), text.data(), text.size());
            benchmark::ClobberMemory();
        }
        by_memcpy += Clock::now() - t1;
        by_801 += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations()) * kBatch;
    state.counters["801_ns"] = std::chrono::duration<double>(by_801).count() * 1e9 / n;
    state.counters["memcpy_ns"] = std::chrono::duration<double>(by_memcpy).count() * 1e9 / n;
    state.counters["ratio"] = std::chrono::duration<double>(by_801).count() /
                              std::chrono::duration<double>(by_memcpy).count();
    state.counters["text_bytes"] = length;
}
BENCHMARK(BM_Repeated801OverMemcpy)->Unit(benchmark::kMicrosecond);

// The first 801 after a round in which `percent` % of the values changed, against a
// memcpy of a text as long, timed in turns in one loop (goal: within 5 copies at 5 %).
void BM_First801OverMemcpy(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    ChangingRounds rounds(static_cast<int>(state.range(0)));
    BenchUPS ups;
    ups.CompleteRound(rounds.Next());
    const int length = Text(ups);
    const std::string text(OutputBuffer().data(), static_cast<size_t>(length));
    Clock::duration by_801{}, by_memcpy{};
    for (auto _ : state) {
        const NovexUPS_Data_t& data = rounds.Next();
        const Clock::time_point t0 = Clock::now();
        ups.CompleteRound(data);
        benchmark::DoNotOptimize(Text(ups));
        const Clock::time_point t1 = Clock::now();
        std::memcpy(OutputBuffer().data(), text.data(), text.size());
        benchmark::ClobberMemory();
        by_memcpy += Clock::now() - t1;
        by_801 += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["first_801_us"] = std::chrono::duration<double>(by_801).count() * 1e6 / n;
    state.counters["memcpy_us"] = std::chrono::duration<double>(by_memcpy).count() * 1e6 / n;
    state.counters["ratio"] = std::chrono::duration<double>(by_801).count() /
                              std::chrono::duration<double>(by_memcpy).count();
}
BENCHMARK(BM_First801OverMemcpy)->Arg(5)->Arg(0)->Unit(benchmark::kMicrosecond);

// The first 801 after a round against the naive way, timed in turns in one loop on
// the same records (each way runs with caches as the other left them, as after a
// poll round). First argument: percent of the values changed per round; second: 1
// when 803 has handed out the tree (801 then serialises the tree).
void BM_First801OverNaive(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    ChangingRounds rounds(static_cast<int>(state.range(0)));
    BenchUPS kept;
    kept.CompleteRound(rounds.Next());
    if (state.range(1) != 0) Pointer(kept);
    Text(kept);
    Clock::duration kept_time{}, naive_time{};
    const size_t allocations = g_allocations.load();
    size_t kept_allocations = 0;
    for (auto _ : state) {
        const NovexUPS_Data_t& data = rounds.Next();
        const Clock::time_point t0 = Clock::now();
        const size_t a0 = g_allocations.load();
        kept.CompleteRound(data);
        benchmark::DoNotOptimize(Text(kept));
        kept_allocations += g_allocations.load() - a0;
        const Clock::time_point t1 = Clock::now();
        benchmark::DoNotOptimize(NaiveText(data));
        naive_time += Clock::now() - t1;
        kept_time += t1 - t0;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["first_801_us"] = std::chrono::duration<double>(kept_time).count() * 1e6 / n;
    state.counters["naive_us"] = std::chrono::duration<double>(naive_time).count() * 1e6 / n;
    state.counters["ratio"] = std::chrono::duration<double>(kept_time).count() /
                              std::chrono::duration<double>(naive_time).count();
    state.counters["allocs_per_801"] = static_cast<double>(kept_allocations) / n;
    state.counters["naive_allocs"] =
        static_cast<double>(g_allocations.load() - allocations - kept_allocations) / n;
}
BENCHMARK(BM_First801OverNaive)
    ->Args({5, 0})->Args({100, 0})->Args({0, 0})->Args({5, 1})->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

// The tree rebuild alone, without serialising: 803 after each round in which every
// value changed (members found by key, since 803 has handed out the tree).
void BM_RebuildBy803(benchmark::State& state) {
    BenchUPS ups;
    ChangingRounds rounds(100);
    ups.CompleteRound(rounds.Next());
    Pointer(ups);
    const size_t allocations = g_allocations.load();
    for (auto _ : state) {
        ups.CompleteRound(rounds.Next());
        Pointer(ups);
    }
    state.counters["allocs_per_rebuild"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - allocations) / state.iterations());
}
BENCHMARK(BM_RebuildBy803)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
