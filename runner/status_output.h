// What a completed round leaves behind: the --status-out file and the summary line.
#pragma once

#include <string>

#include "device_session.h"

namespace vimo {

// After a round's completion: renders the device's document, writes it to `path`
// (none when empty) and says the summary, "[name] what | summary", on standard error.
void PublishStatus(DeviceSession& session, const std::string& path, const std::string& what);

// Writes `text` to a temporary file beside `path`, then renames it over `path`, so a
// reader never sees half a document.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace vimo
