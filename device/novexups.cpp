// Construction, configuration, value queries, the poll cycle and the alarm rules.
#include "device/novexups.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "registers/ups_registers.h"
#include "rules/alarm_rules.h"

NovexUPS::NovexUPS() : command_status(-1) {
    device_type = "novexups";
    port_speed = 9600;
    modbus_option = 1;
}

NovexUPS::~NovexUPS() = default;

double NovexUPS::Get_Value(unsigned int, const std::string&) const {
    if (!data_ready) throw std::out_of_range("数据未就绪");
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    // A round time that is not a date cannot be fresh.
    if (round_time.is_special()) throw std::out_of_range("数据已超时");
    const int64_t age = static_cast<int64_t>((now - round_time).total_seconds());
    if (age > 60) throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}

namespace {

// One poll round: one step per block of the register description, steps 11..30.
// Each response is copied into the record where its block goes, whatever its kind
// or length: the step alone decides what a response is. After the last block the
// round is complete.
namespace regs = novex::registers;

constexpr int kFirstStep = 11;
constexpr int kLastStep = kFirstStep + static_cast<int>(regs::kBlockCount) - 1;
static_assert(kLastStep == 30, "steps 11..30");

void SendRequest(SPModbus& device, const regs::Block& block) {
    if (block.function == regs::kCoils)
        device.modbus_read_bits(block.first, block.count);
    else
        device.modbus_read_input_registers(block.first, block.count);
}

}  // namespace

int NovexUPS::RefreshStatus() {
    VimoSPDevice::RefreshStatus();
    poll_step = kFirstStep;
    SendRequest(*this, regs::kBlocks[0]);
    return 1;
}

int NovexUPS::process_payload(SPModbus::tab_type, unsigned int) {
    if (poll_step < kFirstStep || poll_step > kLastStep) return 1;
    const size_t index = static_cast<size_t>(poll_step - kFirstStep);
    const regs::Block& block = regs::kBlocks[index];
    const unsigned char* from = block.function == regs::kCoils
                                    ? bit_table
                                    : reinterpret_cast<const unsigned char*>(register_table);
    std::memcpy(RecordBytes() + block.record_offset, from, block.bytes());
    if (index + 1 == regs::kBlockCount) {
        RoundDone();
        return 0;
    }
    ++poll_step;
    SendRequest(*this, regs::kBlocks[index + 1]);
    return 1;
}

void NovexUPS::RunCheckThreshold() {
    if (b_mode == 1 || b_mode == 2) return;
    novex::ReportAlarmRules(*this, record.bits_65_97);
}
