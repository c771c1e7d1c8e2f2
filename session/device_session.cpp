#include "session/device_session.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <exception>

#include "history/store.h"
#include "device/novexups_data.h"
#include "session/plugin_library.h"
#include "modbus/wire_time.h"
#include "session/round_time.h"

namespace vimo {

namespace {

// A round of this plug-in takes twenty exchanges; a device that keeps asking far
// beyond that is not going to finish its round.
constexpr int kMaxExchangesPerRound = 256;
// The status document is some tens of kilobytes; its size is reported by the device,
// and a claim beyond this is not believed.
constexpr int kFirstDocumentBuffer = 64 * 1024;
constexpr int kLargestDocument = 64 * 1024 * 1024;

std::string DescribeRequest(const PendingRequest& r) {
    return std::string(r.table == SPModbus::BITS ? "bits " : "registers ") +
           std::to_string(r.first) + " count " + std::to_string(r.count);
}

class ReplayingFlag {
public:
    explicit ReplayingFlag(DeviceServices& services) : services_(services) { services_.SetReplaying(true); }
    ~ReplayingFlag() { services_.SetReplaying(false); }
    ReplayingFlag(const ReplayingFlag&) = delete;
    ReplayingFlag& operator=(const ReplayingFlag&) = delete;

private:
    DeviceServices& services_;
};

// Makes the replaying clock the process's default services (for get_ttime).
void InstallReplayClock() {
    static ReplayClock clock;
    SetDefaultHostServices(&clock);
}

}  // namespace

std::unique_ptr<DeviceSession> DeviceSession::Create(const PluginLibrary& plugin,
                                                     const DeviceConfig& config,
                                                     HistoryStore* history, std::string& error) {
    InstallReplayClock();
    std::unique_ptr<DeviceSession> session(new DeviceSession());
    session->config_ = config;
    session->services_ = std::make_unique<DeviceServices>(config.data_id, config.name, history);
    session->controller_ = std::make_shared<VimoController>(session->services_.get());
    VimoSPDevice* created = nullptr;
    try {
        created = plugin.Create();
    } catch (const std::exception& e) {
        error = std::string("the plug-in cannot create a device: ") + e.what();
        return nullptr;
    }
    if (!created) {
        error = "the plug-in created no device";
        return nullptr;
    }
    session->device_ = dynamic_cast<SPModbus*>(created);
    if (!session->device_) {
        delete created;
        error = "the plug-in's device is no Modbus device";
        return nullptr;
    }
    SPModbus& device = *session->device_;
    device.data_id = config.data_id;
    bool accepted = false;
    try {
        accepted = device.Init(session->controller_, config.data_id, config.settings);
    } catch (const std::exception& e) {
        error = std::string("the device refused its configuration: ") + e.what();
        return nullptr;
    }
    if (!accepted) {
        error = device.setting_error.empty() ? "the device refused its configuration"
                                             : device.setting_error;
        return nullptr;
    }
    return session;
}

DeviceSession::~DeviceSession() { delete device_; }

LineSettings DeviceSession::Line() const {
    const PortSettings& p = device_->port_settings;
    LineSettings s;
    s.transport = p.transport;
    s.port = p.port;
    s.baud = p.baud > 0 ? p.baud : (device_->port_speed > 0 ? device_->port_speed : 9600);
    s.parity = p.parity;
    s.rs485 = p.rs485;
    s.data_bits = p.data_bits;
    s.stop_bits = p.stop_bits;
    s.timeout_ms = p.timeout_ms;
    s.retries = p.retries;
    return s;
}

RoundResult DeviceSession::Poll(ModbusLine& line, const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    RoundResult result;
    std::string error;
    if (!line.Open(error)) {
        result.port_unavailable = true;
        result.error = "cannot open " + line.Describe() + ": " + error;
        return result;
    }
    const Clock::time_point start = Clock::now();
    auto finish = [&](bool completed, std::string why) {
        result.completed = completed;
        result.error = std::move(why);
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return result;
    };
    try {
        services_->TakeRequest();  // nothing left over from an earlier round
        device_->RefreshStatus();
        for (int n = 0; n < kMaxExchangesPerRound; ++n) {
            const std::optional<PendingRequest> request = services_->TakeRequest();
            if (!request) return finish(false, "the device stopped asking before its round ended");
            if (stop && stop->load()) {
                result.stopped = true;
                return finish(false, "stopped");
            }
            const bool bits = request->table == SPModbus::BITS ||
                              request->table == SPModbus::INPUT_BITS;
            const ExchangeResult exchange =
                bits ? line.ReadBits(slave(), request->first, request->count, bits_)
                     : line.ReadInputRegisters(slave(), request->first, request->count,
                                               registers_);
            if (!exchange.ok()) {
                device_->request_pending = false;
                device_->on_error();
                return finish(false, DescribeRequest(*request) + ": " + exchange.message);
            }
            result.wire_seconds += WireSeconds(line.settings(), bits, request->count);
            unsigned char* data = bits ? bits_ : reinterpret_cast<unsigned char*>(registers_);
            const unsigned length = static_cast<unsigned>(request->count) * (bits ? 1u : 2u);
            if (device_->process(data, length) == 0) return finish(true, "");
        }
        return finish(false, "no end of the round after " +
                                 std::to_string(kMaxExchangesPerRound) + " exchanges");
    } catch (const std::exception& e) {
        return finish(false, std::string("the device failed: ") + e.what());
    } catch (...) {
        return finish(false, "the device failed");
    }
}

bool DeviceSession::Replay(const StoredRound& round, std::string& error) {
    ttime_t time{};
    if (!ParseTimeText(round.time, time)) {
        error = "stored round " + std::to_string(round.id) + " has no valid time (\"" +
                round.time + "\")";
        return false;
    }
    // Polling never writes the record's device id again: a round stored under another
    // id would carry that id into every record stored after it.
    if (round.record.size() == sizeof(NovexUPS_Data_t)) {
        decltype(NovexUPS_Data_t::device_id) stored = 0;
        std::memcpy(&stored, round.record.data() + offsetof(NovexUPS_Data_t, device_id),
                    sizeof stored);
        if (stored != config_.data_id) {
            error = "stored round " + std::to_string(round.id) + " carries device id " +
                    std::to_string(stored) + ", not " + std::to_string(config_.data_id);
            return false;
        }
    }
    int accepted = 0;
    try {
        ReplayClock::Scope clock(time);
        ReplayingFlag replaying(*services_);
        accepted = device_->LoadFromCache(round.record.data(),
                                          static_cast<int>(round.record.size()));
    } catch (const std::exception& e) {
        error = std::string("the device failed to load a stored round: ") + e.what();
        return false;
    }
    if (accepted != 1) {
        error = "the device did not accept stored round " + std::to_string(round.id) + " (" +
                std::to_string(round.record.size()) + " bytes)";
        return false;
    }
    return true;
}

bool DeviceSession::Document(std::string& text, std::string& error) {
    // Written straight into `text`, which becomes the snapshot's: no buffer of the
    // document's size kept per device besides it, and no copy. Sized from the last
    // document with some room, since figures change its length a little.
    size_t capacity = document_size_ == 0 ? static_cast<size_t>(kFirstDocumentBuffer)
                                           : document_size_ + document_size_ / 16 + 256;
    for (int attempt = 0; attempt < 4; ++attempt) {
        text.resize(capacity);
        int length = 0;
        int rc = -1;
        try {
            rc = device_->DeviceIoControl(801, nullptr, 0, &text[0], static_cast<int>(capacity), length);
        } catch (const std::exception& e) {
            text.clear();
            error = std::string("status document: ") + e.what();
            return false;
        }
        if (rc == 0 && length >= 0 && static_cast<size_t>(length) <= capacity) {
            text.resize(static_cast<size_t>(length));
            document_size_ = static_cast<size_t>(length);
            return true;
        }
        if (length > 0 && static_cast<size_t>(length) > capacity && length <= kLargestDocument) {
            capacity = static_cast<size_t>(length);
            continue;
        }
        break;
    }
    text.clear();
    error = "the device gave no status document";
    return false;
}

}  // namespace vimo
