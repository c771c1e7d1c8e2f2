#include "mqtt/client.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "common/console.h"
#include "common/failure_note.h"
#include "core/thread_annotations.h"
#include "mqtt/topics.h"
#include "common/thread_name.h"

namespace vimo {
namespace mqtt {

bool MqttBuilt() { return true; }

namespace {

constexpr auto kFirstBackoff = std::chrono::seconds(1);
constexpr auto kMaxBackoff = std::chrono::seconds(60);

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// Why the broker refused a connect: a 3.1.1 return code or an MQTT 5 reason code.
std::string Refusal(int rc) {
    return rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
}

class MosquittoClient : public Client {
public:
    MosquittoClient(const MqttSettings& settings, Handlers handlers)
        : settings_(settings), handlers_(std::move(handlers)), bridge_(Topics{settings.prefix}.Bridge()),
          where_("MQTT broker " + settings.host + ":" + std::to_string(settings.port)) {}
    ~MosquittoClient() override {
        Stop(0);
        if (mosq_) mosquitto_destroy(mosq_);
    }

    bool Init(std::string& error) {
        InitLibrary();
        mosq_ = mosquitto_new(settings_.client_id.c_str(), true, this);
        if (!mosq_) {
            error = "cannot make an MQTT client: " + std::string(std::strerror(errno));
            return false;
        }
        mosquitto_threaded_set(mosq_, true);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                             settings_.protocol == Protocol::kV5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
        if (!settings_.user.empty()) {
            std::string password;
            if (!settings_.password_file.empty() && !ReadPasswordFile(settings_.password_file, password, error))
                return false;
            mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                      settings_.password_file.empty() ? nullptr : password.c_str());
        }
        if (settings_.tls) {
            if (!settings_.key_file.empty()) {
                struct stat info {};
                if (stat(settings_.key_file.c_str(), &info) != 0) {
                    error = settings_.key_file + ": cannot read the MQTT client key: " + std::strerror(errno);
                    return false;
                }
                if (info.st_mode & (S_IRWXG | S_IRWXO)) {
                    error = settings_.key_file + ": the MQTT client key may be read by group or others (chmod 600 it)";
                    return false;
                }
            }
            const char* ca = settings_.ca_file.empty() ? nullptr : settings_.ca_file.c_str();
            const int rc = mosquitto_tls_set(mosq_, ca, ca ? nullptr : "/etc/ssl/certs",
                                             settings_.cert_file.empty() ? nullptr : settings_.cert_file.c_str(),
                                             settings_.key_file.empty() ? nullptr : settings_.key_file.c_str(), nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                error = "MQTT TLS files (ca_file, cert_file, key_file) cannot be read: " +
                        std::string(mosquitto_strerror(rc));
                return false;
            }
        }
        const std::string offline = "offline";
        mosquitto_will_set(mosq_, bridge_.c_str(), static_cast<int>(offline.size()), offline.data(), 1, true);
        mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<MosquittoClient*>(self)->OnConnect(rc);
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
            static_cast<MosquittoClient*>(self)->sent_mid_ = mid;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* client = static_cast<MosquittoClient*>(self);
            if (client->handlers_.message && m->topic)
                client->handlers_.message(m->topic, std::string(static_cast<const char*>(m->payload),
                                                                static_cast<size_t>(m->payloadlen)));
        });
        return true;
    }

