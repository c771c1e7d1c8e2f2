// A Modbus device that keeps one raw record of fixed layout and hands it to the
// controller after every completed round. Everything here is independent of the UPS
// model: the model class adds the poll cycle, the status document and its rules.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "core/thread_annotations.h"
#include "vimo_device.h"

namespace novex {

// "b_mode" as configured: the value read as text, converted like atof and truncated
// toward zero. Values beyond the range of int saturate and a text that is not a
// number at all (atof gives NaN for "nan") gives 0, instead of an undefined cast.
inline int ModeFromText(const std::string& text) {
    const double v = std::atof(text.c_str());
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (v <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

}  // namespace novex

template <typename Record, typename Protocol, int kDataId>
class UniDataDevice : public Protocol {
    static_assert(std::is_trivially_copyable<Record>::value, "records are copied as bytes");

public:
    static constexpr int kRecordDataId = kDataId;
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));

    UniDataDevice() : b_mode(1), render_time(boost::posix_time::not_a_date_time) {
        std::memset(&record, 0, sizeof record);
        novex::MutexLock lock(completed_mutex_);  // not shared yet: held for the analysis
        std::memset(&completed_record_, 0, sizeof completed_record_);
    }
    ~UniDataDevice() override = default;

    using Protocol::LoadFromCache;  // keep the text overload visible
    int LoadFromCache(const unsigned char* data, int length) override {
        if (data == nullptr || length != kRecordSize) return 0;
        std::memcpy(&record, data, sizeof record);
        this->data_ready = true;
        this->RoundDone();
        return 1;
    }

    void RoundDone() override {
        if (!this->data_ready) this->data_ready = true;
        this->round_time = boost::posix_time::second_clock::local_time();
        record.update_time = get_ttime(this->round_time);
        PublishCompletedRound();
        this->VimoVDevice::SendSP(kDataId, RecordBytes(), sizeof(Record), false);
        this->Reset();
        this->check_seq = 1;
        this->report_flag = false;
        this->RunCheckThreshold();
        for (const std::string& listed : this->ao_names) {
            const std::string name = listed;
            const auto it = this->ao_values.find(name);
            if (it == this->ao_values.end()) continue;
            if (this->CheckAOReport(name, it->second)) this->report_flag = true;
            this->CheckThreshold(name, std::string(), it->second, 1);
        }
        // One insertion per line: devices on other lines print from their own
        // threads, and piecewise output interleaves mid-line.
        std::cout << ("rvSize is " + std::to_string(this->pending_rules.size()) + "\n")
                  << std::flush;
        if (this->DoBatchCheckThreshold(this->pending_rules)) this->report_flag = true;
        this->SaveDeviceHistory(RecordBytes(), sizeof(Record));
        this->pending_rules.clear();
    }

    bool InitSetting(const Json::Value& config) override {
        SetDeviceId();
        if (config.isObject()) {
            const Json::Value& app = config["appSetting"];
            if (!app.isNull() && app.isObject()) {
                const Json::Value& mode = app["b_mode"];
                if (!mode.isNull()) b_mode = novex::ModeFromText(mode.asString());
            }
        }
        return Protocol::InitSetting(config);
    }

    virtual void RunCheckThreshold() {}

    Record record;
    int b_mode;
    boost::posix_time::ptime render_time;
    // Guards status_document and render_time. It stays a std::mutex and these members stay
    // unannotated: the controller's SDK defines this class, type and layout, and the
    // controller reads status_document through the pointer command 803 hands out, under
    // this mutex by its own code. libstdc++'s std::mutex carries no lock annotation, so
    // a model class names it for the analysis with a capability of its own (NovexUPS's
    // DocumentLock), which checks the model's own document state.
    std::mutex document_mutex;
    Json::Value status_document;

protected:
    unsigned char* RecordBytes() { return reinterpret_cast<unsigned char*>(&record); }

    void SetDeviceId() { record.device_id = this->DataId(); }

    // The host may ask for the document on another thread while the next round is
    // being polled into `record`. Each completed round is therefore published as a
    // copy, with its time, under a lock of its own; renderers read only the copy.
    void PublishCompletedRound() {
        novex::MutexLock lock(completed_mutex_);
        std::memcpy(&completed_record_, &record, sizeof record);
        completed_time_ = this->round_time;
    }

    // The last published round and its time (not-a-date-time before the first).
    void TakeCompletedRound(Record& out, boost::posix_time::ptime& time) {
        novex::MutexLock lock(completed_mutex_);
        std::memcpy(&out, &completed_record_, sizeof out);
        time = completed_time_;
    }

private:
    // The plug-in's own (not the SDK's): a novex::Mutex, a std::mutex and nothing else.
    novex::Mutex completed_mutex_;
    Record completed_record_ GUARDED_BY(completed_mutex_);
    boost::posix_time::ptime completed_time_ GUARDED_BY(completed_mutex_);
};
