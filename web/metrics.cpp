#include "web/metrics.h"

#include <zlib.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <stdexcept>

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

// What writes a family's series.
enum class Series {
    kCommunication,
    kRunState,
    kBatteryLow,
    kMeasures,
    kEnergy,
    kAlarms,
    kRounds,
    kDurations,
    kLastRound,
    kHookRuns,
    kHookFailures,
    kModbusClients,
    kModbusRequests,
    kModbusExceptions,
    kModbusErrors,
    kNotifyQueued,
    kNotifySent,
    kNotifyFailed,
    kNotifyDropped,
    kNotifyFailing,
    kBuildInfo,
};

// The families, in /metrics order. kMeasures stands for one gauge family per measure
// id, named from the id and its unit. Columns: series, name, type, help, one series
// set per device (false: one for vimohost).
struct FamilyRow {
    Series series;
    const char* name;
    const char* type;
    const char* help;
    bool per_device;
};
const FamilyRow kFamilies[] = {
    {Series::kCommunication, "ups_communication_ok", "gauge",
     "1 while vimohost hears the UPS, 0 once communication is lost (its figures are then "
     "left out)", true},
    {Series::kRunState, "ups_run_state", "gauge",
     "1 for the run state the UPS reports, 0 for the others", true},
    {Series::kBatteryLow, "ups_battery_low", "gauge",
     "1 while the battery is low: charge at or below the device's battery_charge_low, or "
     "runtime at or below its battery_runtime_low", true},
    {Series::kMeasures, "", "gauge", "", true},
    {Series::kEnergy, "ups_output_energy_joules_total", "counter",
     "Output active energy per phase, integrated from the output active power of each round; "
     "continued across restarts with the history", true},
    {Series::kAlarms, "ups_alarm_active", "gauge",
     "1 while the alarm is active, 0 otherwise; a module's alarms only while the module is "
     "fitted or the alarm active", true},
    {Series::kRounds, "vimohost_rounds_total", "counter", "Poll rounds by result", true},
    {Series::kDurations, "vimohost_round_duration_seconds", "histogram",
     "How long completed poll rounds took", true},
    {Series::kLastRound, "vimohost_last_round_timestamp_seconds", "gauge",
     "When the device last completed a round, seconds since the epoch", true},
    {Series::kHookRuns, "vimohost_hook_runs_total", "counter", "Hook commands started", false},
    {Series::kHookFailures, "vimohost_hook_failures_total", "counter",
     "Hook commands that failed, timed out or could not start", false},
    {Series::kModbusClients, "vimohost_modbus_clients", "gauge",
     "Clients connected to the Modbus server", false},
    {Series::kModbusRequests, "vimohost_modbus_requests_total", "counter",
     "Requests the Modbus server answered", false},
    {Series::kModbusExceptions, "vimohost_modbus_exceptions_total", "counter",
     "Modbus server answers that were exceptions", false},
    {Series::kModbusErrors, "vimohost_modbus_errors_total", "counter",
     "Modbus server connections closed for a bad frame or a deadline", false},
    {Series::kNotifyQueued, "vimohost_notify_queued", "gauge",
     "Notification messages stored and not yet sent, per channel", false},
    {Series::kNotifySent, "vimohost_notify_sent_total", "counter", "Notification messages sent, per channel", false},
    {Series::kNotifyFailed, "vimohost_notify_failed_total", "counter",
     "Notification tries that failed (each retried later), per channel", false},
    {Series::kNotifyDropped, "vimohost_notify_dropped_total", "counter",
     "Notification messages given up after the channel's retry_for, per channel", false},
    {Series::kNotifyFailing, "vimohost_notify_failing", "gauge",
     "1 while the channel's last try failed (vimohost notify status and the log say why)", false},
    {Series::kBuildInfo, "vimohost_build_info", "gauge", "vimohost's version", false},
};
static_assert(sizeof kFamilies / sizeof kFamilies[0] == 21, "one row per Series");

