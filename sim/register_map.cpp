// The address map of the UPS and the round-by-round evolution of its values.
#include "sim/register_map.h"

#include <algorithm>
#include <string>
#include <utility>

namespace novexsim {
namespace {

namespace regs = novex::registers;

// The UPS answers exactly the addresses of the plug-in's poll round, where adjacent
// blocks make one range (registers 81..91). Everything between them is a hole the
// device rejects, which is what lets a client's off-by-one show up as an exception
// instead of silent zeros.
regs::Function FunctionOf(Table table) {
    return table == Table::kCoils ? regs::kCoils : regs::kInputs;
}

}  // namespace

bool RangeMapped(Table table, int first, int count) {
    if (first < 0 || count < 1) return false;
    const regs::Function function = FunctionOf(table);
    const long last = static_cast<long>(first) + count - 1;
    long at = first;
    while (at <= last) {
        const regs::Block* block = regs::FindBlock(function, static_cast<unsigned>(at), 1);
        if (block == nullptr) return false;
        at = static_cast<long>(block->last()) + 1;
    }
    return true;
}

std::string DescribeMap(Table table) {
    const regs::Function function = FunctionOf(table);
    std::string out;
    long open_first = -1;
    long open_last = -2;
    auto close = [&] {
        if (open_first < 0) return;
        if (!out.empty()) out += ", ";
        out += std::to_string(open_first) + ".." + std::to_string(open_last);
    };
    for (const regs::Block& b : regs::kBlocks) {
        if (b.function != function) continue;
        if (b.first != open_last + 1) {
            close();
            open_first = b.first;
        }
        open_last = b.last();
    }
    close();
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
