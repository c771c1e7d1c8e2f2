// The poll cycle as the controller drives it: requests out, scripted responses in.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake_host.h"
#include "device/novexups.h"
#include "registers/ups_registers.h"

namespace {

namespace regs = novex::registers;

// The requests of one round, in order, as the host sees them: the blocks of the
// register description.
std::vector<std::string> RoundTrace() {
    std::vector<std::string> trace;
    for (const regs::Block& b : regs::kBlocks)
        trace.push_back((b.function == regs::kCoils ? "ReadBits " : "ReadInputRegisters ") +
                        std::to_string(b.first) + " " + std::to_string(b.count));
    return trace;
}

uint16_t RegisterAt(const NovexUPS& ups, size_t offset) {
    uint16_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&ups.record) + offset, sizeof v);
    return v;
}

struct Poll : ::testing::Test {
    FakeHost host;
    NovexUPS ups;
    void SetUp() override {
        ups.AttachHost(&host);
        ups.b_mode = 0;
    }

    // Answers the device's last request as a UPS whose register r holds r (plus
    // `bias`) and whose coil c is set when c is odd. Returns process()'s result.
    int Answer(uint16_t bias = 0) {
        const SPModbus::Request& req = ups.last_request;
        if (req.table == SPModbus::BITS) {
            std::vector<unsigned char> bits(static_cast<size_t>(req.count));
            for (int i = 0; i < req.count; ++i) bits[static_cast<size_t>(i)] = (req.first + i) % 2;
            return ups.process(bits.data(), static_cast<unsigned>(bits.size()));
        }
        std::vector<uint16_t> regs(static_cast<size_t>(req.count));
        for (int i = 0; i < req.count; ++i)
            regs[static_cast<size_t>(i)] = static_cast<uint16_t>(req.first + i + bias);
        return ups.process(reinterpret_cast<unsigned char*>(regs.data()),
                           static_cast<unsigned>(regs.size() * 2));
    }

    std::vector<int> RunRound(uint16_t bias = 0) {
        std::vector<int> results;
        EXPECT_EQ(1, ups.RefreshStatus());
        for (int i = 0; i < 20; ++i) results.push_back(Answer(bias));
        return results;
    }
};

TEST_F(Poll, ARoundIsTwentyRequestsInOrder) {
    const std::vector<int> results = RunRound();
    const std::vector<std::string> requests = host.Lines("Read");
    EXPECT_EQ(RoundTrace(), requests);
    EXPECT_EQ("ReadBits 1 31", requests.front());
    EXPECT_EQ("ReadInputRegisters 2000 120", requests.back());
    EXPECT_EQ(std::vector<int>(19, 1), std::vector<int>(results.begin(), results.end() - 1));
    EXPECT_EQ(0, results.back());
    EXPECT_EQ(1u, host.Lines("SendSP").size());
    EXPECT_EQ(30, ups.poll_step);
}

TEST_F(Poll, EveryResponseLandsInItsPlace) {
    RunRound();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&ups.record);
    for (int coil = 1; coil <= 31; ++coil) EXPECT_EQ(coil % 2, bytes[4 + coil - 1]) << coil;
    for (int coil = 65; coil <= 97; ++coil) EXPECT_EQ(coil % 2, bytes[35 + coil - 65]) << coil;
    // Register r was answered with the value r: each offset names its register.
    size_t covered = 0;
    for (const regs::Block& b : regs::kBlocks) {
        if (b.function == regs::kCoils) continue;
        for (int i = 0; i < b.count; ++i)
            EXPECT_EQ(b.first + i, RegisterAt(ups, b.record_offset + 2 * static_cast<size_t>(i)))
                << "register " << b.first + i;
        covered += b.bytes();
    }
    EXPECT_EQ(846u - 68u, covered);  // offsets 68..845, with the bits 4..67 before them
}

TEST_F(Poll, ResponsesOutsideTheRoundChangeNothing) {
    for (int step : {310, 320, 0, 31, 10, -1}) {
        ups.poll_step = step;
        std::memset(ups.bit_table, 1, sizeof ups.bit_table);
        EXPECT_EQ(1, ups.process_payload(SPModbus::BITS, 31)) << step;
        EXPECT_EQ(1, ups.process(nullptr, 0)) << step;
        EXPECT_EQ(step, ups.poll_step);
    }
    const NovexUPS_Data_t zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &ups.record, sizeof zero));
    EXPECT_TRUE(host.log.empty());
}

TEST_F(Poll, TheStepAloneDecidesWhatAResponseIs) {
    ups.RefreshStatus();
    Answer();  // step 11
    ASSERT_EQ(12, ups.poll_step);
    // A response of the wrong kind and length is still read as the 33 alarm bits.
    std::memset(ups.bit_table, 7, sizeof ups.bit_table);
    EXPECT_EQ(1, ups.process_payload(SPModbus::INPUT_REGISTERS, 2));
    for (uint8_t b : ups.record.bits_65_97) EXPECT_EQ(7, b);
    EXPECT_EQ(13, ups.poll_step);
    EXPECT_EQ("ReadInputRegisters 1 40", host.log.back());
}

TEST_F(Poll, AFailedExchangeStopsTheRoundWhereItStands) {
    RunRound();  // a completed round to compare against
    const boost::posix_time::ptime round_time = ups.round_time;
    const ttime_t stamp = ups.record.update_time;
    host.log.clear();

    ups.RefreshStatus();
    for (int i = 0; i < 5; ++i) Answer(1000);  // steps 11..15
    ASSERT_EQ(16, ups.poll_step);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, ups.on_error());
    EXPECT_EQ("SPModbus get error\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(16, ups.poll_step);
    EXPECT_EQ(round_time, ups.round_time);
    EXPECT_EQ(0, std::memcmp(&stamp, &ups.record.update_time, sizeof stamp));
    EXPECT_TRUE(host.Lines("SendSP").empty());
    // Blocks polled before the failure hold the new values, later ones the old.
    EXPECT_EQ(1000 + 1, RegisterAt(ups, 68));
    EXPECT_EQ(82, RegisterAt(ups, 166));

    host.log.clear();
    ups.RefreshStatus();
    EXPECT_EQ(11, ups.poll_step);
    EXPECT_EQ(std::vector<std::string>({"RefreshStatus", "ReadBits 1 31"}), host.log);
}

TEST_F(Poll, RepeatingTheLastStepCompletesAnotherRound) {
    RunRound();
    ASSERT_EQ(30, ups.poll_step);
    EXPECT_EQ(0, Answer(7));
    EXPECT_EQ(2000 + 7, RegisterAt(ups, 606));
    EXPECT_EQ(2u, host.Lines("SendSP").size());
    EXPECT_EQ(2u, host.Lines("SaveDeviceHistory").size());
}

TEST_F(Poll, ACommandHaltsTheRoundUntilTheNextRefresh) {
    ups.RefreshStatus();
    Answer();
    ups.poll_step = 310;  // as command 310 leaves it
    const size_t requests = host.Lines("Read").size();
    EXPECT_EQ(1, Answer());
    EXPECT_EQ(requests, host.Lines("Read").size());
    ups.RefreshStatus();
    EXPECT_EQ(11, ups.poll_step);
}

}  // namespace
