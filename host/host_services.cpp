#include "host/host_services.h"

#include <atomic>

#include <boost/date_time/gregorian/gregorian_types.hpp>

namespace {
std::atomic<HostServices*> g_default_services{nullptr};
}  // namespace

HostServices::~HostServices() = default;

int HostServices::ReadBits(SPModbus&, int, int) { return 0; }
int HostServices::ReadInputRegisters(SPModbus&, int, int) { return 0; }
int HostServices::RefreshStatus(VimoSPDevice&) { return 0; }
int HostServices::Reset(VimoSPDevice&) { return 0; }
int HostServices::OpenPort(VimoSPDevice&) { return 0; }
int HostServices::ClosePort(VimoSPDevice&) { return 0; }
bool HostServices::InitSetting(SPModbus&, const Json::Value&) { return true; }
int HostServices::SendSP(VimoVDevice&, int, const unsigned char*, unsigned int, bool) { return 0; }
int HostServices::SaveDeviceHistory(VimoVDevice&, const unsigned char*, unsigned int) { return 0; }
bool HostServices::CheckAOReport(VimoVDevice&, const std::string&, float) { return false; }
int HostServices::CheckThreshold(VimoVDevice&, const std::string&, const std::string&,
                                 const float&, int) {
    return 0;
}
int HostServices::CheckThresholdBool(VimoVDevice&, int, const std::string&, const std::string&,
                                     const std::string&, const std::string&, bool,
                                     unsigned short) {
    return 0;
}
bool HostServices::DoBatchCheckThreshold(VimoVDevice&, const std::vector<rule_value>&) {
    return false;
}
// No controller carries the command out: say so rather than report it done.
int HostServices::DeviceIoControl(VimoVDevice&, int, const void*, int, void*, int, int&) {
    return -1;
}
ttime_t HostServices::ToTTime(boost::posix_time::ptime t) { return ToTTimeFields(t); }

VimoController::~VimoController() = default;

void SetDefaultHostServices(HostServices* services) { g_default_services.store(services); }
HostServices* DefaultHostServices() { return g_default_services.load(); }

ttime_t ToTTimeFields(boost::posix_time::ptime t) {
    ttime_t out{};
    if (t.is_special()) return out;
    const boost::gregorian::date d = t.date();
    const boost::posix_time::time_duration tod = t.time_of_day();
    out.year = static_cast<uint16_t>(d.year());
    out.month = static_cast<uint8_t>(d.month().as_number());
    out.day = static_cast<uint8_t>(d.day());
    out.hour = static_cast<uint8_t>(tod.hours());
    out.minute = static_cast<uint8_t>(tod.minutes());
    out.second = static_cast<uint8_t>(tod.seconds());
    return out;
}

ttime_t get_ttime(boost::posix_time::ptime t) {
    HostServices* services = DefaultHostServices();
    return services ? services->ToTTime(t) : ToTTimeFields(t);
}
