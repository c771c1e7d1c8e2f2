// One Modbus line (a serial port, or a TCP connection to a slave or gateway), used by
// one thread at a time: the exchanges on a line never overlap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <modbus.h>

#include "host/line_settings.h"

namespace vimo {

struct LineSettings {
    std::string transport = "rtu";  // "rtu" or "tcp"
    std::string port;               // device path, or HOST:PORT
    // Defaults from the line settings table.
    int baud = LineDefault("baud");
    char parity = 'N';
    Rs485Mode rs485;  // serial only: the kernel's RS-485 mode, set when the port opens
    int data_bits = LineDefault("data_bits");
    int stop_bits = LineDefault("stop_bits");
    int timeout_ms = LineDefault("timeout_ms");
    // Further tries of an exchange that timed out, brought a bad frame or a transient
    // exception.
    int retries = LineDefault("retries");
};

enum class Exchange {
    kOk,
    kTimeout,     // no (complete) answer in time
    kBadFrame,    // checksum, length or address of the answer wrong
    kException,   // the slave answered with a Modbus exception
    kLinkDown,    // connection lost or port gone
    kNotOpen,     // the port could not be opened
    kBadRequest,  // a request the protocol cannot carry
};

struct ExchangeResult {
    Exchange status = Exchange::kOk;
    std::string message;
    int exception_code = 0;  // the slave's exception code when status is kException
    bool ok() const { return status == Exchange::kOk; }
};

class ModbusLine {
public:
    explicit ModbusLine(LineSettings settings) : settings_(std::move(settings)) {}
    virtual ~ModbusLine();
    ModbusLine(const ModbusLine&) = delete;
    ModbusLine& operator=(const ModbusLine&) = delete;

    // Opens the port unless it is open; false with the reason otherwise. `in_use`, if
    // given, tells a port that another program holds (or that refuses a setting, which
    // no retry mends) from one that cannot be opened.
    bool Open(std::string& error, bool* in_use = nullptr);
    void Close();
    // The response timeout and retries of the device polled next (devices on a line
    // may differ).
    void SetTimeout(int timeout_ms);
    void SetRetries(int retries) { settings_.retries = retries; }

    // Function 01 and function 04 at `first`, as asked: one byte per bit, registers
    // in native order. A timeout or a bad frame is retried up to `retries` times, each
    // after the transport's recovery, so one corrupted answer does not cost the round;
    // so is an exception that says the slave could not answer this time (see
    // kExceptionRetries in modbus_line.cpp).
    ExchangeResult ReadBits(int slave, int first, int count, uint8_t* out);
    ExchangeResult ReadInputRegisters(int slave, int first, int count, uint16_t* out);

    const LineSettings& settings() const { return settings_; }
    // "serial /dev/ttyUSB0" or "tcp 127.0.0.1:502", for messages.
    std::string Describe() const;

    // Checks, before the first round, what can be checked of the port without opening
    // it (a TCP host name resolves); false with the reason.
    virtual bool Check(std::string& error) {
        (void)error;
        return true;
    }

protected:
    // One read request and its answer: the number of values read (`count`), or -1 with
    // errno set the way libmodbus sets it (ETIMEDOUT, EMBBADDATA, MODBUS_ENOBASE + an
    // exception code, ...) and, where that says too little, the cause in `detail`.
    // libmodbus's own exchange here; a transport may check more of the answer.
    virtual int Transfer(int slave, int function, int first, int count, void* out,
                         std::string& detail);
    // A context for the transport, or null with the reason.
    virtual modbus_t* NewContext(std::string& error) = 0;
    // What the transport does after a failed exchange, before the next request.
    virtual void Recover(Exchange failure) = 0;
    // Takes the opened port for this program alone and sets it up; false with the
    // reason (and `in_use`) when another program holds it or it refuses a setting.
    virtual bool Claim(modbus_t* ctx, std::string& error, bool& in_use) {
        (void)ctx, (void)error, (void)in_use;
        return true;
    }
    modbus_t* ctx_ = nullptr;

private:
    ExchangeResult Finish(int rc, int expected, const std::string& detail);
    ExchangeResult Perform(int slave, int function, int first, int count, void* out);
    LineSettings settings_;
};

// One file per transport: rtu_line.cpp, tcp_line.cpp.
std::unique_ptr<ModbusLine> MakeRtuLine(const LineSettings& settings);
std::unique_ptr<ModbusLine> MakeTcpLine(const LineSettings& settings);
std::unique_ptr<ModbusLine> MakeLine(const LineSettings& settings);

}  // namespace vimo
