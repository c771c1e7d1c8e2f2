// What the Modbus server answers, by address: the UPS's own blocks that a poll round
// reads (from the register description, registers/ups_registers.h, so the server
// serves exactly what the record holds) and the server's status block per unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace novex {
namespace mbserver {

// Modbus function codes the server knows by name.
enum Function : uint8_t {
    kReadCoils = 0x01,
    kReadDiscreteInputs = 0x02,
    kReadHoldingRegisters = 0x03,
    kReadInputRegisters = 0x04,
};

// Exception codes.
enum Exception : uint8_t {
    kIllegalFunction = 0x01,
    kIllegalAddress = 0x02,
    kIllegalValue = 0x03,
    kTargetFailed = 0x0B,  // gateway target device failed to respond
};

// One block a round reads. Columns: whether it holds bits (one record byte each) or
// registers (two record bytes each, native order); first address; count; record offset.
struct ServedBlock {
    bool bits;
    uint16_t first;
    uint16_t count;
    size_t record_offset;
};

// The round's blocks, in poll order.
const std::vector<ServedBlock>& ServedBlocks();

// The function codes that read a block: bits answer 01 and 02 alike, registers 04,
// as the UPS does.
bool ReadsBits(uint8_t function);
bool ReadsRegisters(uint8_t function);

// Where address `address` of the bits (or registers) lies in the record; -1 when no
// round reads it.
long RecordOffset(bool bits, uint32_t address);

// The status block: input (and holding) registers from kStatusFirst, per unit.
// Columns: offset from kStatusFirst, name, meaning.
struct StatusRegister {
    uint16_t offset;
    const char* name;
    const char* meaning;
};
constexpr uint16_t kStatusFirst = 9000;
constexpr size_t kStatusCount = 8;
extern const StatusRegister kStatusRegisters[kStatusCount];

// Values of the status block's communication register.
enum StatusCommunication : uint16_t { kNoRoundYet = 0, kCommunicationOk = 1, kCommunicationLost = 2 };

}  // namespace mbserver
}  // namespace novex
