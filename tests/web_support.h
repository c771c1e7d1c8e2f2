// Hand-built device states for the web tests, a state source and history that hand
// them out, and a raw HTTP client over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "web/state_source.h"

namespace web_test {

using novex::monitor::DeviceSnapshot;
using novex::web::DeviceState;

// Figures by measure name; every unit measure not named reads 0, modules 1 and 2 and
// cells 1..`cells` are present.
inline std::shared_ptr<const DeviceSnapshot> Snapshot(
    const std::string& name, uint32_t data_id,
    const std::vector<std::pair<std::string, double>>& figures,
    const std::vector<std::string>& alarms, int64_t last_round_utc, int cells = 30) {
    auto s = std::make_shared<DeviceSnapshot>();
    s->device_name = name;
    s->data_id = data_id;
    s->line = "127.0.0.1:1502 slave " + std::to_string(data_id);
    s->record.assign(853, 0);
    const auto& all = novex::monitor::Measures();
    s->measures.resize(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const auto& m = all[i];
        const bool fitted = m.scope == novex::monitor::Scope::kUnit ||
                            (m.scope == novex::monitor::Scope::kModule && m.instance <= 2) ||
                            (m.scope == novex::monitor::Scope::kCell && m.instance <= cells);
        const bool presence = m.unit == novex::monitor::Unit::kBoolean;
        s->measures[i].present = fitted || presence;
        s->measures[i].value = presence && fitted ? 1.0 : 0.0;
    }
    for (const auto& [measure, value] : figures) {
        const size_t i = novex::monitor::FindMeasure(measure);
        if (i < all.size()) s->measures[i] = {value, true};
    }
    for (const std::string& id : alarms)
        s->active_alarms.push_back(static_cast<novex::monitor::AlarmIndex>(novex::monitor::FindAlarm(id)));
    s->rounds_completed = 12;
    s->rounds_failed = 1;
    s->last_round_utc = last_round_utc;
    return s;
}

// A device before its first round.
inline std::shared_ptr<const DeviceSnapshot> NoRound(const std::string& name, uint32_t data_id) {
    auto s = std::make_shared<DeviceSnapshot>();
    s->device_name = name;
    s->data_id = data_id;
    return s;
}

// Answers every readings query with `buckets` buckets rising from 50 to 100 and every
// events query with one cleared and one active event of battery_voltage_low.
class FakeHistory : public novex::web::HistoryReader {
public:
    explicit FakeHistory(size_t buckets = 30) : buckets_(buckets) {}
    bool Readings(const novex::web::ReadingsQuery& q, std::vector<novex::web::ReadingSeries>& out,
                  std::string&) const override {
        last_readings = q;
        for (const size_t m : q.measures) {
            novex::web::ReadingSeries series{m, {}};
            const size_t count = std::min(buckets_, q.points);
            const int64_t step = (q.until_utc - q.since_utc) / static_cast<int64_t>(count);
            for (size_t b = 0; b < count; ++b) {
                const double v = 50.0 + 50.0 * static_cast<double>(b) / static_cast<double>(count);
                const int64_t start = q.since_utc + static_cast<int64_t>(b) * step;
                series.buckets.push_back({start, start + step, v - 1, v, v + 1, 6});
            }
            out.push_back(series);
        }
        return true;
    }
    bool Events(const novex::web::EventsQuery& q, novex::web::EventList& out,
                std::string&) const override {
        last_events = q;
        const auto alarm = static_cast<novex::monitor::AlarmIndex>(novex::monitor::FindAlarm("battery_voltage_low"));
        if (!q.active_only) out.events.push_back({alarm, q.since_utc + 10, q.since_utc + 20});
        out.events.push_back({alarm, q.since_utc + 30, 0});
        return true;
    }
    mutable novex::web::EventsQuery last_events;
    mutable novex::web::ReadingsQuery last_readings;

private:
    size_t buckets_;
};

// A document that names its device.
class FakeDocuments : public novex::web::DocumentSource {
public:
    bool Document(const DeviceSnapshot& snapshot, std::string& text, std::string&) const override {
        text = "{\"unit\":\"" + snapshot.device_name + "\"}";
        return true;
    }
};

class FakeSource : public novex::web::StateSource {
public:
    novex::web::HostState State() const override { return state; }
    const novex::web::HistoryReader* History() const override { return history; }
    const novex::web::DocumentSource* Documents() const override { return &documents; }
    novex::web::NotifyTest StartNotifyTest(const std::string& channel) const override {
        tests.push_back(channel);
        return test_outcome;
    }
    novex::web::HostState state;
    novex::web::NotifyTest test_outcome = novex::web::NotifyTest::kStarted;
    mutable std::vector<std::string> tests;  // the channels of each test asked for
    FakeDocuments documents;
    const novex::web::HistoryReader* history = nullptr;
};

// Sends `request` to 127.0.0.1:`port` and reads until the server closes or `timeout_ms`
// pass. `closed` tells whether the server closed the connection.
inline std::string RawExchange(int port, const std::string& request, int timeout_ms = 5000,
                               bool* closed = nullptr) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return reply;
    }
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ended = false;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ended = true;
            break;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (closed) *closed = ended;
    return reply;
}

// GET `target` with optional extra header lines; the status and the body.
inline std::pair<int, std::string> Get(int port, const std::string& target,
                                       const std::string& headers = "") {
    const std::string reply =
        RawExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n");
    const size_t body = reply.find("\r\n\r\n");
    if (reply.size() < 12 || body == std::string::npos) return {0, reply};
    return {std::atoi(reply.c_str() + 9), reply.substr(body + 4)};
}

}  // namespace web_test
