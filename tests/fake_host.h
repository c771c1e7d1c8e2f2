// A recording controller for tests: every host operation a device calls is appended
// to one call log as a line of text, so a test reads like a trace of the exchange.
// It can also answer requests from scripted responses and fail on demand.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/host_services.h"

class FakeHost : public HostServices {
public:
    std::vector<std::string> log;
    std::vector<std::vector<unsigned char>> sent_records;   // SendSP payloads
    std::vector<std::vector<unsigned char>> saved_records;  // SaveDeviceHistory payloads
    std::vector<std::string> batch_sizes;

    // Answers of the checks the device looks at.
    bool ao_report_result = false;
    bool batch_result = false;
    int host_ioctl_result = 0;
    // Throws std::runtime_error from the call whose log line starts with `throw_on`
    // (e.g. "CheckThresholdBool"), after `throw_after` earlier such calls succeeded.
    std::string throw_on;
    int throw_after = 0;

    // Only lines starting with `prefix`.
    std::vector<std::string> Lines(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : log)
            if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
        return out;
    }
    // Index of the first line starting with `prefix`, or -1.
    int IndexOf(const std::string& prefix) const {
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
        return -1;
    }

    int ReadBits(SPModbus&, int first, int count) override {
        return Record("ReadBits " + std::to_string(first) + " " + std::to_string(count));
    }
    int ReadInputRegisters(SPModbus&, int first, int count) override {
        return Record("ReadInputRegisters " + std::to_string(first) + " " +
                      std::to_string(count));
    }
    int RefreshStatus(VimoSPDevice&) override { return Record("RefreshStatus"); }
    int Reset(VimoSPDevice&) override { return Record("Reset"); }
    int OpenPort(VimoSPDevice&) override { return Record("OpenPort"); }
    int ClosePort(VimoSPDevice&) override { return Record("ClosePort"); }
    bool InitSetting(SPModbus&, const Json::Value&) override {
        Record("InitSetting");
        return true;
    }
    int SendSP(VimoVDevice&, int id, const unsigned char* data, unsigned int length,
               bool flag) override {
        sent_records.emplace_back(data, data + length);
        return Record("SendSP " + std::to_string(id) + " " + std::to_string(length) + " " +
                      (flag ? "true" : "false"));
    }
    int SaveDeviceHistory(VimoVDevice&, const unsigned char* data, unsigned int length) override {
        saved_records.emplace_back(data, data + length);
        return Record("SaveDeviceHistory " + std::to_string(length));
    }
    bool CheckAOReport(VimoVDevice&, const std::string& name, float value) override {
        Record("CheckAOReport " + name + " " + Num(value));
        return ao_report_result;
    }
    int CheckThreshold(VimoVDevice&, const std::string& name, const std::string& text,
                       const float& value, int kind) override {
        return Record("CheckThreshold " + name + " [" + text + "] " + Num(value) + " " +
                      std::to_string(kind));
    }
    int CheckThresholdBool(VimoVDevice&, int kind, const std::string& id1, const std::string& id2,
                           const std::string& name1, const std::string& name2, bool state,
                           unsigned short seq) override {
        return Record("CheckThresholdBool " + std::to_string(kind) + " " + id1 + " " + id2 + " " +
                      name1 + " " + name2 + " " + (state ? "true" : "false") + " " +
                      std::to_string(seq));
    }
    bool DoBatchCheckThreshold(VimoVDevice&, const std::vector<rule_value>& rules) override {
        Record("DoBatchCheckThreshold " + std::to_string(rules.size()));
        return batch_result;
    }
    int DeviceIoControl(VimoVDevice&, int code, const void*, int input_length, void*,
                        int output_capacity, int& output_length) override {
        Record("DeviceIoControl " + std::to_string(code) + " " + std::to_string(input_length) +
               " " + std::to_string(output_capacity) + " " + std::to_string(output_length));
        return host_ioctl_result;
    }

private:
    static std::string Num(float v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
        return buf;
    }
    int Record(const std::string& line) {
        if (!throw_on.empty() && line.compare(0, throw_on.size(), throw_on) == 0) {
            if (throw_after-- <= 0) {
                log.push_back(line + " (threw)");
                throw std::runtime_error("host failure: " + line);
            }
        }
        log.push_back(line);
        return 0;
    }
};
