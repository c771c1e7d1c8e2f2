// The register description and its two readers that must agree: the plug-in's poll
// round as the simulator's map serves it, and the lookup from an address to the
// record that a server answering from a record uses.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/novexups.h"
#include "registers/ups_registers.h"
#include "sim/modbus_pdu.h"
#include "sim/register_map.h"
#include "tests/fake_host.h"

namespace {

namespace regs = novex::registers;

// Answers the plug-in's last request from the simulator, as the host would hand the
// response over: coils one byte each, registers as native words. Returns the PDU.
std::vector<uint8_t> Serve(novexsim::UpsState& sim, const SPModbus::Request& request,
                           std::vector<unsigned char>& payload) {
    const uint8_t function = request.table == SPModbus::BITS ? 1 : 4;
    const uint8_t pdu[] = {function, static_cast<uint8_t>(request.first >> 8),
                           static_cast<uint8_t>(request.first & 0xFF),
                           static_cast<uint8_t>(request.count >> 8),
                           static_cast<uint8_t>(request.count & 0xFF)};
    const novexsim::Answer answer = novexsim::AnswerRequest(sim, pdu, sizeof pdu);
    payload.clear();
    for (int i = 0; answer.pdu[0] == function && i < request.count; ++i) {
        const size_t at = 2 + static_cast<size_t>(function == 1 ? i / 8 : 2 * i);
        if (function == 1) {
            payload.push_back(static_cast<unsigned char>((answer.pdu[at] >> (i % 8)) & 1));
        } else {
            const uint16_t value = static_cast<uint16_t>(answer.pdu[at] << 8 | answer.pdu[at + 1]);
            payload.resize(payload.size() + 2);
            std::memcpy(&payload[payload.size() - 2], &value, sizeof value);
        }
    }
    return answer.pdu;
}

// A round of the plug-in against the simulator's map: every request is answered, and
// every byte of the record is the value the simulator holds at that address.
TEST(RegisterMap, ThePlugInsRoundIsWhatTheSimulatorServes) {
    novexsim::Scenario values;
    for (size_t a = 0; a < values.registers.size(); ++a)
        values.registers[a] = static_cast<uint16_t>(0x1000 + 7 * a);
    for (size_t a = 0; a < values.coils.size(); ++a) values.coils[a] = a % 3 == 0;
    novexsim::UpsState sim(values);

    FakeHost host;
    NovexUPS ups;
    ups.AttachHost(&host);
    ups.b_mode = 0;
    ASSERT_EQ(1, ups.RefreshStatus());
    std::vector<unsigned char> payload;
    int result = 1;
    for (size_t i = 0; i < regs::kBlockCount && result == 1; ++i) {
        const SPModbus::Request request = ups.last_request;
        const std::vector<uint8_t> pdu = Serve(sim, request, payload);
        ASSERT_EQ(request.table == SPModbus::BITS ? 1 : 4, pdu[0])
            << "refused: " << request.first << " " << request.count;
        result = ups.process(payload.data(), static_cast<unsigned>(payload.size()));
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ(regs::kBlockCount, host.Lines("Read").size());
    EXPECT_EQ(1, sim.round());

    const auto* record = reinterpret_cast<const unsigned char*>(&ups.record);
    for (const regs::Block& b : regs::kBlocks) {
        for (unsigned a = b.first; a <= b.last(); ++a) {
            const long at = regs::RecordOffset(b.function, a);
            ASSERT_GE(at, 0) << a;
            uint16_t value = record[at];
            if (b.function == regs::kInputs) std::memcpy(&value, record + at, sizeof value);
            const bool coil = b.function == regs::kCoils;
            const int i = static_cast<int>(a);
            EXPECT_EQ(coil ? sim.coil(i) : sim.input_register(i), value) << a;
        }
    }
}

// Where a request's values are in the record. Columns: function, first address,
// count, record offset of the first value (-1: no one block holds them all).
struct Lookup {
    regs::Function function;
    unsigned first;
    unsigned count;
    long offset;
};
const Lookup kLookups[] = {
    {regs::kCoils, 1, 31, 4},       {regs::kCoils, 31, 1, 34},     {regs::kCoils, 65, 33, 35},
    {regs::kCoils, 97, 1, 67},      {regs::kCoils, 31, 2, -1},     {regs::kCoils, 0, 1, -1},
    {regs::kCoils, 1, 0, -1},       {regs::kCoils, 40, 1, -1},     {regs::kInputs, 1, 40, 68},
    {regs::kInputs, 40, 1, 146},    {regs::kInputs, 65, 1, 156},   {regs::kInputs, 81, 1, 164},
    {regs::kInputs, 81, 2, -1},     {regs::kInputs, 86, 4, 174},   {regs::kInputs, 91, 1, 184},
    {regs::kInputs, 570, 1, 604},   {regs::kInputs, 571, 1, -1},   {regs::kInputs, 2119, 1, 844},
    {regs::kInputs, 2119, 2, -1},   {regs::kInputs, 5, 0xFFFFFFFFu, -1},
    {regs::kInputs, 0xFFFFFFFFu, 2, -1},
};

TEST(RegisterMap, FindsTheBlockAndTheRecordOffset) {
    for (const Lookup& l : kLookups) {
        const regs::Block* block = regs::FindBlock(l.function, l.first, l.count);
        EXPECT_EQ(l.offset >= 0, block != nullptr) << l.first << " " << l.count;
        const long offset = block != nullptr ? regs::RecordOffset(l.function, l.first) : -1;
        EXPECT_EQ(l.offset, offset) << l.first;
    }
}

}  // namespace
