// Helpers of the status-document and command tests: a device whose rounds a test
// completes with chosen bytes and times, records, and the two document commands.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "device/novexups.h"

namespace render_test {

using boost::posix_time::ptime;

// A fixed, arbitrary round time; tests step it by whole seconds.
inline ptime BaseTime() {
    return ptime(boost::gregorian::date(2024, 3, 5), boost::posix_time::hours(7));
}

class DocumentUPS : public NovexUPS {
public:
    // Completes a round whose record is `data` byte for byte (its time stamp too),
    // at round time `time`, as the round completion publishes it.
    void Complete(const NovexUPS_Data_t& data, ptime time) {
        std::memcpy(&record, &data, sizeof record);
        round_time = time;
        data_ready = true;
        PublishCompletedRound();
    }
    // The document text by 801 into an ample buffer.
    std::string Text() {
        std::vector<char> out(1 << 20);
        int length = -7;
        EXPECT_EQ(0, DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                     length));
        return std::string(out.data(), length < 0 ? 0 : static_cast<size_t>(length));
    }
    // The document's address by 803.
    Json::Value* Pointer() {
        Json::Value* pointer = nullptr;
        int length = 0;
        EXPECT_EQ(0, DeviceIoControl(803, nullptr, 0, &pointer, sizeof pointer, length));
        return pointer;
    }
};

inline NovexUPS_Data_t RandomRecord(uint32_t seed) {
    NovexUPS_Data_t data;
    auto* bytes = reinterpret_cast<unsigned char*>(&data);
    uint32_t x = seed * 2654435761u + 0x9e3779b9u;
    for (size_t i = 0; i < sizeof data; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<unsigned char>(x >> 8);
    }
    return data;
}

inline void SetRegister(NovexUPS_Data_t& data, size_t offset, uint16_t value) {
    std::memcpy(reinterpret_cast<unsigned char*>(&data) + offset, &value, sizeof value);
}

inline Json::Value Parse(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, value)) << text.substr(0, 200);
    return value;
}

}  // namespace render_test
