#include "modbus/modbus_line.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/hints.h"

namespace vimo {

ModbusLine::~ModbusLine() { Close(); }

bool ModbusLine::Open(std::string& error, bool* in_use) {
    if (in_use) *in_use = false;
    if (ctx_) return true;
    modbus_t* ctx = NewContext(error);
    if (!ctx) return false;
    const int ms = settings_.timeout_ms;
    modbus_set_response_timeout(ctx, static_cast<uint32_t>(ms / 1000),
                                static_cast<uint32_t>(ms % 1000) * 1000);
    // No recovery of libmodbus's own: it would sleep and retry behind our back; the
    // transport decides (Recover) and the next round retries.
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_NONE);
    if (modbus_connect(ctx) != 0) {
        const int failure = errno;
        // libmodbus gives up a TCP connect that does not complete within the response
        // timeout and leaves errno as the pending connect set it.
        error = failure == EINPROGRESS ? "timed out connecting" : modbus_strerror(failure);
        // A port opened exclusively by another program refuses everyone but root.
        if (failure == EBUSY) {
            error = "in use by another program (" + error + ")";
            if (in_use) *in_use = true;
        } else if (failure == EACCES && settings_.transport != "tcp") {
            error += SerialAccessHint(settings_.port);
        } else {
            error += LineHint(failure, settings_.transport == "tcp", false);
        }
        modbus_free(ctx);
        return false;
    }
    bool held = false;
    if (!Claim(ctx, error, held)) {
        if (in_use) *in_use = held;
        modbus_close(ctx);
        modbus_free(ctx);
        return false;
    }
    ctx_ = ctx;
    return true;
}

void ModbusLine::SetTimeout(int timeout_ms) {
    settings_.timeout_ms = timeout_ms;
    if (ctx_)
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(timeout_ms / 1000),
                                    static_cast<uint32_t>(timeout_ms % 1000) * 1000);
}

void ModbusLine::Close() {
    if (!ctx_) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
}

std::string ModbusLine::Describe() const {
    return (settings_.transport == "tcp" ? "tcp " : "serial ") + settings_.port;
}

namespace {

Exchange Classify(int error) {
    switch (error) {
        case ETIMEDOUT:
            return Exchange::kTimeout;
        case EMBBADCRC:
        case EMBBADDATA:
        case EMBBADEXC:
        case EMBUNKEXC:
        case EMBBADSLAVE:
        case EMBMDATA:
            return Exchange::kBadFrame;
        default:
            break;
    }
    if (error > MODBUS_ENOBASE && error <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET)
        return Exchange::kException;
    return Exchange::kLinkDown;
}

// How long a busy slave is given before it is asked again: enough for a UPS's
// controller to finish what kept it, short against a round.
constexpr int kBusyPauseMs = 50;

// What each exception code calls for. A slave that could not answer this time (its
// own failure, busy, or a gateway that did not reach the UPS) is asked again like a
// request that timed out; one that refuses the request itself (01-03, 07, 08) would refuse
// it again. A gateway's 0A/0B stands for a UPS that did not answer, after the gateway's
// own wait, so it counts as a wait. Columns: code, asked again, pause before asking
// again (ms), the wait it stands for.
struct ExceptionRetry {
    int code;
    bool retried;
    int pause_ms;
    bool waited;
};
const ExceptionRetry kExceptionRetries[] = {
    {MODBUS_EXCEPTION_ILLEGAL_FUNCTION, false, 0, false},
    {MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS, false, 0, false},
    {MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE, false, 0, false},
    {MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE, true, 0, false},
    {MODBUS_EXCEPTION_ACKNOWLEDGE, true, kBusyPauseMs, false},
    {MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY, true, kBusyPauseMs, false},
    {MODBUS_EXCEPTION_NEGATIVE_ACKNOWLEDGE, false, 0, false},
    {MODBUS_EXCEPTION_MEMORY_PARITY, false, 0, false},
    {MODBUS_EXCEPTION_GATEWAY_PATH, true, 0, true},
    {MODBUS_EXCEPTION_GATEWAY_TARGET, true, 0, true},
};
static_assert(sizeof kExceptionRetries / sizeof kExceptionRetries[0] == 10,
              "one row per exception code libmodbus names");

// A request whose answers came but could not be used (garbled, or a slave's own
// exception) is asked this many times beyond the retries: asking again costs no wait,
// and on a noisy line it keeps a round from failing for want of one answer. The
// retries alone bound the waits, so a silent UPS is given up as soon as before.
constexpr int kAnsweredRetries = 2;

const ExceptionRetry* FindExceptionRetry(int code) {
    for (const ExceptionRetry& row : kExceptionRetries)
        if (row.code == code) return &row;
    return nullptr;
}

bool ValidRequest(int slave, int first, int count, int max) {
    return slave >= 0 && slave <= 247 && first >= 0 && count >= 1 && count <= max &&
           first + count - 1 <= 0xFFFF;
}

}  // namespace

