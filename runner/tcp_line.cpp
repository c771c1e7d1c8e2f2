// Modbus TCP, directly to a slave or through a serial-to-Ethernet gateway.
#include <cerrno>

#include "device_config.h"
#include "modbus_line.h"

namespace vimo {

namespace {

class TcpLine : public ModbusLine {
public:
    using ModbusLine::ModbusLine;

protected:
    modbus_t* NewContext(std::string& error) override {
        std::string host, service;
        if (!SplitHostPort(settings().port, host, service)) {
            error = "not HOST:PORT";
            return nullptr;
        }
        modbus_t* ctx = modbus_new_tcp_pi(host.c_str(), service.c_str());
        if (!ctx) error = modbus_strerror(errno);
        return ctx;
    }

    void Recover(Exchange failure) override {
        // A connection cannot be flushed of an answer still on its way: after anything
        // but a clean exception answer it is dropped, and the next round reconnects.
        if (failure != Exchange::kException) Close();
    }
};

}  // namespace

std::unique_ptr<ModbusLine> MakeTcpLine(const LineSettings& settings) {
    return std::make_unique<TcpLine>(settings);
}

}  // namespace vimo
