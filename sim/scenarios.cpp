// The built-in scenarios. Values are what the UPS puts on the wire: voltages and
// currents in tenths, frequencies in tenths of a hertz, power factors in hundredths,
// cell voltages in hundredths of a volt, flags as register bit patterns.
#include <cstddef>
#include <iterator>

#include "sim/register_map.h"

namespace novexsim {
namespace {

constexpr Table kC = Table::kCoils;
constexpr Table kR = Table::kInputRegisters;

// One fixed value. Columns: table, address, value.
struct Assignment {
    Table table;
    int address;
    uint16_t value;
};

// A unit on mains, inverter supplying a 30-40 % load, battery full and floating.
// Coil 3 is the maintenance bypass breaker (set = open); coils 18 and 19 together
// carry the inverter state 3, "supplying normally".
const Assignment kNormalUnit[] = {
    {kC, 3, 1},     {kC, 7, 1},     {kC, 11, 1},    {kC, 14, 1},    {kC, 16, 1},
    {kC, 17, 1},    {kC, 18, 1},    {kC, 19, 1},    {kC, 20, 1},
    {kR, 1, 2203},  {kR, 2, 2208},  {kR, 3, 2210},  {kR, 4, 500},   {kR, 5, 452},
    {kR, 6, 448},   {kR, 7, 460},   {kR, 8, 98},    {kR, 9, 97},    {kR, 10, 98},
    {kR, 11, 2200}, {kR, 12, 2201}, {kR, 13, 2203}, {kR, 14, 500},  {kR, 15, 380},
    {kR, 16, 372},  {kR, 17, 391},  {kR, 18, 812},  {kR, 19, 795},  {kR, 20, 834},
    {kR, 21, 35},   {kR, 22, 34},   {kR, 23, 36},   {kR, 24, 141},  {kR, 25, 140},
    {kR, 26, 142},  {kR, 27, 2205}, {kR, 28, 2200}, {kR, 29, 2207}, {kR, 30, 500},
    {kR, 31, 2025}, {kR, 32, 2025}, {kR, 35, 12},   {kR, 36, 11},   {kR, 37, 100},
    {kR, 38, 45},   {kR, 39, 250},  {kR, 40, 240},
    {kR, 61, 1},    {kR, 62, 1},    {kR, 63, 8360}, {kR, 64, 8184}, {kR, 65, 8602},
    {kR, 66, 8120}, {kR, 67, 7950}, {kR, 68, 8340},
    // Run state "on mains"; status flags: charging, inverter master, inverter
    // supplying and running, maintenance bypass breaker open; capacity and backup
    // time calculated, battery monitor connected.
    {kR, 81, 4},    {kR, 82, 0x0100}, {kR, 84, 0x2702}, {kR, 90, 0x02C0},
};

// One fitted, healthy power module, by register index within its block: bus and
// inverter voltages, a quarter of the load, temperatures, rectifier working on mains
// and charging (index 11), communication online (12), inverter supplying with its
// breakers closed (13).
const uint16_t kNormalModule[21] = {
    3600, 3600, 2200, 2201, 2204, 95, 93, 98, 500, 352, 381,
    0xCD00, 0x8000, 0xDE00, 0, 0, 0, 0, 0, 3620, 3618,
};
constexpr int kFittedModules = 4;
constexpr uint16_t kInverterMaster = 0x0002;  // register index 13, module 1 only

// Mains gone: inputs and bypass dead, the battery discharging, rectifiers stopped,
// the mains voltage alarm active (coil 94, register 87 bit 6).
const Assignment kOnBatteryUnit[] = {
    {kC, 11, 0},    {kC, 14, 0},    {kC, 16, 0},    {kC, 17, 0},    {kC, 94, 1},
    {kR, 1, 0},     {kR, 2, 0},     {kR, 3, 0},     {kR, 4, 0},     {kR, 5, 0},
    {kR, 6, 0},     {kR, 7, 0},     {kR, 8, 0},     {kR, 9, 0},     {kR, 10, 0},
    {kR, 27, 0},    {kR, 28, 0},    {kR, 29, 0},    {kR, 30, 0},
    {kR, 31, 1980}, {kR, 32, 1978}, {kR, 33, 255},  {kR, 34, 251},  {kR, 35, 0},
    {kR, 36, 0},    {kR, 37, 24},   {kR, 38, 12},   {kR, 39, 262},
    {kR, 81, 5},    {kR, 82, 0x4C00}, {kR, 87, 0x0040},
};
// Rectifier register (index 11) and rectifier alarms (index 16) of a fitted module
// on battery: only the input breaker still closed; mains voltage abnormal.
constexpr uint16_t kOnBatteryRectifier = 0x8000;
constexpr uint16_t kOnBatteryModuleAlarm = 0x0040;

// Per round on battery. Columns as RoundDelta: table, address, change per round.
const RoundDelta kOnBatteryDeltas[] = {
    {kR, 31, -2}, {kR, 32, -2}, {kR, 37, -2}, {kR, 38, -1},
};
// Battery capacity (register 37) below 20 %: low-battery alarm on coil 90 and
// register 87 bit 10. From 24 % falling 2 per round it fires in round 4.
const Condition kOnBatteryConditions[] = {{37, 20, 90, 87, 0x0400}};

// Module 3 has a rectifier fault and a fan fault: its rectifier is stopped (index
// 11), its alarm register (index 15) has bit 15 (rectifier) and bit 6 (fan); the
// unit reports both on coils 65 and 68 and in register 86.
const Assignment kModuleFaultUnit[] = {
    {kC, 65, 1}, {kC, 68, 1}, {kR, 86, 0x8040},
    {kR, 211, 0x8D00}, {kR, 215, 0x8040},
};

int ModuleRegister(int module, int index) { return 100 + 50 * (module - 1) + index; }

void Apply(Scenario& s, const Assignment* table, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const Assignment& a = table[i];
        s.value(a.table, a.address) = a.value;
    }
}

template <size_t N>
void Apply(Scenario& s, const Assignment (&table)[N]) {
    Apply(s, table, N);
}

void Normal(Scenario& s) {
    Apply(s, kNormalUnit);
    for (int m = 1; m <= kFittedModules; ++m) {
        for (int i = 0; i < 21; ++i)
            s.registers[static_cast<size_t>(ModuleRegister(m, i))] = kNormalModule[i];
        // Modules run a few degrees apart, as real ones do.
        s.registers[static_cast<size_t>(ModuleRegister(m, 9))] += static_cast<uint16_t>(6 * m);
        s.registers[static_cast<size_t>(ModuleRegister(m, 10))] += static_cast<uint16_t>(4 * m);
    }
    s.registers[static_cast<size_t>(ModuleRegister(1, 13))] |= kInverterMaster;
    // Thirty cells near 13.5 V and 25 C, internal resistance about 3.5 mOhm.
    for (int n = 0; n < 30; ++n) {
        const size_t first = static_cast<size_t>(2000 + 4 * n);
        s.registers[first] = static_cast<uint16_t>(1346 + (n * 7) % 9);
        s.registers[first + 1] = 25;
        s.registers[first + 2] = static_cast<uint16_t>(345 + (n * 3) % 11);
    }
}

void OnBattery(Scenario& s) {
    Normal(s);
    Apply(s, kOnBatteryUnit);
    for (int m = 1; m <= kFittedModules; ++m) {
        s.registers[static_cast<size_t>(ModuleRegister(m, 11))] = kOnBatteryRectifier;
        s.registers[static_cast<size_t>(ModuleRegister(m, 16))] = kOnBatteryModuleAlarm;
    }
    s.per_round.assign(std::begin(kOnBatteryDeltas), std::end(kOnBatteryDeltas));
    // Cells sag by 0.01 V a round.
    for (int n = 0; n < 30; ++n) {
        s.registers[static_cast<size_t>(2000 + 4 * n)] -= 40;
        s.per_round.push_back({kR, 2000 + 4 * n, -1});
    }
    s.conditions.assign(std::begin(kOnBatteryConditions), std::end(kOnBatteryConditions));
}

void ModuleFault(Scenario& s) {
    Normal(s);
    Apply(s, kModuleFaultUnit);
}

// The quick start's outage, in rounds: on mains, then on battery from kMainsFails until
// the charge is low (from 100 % falling 2 a round, the low-battery alarm under 20 %),
// then mains is back and the battery recharges at the same pace until full, after
// which nothing changes from kSteady on.
constexpr int kMainsFails = 11;
constexpr int kMainsBack = 54;
constexpr int kSteady = kMainsBack + (kMainsBack - kMainsFails);
// Registers that go on across a turn: battery capacity and backup time.
const int kBatteryGauges[] = {37, 38};
// Per round while recharging. Columns as RoundDelta.
const RoundDelta kRechargeDeltas[] = {{kR, 37, 2}, {kR, 38, 1}};

Stage StageOf(int round, const Scenario& image, std::vector<RoundDelta> per_round) {
    return Stage{round, image.coils, image.registers,
                 std::vector<int>(std::begin(kBatteryGauges), std::end(kBatteryGauges)),
                 std::move(per_round)};
}

void Outage(Scenario& s) {
    Normal(s);
    Scenario battery;
    OnBattery(battery);
    Scenario mains;
    Normal(mains);
    s.conditions = battery.conditions;
    s.stages = {
        StageOf(kMainsFails, battery, battery.per_round),
        StageOf(kMainsBack, mains, {std::begin(kRechargeDeltas), std::end(kRechargeDeltas)}),
        StageOf(kSteady, mains, {}),
    };
    s.stages.back().carried.clear();  // full: the charge and backup time of mains
}

// Columns: name, builder.
struct Builtin {
    const char* name;
    void (*build)(Scenario&);
};
const Builtin kBuiltins[] = {
    {"normal", Normal},
    {"on-battery", OnBattery},
    {"module-fault", ModuleFault},
    {"outage", Outage},
};
static_assert(std::size(kBuiltins) == 4, "one row per built-in scenario");

}  // namespace

const std::vector<std::string>& BuiltinScenarioNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Builtin& b : kBuiltins) v.emplace_back(b.name);
        return v;
    }();
    return names;
}

bool BuiltinScenario(const std::string& name, Scenario& out) {
    for (const Builtin& b : kBuiltins) {
        if (name != b.name) continue;
        out = Scenario{};
        out.name = name;
        b.build(out);
        return true;
    }
    return false;
}

}  // namespace novexsim
