// Request handling for the three read functions the UPS implements.
#include "sim/modbus_pdu.h"

namespace novexsim {
namespace {

// The read functions. Columns: function code, table read, most items one request
// may ask for (the protocol's own limits).
struct ReadFunction {
    uint8_t code;
    Table table;
    int max_count;
};
const ReadFunction kReadFunctions[] = {
    {kReadCoils, Table::kCoils, 2000},
    {kReadDiscreteInputs, Table::kCoils, 2000},
    {kReadInputRegisters, Table::kInputRegisters, 125},
};

// A round begins with the read of its first block's first coil and ends with the read
// of its last block's last register.
namespace regs = novex::registers;
constexpr int kFirstRoundCoil = regs::kBlocks[0].first;
constexpr int kLastRoundRegister = static_cast<int>(regs::kBlocks[regs::kBlockCount - 1].last());
static_assert(regs::kBlocks[0].function == regs::kCoils, "a round begins with coils");

}  // namespace

std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code) {
    return {static_cast<uint8_t>(function | 0x80), code};
}

Answer AnswerRequest(UpsState& state, const uint8_t* pdu, size_t length) {
    Answer answer;
    if (length < 1) return answer;
    const uint8_t function = pdu[0];
    const ReadFunction* read = nullptr;
    for (const ReadFunction& f : kReadFunctions)
        if (f.code == function) read = &f;
    if (read == nullptr) {
        answer.pdu = ExceptionPdu(function, kIllegalFunction);
        return answer;
    }
    if (length != 5) {
        answer.pdu = ExceptionPdu(function, kIllegalDataValue);
        return answer;
    }
    const int first = pdu[1] << 8 | pdu[2];
    const int count = pdu[3] << 8 | pdu[4];
    if (count < 1 || count > read->max_count) {
        answer.pdu = ExceptionPdu(function, kIllegalDataValue);
        return answer;
    }
    if (!RangeMapped(read->table, first, count)) {
        answer.pdu = ExceptionPdu(function, kIllegalDataAddress);
        return answer;
    }

    const int last = first + count - 1;
    answer.pdu.push_back(function);
    if (read->table == Table::kCoils) {
        answer.begins_round = first <= kFirstRoundCoil && last >= kFirstRoundCoil;
        if (answer.begins_round) state.BeginRound();
        const size_t bytes = static_cast<size_t>(count + 7) / 8;
        answer.pdu.push_back(static_cast<uint8_t>(bytes));
        answer.pdu.resize(2 + bytes, 0);
        for (int i = 0; i < count; ++i)
            if (state.coil(first + i) != 0)
                answer.pdu[2 + static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1 << (i % 8));
    } else {
        answer.ends_round = first <= kLastRoundRegister && last >= kLastRoundRegister;
        answer.pdu.push_back(static_cast<uint8_t>(2 * count));
        for (int i = 0; i < count; ++i) {
            const uint16_t v = state.input_register(first + i);
            answer.pdu.push_back(static_cast<uint8_t>(v >> 8));
            answer.pdu.push_back(static_cast<uint8_t>(v & 0xFF));
        }
    }
    return answer;
}

uint16_t Crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> RtuFrame(uint8_t slave, const std::vector<uint8_t>& pdu) {
    std::vector<uint8_t> frame;
    frame.reserve(pdu.size() + 3);
    frame.push_back(slave);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));  // the CRC goes low byte first
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

std::vector<uint8_t> TcpFrame(const uint8_t* request_mbap, const std::vector<uint8_t>& pdu) {
    const size_t length = pdu.size() + 1;  // unit identifier + PDU
    std::vector<uint8_t> frame(request_mbap, request_mbap + kMbapBytes);
    frame[2] = 0;  // protocol identifier: Modbus
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length & 0xFF);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

}  // namespace novexsim
