// Device configuration: any JSON text, read as the host reads a device object, handed
// to Init and then to InitSetting again, then a round completed under it. Properties:
// the only exception out of them is the JSON library's for an "appSetting" / "b_mode"
// that cannot be read as text (an array or an object: the device's documented answer,
// which the host catches); a rejected configuration says why in one line.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz/fuzz_input.h"
#include "device/novexups.h"

using novexfuzz::Fail;

namespace {

bool ModeUnreadable(const Json::Value& config) {
    if (!config.isObject()) return false;
    const Json::Value& app = config["appSetting"];
    if (!app.isObject()) return false;
    const Json::Value& mode = app["b_mode"];
    return mode.isArray() || mode.isObject();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.setstate(std::ios::badbit);  // the device's per-round line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value config;
    std::string parse_error;
    try {
        if (!reader->parse(text, text + size, &config, &parse_error)) return 0;
    } catch (const std::exception&) {
        return 0;  // the JSON library's own limits (nesting depth)
    }

    NovexUPS ups;
    try {
        const bool accepted = ups.Init(std::weak_ptr<VimoController>(), 7, config);
        if (!accepted && ups.setting_error.find_first_of("\r\n") != std::string::npos)
            Fail("a rejection of more than one line");
        ups.InitSetting(config);
    } catch (const Json::Exception&) {
        if (!ModeUnreadable(config)) Fail("the JSON library threw for a readable configuration");
        return 0;
    } catch (...) {
        Fail("an exception escaped the configuration");
    }
    try {
        const std::vector<unsigned char> record(NovexUPS::kRecordSize, 0);
        ups.LoadFromCache(record.data(), NovexUPS::kRecordSize);
    } catch (...) {
        Fail("an exception escaped a round after the configuration");
    }
    return 0;
}
