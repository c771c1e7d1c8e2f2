#include "web/api.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/json_writer.h"
#include "core/time_text.h"
#include "history/aggregates.h"
#include "history/times.h"
#include "web/alarm_actions.h"

namespace novex {
namespace web {

namespace {

using monitor::Measure;
using monitor::MeasureValue;
using monitor::Measures;
using Params = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kMaxFields = 8;
constexpr size_t kDefaultPoints = 200;
constexpr size_t kMaxPoints = 1000;
constexpr int64_t kDefaultReadingsSpan = 3600;

bool HasRound(const monitor::DeviceSnapshot& s) { return !s.measures.empty(); }

void Value(JsonWriter& json, const Measure& m, const MeasureValue& v) {
    if (m.unit == monitor::Unit::kState) json.String(monitor::FormatValue(m, v));
    else if (m.unit == monitor::Unit::kBoolean) json.Bool(v.value != 0.0);
    else json.Number(monitor::FormatValue(m, v));
}

void Labels(JsonWriter& json, const Measure& m) {
    json.BeginObject();
    for (const monitor::Label& label : m.labels) json.Key(label.name).String(label.value);
    json.EndObject();
}

void MeasureEntry(JsonWriter& json, const Measure& m, const MeasureValue& v) {
    json.BeginObject().Key("name").String(m.name).Key("id").String(m.id).Key("labels");
    Labels(json, m);
    json.Key("unit").String(monitor::UnitName(m.unit)).Key("value");
    Value(json, m, v);
    json.EndObject();
}

void AlarmEntry(JsonWriter& json, monitor::AlarmIndex index) {
    const monitor::Alarm& a = monitor::Alarms()[index];
    json.BeginObject().Key("id").String(a.id).Key("description").String(a.description);
    json.Key("text").String(a.text);
    json.Key("severity").String(monitor::SeverityName(a.severity));
    json.Key("action").String(ActionFor(a.id, monitor::SeverityName(a.severity)));
    json.Key("module").Number(static_cast<double>(a.module)).EndObject();
}

// The fields every device shows, in the list and in its own answer.
void Summary(JsonWriter& json, const DeviceState& device, int64_t now) {
    const monitor::DeviceSnapshot& s = *device.snapshot;
    json.Key("name").String(s.device_name).Key("data_id").Number(static_cast<double>(s.data_id));
    json.Key("line").String(s.line);
    json.Key("communication").String(monitor::CommunicationName(s.communication));
    json.Key("stale").Bool(s.stale);
    json.Key("last_round");
    if (s.last_round_utc) json.String(IsoTime(s.last_round_utc));
    else json.Null();
    json.Key("age_seconds");
    if (s.last_round_utc) json.Number(static_cast<double>(std::max<int64_t>(0, now - s.last_round_utc)));
    else json.Null();
    json.Key("rounds").BeginObject();
    json.Key("completed").Number(static_cast<double>(s.rounds_completed));
    json.Key("failed").Number(static_cast<double>(s.rounds_failed)).EndObject();
    json.Key("last_error").String(s.last_error);
    const size_t state = monitor::FindMeasure("run_state");
    json.Key("run_state");
    if (HasRound(s)) Value(json, Measures()[state], s.measures[state]);
    else json.Null();
    const size_t charge = monitor::FindMeasure("battery_charge");
    json.Key("battery_charge");
    if (HasRound(s) && s.measures[charge].present) Value(json, Measures()[charge], s.measures[charge]);
    else json.Null();
    int critical = 0;
    // The most severe active alarm, the first of the list among equals, so that a
    // list of UPSes can say in words what is worst with each.
    const monitor::AlarmIndex* worst = nullptr;
    for (const monitor::AlarmIndex& a : s.active_alarms) {
        if (a >= monitor::Alarms().size()) continue;
        const monitor::Severity severity = monitor::Alarms()[a].severity;
        critical += severity == monitor::Severity::kCritical;
        if (worst == nullptr || severity < monitor::Alarms()[*worst].severity) worst = &a;
    }
    json.Key("active_alarms").Number(static_cast<double>(s.active_alarms.size()));
    json.Key("critical_alarms").Number(static_cast<double>(critical));
    const size_t runtime = monitor::FindMeasure("battery_runtime");
    json.Key("battery_runtime");
    if (HasRound(s) && s.measures[runtime].present) Value(json, Measures()[runtime], s.measures[runtime]);
    else json.Null();
    json.Key("worst_alarm");
    if (worst) AlarmEntry(json, *worst);
    else json.Null();
    // Since when the UPS runs on battery (as this vimohost saw it), and the limits at
    // which the battery counts as low: the page says how long until then.
    json.Key("on_battery_since");
    if (device.on_battery_since) json.String(IsoTime(device.on_battery_since));
    else json.Null();
    json.Key("battery_charge_low").Number(static_cast<double>(device.battery_limits.charge_low));
    json.Key("battery_runtime_low").Number(static_cast<double>(device.battery_limits.runtime_low_s));
    // Output active energy so far, in joules (monitor/energy.h); null before it counts.
    json.Key("output_energy");
    if (s.energy.counted) {
        json.BeginObject().Key("unit").String("joules");
        json.Key("total").Number(monitor::FormatNumber(s.energy.total_joules, 0));
        json.Key("phases").BeginObject();
        const char* const phases[] = {"a", "b", "c"};
        for (int p = 0; p < monitor::kEnergyPhases; ++p)
            json.Key(phases[p]).Number(monitor::FormatNumber(s.energy.phase_joules[static_cast<size_t>(p)], 0));
        json.EndObject().EndObject();
    } else {
        json.Null();
    }
    // What to do while communication is lost (its alarm is among the active ones too).
    json.Key("communication_action");
    if (s.communication != monitor::Communication::kOk) json.String(ActionFor("communication_lost", "critical"));
    else json.Null();
}

// A module's or cell's own list: presence, then its present figures.
void Instances(JsonWriter& json, const monitor::DeviceSnapshot& s, monitor::Scope scope,
               const char* label, int count) {
    const std::vector<Measure>& all = Measures();
    json.BeginArray();
    for (int n = 1; n <= count; ++n) {
        json.BeginObject().Key(label).Number(static_cast<double>(n));
        bool present = false;
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].scope == scope && all[i].instance == n && all[i].unit == monitor::Unit::kBoolean)
                present = s.measures[i].value != 0.0;
        json.Key("present").Bool(present).Key("measures").BeginArray();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].scope == scope && all[i].instance == n &&
                all[i].unit != monitor::Unit::kBoolean && s.measures[i].present)
                MeasureEntry(json, all[i], s.measures[i]);
        json.EndArray().EndObject();
    }
    json.EndArray();
}

