// What a notification costs vimohost per message and channel kind: the round's message
// composed (five events, the mains failure of the quick start's outage), then made into
// what each kind sends (the mail with its headers, a webhook body, the syslog line), and
// for syslog the datagram sent to a socket on loopback. Mail and webhooks then cost
// libcurl's transfer, which is the peer's pace, not vimohost's CPU.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "notify/channel.h"

namespace {

using namespace vimo::notify;

std::vector<vimo::AlarmEvent> Round() {
    std::vector<vimo::AlarmEvent> events;
    const char* const ids[] = {"run_state.on_battery", "mains_voltage_abnormal", "module1.mains_voltage_abnormal",
                               "module2.mains_voltage_abnormal", "module3.mains_voltage_abnormal"};
    for (const char* id : ids) {
        vimo::AlarmEvent e;
        e.device = "ups1";
        e.alarm = id;
        e.text = "市电电压异常";
        e.severity = "warning";
        e.time = 1765275600;
        e.description = "Mains voltage abnormal";
        events.push_back(e);
    }
    return events;
}

const DeviceFacts kFacts{"ups1", 1765275600, "on_battery", "100", "45", 1765275600, ""};

ChannelSettings SettingsOf(const char* url) {
    ChannelSettings settings;
    std::string error;
    ParseChannelUrl(url, settings, error);
    return settings;
}

void BM_ComposeRoundMessage(benchmark::State& state) {
    const std::vector<vimo::AlarmEvent> events = Round();
    for (auto _ : state) benchmark::DoNotOptimize(RoundMessage(kFacts, events));
}
BENCHMARK(BM_ComposeRoundMessage);

void BM_SmtpMessage(benchmark::State& state) {
    const std::vector<vimo::AlarmEvent> events = Round();
    const ChannelSettings settings = SettingsOf("smtp://m.example?to=a@x.org,b@x.org&from=u@x.org");
    for (auto _ : state) benchmark::DoNotOptimize(MailText(settings, RoundMessage(kFacts, events), "host"));
}
BENCHMARK(BM_SmtpMessage);

void BM_WebhookMessage(benchmark::State& state) {
    const std::vector<vimo::AlarmEvent> events = Round();
    const char* const urls[] = {"https://h.example/in", "https://h.example/t?format=ntfy",
                                "https://h.example/in?format=slack"};
    const ChannelSettings settings = SettingsOf(urls[state.range(0)]);
    for (auto _ : state) benchmark::DoNotOptimize(WebhookBody(settings, RoundMessage(kFacts, events)));
    state.SetLabel(urls[state.range(0)]);
}
BENCHMARK(BM_WebhookMessage)->DenseRange(0, 2);

// The line made and sent as a datagram to a socket of the benchmark's own.
void BM_SyslogUdpMessage(benchmark::State& state) {
    const int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(sink, reinterpret_cast<sockaddr*>(&a), &size);
    const std::string url = "syslog://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const ChannelSettings settings = SettingsOf(url.c_str());
    std::string error;
    const std::unique_ptr<Sender> sender = MakeSender(settings, error);
    const std::vector<vimo::AlarmEvent> events = Round();
    char buffer[65536];
    for (auto _ : state) {
        const SendResult r = sender->Send(RoundMessage(kFacts, events));
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(recv(sink, buffer, sizeof buffer, MSG_DONTWAIT));
    }
    close(sink);
}
BENCHMARK(BM_SyslogUdpMessage);

}  // namespace

BENCHMARK_MAIN();
