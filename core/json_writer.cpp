#include "core/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/utf8.h"

namespace novex {

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0, size = 1; i < text.size(); i += size) {
        const char c = text[i];
        size = 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else if (static_cast<unsigned char>(c) < 0x80) {
                out += c;
            } else if (NextCodePoint(text, i, size) >= 0) {
                out.append(text, i, size);
            } else {
                // A byte that is no UTF-8 (a name in a request, a device's text) would
                // make the whole answer invalid JSON: it becomes U+FFFD instead.
                size = 1;
                out += "\\ufffd";
            }
        }
    }
    return out + "\"";
}

void JsonWriter::Separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ',';
    first_.back() = false;
}

JsonWriter& JsonWriter::BeginObject() {
    Separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    out_ += '}';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    Separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    out_ += ']';
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
    Separate();
    out_ += JsonQuote(key);
    out_ += ':';
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
    Separate();
    out_ += JsonQuote(value);
    return *this;
}

JsonWriter& JsonWriter::Number(const std::string& text) {
    Separate();
    out_ += text.empty() ? "null" : text;
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    if (!std::isfinite(value)) return Null();
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return Number(std::string(text, end));
}

JsonWriter& JsonWriter::Bool(bool value) {
    Separate();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    Separate();
    out_ += "null";
    return *this;
}

}  // namespace novex
