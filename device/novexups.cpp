// Construction, configuration, value queries, the poll cycle and the alarm rules.
#include "device/novexups.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

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

// One poll round: twenty requests, one step each. Columns: the step whose response
// is awaited, the table the response is read from, its fixed size in bytes, where
// it goes in the record, and the request that follows it (count 0: the round is
// complete). Responses are copied whatever their kind or length: the step alone
// decides what a response is.
struct PollStep {
    int step;
    SPModbus::tab_type source;
    size_t bytes;
    size_t offset;
    SPModbus::tab_type next_table;
    int next_first;
    int next_count;
};

constexpr SPModbus::tab_type kBits = SPModbus::BITS;
constexpr SPModbus::tab_type kRegs = SPModbus::INPUT_REGISTERS;
namespace off = record_offset;

constexpr int kFirstStep = 11;
constexpr int kLastStep = 30;

const PollStep kPollSteps[] = {
    {11, kBits, 31, off::kBits1To31, kBits, 65, 33},
    {12, kBits, 33, off::kBits65To97, kRegs, 1, 40},
    {13, kRegs, 80, off::kRegs1To40, kRegs, 61, 8},
    {14, kRegs, 16, off::kRegs61To68, kRegs, 81, 1},
    {15, kRegs, 2, off::kReg81, kRegs, 82, 4},
    {16, kRegs, 8, off::kRegs82To85, kRegs, 86, 4},
    {17, kRegs, 8, off::kRegs86To89, kRegs, 90, 1},
    {18, kRegs, 2, off::kReg90, kRegs, 91, 1},
    {19, kRegs, 2, off::kReg91, kRegs, 100, 21},
    {20, kRegs, 42, off::kModuleRegs + 0 * 42, kRegs, 150, 21},
    {21, kRegs, 42, off::kModuleRegs + 1 * 42, kRegs, 200, 21},
    {22, kRegs, 42, off::kModuleRegs + 2 * 42, kRegs, 250, 21},
    {23, kRegs, 42, off::kModuleRegs + 3 * 42, kRegs, 300, 21},
    {24, kRegs, 42, off::kModuleRegs + 4 * 42, kRegs, 350, 21},
    {25, kRegs, 42, off::kModuleRegs + 5 * 42, kRegs, 400, 21},
    {26, kRegs, 42, off::kModuleRegs + 6 * 42, kRegs, 450, 21},
    {27, kRegs, 42, off::kModuleRegs + 7 * 42, kRegs, 500, 21},
    {28, kRegs, 42, off::kModuleRegs + 8 * 42, kRegs, 550, 21},
    {29, kRegs, 42, off::kModuleRegs + 9 * 42, kRegs, 2000, 120},
    {30, kRegs, 240, off::kBatteryRegs, kRegs, 0, 0},
};
static_assert(sizeof kPollSteps / sizeof kPollSteps[0] == kLastStep - kFirstStep + 1,
              "one row per step");

}  // namespace

int NovexUPS::RefreshStatus() {
    VimoSPDevice::RefreshStatus();
    poll_step = kFirstStep;
    modbus_read_bits(1, 31);
    return 1;
}

int NovexUPS::process_payload(SPModbus::tab_type, unsigned int) {
    if (poll_step < kFirstStep || poll_step > kLastStep) return 1;
    const PollStep& s = kPollSteps[poll_step - kFirstStep];
    const unsigned char* from = s.source == kBits
                                    ? bit_table
                                    : reinterpret_cast<const unsigned char*>(register_table);
    std::memcpy(RecordBytes() + s.offset, from, s.bytes);
    if (s.next_count == 0) {
        RoundDone();
        return 0;
    }
    poll_step = s.step + 1;
    if (s.next_table == kBits)
        modbus_read_bits(s.next_first, s.next_count);
    else
        modbus_read_input_registers(s.next_first, s.next_count);
    return 1;
}

void NovexUPS::RunCheckThreshold() {
    if (b_mode == 1 || b_mode == 2) return;
    novex::ReportAlarmRules(*this, record.bits_65_97);
}