Response Json(const JsonWriter& json) {
    Response r;
    r.body = json.text();
    return r;
}

Response Detail(const DeviceState& device, int64_t now) {
    const monitor::DeviceSnapshot& s = *device.snapshot;
    if (!HasRound(s)) return ErrorResponse(503, s.device_name + ": no round yet");
    JsonWriter json;
    json.BeginObject();
    Summary(json, device, now);
    json.Key("measures").BeginArray();
    const std::vector<Measure>& all = Measures();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].scope == monitor::Scope::kUnit && s.measures[i].present)
            MeasureEntry(json, all[i], s.measures[i]);
    json.EndArray().Key("alarms").BeginArray();
    for (const monitor::AlarmIndex a : s.active_alarms) AlarmEntry(json, a);
    json.EndArray().Key("modules");
    Instances(json, s, monitor::Scope::kModule, "module", monitor::kModuleCount);
    json.Key("cells");
    Instances(json, s, monitor::Scope::kCell, "cell", monitor::kCellCount);
    json.EndObject();
    return Json(json);
}

Response Document(const DeviceState& device, const DocumentSource* documents) {
    const monitor::DeviceSnapshot& s = *device.snapshot;
    if (s.record.empty()) return ErrorResponse(503, s.device_name + ": no round yet");
    if (documents == nullptr) return ErrorResponse(503, "no plug-in makes status documents here");
    Response r;
    std::string error;
    if (!documents->Document(s, r.body, error)) return ErrorResponse(500, s.device_name + ": " + error);
    return r;
}

// Splits `text` at the commas outside braces: measure names carry commas between
// their labels (module_inverter_voltage{module="3",phase="a"}).
std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> out(1);
    int depth = 0;
    for (const char c : text) {
        if (c == '{') ++depth;
        if (c == '}') --depth;
        if (c == ',' && depth == 0) out.emplace_back();
        else out.back() += c;
    }
    return out;
}