// A family as the serializer writes it: its head ("# HELP" and "# TYPE" lines) made
// once, with its compressed piece, and for a measure family the measures it carries
// with the label text of each (`,phase="a"`).
struct Family {
    Series series;
    std::string name;
    bool per_device;
    std::string head;
    std::string head_deflated;
    uint32_t head_crc = 0;
    std::vector<size_t> measures;
    std::vector<std::string> labels;
};

// Raw deflate in pieces that stand alone: each ends with a full flush, which aligns
// it on a byte and forgets what came before, so pieces made apart can be joined. A
// small window and hash suit pieces of a few kilobytes and keep the flush's clearing
// of the hash cheap. One per thread, made on first use.
class Deflater {
public:
    Deflater() {
        if (deflateInit2(&stream_, kLevel, Z_DEFLATED, -kWindowBits, kMemLevel,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("cannot set up compression");
    }
    ~Deflater() { deflateEnd(&stream_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Appends `text` compressed as a piece (nothing for no text).
    void Piece(const char* text, size_t size, std::string& out) {
        if (size == 0) return;
        Run(text, size, Z_FULL_FLUSH, out);
    }
    // Appends the stream's last, empty block.
    void End(std::string& out) { Run(nullptr, 0, Z_FINISH, out); }
    void Reset() { deflateReset(&stream_); }

private:
    static constexpr int kLevel = 3;
    static constexpr int kWindowBits = 13;
    static constexpr int kMemLevel = 3;

    void Run(const char* text, size_t size, int flush, std::string& out) {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text));
        stream_.avail_in = static_cast<uInt>(size);
        for (;;) {
            const size_t room = deflateBound(&stream_, stream_.avail_in) + 16;
            const size_t at = out.size();
            out.resize(at + room);
            stream_.next_out = reinterpret_cast<Bytef*>(&out[at]);
            stream_.avail_out = static_cast<uInt>(room);
            const int rc = deflate(&stream_, flush);
            out.resize(at + room - stream_.avail_out);
            if (rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) {
                deflateReset(&stream_);  // the next piece starts clean
                throw std::runtime_error("compression failed");
            }
            // A flush is whole once room is left over; the end once the stream says so.
            const bool done = flush == Z_FINISH ? rc == Z_STREAM_END
                                                : stream_.avail_in == 0 && stream_.avail_out > 0;
            if (done) break;
        }
        if (flush == Z_FINISH) deflateReset(&stream_);
    }
    z_stream stream_{};
};

Deflater& ThreadDeflater() {
    thread_local Deflater deflater;
    return deflater;
}

uint32_t Crc(const char* text, size_t size) {
    return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(text), static_cast<uInt>(size)));
}