    bool Start(std::string& error) override {
        try {
            thread_ = std::thread([this] {
                NameThisThread("mqtt");
                Run();
            });
        } catch (const std::system_error& e) {
            error = "cannot start the MQTT thread: " + std::string(e.what());
            return false;
        }
        return true;
    }

    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) override {
        return PublishMid(topic, payload, qos, retain, nullptr);
    }

    bool PublishMid(const std::string& topic, const std::string& payload, int qos, bool retain, int* mid) {
        const bool offline = !connected_;
        if (qos > 0 && offline && waiting_.load() >= kMaxQueued) return false;
        const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), qos, retain);
        // QoS 1 and 2 stay in libmosquitto's queue until the broker has them, also
        // while there is no connection.
        const bool queued = rc == MOSQ_ERR_SUCCESS || (qos > 0 && rc == MOSQ_ERR_NO_CONN);
        if (queued && qos > 0 && offline) ++waiting_;
        return queued;
    }

    void Subscribe(const std::string& topic) override {
        {
            novex::MutexLock lock(mutex_);
            subscriptions_.push_back(topic);
        }
        if (connected_) mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1);
    }

    bool Connected() const override { return connected_; }
    uint64_t Waiting() const override { return waiting_.load(); }

    void Stop(int wait_ms) override {
        if (!thread_.joinable()) return;
        if (connected_) {
            // Sent in order: once the broker has the last, it has what came before.
            int mid = 0;
            PublishMid(bridge_, "offline", 1, true, &mid);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
            while (sent_mid_.load() != mid && connected_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        {
            novex::MutexLock lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        mosquitto_disconnect(mosq_);
        thread_.join();
    }

private:
    void OnConnect(int rc) {
        if (rc != 0) {
            refusal_ = Refusal(rc);
            return;
        }
        refusal_.clear();
        connected_ = true;
        waiting_ = 0;  // what was queued meanwhile is on its way
        const std::string line = note_.Worked(where_);
        Say(Level::kNotice, "vimohost: " + (line.empty() ? where_ + ": connected as " + settings_.client_id : line));
        Publish(bridge_, "online", 1, true);
        std::vector<std::string> topics;
        {
            novex::MutexLock lock(mutex_);
            topics = subscriptions_;
            backoff_ = kFirstBackoff;
        }
        for (const std::string& topic : topics) mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1);
        if (handlers_.connected) handlers_.connected();
    }

    bool Stopping() {
        novex::MutexLock lock(mutex_);
        return stop_;
    }

    void Run() {
        while (!Stopping()) {
            refusal_.clear();
            int rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepalive_s);
            // Until the connection ends; a stop lets a few more turns write what it queued
            // (the offline message, the disconnect) and ends the connection whatever came.
            for (int turns_after_stop = 0; rc == MOSQ_ERR_SUCCESS;) {
                if (Stopping() && ++turns_after_stop > 10) break;
                rc = mosquitto_loop(mosq_, 100, 1);
            }
            const int error_number = errno;
            const bool was_connected = connected_.exchange(false);
            if (Stopping()) break;
            std::string why = !refusal_.empty() ? "refused the connection: " + refusal_
                              : rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error_number))
                              : rc == MOSQ_ERR_KEEPALIVE
                                  ? "no answer within the keep-alive time (" + std::to_string(settings_.keepalive_s) + " s)"
                                  : std::string(mosquitto_strerror(rc));
            if (was_connected) why = "connection lost (" + why + ")";
            const std::string line = note_.Failed(where_, why + "; trying again", FailureNote::Clock::now());
            if (!line.empty()) Say(Level::kError, "vimohost: " + line);
            novex::MutexLock lock(mutex_);
            const auto until = std::chrono::steady_clock::now() + backoff_;
            novex::CondLock waiting(mutex_);
            while (!stop_ && wake_.wait_until(waiting.get(), until) != std::cv_status::timeout) {
            }
            backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kMaxBackoff);
        }
        connected_ = false;
    }

    const MqttSettings settings_;
    const Handlers handlers_;
    const std::string bridge_;
    const std::string where_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> waiting_{0};  // QoS 1 messages queued while not connected
    std::atomic<int> sent_mid_{0};      // the message the broker took last
    std::string refusal_;  // the connection's thread alone
    FailureNote note_;     // the connection's thread alone
    novex::Mutex mutex_;
    std::condition_variable wake_;
    bool stop_ GUARDED_BY(mutex_) = false;
    std::chrono::seconds backoff_ GUARDED_BY(mutex_) = kFirstBackoff;
    std::vector<std::string> subscriptions_ GUARDED_BY(mutex_);
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Client> Client::Create(const MqttSettings& settings, Handlers handlers, std::string& error) {
    auto client = std::make_unique<MosquittoClient>(settings, std::move(handlers));
    if (!client->Init(error)) return nullptr;
    return client;
}

}  // namespace mqtt
}  // namespace vimo
