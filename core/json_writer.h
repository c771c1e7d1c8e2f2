// A small streaming JSON writer: the API's numbers are written as the measure table
// formats them (220.3, not 220.30000000000001), which general JSON libraries do not do.
#pragma once

#include <string>
#include <vector>

namespace novex {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    // `text` must already be a JSON number ("220.3"); empty writes null.
    JsonWriter& Number(const std::string& text);
    JsonWriter& Number(double value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    const std::string& text() const { return out_; }

private:
    void Separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool after_key_ = false;
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);

}  // namespace novex
