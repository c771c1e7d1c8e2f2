#include "notify/message.h"

#include <ctime>
#include <mutex>
#include <random>

#include <json/reader.h>
#include <json/writer.h>

#include "core/time_text.h"

namespace vimo {
namespace notify {

namespace {

const char* const kSeverityNames[] = {"info", "warning", "critical"};

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// "2026-12-09T10:40:01+01:00 CET"
std::string TimeWithZone(int64_t utc) {
    const std::time_t t = static_cast<std::time_t>(utc);
    std::tm local{};
    localtime_r(&t, &local);
    char zone[16] = "";
    std::strftime(zone, sizeof zone, "%Z", &local);
    return novex::LocalIsoText(utc) + (*zone ? std::string(" ") + zone : "");
}

std::string EventLine(const AlarmEvent& e) {
    std::string line = std::string(e.kind == AlarmEvent::Kind::kRaised ? "RAISED  " : "cleared ") +
                       OneLine(e.severity, 16) + "  " + OneLine(e.description);
    if (!e.text.empty()) line += " / " + OneLine(e.text);
    return line + " (" + OneLine(e.alarm, 64) + ")";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

Json::Value EventJson(const AlarmEvent& e) {
    Json::Value v;
    v["event"] = KindName(e.kind);
    v["alarm"] = e.alarm;
    v["description"] = e.description;
    v["text"] = e.text;
    v["severity"] = e.severity;
    v["time"] = novex::LocalIsoText(e.time);
    return v;
}

}  // namespace

unsigned EventKind(const AlarmEvent& event) {
    if (event.alarm == "communication_lost") return kCommunicationEvents;
    if (event.alarm.rfind("run_state.", 0) == 0) return kStateEvents;
    return kAlarmEvents;
}

int EventSeverity(const AlarmEvent& event) {
    const int rank = SeverityRank(event.severity);
    return rank < 0 ? 0 : rank;
}

bool Wanted(const ChannelSettings& channel, const AlarmEvent& event) {
    if (!(channel.kinds & EventKind(event))) return false;
    if (EventSeverity(event) < channel.severity_floor) return false;
    if (channel.devices.empty()) return true;
    for (const std::string& d : channel.devices)
        if (d == event.device || d == std::to_string(event.data_id)) return true;
    return false;
}

std::string OneLine(const std::string& text, size_t max) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7f ? ' ' : c;
    }
    if (out.size() > max) {
        size_t cut = max;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out = out.substr(0, cut) + "...";
    }
    return out;
}

std::string NewMessageId() {
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    static uint64_t counter = 0;
    uint64_t a, b;
    {
        std::lock_guard<std::mutex> lock(mutex);
        a = random() ^ static_cast<uint64_t>(std::time(nullptr));
        b = random() + ++counter;
    }
    char id[33];
    std::snprintf(id, sizeof id, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return id;
}

Message RoundMessage(const DeviceFacts& facts, const std::vector<AlarmEvent>& events,
                     const std::string& subject_template) {
    Message m;
    m.id = NewMessageId();
    m.created = facts.time;
    m.device = OneLine(facts.device, 64);
    for (const AlarmEvent& e : events) m.severity = std::max(m.severity, EventSeverity(e));
    const AlarmEvent& first = events.front();
    const std::string summary =
        (first.kind == AlarmEvent::Kind::kCleared ? "cleared: " : "") + OneLine(first.description, 120);
    const std::string more = events.size() > 1 ? " (+" + std::to_string(events.size() - 1) + " more)" : "";
    const std::string severity = kSeverityNames[m.severity];
    m.subject = subject_template.empty()
                    ? "[" + Upper(severity) + "] " + m.device + ": " + summary + more
                    : Replace(Replace(Replace(Replace(subject_template, "{device}", m.device), "{summary}", summary),
                                      "{count}", std::to_string(events.size())),
                              "{severity}", severity);
    m.subject = OneLine(m.subject, 300);
    m.text = m.device + ", " + TimeWithZone(facts.time) + "\n\n";
    for (const AlarmEvent& e : events) m.text += EventLine(e) + "\n";
    m.text += "\n";
    const std::pair<const char*, std::string> figures[] = {
        {"State", OneLine(facts.state, 32)},
        {"Charge", facts.charge.empty() ? "" : facts.charge + " %"},
        {"Runtime", facts.runtime_min.empty() ? "" : facts.runtime_min + " min"},
        {"On battery since", facts.on_battery_since ? TimeWithZone(facts.on_battery_since) : ""},
        {"Page", OneLine(facts.link, 300)},
    };
    for (const auto& [label, value] : figures)
        if (!value.empty()) m.text += std::string(label) + ": " + value + "\n";

    Json::Value& d = m.document;
    d["id"] = m.id;
    d["device"] = facts.device;
    d["time"] = novex::LocalIsoText(facts.time);
    d["severity"] = severity;
    for (const AlarmEvent& e : events) d["events"].append(EventJson(e));
    if (!facts.state.empty()) d["state"] = facts.state;
    if (!facts.charge.empty()) d["charge_percent"] = facts.charge;
    if (!facts.runtime_min.empty()) d["runtime_minutes"] = facts.runtime_min;
    if (facts.on_battery_since) d["on_battery_since"] = novex::LocalIsoText(facts.on_battery_since);
    if (!facts.link.empty()) d["link"] = facts.link;
    return m;
}

Message ServiceMessage(const std::string& what, int64_t time) {
    Message m;
    m.id = NewMessageId();
    m.created = time;
    m.subject = "[INFO] vimohost " + OneLine(what, 40);
    m.text = "vimohost " + OneLine(what, 40) + ", " + TimeWithZone(time) + "\n";
    m.document["id"] = m.id;
    m.document["service"] = what;
    m.document["time"] = novex::LocalIsoText(time);
    m.document["severity"] = "info";
    return m;
}

Message TestMessage(int64_t time) {
    Message m = ServiceMessage("test", time);
    m.subject = "[INFO] vimohost test message";
    m.text = "This is a test message from vimohost, " + TimeWithZone(time) +
             ".\nIf you read it, this channel works.\n";
    return m;
}

Message DigestMessage(const std::vector<Message>& held, int64_t time) {
    Message m;
    m.id = NewMessageId();
    m.created = time;
    for (const Message& h : held) m.severity = std::max(m.severity, h.severity);
    m.subject = "[" + Upper(kSeverityNames[m.severity]) + "] vimohost: " + std::to_string(held.size()) +
                " messages held back by the rate limit";
    m.text = std::to_string(held.size()) + " messages came faster than the channel's rate; here they are in one.\n";
    for (const Message& h : held) {
        m.text += "\n== " + h.subject + "\n" + h.text;
        m.document["messages"].append(h.document);
    }
    m.document["id"] = m.id;
    m.document["digest"] = static_cast<Json::UInt64>(held.size());
    m.document["severity"] = kSeverityNames[m.severity];
    m.document["time"] = novex::LocalIsoText(time);
    return m;
}

std::string Serialize(const Message& message) {
    Json::Value v;
    v["id"] = message.id;
    v["created"] = static_cast<Json::Int64>(message.created);
    v["severity"] = message.severity;
    v["device"] = message.device;
    v["subject"] = message.subject;
    v["text"] = message.text;
    v["document"] = message.document;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

bool Deserialize(const std::string& text, Message& out) {
    Json::CharReaderBuilder builder;
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors) || !v.isObject() ||
        !v["id"].isString() || !v["subject"].isString() || !v["text"].isString() ||
        !v["created"].isInt64() || !v["severity"].isInt())
        return false;
    out.id = v["id"].asString();
    out.created = v["created"].asInt64();
    out.severity = std::min(2, std::max(0, v["severity"].asInt()));
    out.device = v["device"].asString();
    out.subject = OneLine(v["subject"].asString(), 300);
    out.text = v["text"].asString();
    out.document = v["document"];
    return true;
}

}  // namespace notify
}  // namespace vimo
