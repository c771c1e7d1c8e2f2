// The device's command entry as the controller calls it: a device made by the
// plug-in's provider, then a sequence of commands, each one operation byte and its
// fields. Properties: nothing is written past the capacity given (guard bytes behind
// it stay as they were), no exception escapes, and a successful 801 or 803 reports
// a length that fits.
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include <json/value.h>

#include "fuzz/fuzz_input.h"
#include "vimo_provider.h"

// The plug-in's entry, linked in rather than loaded (looked up by its C name, called
// as C++).
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
extern "C" std::vector<std::shared_ptr<Provider>> get_providers();

namespace {

using novexfuzz::Fail;
using novexfuzz::Input;

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;
constexpr int kRecordSize = 853;
// A capacity field of this value asks for the length the last command reported.
constexpr uint16_t kLastLength = 0xFFFF;

VimoSPDevice* NewDevice() {
    static const std::vector<std::shared_ptr<Provider>> providers = get_providers();
    const auto* provider = dynamic_cast<const VimoSPDeviceProvider*>(providers.at(0).get());
    if (provider == nullptr) Fail("the plug-in's provider makes no devices");
    return provider->create();
}

// Capacity: high bit set is a negative capacity, else the field times 4 (up to about
// 128 KiB, enough for the whole document); kLastLength repeats the last length.
int Capacity(uint16_t field, int last_length) {
    if (field == kLastLength) return last_length;
    if (field & 0x8000) return -static_cast<int>(field & 0x7FFF);
    return static_cast<int>(field) * 4;
}

struct Session {
    std::unique_ptr<VimoSPDevice> device{NewDevice()};
    int last_length = 0;
    Json::Value* tree = nullptr;  // what the last 803 handed out

    void Command(int code, const std::string& argument, int capacity, bool no_buffer) {
        const size_t usable = capacity > 0 ? static_cast<size_t>(capacity) : 0;
        std::vector<unsigned char> out(usable + kGuardBytes, kGuard);
        void* output = no_buffer ? nullptr : out.data();
        int length = -12345;
        int result = 0;
        try {
            result = device->DeviceIoControl(code, argument.data(),
                                             static_cast<int>(argument.size()), output, capacity,
                                             length);
        } catch (...) {
            Fail("an exception escaped DeviceIoControl");
        }
        for (size_t i = usable; i < out.size(); ++i)
            if (out[i] != kGuard) Fail("written past the capacity");
        // 310 and 320 leave the length to the host's handler.
        if (length == -12345 && code != 310 && code != 320) Fail("output length left unset");
        if (result == 0 && (code == 801 || code == 803) && (length < 0 || length > capacity))
            Fail("a successful command reported a length beyond the capacity");
        if (result == 0 && code == 803) std::memcpy(&tree, out.data(), sizeof tree);
        if (length != -12345) last_length = length;
    }

    void Load(const std::string& bytes) {
        std::string record = bytes;
        record.resize(kRecordSize, '\0');
        try {
            device->LoadFromCache(reinterpret_cast<const unsigned char*>(record.data()),
                                  kRecordSize);
        } catch (...) {
            Fail("an exception escaped LoadFromCache");
        }
    }

    // The tree's holder may change it at any time between commands.
    void Edit(uint8_t how, uint8_t which) {
        if (tree == nullptr || !tree->isObject() || tree->empty()) return;
        const std::vector<std::string> names = tree->getMemberNames();
        const std::string& name = names[which % names.size()];
        switch (how % 3) {
            case 0: tree->removeMember(name); break;
            case 1: (*tree)[name] = Json::Value("x"); break;
            default: (*tree)[name] = Json::Value(Json::arrayValue); break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.setstate(std::ios::badbit);  // the device's per-round line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Session session;
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.Byte();
        switch (op % 7) {
            case 0:
            case 1: {  // a setup command handed on to the host, with any argument
                const std::string argument = in.Bytes(in.Byte());
                session.Command(op % 7 == 0 ? 310 : 320, argument, Capacity(in.Word(), 0),
                                (op & 0x80) != 0);
                break;
            }
            case 2:
            case 3:  // the document as text or as a pointer
                session.Command(op % 7 == 2 ? 801 : 803, std::string(),
                                Capacity(in.Word(), session.last_length), (op & 0x80) != 0);
                break;
            case 4:  // a completed round
                session.Load(in.Bytes(kRecordSize));
                break;
            case 5: {
                const uint8_t how = in.Byte();
                session.Edit(how, in.Byte());
                break;
            }
            default:  // any other code: the status word
                session.Command(static_cast<int16_t>(in.Word()), in.Bytes(in.Byte()),
                                Capacity(in.Word(), 0), (op & 0x80) != 0);
                break;
        }
    }
    return 0;
}