bool ParseCount(const std::string& text, size_t low, size_t high, size_t& out) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return false;
    out = std::strtoul(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

// The query window shared by readings and events: `since` and `until`.
bool Window(const Params& params, int64_t default_since, int64_t now, int64_t& since,
            int64_t& until, std::string& error) {
    since = default_since;
    until = now;
    for (const auto& [name, value] : params) {
        if (name != "since" && name != "until") continue;
        // A duration ("1h", "30d") is that long before now, as the history commands take it.
        int64_t& point = name == "since" ? since : until;
        int64_t back = 0;
        if (ParseTime(value, point)) continue;
        if (vimo::ParseDuration(value, back) && TimeInRange(now - back)) {
            point = now - back;
            continue;
        }
        error = name + ": not an ISO 8601 time with offset, nor epoch seconds, nor " +
                vimo::kDurationForms + ", " + kTimeRangeText + ": " + value;
        return false;
    }
    if (since >= until) {
        error = "since must be before until";
        return false;
    }
    return true;
}

Response Readings(const DeviceState& device, const HistoryReader* history, const Params& params,
                  int64_t now) {
    const monitor::DeviceSnapshot& s = *device.snapshot;
    ReadingsQuery query;
    query.data_id = s.data_id;
    query.points = kDefaultPoints;
    std::string error;
    for (const auto& [name, value] : params) {
        if (name == "fields") {
            for (const std::string& field : SplitFields(value)) {
                const size_t i = monitor::FindMeasure(field);
                if (i >= Measures().size())
                    return ErrorResponse(400, "fields: unknown measure: " + field);
                query.measures.push_back(i);
            }
        } else if (name == "points" && !ParseCount(value, 1, kMaxPoints, query.points)) {
            return ErrorResponse(400, "points: a number from 1 to " + std::to_string(kMaxPoints));
        }
    }
    if (query.measures.empty() || query.measures.size() > kMaxFields)
        return ErrorResponse(400, "fields: 1 to " + std::to_string(kMaxFields) + " measure names");
    if (!Window(params, now - kDefaultReadingsSpan, now, query.since_utc, query.until_utc, error))
        return ErrorResponse(400, error);
    if (history == nullptr) return ErrorResponse(503, "vimohost keeps no history");
    std::vector<ReadingSeries> series;
    if (!history->Readings(query, series, error)) return ErrorResponse(500, error);

    JsonWriter json;
    json.BeginObject().Key("device").String(s.device_name);
    json.Key("since").String(IsoTime(query.since_utc)).Key("until").String(IsoTime(query.until_utc));
    json.Key("series").BeginArray();
    for (const ReadingSeries& one : series) {
        if (one.measure >= Measures().size()) continue;
        const Measure& m = Measures()[one.measure];
        json.BeginObject().Key("name").String(m.name).Key("id").String(m.id).Key("labels");
        Labels(json, m);
        json.Key("unit").String(monitor::UnitName(m.unit)).Key("buckets").BeginArray();
        for (const ReadingBucket& b : one.buckets) {
            json.BeginObject().Key("start").String(IsoTime(b.start_utc));
            json.Key("end").String(IsoTime(b.end_utc)).Key("min").Number(b.min);
            json.Key("mean").Number(b.mean).Key("max").Number(b.max);
            json.Key("count").Number(static_cast<double>(b.count));
            if (b.minutes) json.Key("source").String(vimo::kMinuteSource);
            json.EndObject();
        }
        json.EndArray().EndObject();
    }
    json.EndArray().EndObject();
    return Json(json);
}

Response Events(const DeviceState& device, const HistoryReader* history, const Params& params,
                int64_t now) {
    EventsQuery query;
    query.data_id = device.snapshot->data_id;
    std::string error;
    for (const auto& [name, value] : params) {
        if (name != "active") continue;
        if (value != "true" && value != "false" && value != "1" && value != "0")
            return ErrorResponse(400, "active: true or false");
        query.active_only = value == "true" || value == "1";
    }
    if (!Window(params, 0, now + 1, query.since_utc, query.until_utc, error))
        return ErrorResponse(400, error);
    if (history == nullptr) return ErrorResponse(503, "vimohost keeps no history");
    EventList events;
    if (!history->Events(query, events, error)) return ErrorResponse(500, error);

    JsonWriter json;
    json.BeginObject().Key("device").String(device.snapshot->device_name);
    json.Key("truncated").Bool(events.truncated).Key("events").BeginArray();
    for (const AlarmEvent& e : events.events) {
        if (e.alarm >= monitor::Alarms().size()) continue;
        const monitor::Alarm& a = monitor::Alarms()[e.alarm];
        json.BeginObject().Key("alarm").String(a.id).Key("description").String(a.description);
        json.Key("text").String(a.text);
        json.Key("severity").String(monitor::SeverityName(a.severity));
        json.Key("raised").String(IsoTime(e.raised_utc)).Key("cleared");
        if (e.cleared_utc) json.String(IsoTime(e.cleared_utc));
        else json.Null();
        json.Key("active").Bool(e.cleared_utc == 0).EndObject();
    }
    json.EndArray().EndObject();
    return Json(json);
}

// The parts under a device. Columns: last path part ("" for the device itself), the
// query parameters it takes (space separated; any other is refused).
struct DevicePart {
    const char* what;
    const char* params;
};
const DevicePart kDeviceParts[] = {
    {"", ""},
    {"document", ""},
    {"readings", " fields since until points "},
    {"events", " since until active "},
};
static_assert(sizeof kDeviceParts / sizeof kDeviceParts[0] == 4, "one row per device part");

}  // namespace

