// The address map of the UPS and the round-by-round evolution of its values.
#include "sim/register_map.h"

#include <algorithm>
#include <utility>

namespace novexsim {
namespace {

// The address ranges the UPS answers, inclusive. Columns: table, first address,
// last address. Everything between them is a hole the device rejects, which is what
// lets a client's off-by-one show up as an exception instead of silent zeros.
struct MappedRange {
    Table table;
    int first;
    int last;
};

constexpr Table kC = Table::kCoils;
constexpr Table kR = Table::kInputRegisters;

const MappedRange kMappedRanges[] = {
    {kC, 1, 31},    {kC, 65, 97},
    {kR, 1, 40},    {kR, 61, 68},   {kR, 81, 91},
    {kR, 100, 120}, {kR, 150, 170}, {kR, 200, 220}, {kR, 250, 270}, {kR, 300, 320},
    {kR, 350, 370}, {kR, 400, 420}, {kR, 450, 470}, {kR, 500, 520}, {kR, 550, 570},
    {kR, 2000, 2119},
};

}  // namespace

bool RangeMapped(Table table, int first, int count) {
    if (count < 1) return false;
    const long last = static_cast<long>(first) + count - 1;
    for (const MappedRange& r : kMappedRanges)
        if (r.table == table && first >= r.first && last <= r.last) return true;
    return false;
}

std::string DescribeMap(Table table) {
    std::string out;
    for (const MappedRange& r : kMappedRanges) {
        if (r.table != table) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(r.first) + ".." + std::to_string(r.last);
    }
    return out;
}

UpsState::UpsState(Scenario scenario) : values_(std::move(scenario)) { ApplyConditions(); }

void UpsState::BeginRound() {
    ++round_;
    if (round_ == 1) return;
    for (const Stage& stage : values_.stages) {
        if (stage.round != round_) continue;
        std::array<uint16_t, kRegisterLimit> registers = stage.registers;
        for (const int address : stage.carried)
            registers[static_cast<size_t>(address)] = values_.registers[static_cast<size_t>(address)];
        values_.coils = stage.coils;
        values_.registers = registers;
        values_.per_round = stage.per_round;
        ApplyConditions();
        return;
    }
    for (const RoundDelta& d : values_.per_round) {
        const bool coil = d.table == Table::kCoils;
        uint16_t& v = values_.value(d.table, d.address);
        const long top = coil ? 1 : 65535;
        v = static_cast<uint16_t>(std::clamp(static_cast<long>(v) + d.delta, 0L, top));
    }
    ApplyConditions();
}

void UpsState::ApplyConditions() {
    for (const Condition& c : values_.conditions) {
        const bool active = values_.registers[static_cast<size_t>(c.watch)] < c.below;
        values_.coils[static_cast<size_t>(c.coil)] = active ? 1 : 0;
        uint16_t& flags = values_.registers[static_cast<size_t>(c.flag_register)];
        flags = static_cast<uint16_t>(active ? (flags | c.mask) : (flags & ~c.mask));
    }
}

}  // namespace novexsim
