// Modbus RTU on a serial line.
#include <cerrno>

#include "modbus_line.h"

namespace vimo {

namespace {

class RtuLine : public ModbusLine {
public:
    using ModbusLine::ModbusLine;

protected:
    modbus_t* NewContext(std::string& error) override {
        const LineSettings& s = settings();
        modbus_t* ctx =
            modbus_new_rtu(s.port.c_str(), s.baud, s.parity, s.data_bits, s.stop_bits);
        if (!ctx) error = modbus_strerror(errno);
        return ctx;
    }

    void Recover(Exchange failure) override {
        switch (failure) {
            case Exchange::kTimeout:
            case Exchange::kBadFrame:
                // The rest of a late or broken answer would be read as the next one.
                modbus_flush(ctx_);
                break;
            case Exchange::kLinkDown:
                // An unplugged adapter: reopen on the next round.
                Close();
                break;
            default:
                break;
        }
    }
};

}  // namespace

std::unique_ptr<ModbusLine> MakeRtuLine(const LineSettings& settings) {
    return std::make_unique<RtuLine>(settings);
}

}  // namespace vimo
