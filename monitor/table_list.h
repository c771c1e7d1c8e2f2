// The measure and alarm tables as Markdown, for the README (a test keeps the README's
// copy equal to the tables).
#pragma once

#include <string>

namespace novex {
namespace monitor {

// One row per measure table row: id, labels, unit, document member.
std::string MeasureTableMarkdown();
// The unit alarms and communication_lost one per row, the module alarms once as the
// template every module repeats: id, severity, text, where the document shows it.
std::string AlarmTableMarkdown();

}  // namespace monitor
}  // namespace novex
