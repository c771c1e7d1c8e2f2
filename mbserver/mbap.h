// Modbus TCP framing: the MBAP header (transaction id, protocol id 0, length, unit id)
// and the PDU behind it. A reader takes bytes as they come, in any split, and gives
// whole frames; a header that cannot be Modbus (protocol id not 0, length under 2 or
// over 254, so that a frame is at most 260 bytes) is a bad frame: the connection ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace novex {
namespace mbserver {

constexpr size_t kMbapHeader = 7;
constexpr size_t kMaxFrame = 260;

struct Frame {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    std::string pdu;  // function code and data
};

class FrameReader {
public:
    enum class Result { kNeedMore, kFrame, kBad };
    // Appends received bytes.
    void Feed(const char* data, size_t size) { buffer_.append(data, size); }
    // The next whole frame, if one is there. After kBad the reader stays bad.
    Result Next(Frame& frame, std::string& why);
    // Bytes of a frame begun but not complete.
    bool Partial() const { return buffer_.size() > start_; }
    size_t Pending() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    size_t start_ = 0;
    bool bad_ = false;
};

// The frame of an answer PDU to `request`.
std::string FrameAnswer(const Frame& request, const std::string& pdu);

}  // namespace mbserver
}  // namespace novex
