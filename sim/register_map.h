// The simulated UPS's data: which Modbus addresses exist, the values a scenario
// starts from and how they move from one poll round to the next.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "registers/ups_registers.h"

namespace novexsim {

enum class Table { kCoils, kInputRegisters };

// One past the highest address of each table; arrays are indexed by address.
constexpr int kCoilLimit =
    static_cast<int>(novex::registers::AddressLimit(novex::registers::kCoils));
constexpr int kRegisterLimit =
    static_cast<int>(novex::registers::AddressLimit(novex::registers::kInputs));

// True when every address first..first+count-1 exists in the table: the addresses of
// the plug-in's poll round (registers/ups_registers.h).
bool RangeMapped(Table table, int first, int count);
inline bool IsMapped(Table table, int address) { return RangeMapped(table, address, 1); }
// "1..31, 65..97" and the like, for error messages.
std::string DescribeMap(Table table);

// A value added to one address at the start of every round but the first.
struct RoundDelta {
    Table table;
    int address;
    int delta;
};

// While `watch` reads below `below`, coil `coil` is set and `mask` is ORed into
// register `flag_register`; otherwise both are cleared. Built-in scenarios use it
// for alarms that follow a falling measurement.
struct Condition {
    int watch;
    int below;
    int coil;
    int flag_register;
    uint16_t mask;
};

// A turn of events: from round `round` on the UPS serves `coils` and `registers`, but
// for the `carried` registers, which go on from where they were (a battery's charge
// does not jump when mains fails), and `per_round` replaces the changes per round.
struct Stage {
    int round;
    std::array<uint16_t, kCoilLimit> coils{};
    std::array<uint16_t, kRegisterLimit> registers{};
    std::vector<int> carried;
    std::vector<RoundDelta> per_round;
};

struct Scenario {
    std::string name;
    std::array<uint16_t, kCoilLimit> coils{};
    std::array<uint16_t, kRegisterLimit> registers{};
    std::vector<RoundDelta> per_round;
    std::vector<Condition> conditions;
    std::vector<Stage> stages;  // by rising round, each after round 1

    uint16_t& value(Table table, int address) {
        const size_t i = static_cast<size_t>(address);
        return table == Table::kCoils ? coils[i] : registers[i];
    }
};

// The built-in scenarios: "normal", "on-battery", "module-fault", "outage".
const std::vector<std::string>& BuiltinScenarioNames();
// False when `name` is not a built-in scenario.
bool BuiltinScenario(const std::string& name, Scenario& out);

// Reads a scenario file (format in scenario_file.cpp). On failure returns false and
// sets `error` to one line naming the problem.
bool LoadScenarioFile(const std::string& path, Scenario& out, std::string& error);
// The same from text; `origin` names the source in messages.
bool ParseScenario(const std::string& text, const std::string& origin, Scenario& out,
                   std::string& error);

// The live values served, rounds counted from the first read of coil 1.
class UpsState {
public:
    explicit UpsState(Scenario scenario);

    // Called when a read of coil 1 arrives: round 1 serves the scenario's values,
    // every later round first adds the per-round deltas, or enters the stage that
    // begins with it.
    void BeginRound();
    int round() const { return round_; }

    uint16_t coil(int address) const { return values_.coils[static_cast<size_t>(address)]; }
    uint16_t input_register(int address) const {
        return values_.registers[static_cast<size_t>(address)];
    }
    const std::string& name() const { return values_.name; }

private:
    void ApplyConditions();

    Scenario values_;
    int round_ = 0;
};

}  // namespace novexsim
