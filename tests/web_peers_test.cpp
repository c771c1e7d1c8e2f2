// Real clients of the web face: Prometheus scrapes /metrics with a token and its query
// API returns what vimohost's own API shows; headless Chromium runs the status page and
// its DOM shows the figures, the alarms and a drawn plot (screenshots are kept in the
// build folder); promtool checks and unit-tests the alerting rules. Every peer is
// started here on loopback and stopped by its process id; a missing one skips.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "child_process.h"
#include "http_server.h"
#include "runner_processes.h"
#include "web_support.h"

namespace {

using namespace web_test;
using runner_test::ReadFile;
using runner_test::TempDir;
using runner_test::WriteFile;

// The program's path from PATH, "" when it is not installed.
std::string Which(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return "";
}

#define SKIP_WITHOUT(program)                                                              \
    do {                                                                                   \
        if (std::getenv("NOVEX_TEST_EMULATOR"))                                            \
            GTEST_SKIP() << "peers run in the native build, not under the emulator";       \
        if (Which(program).empty())                                                           \
            GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh adds it)"; \
    } while (0)

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string error;
    std::istringstream in(text);
    Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &error);
    return value;
}

// One UPS on battery with a low-battery alarm, and stored readings for its plot.
class WebPeers : public ::testing::Test {
protected:
    void SetUp() override {
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        source_.state.version = "1.0.0";
        source_.state.devices.push_back(
            {Snapshot("ups1", 1,
                      {{"battery_charge", 64}, {"run_state", 5}, {"input_voltage{phase=\"a\"}", 0},
                       {"output_voltage{phase=\"a\"}", 220.1}, {"battery_runtime", 1740},
                       {"cell_voltage{cell=\"7\"}", 13.45}},
                      {"battery_voltage_low", "mains_voltage_abnormal"}, now),
             10.0, {}});
        source_.history = &history_;
    }
    std::unique_ptr<novex::web::HttpServer> Serve(const std::string& token_file = "") {
        novex::web::ServerOptions options;
        options.listen = "127.0.0.1:0";
        options.token_file = token_file;
        std::string error;
        auto server = novex::web::HttpServer::Start(source_, options, error);
        EXPECT_TRUE(server) << error;
        return server;
    }
    FakeSource source_;
    FakeHistory history_{40};
    TempDir dir_;
};

