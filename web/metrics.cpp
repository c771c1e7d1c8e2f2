#include "web/metrics.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace novex {
namespace web {

namespace {

using monitor::Unit;

// The name suffix of each unit, as Prometheus names carry base units. Columns: unit,
// suffix ("": a count, state or flag has none).
struct UnitSuffix {
    Unit unit;
    const char* suffix;
};
const UnitSuffix kUnitSuffixes[] = {
    {Unit::kVolts, "_volts"},     {Unit::kAmperes, "_amperes"},
    {Unit::kHertz, "_hertz"},     {Unit::kRatio, "_ratio"},
    {Unit::kPercent, "_percent"}, {Unit::kWatts, "_watts"},
    {Unit::kVoltAmperes, "_volt_amperes"}, {Unit::kSeconds, "_seconds"},
    {Unit::kCelsius, "_celsius"}, {Unit::kOhms, "_ohms"},
    {Unit::kCount, ""},           {Unit::kState, ""},
    {Unit::kBoolean, ""},
};
static_assert(sizeof kUnitSuffixes / sizeof kUnitSuffixes[0] == 13, "one row per Unit");

const char* Suffix(Unit unit) {
    for (const UnitSuffix& row : kUnitSuffixes)
        if (row.unit == unit) return row.suffix;
    return "";
}

// One gauge family per measure id; its series are the id's expanded measures, with
// the label text after the device label made once.
struct Family {
    std::string name;
    std::string help;
    std::vector<size_t> measures;
    std::vector<std::string> labels;  // `,phase="a"` per measure
};

std::vector<Family> BuildFamilies() {
    std::vector<Family> families;
    const std::vector<monitor::Measure>& all = monitor::Measures();
    for (size_t i = 0; i < all.size(); ++i) {
        const monitor::Measure& m = all[i];
        if (m.unit == Unit::kState) continue;  // the run state is ups_run_state
        const std::string name = "ups_" + m.id + Suffix(m.unit);
        Family* family = nullptr;
        for (Family& f : families)
            if (f.name == name) family = &f;
        if (family == nullptr) {
            families.push_back(Family{name, "", {}, {}});
            family = &families.back();
            std::string words = m.id;
            for (char& c : words)
                if (c == '_') c = ' ';
            family->help = m.unit == Unit::kBoolean ? words + ": 1 yes, 0 no"
                                                     : words + ", " + monitor::UnitName(m.unit);
        }
        std::string labels;
        for (const monitor::Label& l : m.labels) labels += "," + l.name + "=\"" + l.value + "\"";
        family->measures.push_back(i);
        family->labels.push_back(labels);
    }
    return families;
}

const std::vector<Family>& Families() {
    static const std::vector<Family> families = BuildFamilies();
    return families;
}

// The label text of each alarm: `,alarm="fan_fault",severity="critical"} `.
const std::vector<std::string>& AlarmLabels() {
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> out;
        for (const monitor::Alarm& a : monitor::Alarms())
            out.push_back(",alarm=\"" + a.id + "\",severity=\"" +
                          monitor::SeverityName(a.severity) + "\"} ");
        return out;
    }();
    return labels;
}

void Number(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void Integer(std::string& out, uint64_t value) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void Head(std::string& out, const std::string& name, const char* type, const std::string& help) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// `name{device="x"` for the start of a series.
void Start(std::string& out, const std::string& name, const std::string& device) {
    out += name;
    out += "{device=\"";
    out += device;
    out += '"';
}

bool ShowsFigures(const monitor::DeviceSnapshot& s) { return !s.measures.empty() && !s.stale; }

}  // namespace

std::string EscapeLabel(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void RenderMetrics(const HostState& state, std::string& out) {
    std::vector<std::string> devices;
    for (const DeviceState& d : state.devices) devices.push_back(EscapeLabel(d.snapshot->device_name));
    const size_t count = devices.size();
    // About 80 bytes a series: growing the text step by step would copy it over and
    // over, which costs more than writing it.
    out.reserve(out.size() + 4096 + count * (monitor::Measures().size() + monitor::Alarms().size() + 40) * 84);
    const auto snapshot = [&](size_t i) -> const monitor::DeviceSnapshot& {
        return *state.devices[i].snapshot;
    };

    Head(out, "ups_communication_ok", "gauge",
         "1 while vimohost hears the UPS, 0 once communication is lost (its figures are then "
         "left out)");
    for (size_t d = 0; d < count; ++d) {
        Start(out, "ups_communication_ok", devices[d]);
        out += snapshot(d).communication == monitor::Communication::kOk ? "} 1\n" : "} 0\n";
    }

    Head(out, "ups_run_state", "gauge", "1 for the run state the UPS reports, 0 for the others");
    const size_t run_state = monitor::FindMeasure("run_state");
    for (size_t d = 0; d < count; ++d) {
        if (!ShowsFigures(snapshot(d))) continue;
        const unsigned code = static_cast<unsigned>(snapshot(d).measures[run_state].value);
        for (unsigned s = 0; s <= monitor::kRunStateCount; ++s) {
            Start(out, "ups_run_state", devices[d]);
            out += ",state=\"";
            out += monitor::RunStateId(s);
            const bool invalid_now = code >= monitor::kRunStateCount;
            out += (s == code || (s == monitor::kRunStateCount && invalid_now)) ? "\"} 1\n" : "\"} 0\n";
        }
    }

    for (const Family& f : Families()) {
        Head(out, f.name, "gauge", f.help);
        for (size_t d = 0; d < count; ++d) {
            if (!ShowsFigures(snapshot(d))) continue;
            for (size_t k = 0; k < f.measures.size(); ++k) {
                const monitor::MeasureValue& v = snapshot(d).measures[f.measures[k]];
                if (!v.present) continue;
                Start(out, f.name, devices[d]);
                out += f.labels[k];
                out += "} ";
                Number(out, v.value == 0.0 ? 0.0 : v.value);
                out += '\n';
            }
        }
    }

    Head(out, "ups_alarm_active", "gauge", "1 while the alarm is active, 0 otherwise");
    const std::vector<std::string>& alarm_labels = AlarmLabels();
    std::vector<char> active(alarm_labels.size());
    for (size_t d = 0; d < count; ++d) {
        std::fill(active.begin(), active.end(), 0);
        for (const monitor::AlarmIndex a : snapshot(d).active_alarms)
            if (a < active.size()) active[a] = 1;
        for (size_t a = 0; a < alarm_labels.size(); ++a) {
            Start(out, "ups_alarm_active", devices[d]);
            out += alarm_labels[a];
            out += active[a] ? "1\n" : "0\n";
        }
    }

    Head(out, "vimohost_rounds_total", "counter", "Poll rounds by result");
    for (size_t d = 0; d < count; ++d) {
        Start(out, "vimohost_rounds_total", devices[d]);
        out += ",result=\"completed\"} ";
        Integer(out, snapshot(d).rounds_completed);
        out += '\n';
        Start(out, "vimohost_rounds_total", devices[d]);
        out += ",result=\"failed\"} ";
        Integer(out, snapshot(d).rounds_failed);
        out += '\n';
    }

    Head(out, "vimohost_round_duration_seconds", "histogram", "How long completed poll rounds took");
    for (size_t d = 0; d < count; ++d) {
        const RoundDurations& r = state.devices[d].round_durations;
        uint64_t cumulative = 0;
        for (size_t b = 0; b <= kRoundDurationBoundCount; ++b) {
            cumulative += r.counts[b];
            Start(out, "vimohost_round_duration_seconds_bucket", devices[d]);
            out += ",le=\"";
            if (b < kRoundDurationBoundCount) Number(out, kRoundDurationBounds[b]);
            else out += "+Inf";
            out += "\"} ";
            Integer(out, cumulative);
            out += '\n';
        }
        Start(out, "vimohost_round_duration_seconds_sum", devices[d]);
        out += "} ";
        Number(out, r.sum_seconds);
        out += '\n';
        Start(out, "vimohost_round_duration_seconds_count", devices[d]);
        out += "} ";
        Integer(out, cumulative);
        out += '\n';
    }

    Head(out, "vimohost_last_round_timestamp_seconds", "gauge",
         "When the device last completed a round, seconds since the epoch");
    for (size_t d = 0; d < count; ++d) {
        if (snapshot(d).last_round_utc == 0) continue;
        Start(out, "vimohost_last_round_timestamp_seconds", devices[d]);
        out += "} ";
        Integer(out, static_cast<uint64_t>(snapshot(d).last_round_utc));
        out += '\n';
    }

    Head(out, "vimohost_hook_runs_total", "counter", "Hook commands started");
    out += "vimohost_hook_runs_total ";
    Integer(out, state.hook_runs);
    out += '\n';
    Head(out, "vimohost_hook_failures_total", "counter",
         "Hook commands that failed, timed out or could not start");
    out += "vimohost_hook_failures_total ";
    Integer(out, state.hook_failures);
    out += '\n';
    Head(out, "vimohost_build_info", "gauge", "vimohost's version");
    out += "vimohost_build_info{version=\"" + EscapeLabel(state.version) + "\"} 1\n";
}

}  // namespace web
}  // namespace novex