ExchangeResult ModbusLine::Finish(int rc, int expected, const std::string& detail) {
    if (rc == expected) return {};
    ExchangeResult result;
    if (rc >= 0) {
        result.status = Exchange::kBadFrame;
        result.message = "answer of " + std::to_string(rc) + " values instead of " +
                         std::to_string(expected);
    } else {
        const int error = errno;
        result.status = Classify(error);
        result.message = detail.empty() ? modbus_strerror(error) : detail;
        if (result.status == Exchange::kException) result.exception_code = error - MODBUS_ENOBASE;
        result.message += LineHint(error, settings_.transport == "tcp", true);
    }
    Recover(result.status);
    return result;
}

int ModbusLine::Transfer(int slave, int function, int first, int count, void* out,
                         std::string& detail) {
    (void)detail;
    modbus_set_slave(ctx_, slave);
    if (function == MODBUS_FC_READ_COILS)
        return modbus_read_bits(ctx_, first, count, static_cast<uint8_t*>(out));
    return modbus_read_input_registers(ctx_, first, count, static_cast<uint16_t*>(out));
}

ExchangeResult ModbusLine::Perform(int slave, int function, int first, int count, void* out) {
    if (!ctx_) return {Exchange::kNotOpen, "port not open"};
    const int most_attempts = settings_.retries > 0 ? settings_.retries + kAnsweredRetries : 0;
    int waits = 0;  // attempts that ended in a timeout, a lost link or a gateway's wait
    for (int attempt = 0;; ++attempt) {
        std::string detail;
        const int rc = Transfer(slave, function, first, count, out, detail);
        ExchangeResult result = Finish(rc, count, detail);
        if (result.ok()) return result;
        // A lost, garbled or cut-off answer is worth asking for again, on a new
        // connection if the link went; an exception only when it says the slave could
        // not answer this time.
        const ExceptionRetry* exception = result.status == Exchange::kException
                                              ? FindExceptionRetry(result.exception_code)
                                              : nullptr;
        const bool retry = result.status == Exchange::kTimeout ||
                           result.status == Exchange::kBadFrame ||
                           result.status == Exchange::kLinkDown ||
                           (exception != nullptr && exception->retried);
        if (result.status == Exchange::kTimeout || result.status == Exchange::kLinkDown ||
            (exception != nullptr && exception->waited))
            ++waits;
        if (!retry || waits > settings_.retries || attempt >= most_attempts) return result;
        if (exception != nullptr && exception->pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(exception->pause_ms));
        // The recovery may have dropped a TCP connection: the retry needs a new one.
        std::string error;
        if (!Open(error)) {
            result.message += "; cannot reconnect: " + error;
            return result;
        }
    }
}

ExchangeResult ModbusLine::ReadBits(int slave, int first, int count, uint8_t* out) {
    if (!ValidRequest(slave, first, count, MODBUS_MAX_READ_BITS))
        return {Exchange::kBadRequest, "request outside the protocol's limits"};
    return Perform(slave, MODBUS_FC_READ_COILS, first, count, out);
}

ExchangeResult ModbusLine::ReadInputRegisters(int slave, int first, int count, uint16_t* out) {
    if (!ValidRequest(slave, first, count, MODBUS_MAX_READ_REGISTERS))
        return {Exchange::kBadRequest, "request outside the protocol's limits"};
    return Perform(slave, MODBUS_FC_READ_INPUT_REGISTERS, first, count, out);
}

std::unique_ptr<ModbusLine> MakeLine(const LineSettings& settings) {
    return settings.transport == "tcp" ? MakeTcpLine(settings) : MakeRtuLine(settings);
}

}  // namespace vimo
