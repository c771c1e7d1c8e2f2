#include "monitor/snapshot.h"

#include <algorithm>

#include "core/time_text.h"
#include "device/novexups_data.h"

namespace novex {
namespace monitor {

namespace {

// One part of the summary line. Columns: label ("" joins the part before), up to
// three measure names shown joined by "/", the unit shown, and the divisor from the
// measure's unit to the shown one (1: the measure's own resolution).
struct SummaryPart {
    const char* label;
    const char* names[3];
    const char* unit;
    int divisor;
};
const SummaryPart kSummaryParts[] = {
    {"state", {"run_state"}, "", 1},
    {"in", {"input_voltage{phase=\"a\"}", "input_voltage{phase=\"b\"}", "input_voltage{phase=\"c\"}"}, " V", 1},
    {"out", {"output_voltage{phase=\"a\"}", "output_voltage{phase=\"b\"}", "output_voltage{phase=\"c\"}"}, " V", 1},
    {"load", {"output_load{phase=\"a\"}", "output_load{phase=\"b\"}", "output_load{phase=\"c\"}"}, " %", 1},
    {"battery", {"battery_charge"}, " %", 1},
    {"", {"battery_voltage{string=\"positive\"}", "battery_voltage{string=\"negative\"}"}, " V", 1},
    {"backup", {"battery_runtime"}, " min", 60},
};
constexpr size_t kAlarmsShown = 5;

std::string Shown(const DeviceSnapshot& snapshot, const char* name, int divisor) {
    const size_t i = FindMeasure(name);
    if (i >= snapshot.measures.size()) return "";
    const Measure& m = Measures()[i];
    const MeasureValue& v = snapshot.measures[i];
    if (divisor == 1 || !v.present) return FormatValue(m, v);
    return FormatNumber(v.value / divisor, 0);
}

}  // namespace

const char* CommunicationName(Communication communication) {
    return communication == Communication::kOk ? "ok" : "lost";
}

bool DecodeRecord(const unsigned char* bytes, size_t size, DecodedRound& out,
                  std::string& error) {
    if (bytes == nullptr || size != sizeof(NovexUPS_Data_t)) {
        error = "record of " + std::to_string(bytes ? size : 0) + " bytes, expected " +
                std::to_string(sizeof(NovexUPS_Data_t));
        return false;
    }
    out.measures = DecodeMeasures(bytes);
    out.alarms = ActiveAlarms(bytes);
    return true;
}

std::string LocalTimeText(std::time_t utc) { return novex::LocalText(utc); }

bool IsActive(const DeviceSnapshot& snapshot, AlarmIndex alarm) {
    return std::find(snapshot.active_alarms.begin(), snapshot.active_alarms.end(), alarm) !=
           snapshot.active_alarms.end();
}

std::string SummaryLine(const DeviceSnapshot& snapshot) {
    std::string out;
    if (snapshot.stale) out = "stale";
    if (snapshot.measures.empty()) return out.empty() ? "no round yet" : out + " | no round yet";
    for (const SummaryPart& part : kSummaryParts) {
        std::string values;
        for (const char* name : part.names) {
            if (name == nullptr) break;
            const std::string shown = Shown(snapshot, name, part.divisor);
            if (!shown.empty()) values += (values.empty() ? "" : "/") + shown;
        }
        if (values.empty()) continue;
        if (*part.label) out += std::string(out.empty() ? "" : " | ") + part.label + " ";
        else out += " ";
        out += values + part.unit;
    }
    // The run state's condition is the "state" already shown.
    const std::vector<Alarm>& alarms = Alarms();
    std::vector<AlarmIndex> listed;
    for (const AlarmIndex a : snapshot.active_alarms)
        if (alarms[a].run_state < 0) listed.push_back(a);
    const size_t count = listed.size();
    const size_t shown = count > kAlarmsShown + 1 ? kAlarmsShown : count;
    out += std::string(out.empty() ? "" : " | ") + "alarms: " + (count ? "" : "none");
    for (size_t i = 0; i < shown; ++i)
        out += (i ? ", " : "") + alarms[listed[i]].id;
    if (shown < count) out += " and " + std::to_string(count - shown) + " more";
    return out;
}

}  // namespace monitor
}  // namespace novex