std::string Head(const std::string& name, const char* type, const std::string& help) {
    return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::vector<Family> BuildFamilies() {
    std::vector<Family> families;
    const std::vector<monitor::Measure>& all = monitor::Measures();
    for (const FamilyRow& row : kFamilies) {
        if (row.series != Series::kMeasures) {
            families.push_back(Family{row.series, row.name, row.per_device,
                                      Head(row.name, row.type, row.help), "", 0, {}, {}});
            continue;
        }
        const size_t first = families.size();
        for (size_t i = 0; i < all.size(); ++i) {
            const monitor::Measure& m = all[i];
            if (m.unit == Unit::kState) continue;  // the run state is ups_run_state
            const std::string name = "ups_" + m.id + Suffix(m.unit);
            Family* family = nullptr;
            for (size_t f = first; f < families.size(); ++f)
                if (families[f].name == name) family = &families[f];
            if (family == nullptr) {
                std::string words = m.id;
                for (char& c : words)
                    if (c == '_') c = ' ';
                const std::string help = m.unit == Unit::kBoolean
                                             ? words + ": 1 yes, 0 no"
                                             : words + ", " + monitor::UnitName(m.unit);
                families.push_back(Family{Series::kMeasures, name, true, Head(name, row.type, help),
                                          "", 0, {}, {}});
                family = &families.back();
            }
            std::string labels;
            for (const monitor::Label& l : m.labels) labels += "," + l.name + "=\"" + l.value + "\"";
            family->measures.push_back(i);
            family->labels.push_back(labels);
        }
    }
    Deflater deflater;
    for (Family& f : families) {
        deflater.Piece(f.head.data(), f.head.size(), f.head_deflated);
        f.head_crc = Crc(f.head.data(), f.head.size());
    }
    return families;
}

const std::vector<Family>& Families() {
    static const std::vector<Family> families = BuildFamilies();
    return families;
}

// The label text of each alarm after the device's: `,alarm="fan_fault",module="3",
// severity="critical"} ` (a unit alarm has no module label), and the module of each
// alarm's presence measure (Measures().size(): a unit alarm).
struct AlarmLabels {
    std::vector<std::string> text;
    std::vector<size_t> presence;
};

const AlarmLabels& Alarms() {
    static const AlarmLabels labels = [] {
        AlarmLabels out;
        const size_t none = monitor::Measures().size();
        for (const monitor::Alarm& a : monitor::Alarms()) {
            const std::string module = a.module > 0 ? ",module=\"" + std::to_string(a.module) + "\"" : "";
            const std::string id = a.module > 0 ? a.id.substr(a.id.find('.') + 1) : a.id;
            out.text.push_back(",alarm=\"" + id + "\"" + module + ",severity=\"" +
                               monitor::SeverityName(a.severity) + "\"} ");
            out.presence.push_back(a.module > 0 ? monitor::FindMeasure("module_present{module=\"" +
                                                                       std::to_string(a.module) + "\"}")
                                                : none);
        }
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
    out.append(text, std::to_chars(text, text + sizeof text, value == 0.0 ? 0.0 : value).ptr);
}

void Integer(std::string& out, uint64_t value) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// `name{device="x"` for the start of a series.
void Start(std::string& out, const std::string& name, const char* suffix, const std::string& device) {
    out += name;
    out += suffix;
    out += "{device=\"";
    out += device;
    out += '"';
}

// A whole line of a whole-number series: its start, `tail` (the labels past the
// device's and the closing brace), the value.
void IntegerLine(std::string& out, const std::string& name, const char* suffix,
                 const std::string& device, const char* tail, uint64_t value) {
    Start(out, name, suffix, device);
    out += tail;
    Integer(out, value);
    out += '\n';
}

bool ShowsFigures(const monitor::DeviceSnapshot& s) { return !s.measures.empty() && !s.stale; }

// Whether a module's alarm is shown: its module fitted (as the last figures say) or
// the alarm active, which is never hidden.
bool Shown(const monitor::DeviceSnapshot& s, size_t presence, bool active) {
    if (active || presence >= s.measures.size()) return active || presence == monitor::Measures().size();
    return s.measures[presence].present && s.measures[presence].value != 0.0;
}

// One device's series of family `f`.
void WriteDevice(const Family& f, const DeviceState& device, const std::string& name,
                 std::string& out) {
    const monitor::DeviceSnapshot& s = *device.snapshot;
    switch (f.series) {
        case Series::kCommunication:
            Start(out, f.name, "", name);
            out += s.communication == monitor::Communication::kOk ? "} 1\n" : "} 0\n";
            return;
        case Series::kBatteryLow: {
            if (!ShowsFigures(s)) return;
            static const size_t charge = monitor::FindMeasure("battery_charge");
            static const size_t runtime = monitor::FindMeasure("battery_runtime");
            const auto at = [&s](size_t i) { return i < s.measures.size() ? s.measures[i] : monitor::MeasureValue{}; };
            const bool low = monitor::BatteryLow(at(charge).present, at(charge).value, at(runtime).present,
                                                 at(runtime).value, device.battery_limits);
            Start(out, f.name, "", name);
            out += low ? "} 1\n" : "} 0\n";
            return;
        }
        case Series::kRunState: {
            if (!ShowsFigures(s)) return;
            static const size_t run_state = monitor::FindMeasure("run_state");
            const unsigned code = static_cast<unsigned>(s.measures[run_state].value);
            const bool invalid_now = code >= monitor::kRunStateCount;
            for (unsigned state = 0; state <= monitor::kRunStateCount; ++state) {
                Start(out, f.name, "", name);
                out += ",state=\"";
                out += monitor::RunStateId(state);
                const bool now = state == code || (state == monitor::kRunStateCount && invalid_now);
                out += now ? "\"} 1\n" : "\"} 0\n";
            }
            return;
        }
        case Series::kMeasures:
            if (!ShowsFigures(s)) return;
            for (size_t k = 0; k < f.measures.size(); ++k) {
                const monitor::MeasureValue& v = s.measures[f.measures[k]];
                if (!v.present) continue;
                Start(out, f.name, "", name);
                out += f.labels[k];
                out += "} ";
                Number(out, v.value);
                out += '\n';
            }
            return;
        case Series::kEnergy: {
            // Kept while the figures are stale: the count stands, it is not unknown.
            if (!s.energy.counted) return;
            static const char* const kPhases[] = {",phase=\"a\"} ", ",phase=\"b\"} ",
                                                  ",phase=\"c\"} "};
            static_assert(sizeof kPhases / sizeof kPhases[0] == monitor::kEnergyPhases, "a label per phase");
            for (int p = 0; p < monitor::kEnergyPhases; ++p) {
                Start(out, f.name, "", name);
                out += kPhases[p];
                Number(out, s.energy.phase_joules[static_cast<size_t>(p)]);
                out += '\n';
            }
            return;
        }
        case Series::kAlarms: {
            const AlarmLabels& labels = Alarms();
            std::vector<char> active(labels.text.size());
            for (const monitor::AlarmIndex a : s.active_alarms)
                if (a < active.size()) active[a] = 1;
            for (size_t a = 0; a < labels.text.size(); ++a) {
                if (!Shown(s, labels.presence[a], active[a] != 0)) continue;
                Start(out, f.name, "", name);
                out += labels.text[a];
                out += active[a] ? "1\n" : "0\n";
            }
            return;
        }
        case Series::kRounds:
            IntegerLine(out, f.name, "", name, ",result=\"completed\"} ", s.rounds_completed);
            IntegerLine(out, f.name, "", name, ",result=\"failed\"} ", s.rounds_failed);
            return;
        case Series::kDurations: {
            const RoundDurations& r = device.round_durations;
            uint64_t cumulative = 0;
            for (size_t b = 0; b <= kRoundDurationBoundCount; ++b) {
                cumulative += r.counts[b];
                Start(out, f.name, "_bucket", name);
                out += ",le=\"";
                if (b < kRoundDurationBoundCount) Number(out, kRoundDurationBounds[b]);
                else out += "+Inf";
                out += "\"} ";
                Integer(out, cumulative);
                out += '\n';
            }
            Start(out, f.name, "_sum", name);
            out += "} ";
            Number(out, r.sum_seconds);
            out += '\n';
            IntegerLine(out, f.name, "_count", name, "} ", cumulative);
            return;
        }
        case Series::kLastRound:
            if (s.last_round_utc == 0) return;
            IntegerLine(out, f.name, "", name, "} ", static_cast<uint64_t>(s.last_round_utc));
            return;
        default:
            return;
    }
}

// vimohost's own series of family `f`.
void WriteHost(const Family& f, const HostState& state, std::string& out) {
    switch (f.series) {
        case Series::kHookRuns:
        case Series::kHookFailures:
            out += f.name;
            out += ' ';
            Integer(out, f.series == Series::kHookRuns ? state.hook_runs : state.hook_failures);
            out += '\n';
            return;
        case Series::kModbusClients:
        case Series::kModbusRequests:
        case Series::kModbusExceptions:
        case Series::kModbusErrors: {
            const uint64_t values[] = {state.modbus_clients, state.modbus_requests,
                                       state.modbus_exceptions, state.modbus_errors};
            out += f.name;
            out += ' ';
            Integer(out, values[static_cast<int>(f.series) - static_cast<int>(Series::kModbusClients)]);
            out += '\n';
            return;
        }
        case Series::kNotifyQueued:
        case Series::kNotifySent:
        case Series::kNotifyFailed:
        case Series::kNotifyDropped:
        case Series::kNotifyFailing:
            for (const NotifyChannelState& c : state.notify_channels) {
                const uint64_t values[] = {c.queued, c.sent, c.failed, c.dropped, c.failing ? 1u : 0u};
                out += f.name + "{channel=\"" + EscapeLabel(c.name) + "\",kind=\"" + EscapeLabel(c.kind) + "\"} ";
                Integer(out, values[static_cast<int>(f.series) - static_cast<int>(Series::kNotifyQueued)]);
                out += '\n';
            }
            return;
        case Series::kBuildInfo:
            out += f.name + "{version=\"" + EscapeLabel(state.version) + "\"} 1\n";
            return;
        default:
            return;
    }
}

// Each device's rendering: the one at hand, or made now.
std::vector<std::shared_ptr<const DeviceMetrics>> Renderings(const HostState& state, bool gzip) {
    std::vector<std::shared_ptr<const DeviceMetrics>> out;
    out.reserve(state.devices.size());
    for (const DeviceState& d : state.devices) {
        const bool usable = d.metrics && (!gzip || d.metrics->compressed());
        out.push_back(usable ? d.metrics : RenderDeviceMetrics(d, gzip));
    }
    return out;
}

void PutLittleEndian(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

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

std::shared_ptr<const DeviceMetrics> RenderDeviceMetrics(const DeviceState& device, bool compress,
                                                         const DeviceMetrics* previous) {
    auto out = std::make_shared<DeviceMetrics>();
    const std::string name = EscapeLabel(device.snapshot->device_name);
    // Kept for a round or more, a thousand of them: sized as the last one was, not
    // grown by doubling.
    constexpr size_t kFirstTextBytes = 64 * 1024;
    out->text.reserve(previous != nullptr ? previous->text.size() + previous->text.size() / 16
                                          : kFirstTextBytes);
    out->text_ends.reserve(Families().size());
    for (const Family& f : Families()) {
        if (!f.per_device) continue;
        WriteDevice(f, device, name, out->text);
        out->text_ends.push_back(out->text.size());
    }
    if (!compress) return out;
    const bool reusable = previous != nullptr && previous->compressed() &&
                          previous->text_ends.size() == out->text_ends.size();
    Deflater& deflater = ThreadDeflater();
    for (size_t k = 0; k < out->text_ends.size(); ++k) {
        const size_t begin = k == 0 ? 0 : out->text_ends[k - 1];
        const size_t size = out->text_ends[k] - begin;
        const size_t was = k == 0 || !reusable ? 0 : previous->text_ends[k - 1];
        if (reusable && previous->text_ends[k] - was == size &&
            previous->text.compare(was, size, out->text, begin, size) == 0) {
            const size_t from = k == 0 ? 0 : previous->deflated_ends[k - 1];
            out->deflated.append(previous->deflated, from, previous->deflated_ends[k] - from);
            out->crcs.push_back(previous->crcs[k]);
        } else {
            deflater.Piece(out->text.data() + begin, size, out->deflated);
            out->crcs.push_back(Crc(out->text.data() + begin, size));
        }
        out->deflated_ends.push_back(out->deflated.size());
    }
    deflater.Reset();
    return out;
}

void RenderMetrics(const HostState& state, std::string& out) {
    const std::vector<std::shared_ptr<const DeviceMetrics>> devices = Renderings(state, false);
    size_t size = 4096;
    for (const auto& d : devices) size += d->text.size();
    for (const Family& f : Families()) size += f.head.size();
    out.reserve(out.size() + size);
    size_t k = 0;  // among the per-device families
    for (const Family& f : Families()) {
        out += f.head;
        if (!f.per_device) {
            WriteHost(f, state, out);
            continue;
        }
        for (const auto& d : devices) {
            const size_t begin = k == 0 ? 0 : d->text_ends[k - 1];
            out.append(d->text, begin, d->text_ends[k] - begin);
        }
        ++k;
    }
}

void RenderMetricsGzip(const HostState& state, std::string& out) {
    const std::vector<std::shared_ptr<const DeviceMetrics>> devices = Renderings(state, true);
    size_t size = 4096;
    for (const auto& d : devices) size += d->deflated.size();
    for (const Family& f : Families()) size += f.head_deflated.size();
    out.reserve(out.size() + size);
    // The member's header: deflate, no name or time, from a Unix system.
    const char header[] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3};
    out.append(header, sizeof header);
    uint32_t crc = 0;
    uint64_t length = 0;
    const auto joined = [&](uint32_t piece_crc, size_t piece_length) {
        crc = static_cast<uint32_t>(crc32_combine(crc, piece_crc, static_cast<z_off_t>(piece_length)));
        length += piece_length;
    };
    Deflater& deflater = ThreadDeflater();
    std::string own;
    size_t k = 0;
    for (const Family& f : Families()) {
        out += f.head_deflated;
        joined(f.head_crc, f.head.size());
        if (!f.per_device) {
            own.clear();
            WriteHost(f, state, own);
            deflater.Piece(own.data(), own.size(), out);
            joined(Crc(own.data(), own.size()), own.size());
            continue;
        }
        for (const auto& d : devices) {
            const size_t text_begin = k == 0 ? 0 : d->text_ends[k - 1];
            const size_t begin = k == 0 ? 0 : d->deflated_ends[k - 1];
            out.append(d->deflated, begin, d->deflated_ends[k] - begin);
            joined(d->crcs[k], d->text_ends[k] - text_begin);
        }
        ++k;
    }
    deflater.End(out);
    PutLittleEndian(out, crc);
    PutLittleEndian(out, static_cast<uint32_t>(length));
}

bool AcceptsGzip(const std::string& accept_encoding) {
    size_t at = 0;
    while (at <= accept_encoding.size()) {
        size_t end = accept_encoding.find(',', at);
        if (end == std::string::npos) end = accept_encoding.size();
        std::string item = accept_encoding.substr(at, end - at);
        at = end + 1;
        std::string coding, q;
        const size_t semicolon = item.find(';');
        for (size_t i = 0; i < item.size(); ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(item[i])));
            if (c == ' ' || c == '\t') continue;
            (i < semicolon ? coding : q) += c;
        }
        if (coding != "gzip" && coding != "x-gzip") continue;
        // ";q=0", ";q=0.0", ...: refused.
        const size_t value = q.find("q=");
        if (value == std::string::npos) return true;
        return q.find_first_not_of("0.", value + 2) != std::string::npos;
    }
    return false;
}

std::vector<MetricFamilyRow> MetricFamilies() {
    std::vector<MetricFamilyRow> out;
    for (const FamilyRow& row : kFamilies) {
        if (row.series == Series::kMeasures)
            out.push_back({"ups_<measure>_<unit>", "gauge",
                           "Every measure with a value, named by its id and base unit "
                           "(ups_battery_charge_percent, ups_input_voltage_volts{phase=\"a\"})",
                           true});
        else
            out.push_back({row.name, row.type, row.help, row.per_device});
    }
    return out;
}

}  // namespace web
}  // namespace novex
