// Reading a fuzzer's input as a sequence of small fields. Past the end every field
// reads as zero or empty, so any input is a complete program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

namespace novexfuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() {
        const uint16_t high = Byte();
        return static_cast<uint16_t>(high << 8 | Byte());
    }
    // Up to `length` bytes (fewer at the end).
    std::string Bytes(size_t length) {
        const size_t n = length < size_ - pos_ ? length : size_ - pos_;
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    // The text up to the next `end` byte (consumed, not returned) or the end.
    std::string Until(char end) {
        std::string out;
        while (pos_ < size_ && data_[pos_] != static_cast<uint8_t>(end))
            out.push_back(static_cast<char>(data_[pos_++]));
        if (pos_ < size_) ++pos_;
        return out;
    }
    std::string Rest() { return Bytes(size_ - pos_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A broken property: say which, and stop so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

}  // namespace novexfuzz
