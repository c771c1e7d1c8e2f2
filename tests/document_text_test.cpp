// 801's text rendered slot by slot, byte for byte against the compact writer on the
// tree behind 803 for the same round: random records, rounds in which random bytes
// change, few values of every width spliced in, devices splicing in turns, and
// rebuilds cut short by a failed allocation.
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "tests/render_support.h"
#include "tests/sanitizers.h"

// Allocations fail on demand: with a count of n >= 0, the (n+1)-th allocation from
// then on throws std::bad_alloc, and the count runs out. Not under ThreadSanitizer,
// whose run-time brings its own operator new where Clang links it statically.
namespace {
std::atomic<long> g_allocations_before_failure{-1};
}  // namespace

#if !NOVEX_TSAN
void* operator new(size_t size) {
    if (g_allocations_before_failure.load(std::memory_order_relaxed) >= 0 &&
        g_allocations_before_failure.fetch_sub(1) == 0)
        throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// Arrays too (the text's room), which a sanitizer's run-time would take otherwise.
void* operator new[](size_t size) { return operator new(size); }
// The replacement pair allocates with malloc, so free is its match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop
#endif

namespace {

using namespace render_test;
using boost::posix_time::seconds;

// ThreadSanitizer and an emulator (the mipsel build under qemu) run these
// single-threaded tests tens of times slower, and have nothing more to find in them than
// a native run: there they take a tenth of the rounds.
const int kShare = NOVEX_TSAN || std::getenv("NOVEX_TEST_EMULATOR") ? 10 : 1;

// A device showing its text and one showing its tree, given the same rounds.
struct TextAndTree {
    DocumentUPS text_ups, tree_ups;
    ptime time = BaseTime();

    // Completes a round of `data` on both and says where their texts first differ.
    ::testing::AssertionResult Agree(const NovexUPS_Data_t& data) {
        time += seconds(1);
        text_ups.Complete(data, time);
        tree_ups.Complete(data, time);
        const std::string expected = Json::FastWriter().write(*tree_ups.Pointer());
        const std::string actual = text_ups.Text();
        if (expected == actual) return ::testing::AssertionSuccess();
        size_t at = 0;
        while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
        const size_t from = at < 60 ? 0 : at - 60;
        return ::testing::AssertionFailure()
               << "differ at byte " << at << ":\n  writer: " << expected.substr(from, 120)
               << "\n  slots:  " << actual.substr(from, 120);
    }
};

TEST(DocumentText, EqualsTheWriterOnRandomRecords) {
    TextAndTree devices;
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(2000 / kShare); ++seed) {
        NovexUPS_Data_t data = RandomRecord(seed);
        // Narrow the coils now and then, so that their valid states show too.
        if (seed % 2)
            for (auto& b : data.bits_1_31) b &= 3;
        if (seed % 3 == 0)
            for (auto& b : data.bits_65_97) b &= 1;
        ASSERT_TRUE(devices.Agree(data)) << "seed " << seed;
    }
}

// From round to round a random number of random bytes change, few most of the time.
TEST(DocumentText, FollowsRoundsInWhichRandomBytesChange) {
    TextAndTree devices;
    std::mt19937 random(20240305);
    const int changed_bytes[] = {0, 1, 1, 2, 3, 8, 20, 40, 200, 853};
    NovexUPS_Data_t data = RandomRecord(1);
    auto* bytes = reinterpret_cast<unsigned char*>(&data);
    for (int round = 0; round < 1500 / kShare; ++round) {
        const int count = changed_bytes[random() % (sizeof changed_bytes / sizeof(int))];
        for (int i = 0; i < count; ++i) bytes[random() % sizeof data] = random() & 0xFF;
        if (round % 5 == 0) data.bits_1_31[random() % 31] = random() & 3;
        ASSERT_TRUE(devices.Agree(data)) << "round " << round << ", " << count << " bytes";
    }
}

// Few values change from round to round, so the text is spliced: values that grow
// and shrink in width side by side, near the start and near the end of the text, a
// module's registers all going and coming back, and 803 on the text's device half way
// (its 801 writes the tree from then on).
TEST(DocumentText, SplicesFewChangesOfEveryWidth) {
    TextAndTree devices;
    std::mt19937 random(7);
    NovexUPS_Data_t data = RandomRecord(3);
    const NovexUPS_Data_t full = data;
    const uint16_t kValues[] = {0, 9, 65535, 100, 12345, 1};
    const auto any_value = [&] { return kValues[random() % (sizeof kValues / sizeof kValues[0])]; };
    for (int round = 0; round < 600 / kShare; ++round) {
        const size_t first = random() % 40;
        for (size_t i = 0, count = 1 + random() % 3; i < count; ++i)
            data.regs_1_40[(first + i) % 40] = any_value();
        data.battery_regs[random() % (kRecordCells * 4)] = any_value();
        if (round % 50 == 25)
            std::memset(data.module_regs[random() % kRecordModules], 0, sizeof data.module_regs[0]);
        if (round % 50 == 0) std::memcpy(data.module_regs, full.module_regs, sizeof data.module_regs);
        if (round == 300 / kShare) devices.text_ups.Pointer();
        ASSERT_TRUE(devices.Agree(data)) << "round " << round;
    }
}

// Devices splice into rooms they share: each keeps the room it wrote and gives back
// the one it left. Two devices in turns, one round each, their values changing apart
// (a few registers, or only the time, which keeps its length and is written in place).
TEST(DocumentText, DevicesSplicingInTurnsKeepTheirOwnTexts) {
    TextAndTree devices[2];
    std::mt19937 random(11);
    NovexUPS_Data_t data[2] = {RandomRecord(5), RandomRecord(6)};
    for (int round = 0; round < 400 / kShare; ++round) {
        for (int d = 0; d < 2; ++d) {
            auto* bytes = reinterpret_cast<unsigned char*>(&data[d].regs_1_40);
            if (random() % 3 != 0)
                for (int i = 0, count = 1 + static_cast<int>(random() % 4); i < count; ++i)
                    bytes[random() % sizeof data[d].regs_1_40] = random() & 0xFF;
            ASSERT_TRUE(devices[d].Agree(data[d])) << "round " << round << ", device " << d;
        }
    }
}

// Whichever allocation fails, the command answers -1 with length 0 (never a size to
// retry with), and the next 801 gives the whole text of the round: a rebuild cut
// short is completed. Columns: the command that fails, what the device did before
// (nothing: a new device each time, whose first text fails; 803 once; or 801 on a new
// device each time: the switch to the tree fails), step through the allocations of
// one command. (An 801 after the first formats and splices without allocating.)
TEST(DocumentText, AFailedRebuildAnswersNothingAndIsCompletedNext) {
    if (NOVEX_TSAN) GTEST_SKIP() << "allocations cannot be made to fail under ThreadSanitizer";
    TextAndTree reference;  // derives the template, which is shared
    const NovexUPS_Data_t records[] = {RandomRecord(11), RandomRecord(12)};
    std::string expected[2];
    for (int r = 0; r < 2; ++r) {
        ASSERT_TRUE(reference.Agree(records[r]));
        expected[r] = reference.text_ups.Text();
    }
    enum Before { kNothing, kPointerOnce, kTextOnANewDevice };
    const struct {
        int code;
        Before before;
        long step;
    } cases[] = {{801, kNothing, 1},
                 {801, kPointerOnce, 53 * kShare},
                 {803, kTextOnANewDevice, 53 * kShare}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        auto ups = std::make_unique<DocumentUPS>();
        if (c.before == kPointerOnce) ups->Pointer();
        int failures = 0;
        std::vector<char> out(1 << 20);
        for (long n = 0, round = 0;; n += c.step, ++round) {
            if (c.before != kPointerOnce) ups = std::make_unique<DocumentUPS>();
            if (c.before == kTextOnANewDevice) {
                ups->Complete(records[1 - round % 2], BaseTime());
                ups->Text();
            }
            ups->Complete(records[round % 2], BaseTime() + seconds(round + 1));
            int length = 12345;
            g_allocations_before_failure = n;
            const int result = ups->DeviceIoControl(c.code, nullptr, 0, out.data(),
                                                    static_cast<int>(out.size()), length);
            if (g_allocations_before_failure.exchange(-1) >= 0) break;  // nothing failed
            ++failures;
            EXPECT_EQ(-1, result) << n;
            EXPECT_EQ(0, length) << n;
            EXPECT_EQ(expected[round % 2], ups->Text()) << n;
        }
        EXPECT_GT(failures, 3);
    }
}

}  // namespace
