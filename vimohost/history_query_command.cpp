// `vimohost history readings`, `events` and `rules`: figures and alarms over
// time from the history, as a table, CSV or JSON. Output is built in large pieces:
// a device-day at one round a second is 86,400 rows of some 300 figures.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "vimohost/commands.h"
#include "common/console.h"
#include "history/reader.h"
#include "history/times.h"
#include "monitor/alarms.h"
#include "monitor/measures.h"

namespace vimo {

namespace {

using novex::monitor::Measure;
using novex::monitor::Measures;
using novex::monitor::Unit;

void Fail(const std::string& message) { Say("vimohost history: " + message); }

enum class Format { kTable, kCsv, kJson };

// Output gathered and written in large pieces.
class Out {
public:
    ~Out() { Flush(); }
    std::string& text() { return text_; }
    void Maybe() {
        if (text_.size() > (1 << 20)) Flush();
    }
    void Flush() {
        std::fwrite(text_.data(), 1, text_.size(), stdout);
        text_.clear();
    }

private:
    std::string text_;
};

// A value at its measure's resolution; a state as its id; "" when absent.
void AppendValue(std::string& out, const Measure& m, double v, bool quoted) {
    if (std::isnan(v)) return;
    if (m.unit == Unit::kState) {
        if (quoted) out += '"';
        out += novex::monitor::RunStateId(static_cast<unsigned>(v));
        if (quoted) out += '"';
        return;
    }
    static const double kPowers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    const int decimals = m.decimals;
    const long long scaled = std::llround(v * kPowers[decimals]);
    char digits[32];
    const int n = static_cast<int>(
        std::to_chars(digits, digits + sizeof digits, scaled < 0 ? -scaled : scaled).ptr - digits);
    if (scaled < 0) out += '-';
    if (decimals == 0) {
        out.append(digits, static_cast<size_t>(n));
        return;
    }
    if (n <= decimals) {
        out += "0.";
        out.append(static_cast<size_t>(decimals - n), '0');
        out.append(digits, static_cast<size_t>(n));
        return;
    }
    out.append(digits, static_cast<size_t>(n - decimals));
    out += '.';
    out.append(digits + n - decimals, static_cast<size_t>(decimals));
}

// A mean has no resolution of its own: two more digits than the measure's.
void AppendMean(std::string& out, const Measure& m, double v) {
    if (std::isnan(v)) return;
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%.*f", m.decimals + 2, v);
    out.append(text, static_cast<size_t>(n));
}

// {"min":…,"mean":…,"max":…}: one field's spread over a bucket or a stored minute.
void AppendSpread(std::string& out, const Measure& m, const FieldSummary& s) {
    out += "{\"min\":";
    AppendValue(out, m, s.min, true);
    out += ",\"mean\":";
    AppendMean(out, m, s.mean);
    out += ",\"max\":";
    AppendValue(out, m, s.max, true);
    out += "}";
}

std::string JsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

int Readings(HistoryReader& reader, const HistoryDevice& device, const HistoryOptions& o,
             int64_t since, int64_t until) {
    std::vector<size_t> fields = o.fields;
    if (fields.empty())
        for (size_t i = 0; i < Measures().size(); ++i) fields.push_back(i);
    const Format format = o.csv ? Format::kCsv : o.json ? Format::kJson : Format::kTable;
    const char separator = format == Format::kTable ? ' ' : ',';
    Out out;
    std::string& text = out.text();
    const auto time_of = [&](int64_t utc) { return IsoTime(utc, o.utc); };
    std::string error;
    // Each field's JSON key, quoted once: a day has 86,400 rows of them.
    std::vector<std::string> keys;
    for (const size_t f : fields) keys.push_back(JsonQuoted(Measures()[f].name) + ":");
    // The part of the span before the device's oldest round answers from its minute
    // aggregates: said on standard error, and row by row in a source column (table,
    // CSV) or member (JSON). Answers the rounds cover look as they always did.
    const int64_t minutes_until = reader.MinutesUntil(device.data_id, since, until);
    if (minutes_until != 0)
        Say("vimohost history: before " + time_of(minutes_until) +
            " the device's rounds are no longer kept: those readings are " + kMinuteSource +
            " (min, mean, max of each minute)");
    const auto source_column = [&](bool minutes) {
        if (minutes_until == 0) return;
        text += separator;
        text += minutes ? kMinuteColumn : kRoundColumn;
    };
    if (o.step > 0) {
        std::vector<ReadingBucket> buckets;
        if (!reader.Downsample(device.data_id, since, until, o.step, 0, fields, buckets, error)) {
            Fail(error);
            return kExitFailure;
        }
        if (format != Format::kJson) {
            text += "time" + std::string(1, separator) + "rounds";
            for (const size_t f : fields)
                for (const char* part : {".min", ".mean", ".max"})
                    text += separator + PlainName(Measures()[f]) + part;
            if (minutes_until != 0) text += std::string(1, separator) + "source";
            text += '\n';
        } else {
            text += "[";
        }
        for (const ReadingBucket& b : buckets) {
            if (format == Format::kJson) {
                text += std::string(&b == &buckets[0] ? "\n" : ",\n") + "{\"time\":\"" +
                        time_of(b.start) + "\",\"utc\":" + std::to_string(b.start) +
                        ",\"rounds\":" + std::to_string(b.rounds) +
                        (b.minutes ? std::string(",\"source\":\"") + kMinuteSource + "\"" : "") +
                        ",\"fields\":{";
                for (size_t i = 0; i < fields.size(); ++i) {
                    const Measure& m = Measures()[fields[i]];
                    const FieldSummary& s = b.fields[i];
                    if (i) text += ',';
                    text += keys[i];
                    if (s.count == 0) {
                        text += "null";
                        continue;
                    }
                    AppendSpread(text, m, s);
                }
                text += "}}";
            } else {
                text += time_of(b.start) + separator + std::to_string(b.rounds);
                for (size_t i = 0; i < fields.size(); ++i) {
                    const Measure& m = Measures()[fields[i]];
                    text += separator;
                    AppendValue(text, m, b.fields[i].min, false);
                    text += separator;
                    AppendMean(text, m, b.fields[i].mean);
                    text += separator;
                    AppendValue(text, m, b.fields[i].max, false);
                }
                source_column(b.minutes);
                text += '\n';
            }
            out.Maybe();
        }
        if (format == Format::kJson) text += "\n]\n";
        return kExitOk;
    }
    if (format != Format::kJson) {
        text += "time";
        for (const size_t f : fields) text += separator + PlainName(Measures()[f]);
        if (minutes_until != 0) text += std::string(1, separator) + "source";
        text += '\n';
    } else {
        text += "[";
    }
    bool first = true;
    const bool ok = reader.Readings(device.data_id, since, until, fields, [&](const ReadingRow& row) {
        if (format == Format::kJson && row.minute) {
            // A minute: its rounds and each field's min, mean and max.
            text += std::string(first ? "\n" : ",\n") + "{\"time\":\"" + time_of(row.utc) +
                    "\",\"utc\":" + std::to_string(row.utc) + ",\"source\":\"" + kMinuteSource +
                    "\",\"rounds\":" + std::to_string(row.rounds) + ",\"fields\":{";
            bool any = false;
            for (size_t i = 0; i < fields.size(); ++i) {
                const FieldSummary& s = row.spread[i];
                if (s.count == 0) continue;
                const Measure& m = Measures()[fields[i]];
                if (any) text += ',';
                text += keys[i];
                AppendSpread(text, m, s);
                any = true;
            }
            text += "}}";
        } else if (format == Format::kJson) {
            text += std::string(first ? "\n" : ",\n") + "{\"time\":\"" + time_of(row.utc) +
                    "\",\"utc\":" + std::to_string(row.utc) + ",\"round\":" +
                    std::to_string(row.round) + ",\"fields\":{";
            bool any = false;
            for (size_t i = 0; i < fields.size(); ++i) {
                if (std::isnan(row.values[i])) continue;
                if (any) text += ',';
                text += keys[i];
                AppendValue(text, Measures()[fields[i]], row.values[i], true);
                any = true;
            }
            text += "}}";
        } else {
            // A minute's row holds its means.
            text += time_of(row.utc);
            for (size_t i = 0; i < fields.size(); ++i) {
                text += separator;
                if (row.minute)
                    AppendMean(text, Measures()[fields[i]], row.values[i]);
                else
                    AppendValue(text, Measures()[fields[i]], row.values[i], false);
            }
            source_column(row.minute);
            text += '\n';
        }
        first = false;
        out.Maybe();
        return true;
    }, error);
    if (format == Format::kJson) text += "\n]\n";
    if (!ok) {
        out.Flush();
        Fail(error);
        return kExitFailure;
    }
    return kExitOk;
}

// The alarm table's English description of a stored alarm id; "" for an id it no
// longer has.
std::string Description(const std::string& alarm) {
    const size_t index = novex::monitor::FindAlarm(alarm);
    return index < novex::monitor::Alarms().size() ? novex::monitor::Alarms()[index].description : "";
}

// "Battery voltage low (电池电压低)": English first, the UPS's text beside it.
std::string Described(const StoredEvent& e) {
    const std::string description = Description(e.alarm);
    return description.empty() ? e.text : description + " (" + e.text + ")";
}

// The query `events` and `rules` share: the device (by name or data id) and the span.
// -1, or the exit code of a device the history does not hold.
int SpanQuery(HistoryReader& reader, const HistoryOptions& o, int64_t until, EventQuery& query) {
    if (!o.device.empty()) {
        HistoryDevice device;
        std::string error;
        if (!reader.FindDevice(o.device, device, error)) {
            Fail(error);
            return kExitUsage;
        }
        query.data_id = device.data_id;
    }
    if (o.since_given) query.since = o.since;
    query.until = until;
    return -1;
}

// The members every event or rule row starts with in --json.
Json::Value JsonRow(const HistoryOptions& o, int64_t utc, const std::string& device,
                    uint32_t data_id, bool raised) {
    Json::Value row;
    row["time"] = IsoTime(utc, o.utc);
    row["utc"] = static_cast<Json::Int64>(utc);
    row["device"] = device;
    row["data_id"] = data_id;
    row["event"] = raised ? "raised" : "cleared";
    return row;
}

void PrintJson(const Json::Value& list) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = true;
    std::printf("%s\n", Json::writeString(writer, list).c_str());
}

// `text` left-aligned in at least `width` columns, as printf's %-Ns.
std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// The span's rows as `fetch` gives them: with --json each row's leading members and
// then `members` (its own); else a line of time, device, raised or cleared, and `rest`.
template <typename Row, typename Members, typename Rest>
int ListSpan(HistoryReader& reader, const HistoryOptions& o, int64_t until,
             bool (HistoryReader::*fetch)(const EventQuery&, std::vector<Row>&, std::string&),
             Members members, Rest rest) {
    EventQuery query;
    const int exit_code = SpanQuery(reader, o, until, query);
    if (exit_code >= 0) return exit_code;
    query.active_only = o.active;  // the rule reports do not use it
    std::vector<Row> rows;
    std::string error;
    if (!(reader.*fetch)(query, rows, error)) {
        Fail(error);
        return kExitFailure;
    }
    if (o.json) {
        Json::Value list(Json::arrayValue);
        for (const Row& r : rows) {
            Json::Value row = JsonRow(o, r.utc, r.device, r.data_id, r.raised);
            members(r, row);
            list.append(row);
        }
        PrintJson(list);
        return kExitOk;
    }
    for (const Row& r : rows)
        std::printf("%-25s %-10s %-7s %s\n", IsoTime(r.utc, o.utc).c_str(), r.device.c_str(),
                    r.raised ? "raised" : "cleared", rest(r).c_str());
    return kExitOk;
}

int Events(HistoryReader& reader, const HistoryOptions& o, int64_t until) {
    return ListSpan(
        reader, o, until, &HistoryReader::Events,
        [](const StoredEvent& e, Json::Value& row) {
            row["alarm"] = e.alarm;
            row["severity"] = e.severity;
            row["description"] = Description(e.alarm);
            row["text"] = e.text;
        },
        [](const StoredEvent& e) {
            return Padded(e.alarm, 36) + " " + Padded(e.severity, 8) + " " + Described(e);
        });
}

// The plug-in's rule reports, as `events` lists the alarm table's: time, device,
// raised or cleared, rule id and text.
int Rules(HistoryReader& reader, const HistoryOptions& o, int64_t until) {
    return ListSpan(
        reader, o, until, &HistoryReader::Rules,
        [](const StoredRule& r, Json::Value& row) {
            row["rule_id"] = r.rule_id;
            row["rule"] = r.rule;
        },
        [](const StoredRule& r) { return Padded(r.rule_id, 12) + " " + r.rule; });
}

}  // namespace

int RunHistoryQuery(const HistoryOptions& o) {
    std::string error;
    std::unique_ptr<HistoryReader> reader = HistoryReader::Open(o.history_file, error);
    if (!reader) {
        Fail(error);
        return kExitFailure;
    }
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    // Until now, inclusive of the present second.
    const int64_t until = o.until_given ? o.until : now + 1;
    if (o.query == "events") return Events(*reader, o, until);
    if (o.query == "rules") return Rules(*reader, o, until);
    HistoryDevice device;
    if (!reader->FindDevice(o.device, device, error)) {
        Fail(error);
        return kExitUsage;
    }
    const int64_t since = o.since_given ? o.since : now - 3600;
    return Readings(*reader, device, o, since, until);
}

}  // namespace vimo
