#include "mbserver/responder.h"

#include <algorithm>
#include <cstring>

#include "monitor/alarms.h"
#include "mbserver/register_map.h"

namespace novex {
namespace mbserver {

namespace {

constexpr uint16_t kMaxBits = 2000;
constexpr uint16_t kMaxRegisters = 125;
constexpr size_t kRecordBytes = 853;

std::string Refuse(uint8_t function, uint8_t code) {
    return std::string{static_cast<char>(function | 0x80), static_cast<char>(code)};
}

void PutWord(std::string& out, uint16_t value) {
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
}

bool InStatusBlock(uint32_t first, uint32_t count) {
    return first >= kStatusFirst && first + count <= kStatusFirst + kStatusCount;
}

bool TouchesStatusBlock(uint32_t first, uint32_t count) {
    return first < kStatusFirst + kStatusCount && first + count > kStatusFirst;
}

// Every address of the range is read by a round.
bool AllPolled(bool bits, uint32_t first, uint32_t count) {
    for (uint32_t a = first; a < first + count; ++a)
        if (RecordOffset(bits, a) < 0) return false;
    return true;
}

std::string Bits(const monitor::DeviceSnapshot& unit, uint8_t function, uint32_t first,
                 uint32_t count) {
    std::string out(2 + (count + 7) / 8, '\0');
    out[0] = static_cast<char>(function);
    out[1] = static_cast<char>((count + 7) / 8);
    for (uint32_t i = 0; i < count; ++i)
        if (unit.record[static_cast<size_t>(RecordOffset(true, first + i))] != 0)
            out[2 + i / 8] = static_cast<char>(out[2 + i / 8] | (1 << (i % 8)));
    return out;
}

std::string Registers(const monitor::DeviceSnapshot& unit, uint8_t function, uint32_t first,
                      uint32_t count) {
    std::string out{static_cast<char>(function), static_cast<char>(count * 2)};
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t value;
        std::memcpy(&value, unit.record.data() + RecordOffset(false, first + i), sizeof value);
        PutWord(out, value);
    }
    return out;
}

std::string Status(const monitor::DeviceSnapshot& unit, uint8_t function, uint32_t first,
                   uint32_t count, int64_t now_utc) {
    uint16_t values[kStatusCount];
    StatusValues(unit, now_utc, values);
    std::string out{static_cast<char>(function), static_cast<char>(count * 2)};
    for (uint32_t i = 0; i < count; ++i) PutWord(out, values[first - kStatusFirst + i]);
    return out;
}

}  // namespace

bool Fresh(const monitor::DeviceSnapshot& unit) {
    return unit.rounds_completed > 0 && unit.communication == monitor::Communication::kOk &&
           unit.record.size() == kRecordBytes;
}

void StatusValues(const monitor::DeviceSnapshot& unit, int64_t now_utc, uint16_t* out) {
    const int64_t age = unit.rounds_completed == 0 ? 65535 : std::clamp<int64_t>(now_utc - unit.last_round_utc, 0, 65535);
    out[0] = static_cast<uint16_t>(age);
    out[1] = unit.rounds_completed == 0 ? kNoRoundYet
             : unit.communication == monitor::Communication::kLost ? kCommunicationLost
                                                                    : kCommunicationOk;
    const uint32_t rounds = static_cast<uint32_t>(std::min<uint64_t>(unit.rounds_completed, 0xFFFFFFFFu));
    out[2] = static_cast<uint16_t>(rounds >> 16);
    out[3] = static_cast<uint16_t>(rounds & 0xFFFF);
    static const size_t on_battery = monitor::FindAlarm("run_state.on_battery");
    static const size_t low_battery = monitor::FindAlarm("battery_voltage_low");
    out[4] = out[5] = out[6] = 0;
    for (monitor::AlarmIndex a : unit.active_alarms) {
        if (a == on_battery) out[4] = 1;
        if (a == low_battery) out[5] = 1;
        // Severity counts down from critical: 3 - its order is the register's scale.
        const uint16_t level = static_cast<uint16_t>(3 - static_cast<int>(monitor::Alarms()[a].severity));
        out[6] = std::max(out[6], level);
    }
    out[7] = static_cast<uint16_t>(std::min<size_t>(unit.active_alarms.size(), 65535));
}

std::string Answer(const monitor::DeviceSnapshot* unit, const uint8_t* pdu, size_t size,
                   int64_t now_utc) {
    const uint8_t function = size > 0 ? pdu[0] : 0;
    if (unit == nullptr) return Refuse(function, kTargetFailed);
    const bool bits = ReadsBits(function);
    const bool status_function = function == kReadHoldingRegisters || function == kReadInputRegisters;
    if (!bits && !status_function) return Refuse(function, kIllegalFunction);
    if (size != 5) return Refuse(function, kIllegalValue);
    const uint32_t first = static_cast<uint32_t>(pdu[1] << 8 | pdu[2]);
    const uint32_t count = static_cast<uint32_t>(pdu[3] << 8 | pdu[4]);
    if (count == 0 || count > (bits ? kMaxBits : kMaxRegisters)) return Refuse(function, kIllegalValue);
    if (!bits && InStatusBlock(first, count)) return Status(*unit, function, first, count, now_utc);
    if (!bits && TouchesStatusBlock(first, count)) return Refuse(function, kIllegalAddress);
    if (function == kReadHoldingRegisters) return Refuse(function, kIllegalFunction);
    if (!AllPolled(bits, first, count)) return Refuse(function, kIllegalAddress);
    if (!Fresh(*unit)) return Refuse(function, kTargetFailed);
    return bits ? Bits(*unit, function, first, count) : Registers(*unit, function, first, count);
}

}  // namespace mbserver
}  // namespace novex
