// What a device's "name", "manufacturer" and "model" may hold. Every face addresses a
// device by its name: the UPS protocol as one word, the web API as a path segment,
// /metrics as a label, JSON as a string; the rule below is what they all can carry.
#pragma once

#include <cstddef>
#include <string>

namespace vimo {

constexpr size_t kMaxDeviceNameBytes = 64;
// The rule as messages and the configuration keys' help state it (a literal, so that
// the help can be built from it at compile time).
#define VIMO_DEVICE_NAME_RULE                                                                \
    "a non-empty text without control characters, spaces or any of \" \\ /, in valid UTF-8, " \
    "of at most 64 bytes"
constexpr char kDeviceNameRule[] = VIMO_DEVICE_NAME_RULE;

// A device name: kDeviceNameRule. False with the rule and what breaks it in `why`.
bool CheckDeviceName(const std::string& name, std::string& why);

// A maker's or model's text: non-empty valid UTF-8 without control characters, which
// UPS protocol clients would show raw. False with what is wrong in `why`.
bool CheckDeviceLabel(const std::string& text, std::string& why);

}  // namespace vimo
