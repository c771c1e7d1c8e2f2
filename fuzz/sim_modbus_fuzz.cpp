// The simulator's request handling: a sequence of whole requests (each a length byte
// and the bytes, as the transport hands them over after its framing checks), TCP
// (MBAP header) or RTU (address and CRC) by the first byte, which also picks the
// injected faults. Properties: no exception escapes; without faults every answer is
// well framed: RTU answers carry the address asked and a right CRC, TCP answers the
// request's transaction id, protocol 0 and a length that matches.
#include <string>

#include "sim/exchange.h"
#include "fuzz/fuzz_input.h"
#include "sim/modbus_pdu.h"
#include "sim/register_map.h"

using novexfuzz::Fail;
using novexfuzz::Input;

namespace {

void CheckFrame(bool tcp, const std::string& request, const std::vector<uint8_t>& answer) {
    const auto* req = reinterpret_cast<const uint8_t*>(request.data());
    if (tcp) {
        if (answer.size() < novexsim::kMbapBytes + 2) Fail("a TCP answer too short");
        if (answer[0] != req[0] || answer[1] != req[1]) Fail("a foreign transaction id");
        if (answer[2] != 0 || answer[3] != 0) Fail("a protocol id other than 0");
        if (static_cast<size_t>(answer[4] << 8 | answer[5]) != answer.size() - 6)
            Fail("an MBAP length that does not match");
        if (answer[6] != req[6]) Fail("a foreign unit id");
    } else {
        if (answer.size() < 5) Fail("an RTU answer too short");
        if (answer[0] != req[0]) Fail("a foreign slave address");
        const uint16_t crc = novexsim::Crc16(answer.data(), answer.size() - 2);
        if (answer[answer.size() - 2] != (crc & 0xFF) || answer[answer.size() - 1] != crc >> 8)
            Fail("a wrong CRC");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.Byte();
    const bool tcp = (mode & 1) != 0;
    const bool faulty = (mode & 2) != 0;
    novexsim::FaultConfig faults;
    if (faulty) {
        faults.noanswer_every = mode >> 2 & 3;
        faults.exception_every = mode >> 4 & 3;
        faults.crc_every = mode >> 6 & 3;
        faults.drop_every = in.Byte() & 7;
        faults.rate_percent = in.Byte() % 101;
    }
    novexsim::Scenario scenario;
    novexsim::BuiltinScenario("normal", scenario);
    novexsim::UpsState state(scenario);
    novexsim::FaultInjector injector(faults, tcp);
    novexsim::Responder responder(state, injector,
                                  tcp ? novexsim::Framing::kTcp : novexsim::Framing::kRtu, 1, 3,
                                  faulty ? 9600 : 0);
    try {
        for (int i = 0; i < 64 && !in.empty(); ++i) {
            const std::string request = in.Bytes(in.Byte());
            const novexsim::Reply reply =
                responder.Handle(reinterpret_cast<const uint8_t*>(request.data()), request.size(),
                                 novexsim::Clock::time_point());
            if (!faulty && !reply.bytes.empty()) CheckFrame(tcp, request, reply.bytes);
        }
    } catch (...) {
        Fail("an exception escaped the request handling");
    }
    return 0;
}
