// Out-of-line operations of the device classes: each forwards to the host services.
#include <algorithm>
#include <cstring>

#include "host/host_services.h"

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;
int VDeviceInterface::LoadFromCache(const unsigned char*, int) { return 0; }
int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int&) { return -1; }
void VDeviceInterface::RoundDone() {}

VimoVDevice::VimoVDevice() = default;
VimoVDevice::~VimoVDevice() = default;

HostServices& VimoVDevice::Host() const {
    static HostServices neutral;
    if (attached_host_) return *attached_host_;
    if (auto controller = controller_.lock()) {
        if (HostServices* services = controller->services()) return *services;
    }
    if (HostServices* services = DefaultHostServices()) return *services;
    return neutral;
}

int VimoVDevice::DeviceIoControl(int code, const void* input, int input_length, void* output,
                                 int output_capacity, int& output_length) {
    return Host().DeviceIoControl(*this, code, input, input_length, output, output_capacity,
                                  output_length);
}

int VimoVDevice::Reset() { return 0; }

bool VimoVDevice::InitV(VimoVDevice* parent, unsigned int id, const Json::Value& config) {
    if (parent) {
        attached_host_ = parent->attached_host_;
        controller_ = parent->controller_;
    }
    data_id = id;
    return InitSetting(config);
}

bool VimoVDevice::Init(std::weak_ptr<VimoController> controller, unsigned int id,
                       const Json::Value& config) {
    controller_ = std::move(controller);
    data_id = id;
    return InitSetting(config);
}

bool VimoVDevice::InitSetting(const Json::Value&) { return true; }
bool VimoVDevice::IsSupportDevice(const std::string& type) const { return type == DeviceType(); }

int VimoVDevice::SendSP(int id, const unsigned char* data, unsigned int length, bool flag) {
    return Host().SendSP(*this, id, data, length, flag);
}
int VimoVDevice::SendDelayData(int) { return 0; }
int VimoVDevice::SendDoData(int, char) { return 0; }
int VimoVDevice::ReadDi(int) { return 0; }
float VimoVDevice::ReadAi(int) { return 0.0f; }
double VimoVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0.0; }

int VimoVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
    return Host().SaveDeviceHistory(*this, data, length);
}
bool VimoVDevice::CheckAOReport(const std::string& name, float value) {
    return Host().CheckAOReport(*this, name, value);
}
int VimoVDevice::CheckThreshold(const std::string& name, const std::string& text,
                                const float& value, int kind) {
    return Host().CheckThreshold(*this, name, text, value, kind);
}
int VimoVDevice::CheckThresholdBool(int kind, const std::string& id1, const std::string& id2,
                                    const std::string& name1, const std::string& name2,
                                    bool state, unsigned short seq) {
    return Host().CheckThresholdBool(*this, kind, id1, id2, name1, name2, state, seq);
}
bool VimoVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return Host().DoBatchCheckThreshold(*this, rules);
}

VimoSPDevice::VimoSPDevice() = default;
VimoSPDevice::~VimoSPDevice() = default;

int VimoSPDevice::Reset() { return Host().Reset(*this); }
bool VimoSPDevice::Init(std::weak_ptr<VimoController> controller, unsigned int id,
                        const Json::Value& config) {
    return VimoVDevice::Init(std::move(controller), id, config);
}
int VimoSPDevice::RefreshStatus() { return Host().RefreshStatus(*this); }
int VimoSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool VimoSPDevice::IsProcessing() { return false; }
bool VimoSPDevice::IsStalled() { return false; }
int VimoSPDevice::SendData(const unsigned char*, unsigned int) { return 0; }
int VimoSPDevice::SendParityData(const unsigned char*, unsigned int, EnumParity) { return 0; }
int VimoSPDevice::OpenPort() { return Host().OpenPort(*this); }
int VimoSPDevice::ClosePort() { return Host().ClosePort(*this); }

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

int SPModbus::modbus_read_bits(int first, int count) {
    last_request = Request{BITS, first, count};
    request_pending = true;
    return Host().ReadBits(*this, first, count);
}

int SPModbus::modbus_read_input_registers(int first, int count) {
    last_request = Request{INPUT_REGISTERS, first, count};
    request_pending = true;
    return Host().ReadInputRegisters(*this, first, count);
}

int SPModbus::process(unsigned char* data, unsigned int length) {
    const tab_type table = last_request.table;
    request_pending = false;
    if (data) {
        const bool bits = table == BITS || table == INPUT_BITS;
        unsigned char* target =
            bits ? bit_table : reinterpret_cast<unsigned char*>(register_table);
        const size_t capacity = bits ? sizeof bit_table : sizeof register_table;
        std::memcpy(target, data, std::min<size_t>(length, capacity));
    }
    return process_payload(table, length);
}

namespace {

bool ReadPortSettings(const Json::Value& config, PortSettings& out, std::string& error) {
    if (config.isNull()) return true;
    if (!config.isObject()) {
        error = "configuration is not a JSON object";
        return false;
    }
    for (const vimo::LineSetting& s : vimo::kLineSettings) {
        const Json::Value& v = config[s.key];
        if (v.isNull()) continue;
        if (!v.isInt() || v.asInt() < s.min || v.asInt() > s.max) {
            error = std::string("\"") + s.key + "\" must be " + vimo::RangeText(s);
            return false;
        }
        out.*s.member = v.asInt();
    }
    const Json::Value& transport = config["transport"];
    if (!transport.isNull()) {
        if (!transport.isString() ||
            (transport.asString() != "rtu" && transport.asString() != "tcp")) {
            error = "\"transport\" must be \"rtu\" or \"tcp\"";
            return false;
        }
        out.transport = transport.asString();
    }
    const Json::Value& port = config["port"];
    if (!port.isNull()) {
        if (!port.isString()) {
            error = "\"port\" must be a text";
            return false;
        }
        out.port = port.asString();
    }
    const Json::Value& parity = config["parity"];
    if (!parity.isNull()) {
        const std::string p = parity.isString() ? parity.asString() : std::string();
        if (p.size() != 1 || p[0] == '\0' || std::strchr(vimo::kParityLetters, p[0]) == nullptr) {
            error = "\"parity\" must be \"N\", \"E\" or \"O\"";
            return false;
        }
        out.parity = p[0];
    }
    const Json::Value& rs485 = config[vimo::kRs485Key];
    if (!rs485.isNull()) {
        std::string why = "a text";
        if (!rs485.isString() || !vimo::ParseRs485(rs485.asString(), out.rs485, why)) {
            error = std::string("\"") + vimo::kRs485Key + "\" must be " + why;
            return false;
        }
    }
    return true;
}

}  // namespace

bool SPModbus::InitSetting(const Json::Value& config) {
    PortSettings settings = port_settings;
    std::string error;
    if (!ReadPortSettings(config, settings, error)) {
        setting_error = error;
        return false;
    }
    setting_error.clear();
    port_settings = settings;
    if (port_settings.baud > 0) port_speed = port_settings.baud;
    return Host().InitSetting(*this, config);
}