TEST_F(WebPeers, PrometheusScrapesWhatTheApiShows) {
    SKIP_WITHOUT("prometheus");
    WriteFile(dir_ / "token", "peer-token\n");
    chmod((dir_ / "token").c_str(), 0600);
    auto server = Serve(dir_ / "token");
    ASSERT_TRUE(server);
    const int prometheus_port = FreePort();
    WriteFile(dir_ / "prometheus.yml",
              "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
              "scrape_configs:\n"
              "  - job_name: vimohost\n"
              "    authorization: {credentials_file: " + (dir_ / "token") + "}\n"
              "    static_configs: [{targets: ['" + server->address() + "']}]\n");
    vimo::ChildProcess prometheus;
    vimo::ChildProcess::Options options;
    options.capture_stdout = false;
    options.stdout_file = dir_ / "prometheus.out";
    options.stderr_file = dir_ / "prometheus.err";
    std::string error;
    ASSERT_TRUE(prometheus.Start({Which("prometheus"), "--config.file=" + (dir_ / "prometheus.yml"),
                                  "--storage.tsdb.path=" + (dir_ / "data"),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                                 options, error))
        << error;

    // Columns: PromQL query, vimohost's own figure it must equal ("" read from the API).
    const std::pair<std::string, std::string> queries[] = {
        {"ups_battery_charge_percent{device=\"ups1\"}", ""},
        {"ups_alarm_active{device=\"ups1\",alarm=\"battery_voltage_low\"}", "1"},
        {"ups_alarm_active{device=\"ups1\",alarm=\"fan_fault\"}", "0"},
        {"ups_cell_voltage_volts{device=\"ups1\",cell=\"7\"}", "13.45"},
        {"up{job=\"vimohost\"}", "1"},
    };
    const auto [status, body] = Get(server->port(), "/api/v1/devices/ups1", "Authorization: Bearer peer-token\r\n");
    ASSERT_EQ(status, 200);
    const std::string charge = ParseJson(body)["battery_charge"].asString();
    EXPECT_EQ(charge, "64");
    for (const auto& [query, figure] : queries) {
        std::string value;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (value.empty() && std::chrono::steady_clock::now() < until) {
            std::string encoded;
            for (const char c : query) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                encoded += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? std::string(1, c) : hex;
            }
            const auto answer = Get(prometheus_port, "/api/v1/query?query=" + encoded);
            const Json::Value result = ParseJson(answer.second)["data"]["result"];
            if (answer.first == 200 && result.size() == 1) value = result[0]["value"][1].asString();
            else std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(value, figure.empty() ? charge : figure) << query;
    }
    EXPECT_EQ(prometheus.Stop(), 0) << ReadFile(dir_ / "prometheus.err");
}

// Runs headless Chromium on `url` with `flags`; its standard output.
std::string Chromium(const TempDir& dir, const std::vector<std::string>& flags, const std::string& url) {
    static int runs = 0;  // a fresh profile for every run
    std::vector<std::string> argv = {Which("chromium"), "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync",
                                     "--user-data-dir=" + (dir / ("profile" + std::to_string(++runs)))};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(url);
    vimo::ChildProcess chromium;
    vimo::ChildProcess::Options options;
    options.capture_stdout = false;
    options.stdout_file = dir / "chromium.out";
    options.stderr_file = dir / "chromium.err";
    std::string error;
    EXPECT_TRUE(chromium.Start(argv, options, error)) << error;
    if (chromium.Wait(90000) == -1) {
        chromium.Stop(2000);
        ADD_FAILURE() << "chromium did not finish";
    }
    return ReadFile(dir / "chromium.out");
}

TEST_F(WebPeers, BrowserShowsFiguresAlarmsAndAPlot) {
    SKIP_WITHOUT("chromium");
    auto server = Serve();
    ASSERT_TRUE(server);
    const std::string url = "http://" + server->address() + "/";
    const std::string dom = Chromium(dir_, {"--virtual-time-budget=5000", "--dump-dom"}, url);
    // Columns: what the page must show, as a pattern over its DOM.
    const char* const shown[] = {
        R"(data-name="battery_charge">64<)",
        R"(data-name="run_state">on battery<)",
        R"(data-name="output_voltage\{phase=&quot;a&quot;\}">220.1<)",
        R"(data-name="battery_runtime">29<)",  // 1740 s shown in minutes
        R"(data-name="cell_voltage\{cell=&quot;7&quot;\}">13.45<)",
        R"(<li class="alarm critical" data-alarm="battery_voltage_low"><strong>CRITICAL</strong> 电池电压低)",
        R"(<li class="alarm warning" data-alarm="mains_voltage_abnormal"><strong>WARNING</strong>)",
        R"(<svg [^>]*class="plot"[^>]*data-points="40")",
        R"(<polyline class="mean" points="(\d+(\.\d)?,\d+(\.\d)? ){39}\d+(\.\d)?,\d+(\.\d)?")",
        R"(2 of 10 modules fitted)",
        R"(1 UPS, updated )",
    };
    for (const char* pattern : shown)
        EXPECT_TRUE(std::regex_search(dom, std::regex(pattern))) << pattern << "\n" << dom.substr(0, 3000);

    // For a person to look at: the page at desktop and at phone width.
    const std::string build = runner_test::BuildDir();
    Chromium(dir_, {"--virtual-time-budget=5000", "--hide-scrollbars", "--window-size=1200,2600",
                    "--screenshot=" + build + "/web-status.png"}, url);
    Chromium(dir_, {"--virtual-time-budget=5000", "--hide-scrollbars", "--window-size=400,3000",
                    "--screenshot=" + build + "/web-status-phone.png"}, url);
    struct stat st{};
    EXPECT_EQ(stat((build + "/web-status.png").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 10000);
}

// The rules pass promtool's check and unit test, and the README's scrape configuration
// loads as printed with the rules and a token file beside it.
TEST(WebAlertRules, RulesAndTheReadmeConfiguration) {
    SKIP_WITHOUT("promtool");
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    ASSERT_TRUE(source);
    const std::string dir = std::string(source) + "/web/prometheus";
    EXPECT_EQ(system(("promtool check rules " + dir + "/ups-alerts.yml >/dev/null").c_str()), 0);
    EXPECT_EQ(system(("cd " + dir + " && promtool test rules ups-alerts.test.yml >/dev/null").c_str()), 0);

    const std::string readme = ReadFile(std::string(source) + "/README.md");
    const std::string begin = "<!-- scrape config: begin -->\n```yaml\n";
    const size_t from = readme.find(begin);
    const size_t to = readme.find("```\n<!-- scrape config: end -->");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
    TempDir temp;
    WriteFile(temp / "prometheus.yml", readme.substr(from + begin.size(), to - from - begin.size()));
    WriteFile(temp / "ups-alerts.yml", ReadFile(dir + "/ups-alerts.yml"));
    WriteFile(temp / "vimohost.token", "token\n");
    EXPECT_EQ(system(("promtool check config " + (temp / "prometheus.yml") + " >/dev/null").c_str()), 0);
}

}  // namespace
