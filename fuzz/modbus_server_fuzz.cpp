// The Modbus server's frame reader and answers: the input is a byte stream cut into
// reads of the sizes its first bytes give, as a client's connection delivers it, fed to
// a reader whose frames are answered for a fresh unit, a unit with no round and an
// unknown one. Properties: no exception escapes; every answer is well framed (the
// request's transaction and unit, protocol 0, a length that matches, at most 260
// bytes); a reader that said bad stays bad.
#include <string>

#include "fuzz/fuzz_input.h"
#include "mbserver/mbap.h"
#include "mbserver/responder.h"

using novexfuzz::Fail;
using novexfuzz::Input;

namespace mb = novex::mbserver;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    static const novex::monitor::DeviceSnapshot fresh = [] {
        novex::monitor::DeviceSnapshot s;
        s.record.assign(853, 0x5A);
        s.rounds_completed = 3;
        return s;
    }();
    static const novex::monitor::DeviceSnapshot none;
    const size_t cut = 1 + in.Byte() % 32;
    mb::FrameReader reader;
    bool bad = false;
    while (!in.empty()) {
        const std::string piece = in.Bytes(cut);
        reader.Feed(piece.data(), piece.size());
        mb::Frame frame;
        std::string why;
        for (;;) {
            const mb::FrameReader::Result r = reader.Next(frame, why);
            if (bad && r != mb::FrameReader::Result::kBad) Fail("a bad reader read on");
            if (r == mb::FrameReader::Result::kBad) {
                bad = true;
                if (why.empty()) Fail("a bad frame without a reason");
                break;
            }
            if (r == mb::FrameReader::Result::kNeedMore) break;
            const novex::monitor::DeviceSnapshot* unit = frame.unit % 3 == 0 ? &fresh : frame.unit % 3 == 1 ? &none : nullptr;
            const std::string pdu = mb::Answer(unit, reinterpret_cast<const uint8_t*>(frame.pdu.data()),
                                               frame.pdu.size(), 100);
            const std::string answer = mb::FrameAnswer(frame, pdu);
            if (answer.size() > mb::kMaxFrame) Fail("an answer over 260 bytes");
            if (pdu.empty() || (static_cast<uint8_t>(pdu[0]) & 0x7F) != (frame.pdu.empty() ? 0 : static_cast<uint8_t>(frame.pdu[0]) & 0x7F))
                Fail("an answer to another function");
            if (static_cast<size_t>(static_cast<uint8_t>(answer[4]) << 8 | static_cast<uint8_t>(answer[5])) != answer.size() - 6)
                Fail("an MBAP length that does not match");
            if (answer[2] != 0 || answer[3] != 0 || static_cast<uint8_t>(answer[6]) != frame.unit)
                Fail("a foreign protocol or unit id");
        }
        if (bad) break;
    }
    return 0;
}
