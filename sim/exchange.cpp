#include "sim/exchange.h"

#include <cstdio>

#include "sim/modbus_pdu.h"
#include "modbus/wire_time.h"

namespace novexsim {
namespace {

// The unit identifier clients use over TCP when they address "the server itself".
constexpr int kTcpDefaultUnit = 0xFF;

const char* FaultTag(Fault f) {
    switch (f) {
        case Fault::kNoAnswer: return " [no answer]";
        case Fault::kDrop: return " [drop]";
        case Fault::kException: return " [exception 04]";
        case Fault::kBadChecksum: return " [bad checksum]";
        default: return "";
    }
}

}  // namespace

Responder::Responder(UpsState& state, FaultInjector& faults, Framing framing, int first_slave,
                     int last_slave, int baud_pacing)
    : state_(state),
      faults_(faults),
      framing_(framing),
      first_slave_(first_slave),
      last_slave_(last_slave),
      baud_pacing_(baud_pacing) {}

Reply Responder::Handle(const uint8_t* adu, size_t length, Clock::time_point received) {
    Reply reply;
    const bool tcp = framing_ == Framing::kTcp;
    const size_t header = tcp ? kMbapBytes : 1;
    const size_t trailer = tcp ? 0 : 2;
    if (length < header + trailer + 1) return reply;
    const int unit = adu[header - 1];
    // Reads make no sense as broadcasts, so address 0 is never answered either.
    const bool mine = unit >= first_slave_ && unit <= last_slave_;
    if (!mine && !(tcp && unit == kTcpDefaultUnit)) return reply;
    reply.addressed = true;

    const uint8_t* pdu = adu + header;
    const size_t pdu_length = length - header - trailer;
    const FaultDecision fault = faults_.Next();
    Answer answer = AnswerRequest(state_, pdu, pdu_length);
    if (answer.begins_round) round_wire_seconds_ = 0;

    // A read names its first address and count: a test can tell the order of a round.
    char range[32] = "";
    if (pdu_length == 5)
        std::snprintf(range, sizeof range, " at %u x%u", static_cast<unsigned>(pdu[1] << 8 | pdu[2]),
                      static_cast<unsigned>(pdu[3] << 8 | pdu[4]));
    char trace[200];
    std::snprintf(trace, sizeof trace, "request %llu: function %02X%s, %zu bytes -> %02X%s%s",
                  static_cast<unsigned long long>(faults_.requests()), pdu[0], range, pdu_length,
                  answer.pdu.empty() ? 0 : answer.pdu[0], FaultTag(fault.fault),
                  fault.delay_ms > 0 ? " [delayed]" : "");
    reply.trace = trace;

    if (fault.fault == Fault::kNoAnswer || answer.pdu.empty()) return reply;
    if (fault.fault == Fault::kDrop) {
        reply.drop = true;
        return reply;
    }
    if (fault.fault == Fault::kException) answer.pdu = ExceptionPdu(pdu[0], kDeviceFailure);

    reply.bytes = tcp ? TcpFrame(adu, answer.pdu)
                      : RtuFrame(static_cast<uint8_t>(unit), answer.pdu);
    if (fault.fault == Fault::kBadChecksum) {
        if (tcp) {
            // TCP has no checksum; a header that contradicts itself is the nearest
            // equivalent, and clients check the protocol identifier.
            for (size_t i = 2; i < 6; ++i) reply.bytes[i] = 0xFF;
        } else {
            reply.bytes[reply.bytes.size() - 2] ^= 0xFF;
            reply.bytes[reply.bytes.size() - 1] ^= 0xFF;
        }
    }

    reply.send_at = received + std::chrono::milliseconds(fault.delay_ms);
    if (baud_pacing_ > 0) {
        const double wire = vimo::RtuExchangeSeconds({baud_pacing_}, vimo::RtuFrameBytes(pdu_length),
                                                      vimo::RtuFrameBytes(answer.pdu.size()));
        round_wire_seconds_ += wire;
        reply.send_at += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(wire));
        if (answer.ends_round) {
            char line[64];
            std::snprintf(line, sizeof line, "round %d paced %.6f s", state_.round(),
                          round_wire_seconds_);
            reply.round_line = line;
        }
    }
    return reply;
}

}  // namespace novexsim
