#include "monitor/table_list.h"

#include "monitor/alarms.h"
#include "monitor/measures.h"

namespace novex {
namespace monitor {

namespace {

const char* const kScopeLabels[] = {"", "module", "cell"};

// "模块%s-逆变A相电压" shown as "模块N-逆变A相电压".
std::string Pattern(const char* key) {
    std::string text = key;
    const size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, "N");
    return text;
}

}  // namespace

std::string MeasureTableMarkdown() {
    std::string out = "| id | labels | unit | document member |\n|---|---|---|---|\n";
    for (const MeasureRow& row : kMeasureRows) {
        std::string labels = kScopeLabels[static_cast<size_t>(row.scope)];
        if (row.label_name)
            labels += (labels.empty() ? "" : ", ") + std::string(row.label_name) + "=" +
                      row.label_value;
        out += std::string("| `") + row.id + "` | " + labels + " | " + UnitName(row.unit) +
               " | " + (row.section ? std::string(row.section) + " / " : "") +
               Pattern(row.key) + " |\n";
    }
    return out;
}

std::string AlarmTableMarkdown() {
    std::string out = "| id | severity | description | text | document section |\n"
                      "|---|---|---|---|---|\n";
    for (const Alarm& alarm : Alarms()) {
        if (alarm.module > 1) continue;
        std::string id = alarm.id;
        std::string text = alarm.text;
        std::string description = alarm.description;
        std::string where = alarm.coil_byte >= 0 ? "整机告警位" : "";
        if (alarm.module == 1) {
            id.replace(0, 7, "moduleN");  // "module1"
            text.replace(0, 7, "模块N");   // "模块1", the digit one byte
            description.replace(0, 8, "Module N");  // "Module 1"
            where = "AlertArray";
        } else if (alarm.register_offset >= 0) {
            where += (where.empty() ? "" : ", ") + std::string("整机告警位位");
        }
        if (alarm.run_state >= 0) where = "整机状态数据 / 运行状态 = " + std::to_string(alarm.run_state);
        if (where.empty()) where = "(vimohost)";
        out += "| `" + id + "` | " + SeverityName(alarm.severity) + " | " + description + " | " +
               text + " | " + where + " |\n";
    }
    return out;
}

}  // namespace monitor
}  // namespace novex
