// What publishing a UPS's state to MQTT costs vimohost: 1,000 devices on one board,
// each update a new round (figures changed), through the MQTT face to a mosquitto
// started here on loopback. Reports the process's CPU per published state (the face's
// threads, the board's hand-over and libmosquitto's thread together), so the share of
// one core at 1,000 UPSes a second, and the bytes of a state message.
//   build/bench/mqtt_bench [DEVICES] [ROUNDS]   (default 1000 10)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/random_record.h"
#include "common/child_process.h"
#include "config/device_config.h"
#include "board/snapshot_board.h"
#include "mqtt/face.h"
#include "mqtt/state_json.h"

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int FreePort() {
    // Bound by the broker a moment later; the bench runs alone.
    return 20000 + static_cast<int>(getpid() % 20000);
}

}  // namespace

int main(int argc, char** argv) {
    const int devices = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (access("/usr/sbin/mosquitto", X_OK) != 0) {
        std::fprintf(stderr, "mqtt_bench: needs /usr/sbin/mosquitto\n");
        return 0;
    }
    const int port = FreePort();
    char dir[] = "/tmp/mqtt-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string conf = std::string(dir) + "/mosquitto.conf";
    FILE* f = std::fopen(conf.c_str(), "w");
    std::fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
    std::fclose(f);
    vimo::ChildProcess broker;
    vimo::ChildProcess::Options quiet;
    quiet.capture_stdout = false;
    quiet.stdout_file = quiet.stderr_file = std::string(dir) + "/broker.log";
    std::string error;
    if (!broker.Start({"/usr/sbin/mosquitto", "-c", conf}, quiet, error)) {
        std::fprintf(stderr, "mqtt_bench: %s\n", error.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    vimo::SnapshotBoard board;
    std::vector<vimo::DeviceConfig> configs;
    for (int i = 1; i <= devices; ++i) {
        vimo::DeviceConfig c;
        c.data_id = static_cast<uint32_t>(i);
        c.name = "ups" + std::to_string(i);
        configs.push_back(c);
        board.AddDevice(c.name, c.data_id, "bench");
    }
    vimo::mqtt::MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.prefix = "bench/vimohost";
    settings.client_id = "mqtt-bench";
    settings.state_interval_s = 1;
    auto face = vimo::mqtt::MqttFace::Start(settings, configs, board, error);
    if (!face) {
        std::fprintf(stderr, "mqtt_bench: %s\n", error.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // Rounds of differing figures, decoded as the line threads do.
    std::vector<vimo::Snapshot> snapshots;
    size_t bytes = 0;
    for (uint32_t r = 1; r <= 8; ++r) {
        const NovexUPS_Data_t data = bench_support::RandomRecord(r);
        novex::monitor::DecodedRound round;
        novex::monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data, round, error);
        auto s = std::make_shared<novex::monitor::DeviceSnapshot>();
        s->measures = round.measures;
        // A UPS shows a few alarms, not the hundreds a random record raises.
        s->active_alarms.assign(round.alarms.begin(), round.alarms.begin() + std::min<size_t>(3, round.alarms.size()));
        s->last_round_utc = 1765000000 + r;
        snapshots.push_back(s);
        bytes += vimo::mqtt::StateBody(*s, {}).size();
    }
    // Discovery and the first states out of the way.
    const auto publish_round = [&](int round) {
        for (int i = 0; i < devices; ++i) {
            auto s = std::make_shared<novex::monitor::DeviceSnapshot>(*snapshots[static_cast<size_t>(round) % 8]);
            s->device_name = configs[static_cast<size_t>(i)].name;
            s->data_id = configs[static_cast<size_t>(i)].data_id;
            vimo::BoardUpdate u;
            u.now = std::move(s);
            board.Publish(static_cast<size_t>(i), std::move(u));
        }
        board.Drain(std::chrono::seconds(30));
    };
    publish_round(0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int r = 1; r <= rounds; ++r) publish_round(r);
    while (face->Drain(std::chrono::milliseconds(10)) == false) {
    }
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double states = static_cast<double>(devices) * rounds;
    std::printf("states published: %.0f in %.2f s wall\n", states, wall);
    std::printf("CPU per state: %.1f us; at 1,000 UPSes a second: %.1f %% of one core\n", 1e6 * cpu / states,
                100.0 * cpu / states * 1000);
    std::printf("state document: %zu bytes on average (topic and header add about 40)\n", bytes / 8);
    face.reset();
    broker.Stop(2000);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
