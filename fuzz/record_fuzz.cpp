// A stored record offered back to a device: LoadFromCache of any 853 bytes, then the
// document text by 801. Properties: the text is one valid JSON object (strict: no
// trailing bytes, no duplicate keys, no NaN or infinity, valid UTF-8), and it always
// has the same number of members, whatever the record holds.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz/fuzz_input.h"
#include "device/novexups.h"

namespace {

using novexfuzz::Fail;

// Members of every object in the tree, nested ones included.
size_t CountMembers(const Json::Value& v) {
    size_t n = 0;
    if (v.isObject()) n += v.size();
    if (v.isObject() || v.isArray())
        for (const Json::Value& child : v) n += CountMembers(child);
    return n;
}

bool ValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        unsigned min = 0;
        if (c < 0x80) extra = 0;
        else if ((c & 0xE0) == 0xC0) extra = 1, min = 0x80;
        else if ((c & 0xF0) == 0xE0) extra = 2, min = 0x800;
        else if ((c & 0xF8) == 0xF0) extra = 3, min = 0x10000;
        else return false;
        if (i + extra >= s.size()) return false;
        unsigned code = extra == 0 ? c : (c & (0x3F >> extra));
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            code = code << 6 | (t & 0x3F);
        }
        if (extra > 0 && (code < min || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.setstate(std::ios::badbit);  // the device's per-round line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string record(reinterpret_cast<const char*>(data), size);
    record.resize(NovexUPS::kRecordSize, '\0');

    NovexUPS ups;
    Json::Value config(Json::objectValue);
    config["appSetting"]["b_mode"] = 0;  // the alarm rules run too
    ups.InitSetting(config);
    if (ups.LoadFromCache(reinterpret_cast<const unsigned char*>(record.data()),
                          NovexUPS::kRecordSize) != 1)
        Fail("an 853-byte record was refused");

    static std::vector<char> out(1 << 18);  // once: a fresh 256 KiB each run costs page faults
    int length = 0;
    if (ups.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), length) != 0)
        Fail("801 failed");
    const std::string text(out.data(), static_cast<size_t>(length));
    if (!ValidUtf8(text)) Fail("the document is not valid UTF-8");

    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value document;
    std::string error;
    if (!reader->parse(text.data(), text.data() + text.size(), &document, &error) ||
        !document.isObject()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        Fail("the document is not one JSON object");
    }
    static const size_t members = CountMembers(document);
    if (CountMembers(document) != members) Fail("the member count changed");
    return 0;
}
