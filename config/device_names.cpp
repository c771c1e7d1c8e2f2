#include "config/device_names.h"

#include <cstdint>

#include "core/utf8.h"

namespace vimo {

namespace {

// Bytes a name may not hold beside the control characters, each with the face that
// could not carry it. Columns: byte, why.
struct Refused {
    char byte;
    const char* why;
};
const Refused kRefusedInNames[] = {
    {' ', "a space (UPS protocol clients take a name as one word)"},
    {'"', "a quote (UPS protocol clients take a name as one word)"},
    {'\\', "a backslash (UPS protocol clients read it as an escape)"},
    {'/', "a slash (the web API takes a name as one path segment)"},
};
static_assert(sizeof kRefusedInNames / sizeof kRefusedInNames[0] == 4, "refused bytes");

// C0, DEL and C1: a terminal, a log or a client acts on them.
bool Control(int32_t cp) { return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f); }

// "" when `text` is valid UTF-8 without control characters, else what is wrong.
std::string PlainUtf8(const std::string& text) {
    for (size_t i = 0, size = 1; i < text.size(); i += size) {
        const int32_t cp = novex::NextCodePoint(text, i, size);
        if (cp < 0) return "it is not valid UTF-8";
        if (Control(cp)) return "it holds a control character";
    }
    return "";
}

}  // namespace

bool CheckDeviceName(const std::string& name, std::string& why) {
    std::string wrong = name.empty()                       ? "it is empty"
                        : name.size() > kMaxDeviceNameBytes ? "it is too long"
                                                            : PlainUtf8(name);
    for (const Refused& r : kRefusedInNames)
        if (wrong.empty() && name.find(r.byte) != std::string::npos) wrong = std::string("it holds ") + r.why;
    if (wrong.empty()) return true;
    why = "must be " + std::string(kDeviceNameRule) + " (" + wrong + ")";
    return false;
}

bool CheckDeviceLabel(const std::string& text, std::string& why) {
    why = text.empty() ? "it is empty" : PlainUtf8(text);
    return why.empty();
}

}  // namespace vimo
