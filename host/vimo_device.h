// Device classes of the controller's framework, as plug-ins build against them.
//
// Chain: VDeviceInterface <- VimoVDevice <- VimoSPDevice <- SPModbus <- plug-in device.
// The order in which the virtual operations are declared below is the slot order
// that compiled plug-ins rely on: never insert, remove or reorder a virtual here.
// The few operations defined inline are carried by every plug-in; everything else
// lives in the controller runtime (libvimohost) and forwards to HostServices.
#pragma once

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/line_settings.h"
#include "vimo_types.h"

class HostServices;
class VimoController;
class VimoVDevice;

class VIMO_API VDeviceInterface {
public:
    VDeviceInterface();

    virtual double Get_Value(unsigned int, const std::string&) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& s) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(s.data()),
                             static_cast<int>(s.size()));
    }
    virtual int LoadFromCache(const unsigned char* data, int length);
    virtual unsigned int DataId() const { return data_id; }
    virtual std::string DeviceType() const { return device_type; }
    virtual int DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& output_length);
    virtual void RoundDone();
    virtual bool UseControllerDb() { return use_controller_db; }
    virtual ~VDeviceInterface();

    unsigned int data_id = 0;
    std::string device_type;
    bool use_controller_db = false;
};

class VIMO_API VimoVDevice : public VDeviceInterface {
public:
    VimoVDevice();
    ~VimoVDevice() override;

    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& output_length) override;

    virtual int Reset();
    virtual bool InitV(VimoVDevice* parent, unsigned int id, const Json::Value& config);
    virtual bool Init(std::weak_ptr<VimoController> controller, unsigned int id,
                      const Json::Value& config);
    virtual bool InitSetting(const Json::Value& config);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<VimoVDevice> GetChildVDevice(unsigned int) { return {}; }
    virtual std::vector<std::shared_ptr<VimoVDevice>> GetAllChildVDevices() { return {}; }
    virtual int SendSP(int data_id, const unsigned char* data, unsigned int length, bool flag);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual double Get_SP_Value(unsigned int id, const std::string& name);

    // Non-virtual host operations a device calls during round completion.
    int SaveDeviceHistory(const unsigned char* data, unsigned int length);
    bool CheckAOReport(const std::string& name, float value);
    int CheckThreshold(const std::string& name, const std::string& text, const float& value,
                       int kind);
    int CheckThresholdBool(int kind, const std::string& id1, const std::string& id2,
                           const std::string& name1, const std::string& name2, bool state,
                           unsigned short seq);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);

    // Where host operations go: the services attached directly, else those of the
    // controller given to Init, else the process default (SetDefaultHostServices),
    // else a neutral implementation that does nothing.
    void AttachHost(HostServices* services) { attached_host_ = services; }
    HostServices& Host() const;

    boost::posix_time::ptime round_time;
    bool data_ready = false;
    uint16_t check_seq = 0;
    std::vector<rule_value> pending_rules;
    bool report_flag = false;
    std::vector<std::string> ao_names;
    std::map<std::string, float> ao_values;

private:
    HostServices* attached_host_ = nullptr;
    std::weak_ptr<VimoController> controller_;
};

class VIMO_API VimoSPDevice : public VimoVDevice {
public:
    VimoSPDevice();
    ~VimoSPDevice() override;

    int Reset() override;
    bool Init(std::weak_ptr<VimoController> controller, unsigned int id,
              const Json::Value& config) override;

    virtual int RefreshStatus();
    virtual int process(unsigned char* data, unsigned int length);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    int poll_step = 0;
    uint8_t modbus_option = 0;
    int port_speed = 0;
    PortSettings port_settings;
};

class VIMO_API SPModbus : public VimoSPDevice {
public:
    enum tab_type { BITS = 0, INPUT_BITS = 1, HOLDING_REGISTERS = 2, INPUT_REGISTERS = 3 };

    // The Modbus maxima for one response: 2000 bits, 125 registers.
    static constexpr unsigned kMaxBits = 2000;
    static constexpr unsigned kMaxRegisters = 125;

    SPModbus();
    ~SPModbus() override;

    // Copies one decoded response (bits as one byte each, registers as native 16-bit
    // words) from the start of the table of the last request, then hands it to
    // process_payload. A null `data` means the host has filled the table itself.
    int process(unsigned char* data, unsigned int length) override;
    bool InitSetting(const Json::Value& config) override;

    virtual int process_payload(tab_type table, unsigned int length) = 0;
    virtual int on_error() {
        std::cout << "SPModbus get error" << std::endl;
        return 0;
    }

    // Ask the host to send one request; the response arrives later through process().
    int modbus_read_bits(int first, int count);
    int modbus_read_input_registers(int first, int count);

    struct Request {
        tab_type table = BITS;
        int first = 0;
        int count = 0;
    };
    Request last_request;
    bool request_pending = false;
    // Why the last InitSetting rejected the host's settings; empty when it accepted them.
    std::string setting_error;

    unsigned char bit_table[kMaxBits] = {};
    uint16_t register_table[kMaxRegisters] = {};
};
