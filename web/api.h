// The JSON API under /api/v1: the devices, one device's figures, its status document,
// its stored readings and alarm events. Ids and units come from the measure and alarm
// tables; times are ISO 8601 with the local offset.
#pragma once

#include <cstdint>
#include <string>

#include "web/http_types.h"
#include "web/state_source.h"

namespace novex {
namespace web {

// The device named `key`, or whose data id `key` is; null when none.
const DeviceState* FindDevice(const HostState& state, const std::string& key);

// GET /api/v1/devices
Response DevicesResponse(const HostState& state, int64_t now_utc);

// POST /api/v1/notify/test[?channel=NAME]: 202 once the test messages are on their
// way (each channel's "test" in /api/v1/devices tells how it went), 404 for no such
// channel, 429 while a test runs.
Response NotifyTestResponse(const StateSource& source, const std::string& query);
// GET /api/v1/devices/{key}[/document|/readings|/events]; `what` is "" or the last
// part, `query` the raw query string.
Response DeviceResponse(const HostState& state, const HistoryReader* history,
                        const DocumentSource* documents, const std::string& key,
                        const std::string& what, const std::string& query, int64_t now_utc);

// Query parameters, percent-decoded, in order; false with a one-line error for a
// malformed query (bad escape, a parameter twice).
bool ParseQuery(const std::string& query, std::vector<std::pair<std::string, std::string>>& out,
                std::string& error);
// `text` percent-decoded ('+' as space when `plus_is_space`); false on a bad escape or
// a NUL.
bool PercentDecode(const std::string& text, bool plus_is_space, std::string& out);

}  // namespace web
}  // namespace novex
