// Device configuration: any JSON text, read as the host reads a device object, handed
// to Init and then to InitSetting again, then a round and its document. Properties: no
// exception escapes, and a rejected configuration says why in one line.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "fuzz_input.h"
#include "novexups.h"

using novexfuzz::Fail;

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
        if (!accepted) {
            const std::string& why = ups.setting_error;
            if (!why.empty() && why.find('\n') != std::string::npos)
                Fail("a rejection of more than one line");
        }
        ups.InitSetting(config);
        const std::vector<unsigned char> record(NovexUPS::kRecordSize, 0);
        ups.LoadFromCache(record.data(), NovexUPS::kRecordSize);
        std::vector<char> out(1 << 18);
        int length = 0;
        if (ups.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                length) != 0)
            Fail("801 failed after a configuration");
    } catch (...) {
        Fail("an exception escaped the configuration");
    }
    return 0;
}