bool PercentDecode(const std::string& text, bool plus_is_space, std::string& out) {
    const auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
    };
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = hex(text[i + 1]), low = hex(text[i + 2]);
            if (high < 0 || low < 0) return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plus_is_space) {
            c = ' ';
        }
        if (c == '\0') return false;
        out += c;
    }
    return true;
}

bool ParseQuery(const std::string& query, Params& out, std::string& error) {
    out.clear();
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string part = query.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        const size_t eq = part.find('=');
        std::string name, value;
        if (!PercentDecode(part.substr(0, eq), true, name) ||
            (eq != std::string::npos && !PercentDecode(part.substr(eq + 1), true, value))) {
            error = "malformed query";
            return false;
        }
        for (const auto& seen : out)
            if (seen.first == name) {
                error = name + ": given twice";
                return false;
            }
        out.emplace_back(name, value);
    }
    return true;
}

const DeviceState* FindDevice(const HostState& state, const std::string& key) {
    for (const DeviceState& d : state.devices)
        if (d.snapshot->device_name == key) return &d;
    if (key.empty() || key.size() > 10 ||
        !std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return nullptr;
    const unsigned long id = std::strtoul(key.c_str(), nullptr, 10);
    for (const DeviceState& d : state.devices)
        if (d.snapshot->data_id == id) return &d;
    return nullptr;
}

Response DevicesResponse(const HostState& state, int64_t now_utc) {
    JsonWriter json;
    json.BeginObject().Key("devices").BeginArray();
    for (const DeviceState& d : state.devices) {
        json.BeginObject();
        Summary(json, d, now_utc);
        json.EndObject();
    }
    json.EndArray();
    if (state.modbus_serving) {
        json.Key("modbus_server").BeginObject();
        const std::pair<const char*, uint64_t> counters[] = {
            {"clients", state.modbus_clients},
            {"requests", state.modbus_requests},
            {"exceptions", state.modbus_exceptions},
            {"errors", state.modbus_errors},
        };
        for (const auto& [key, value] : counters) json.Key(key).Number(std::to_string(value));
        json.EndObject();
    }
    // The notification channels as the page shows them; no secret is in these.
    if (!state.notify_channels.empty()) {
        json.Key("notify").BeginArray();
        for (const NotifyChannelState& c : state.notify_channels) {
            json.BeginObject().Key("name").String(c.name).Key("kind").String(c.kind);
            const std::pair<const char*, uint64_t> counters[] = {
                {"queued", c.queued}, {"sent", c.sent}, {"failed", c.failed}, {"dropped", c.dropped}};
            for (const auto& [key, value] : counters) json.Key(key).Number(std::to_string(value));
            json.Key("last_error").String(c.last_error).Key("test").String(c.test);
            json.Key("test_time").Number(std::to_string(c.test_time)).EndObject();
        }
        json.EndArray();
    }
    json.EndObject();
    return Json(json);
}

Response NotifyTestResponse(const StateSource& source, const std::string& query) {
    Params params;
    std::string error;
    if (!ParseQuery(query, params, error)) return ErrorResponse(400, error);
    std::string channel;
    for (const auto& [name, value] : params) {
        if (name != "channel") return ErrorResponse(400, "unknown parameter: " + name);
        channel = value;
    }
    switch (source.StartNotifyTest(channel)) {
        case NotifyTest::kStarted: break;
        case NotifyTest::kBusy: return ErrorResponse(429, "a test is under way; its outcome shows per channel");
        case NotifyTest::kNoChannel:
            return ErrorResponse(404, channel.empty() ? "no notification channel is configured"
                                                      : "no notification channel named " + channel);
    }
    JsonWriter json;
    json.BeginObject().Key("testing").String(channel.empty() ? "every channel" : channel).EndObject();
    Response r = Json(json);
    r.status = 202;
    return r;
}

Response DeviceResponse(const HostState& state, const HistoryReader* history,
                        const DocumentSource* documents, const std::string& key,
                        const std::string& what, const std::string& query, int64_t now_utc) {
    const DevicePart* part = nullptr;
    for (const DevicePart& p : kDeviceParts)
        if (what == p.what) part = &p;
    if (part == nullptr) return ErrorResponse(404, "no such page");
    Params params;
    std::string error;
    if (!ParseQuery(query, params, error)) return ErrorResponse(400, error);
    for (const auto& param : params)
        if (std::strstr(part->params, (" " + param.first + " ").c_str()) == nullptr)
            return ErrorResponse(400, "unknown parameter: " + param.first);
    const DeviceState* device = FindDevice(state, key);
    if (device == nullptr) return ErrorResponse(404, "no device named or numbered " + key);
    if (what.empty()) return Detail(*device, now_utc);
    if (what == "document") return Document(*device, documents);
    if (what == "readings") return Readings(*device, history, params, now_utc);
    return Events(*device, history, params, now_utc);
}

}  // namespace web
}  // namespace novex
