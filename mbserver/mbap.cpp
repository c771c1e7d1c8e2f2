#include "mbserver/mbap.h"

namespace novex {
namespace mbserver {

namespace {

uint16_t Word(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) << 8 | static_cast<uint8_t>(s[at + 1]));
}

}  // namespace

FrameReader::Result FrameReader::Next(Frame& frame, std::string& why) {
    if (bad_) return Result::kBad;
    const size_t left = buffer_.size() - start_;
    if (left < kMbapHeader) {
        if (start_ > 0) {
            buffer_.erase(0, start_);
            start_ = 0;
        }
        return Result::kNeedMore;
    }
    const uint16_t protocol = Word(buffer_, start_ + 2);
    const uint16_t length = Word(buffer_, start_ + 4);
    if (protocol != 0 || length < 2 || length > kMaxFrame - 6) {
        bad_ = true;
        why = protocol != 0 ? "protocol id " + std::to_string(protocol) + ", not 0"
                            : "MBAP length " + std::to_string(length) + " out of 2..254";
        return Result::kBad;
    }
    if (left < 6 + size_t{length}) return Result::kNeedMore;
    frame.transaction = Word(buffer_, start_);
    frame.unit = static_cast<uint8_t>(buffer_[start_ + 6]);
    frame.pdu.assign(buffer_, start_ + kMbapHeader, length - 1u);
    start_ += 6 + size_t{length};
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Result::kFrame;
}

std::string FrameAnswer(const Frame& request, const std::string& pdu) {
    const size_t length = pdu.size() + 1;
    std::string out{static_cast<char>(request.transaction >> 8),
                    static_cast<char>(request.transaction & 0xFF),
                    0,
                    0,
                    static_cast<char>(length >> 8),
                    static_cast<char>(length & 0xFF),
                    static_cast<char>(request.unit)};
    return out + pdu;
}

}  // namespace mbserver
}  // namespace novex
