// Answers to Modbus requests at the protocol-data-unit level, and the two framings
// (RTU: address + PDU + CRC; TCP: MBAP header + PDU) the transports put around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/register_map.h"

namespace novexsim {

constexpr uint8_t kReadCoils = 0x01;
constexpr uint8_t kReadDiscreteInputs = 0x02;
constexpr uint8_t kReadInputRegisters = 0x04;

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;
constexpr uint8_t kDeviceFailure = 0x04;

struct Answer {
    std::vector<uint8_t> pdu;   // function code first
    bool begins_round = false;  // a read of coil 1
    bool ends_round = false;    // a read reaching the last battery register, 2119
};

// Answers one request PDU (function code and data). A read of coil 1 starts a new
// round of `state` before the values are taken.
Answer AnswerRequest(UpsState& state, const uint8_t* pdu, size_t length);
std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code);

uint16_t Crc16(const uint8_t* data, size_t length);
std::vector<uint8_t> RtuFrame(uint8_t slave, const std::vector<uint8_t>& pdu);
// `request_mbap`: the 7-byte header of the request being answered.
std::vector<uint8_t> TcpFrame(const uint8_t* request_mbap, const std::vector<uint8_t>& pdu);
constexpr size_t kMbapBytes = 7;

}  // namespace novexsim
