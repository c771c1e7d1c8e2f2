// The controller's side of every host operation a device calls.
//
// The runtime library holds no behaviour of its own: each out-of-line operation of
// the device classes forwards here, so the program that loads plug-ins decides what
// a request, a record hand-over or a threshold check does (vimohost talks Modbus and
// keeps history; the tests record every call). Every default is neutral: it does
// nothing and answers zero or false (a command handed on answers -1, since nobody
// carried it out), so a device without a host never crashes.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "vimo_device.h"

class VIMO_API HostServices {
public:
    virtual ~HostServices();

    // Serial framework.
    virtual int ReadBits(SPModbus& device, int first, int count);
    virtual int ReadInputRegisters(SPModbus& device, int first, int count);
    virtual int RefreshStatus(VimoSPDevice& device);
    virtual int Reset(VimoSPDevice& device);
    virtual int OpenPort(VimoSPDevice& device);
    virtual int ClosePort(VimoSPDevice& device);
    // Called after the runtime has read the port settings; false rejects the config.
    virtual bool InitSetting(SPModbus& device, const Json::Value& config);

    // Records and checks.
    virtual int SendSP(VimoVDevice& device, int data_id, const unsigned char* data,
                       unsigned int length, bool flag);
    virtual int SaveDeviceHistory(VimoVDevice& device, const unsigned char* data,
                                  unsigned int length);
    virtual bool CheckAOReport(VimoVDevice& device, const std::string& name, float value);
    virtual int CheckThreshold(VimoVDevice& device, const std::string& name,
                               const std::string& text, const float& value, int kind);
    virtual int CheckThresholdBool(VimoVDevice& device, int kind, const std::string& id1,
                                   const std::string& id2, const std::string& name1,
                                   const std::string& name2, bool state, unsigned short seq);
    virtual bool DoBatchCheckThreshold(VimoVDevice& device, const std::vector<rule_value>& rules);
    virtual int DeviceIoControl(VimoVDevice& device, int code, const void* input,
                                int input_length, void* output, int output_capacity,
                                int& output_length);

    // The controller's clock conversion (see get_ttime).
    virtual ttime_t ToTTime(boost::posix_time::ptime t);
};

// A controller as devices see it: the owner of the host services.
class VIMO_API VimoController {
public:
    explicit VimoController(HostServices* services = nullptr) : services_(services) {}
    virtual ~VimoController();
    HostServices* services() const { return services_; }
    void set_services(HostServices* services) { services_ = services; }

private:
    HostServices* services_;
};

// Process-wide services, used where a device has no other (and by get_ttime).
VIMO_API void SetDefaultHostServices(HostServices* services);
VIMO_API HostServices* DefaultHostServices();

// The plain conversion: local fields of `t`, zeros for a special value.
VIMO_API ttime_t ToTTimeFields(boost::posix_time::ptime t);
