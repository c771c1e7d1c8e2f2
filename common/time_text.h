// Times as the API writes and reads them: ISO 8601 with the local offset.
#pragma once

#include <cstdint>
#include <string>

namespace novex {
namespace web {

// "2024-05-01T10:00:00+08:00" for `utc` in the process's local time zone.
std::string IsoTime(int64_t utc);

// Reads "YYYY-MM-DDTHH:MM:SS" with optional fraction and a "Z" or "+HH:MM"/"+HHMM"
// offset (required), or plain epoch seconds. False for anything else.
bool ParseTime(const std::string& text, int64_t& utc);

}  // namespace web
}  // namespace novex
