#include "status_summary.h"

#include <algorithm>
#include <cstdio>

namespace vimo {

namespace {

// One part of the summary. Columns: its label, the document section, up to three keys
// shown joined by "/", the unit, and the decimals to print numbers with.
struct SummaryPart {
    const char* label;
    const char* section;
    const char* keys[3];
    const char* unit;
    int decimals;
};
const SummaryPart kSummaryParts[] = {
    {"state", "整机状态数据", {"运行状态", nullptr, nullptr}, "", 0},
    {"in", "整机数据", {"输入A相电压", "输入B相电压", "输入C相电压"}, " V", 1},
    {"out", "整机数据", {"输出A相电压", "输出B相电压", "输出C相电压"}, " V", 1},
    {"load", "整机数据", {"输出A相负载率", "输出B相负载率", "输出C相负载率"}, " %", 0},
    {"battery", "整机数据", {"电池容量率", nullptr, nullptr}, " %", 0},
    {"", "整机数据", {"正组电池电压", "负组电池电压", nullptr}, " V", 1},
    {"backup", "整机数据", {"电池后备时间", nullptr, nullptr}, "", 0},
};

// Sections whose "AlertArray" holds the unit's alarms; "" is the document's own
// (the modules').
const char* const kAlarmSections[] = {"整机告警位", "整机告警位位", ""};

std::string Show(const Json::Value& v, int decimals) {
    if (v.isString()) return v.asString();
    if (v.isNumeric()) {
        char text[40];
        std::snprintf(text, sizeof text, "%.*f", decimals, v.asDouble());
        return text;
    }
    return "";
}

}  // namespace

std::vector<std::string> DocumentAlarms(const Json::Value& document) {
    std::vector<std::string> out;
    if (!document.isObject()) return out;
    for (const char* section : kAlarmSections) {
        const Json::Value& container = *section ? document[section] : document;
        if (!container.isObject()) continue;
        const Json::Value& alerts = container["AlertArray"];
        if (!alerts.isObject()) continue;
        for (const std::string& key : alerts.getMemberNames())
            if (alerts[key].isBool() && alerts[key].asBool() &&
                std::find(out.begin(), out.end(), key) == out.end())
                out.push_back(key);
    }
    return out;
}

std::string SummarizeDocument(const Json::Value& document) {
    std::string out;
    if (!document.isObject()) return "no status document";
    for (const SummaryPart& part : kSummaryParts) {
        const Json::Value& section = document[part.section];
        if (!section.isObject()) continue;
        std::string values;
        for (const char* key : part.keys) {
            if (!key) break;
            const std::string shown = Show(section[key], part.decimals);
            if (shown.empty()) continue;
            values += (values.empty() ? "" : "/") + shown;
        }
        if (values.empty()) continue;
        if (*part.label) out += std::string(out.empty() ? "" : " | ") + part.label + " ";
        else out += " ";
        out += values + part.unit;
    }
    const std::vector<std::string> alarms = DocumentAlarms(document);
    out += std::string(out.empty() ? "" : " | ") + "alarms: ";
    if (alarms.empty()) out += "none";
    const size_t shown = alarms.size() > 6 ? 5 : alarms.size();
    for (size_t i = 0; i < shown; ++i) out += (i ? ", " : "") + alarms[i];
    if (shown < alarms.size()) out += " and " + std::to_string(alarms.size() - shown) + " more";
    return out;
}

}  // namespace vimo
