// Real clients of vimohost's web face while it polls the simulator: Prometheus scrapes
// /metrics with a token and its query API returns what vimohost's own API shows;
// headless Chromium runs the status page and its DOM shows the figures, the alarms and
// a drawn plot (screenshots are kept in the build folder); promtool checks and
// unit-tests the alerting rules. Every peer is
// started here on loopback and stopped by its process id; a missing one skips.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <deque>
#include <functional>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "common/child_process.h"
#include "tests/runner_processes.h"
#include "tests/web_support.h"

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

// vimohost polling the simulator's on-battery scenario once a second with the web face
// on; each test starts its own and stops it by its process id.
class WebPeers : public ::testing::Test {
protected:
    // Starts vimohost with `extra` arguments and waits for the address it prints.
    bool StartHost(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost");
        for (const char* a : {"--simulate", "--scenario", "on-battery", "--interval-ms", "1000",
                              "--listen", "127.0.0.1:0"})
            argv.push_back(a);
        argv.push_back("--history=" + (dir_ / "history.db"));
        argv.insert(argv.end(), extra.begin(), extra.end());
        vimo::ChildProcess::Options options;
        options.capture_stdout = false;
        options.stdout_file = "/dev/null";
        options.stderr_file = dir_ / "vimohost.err";
        std::string error;
        if (!host_.Start(argv, options, error)) return false;
        const std::regex printed("status page on http://127\\.0\\.0\\.1:(\\d+)/");
        for (int i = 0; i < 200 && port_ == 0 && host_.running(); ++i) {
            std::smatch m;
            const std::string err = ReadFile(dir_ / "vimohost.err");
            if (std::regex_search(err, m, printed)) port_ = std::stoi(m[1]);
            else std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return port_ != 0;
    }
    // The device as vimohost's API shows it, once `ready` holds for it (at most 40 s).
    Json::Value WaitForDevice(const std::function<bool(const Json::Value&)>& ready,
                              const std::string& headers = "") {
        Json::Value device;
        for (int i = 0; i < 160; ++i) {
            const auto [status, body] = Get(port_, "/api/v1/devices/ups1", headers);
            if (status == 200 && ready(device = ParseJson(body))) return device;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        ADD_FAILURE() << "vimohost's API never showed the device ready: " << device.toStyledString();
        return device;
    }
    void TearDown() override {
        if (host_.running()) {
            EXPECT_EQ(host_.Stop(5000), 0) << ReadFile(dir_ / "vimohost.err");
        }
    }
    TempDir dir_;
    vimo::ChildProcess host_;
    int port_ = 0;
};

bool AlarmActive(const Json::Value& device, const std::string& id) {
    for (const Json::Value& a : device["alarms"])
        if (a["id"].asString() == id) return true;
    return false;
}

// A measure's value from the API's device (the unit's, a module's or a cell's), as the
// page prints numbers ("220", "37.2").
std::string MeasureText(const Json::Value& device, const std::string& name) {
    std::vector<const Json::Value*> lists = {&device["measures"]};
    for (const char* part : {"modules", "cells"})
        for (const Json::Value& each : device[part]) lists.push_back(&each["measures"]);
    for (const Json::Value* list : lists) {
        for (const Json::Value& m : *list) {
            if (m["name"].asString() != name) continue;
            if (m["value"].isString()) return m["value"].asString();
            char text[32];
            std::snprintf(text, sizeof text, "%.10g", m["value"].asDouble());
            return text;
        }
    }
    return "(absent)";
}

TEST_F(WebPeers, PrometheusScrapesWhatTheApiShows) {
    SKIP_WITHOUT("prometheus");
    WriteFile(dir_ / "token", "peer-token\n");
    chmod((dir_ / "token").c_str(), 0600);
    ASSERT_TRUE(StartHost({"--http-token-file", dir_ / "token"})) << ReadFile(dir_ / "vimohost.err");
    const std::string auth = "Authorization: Bearer peer-token\r\n";
    WaitForDevice([](const Json::Value& d) { return d["rounds"]["completed"].asUInt64() > 0; }, auth);
    const int prometheus_port = FreePort();
    WriteFile(dir_ / "prometheus.yml",
              "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
              "scrape_configs:\n"
              "  - job_name: vimohost\n"
              "    authorization: {credentials_file: " + (dir_ / "token") + "}\n"
              "    static_configs: [{targets: ['127.0.0.1:" + std::to_string(port_) + "']}]\n");
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

    // Columns: PromQL query, the measure of vimohost's API it must equal, or the value
    // itself. The battery runs down a step a second and Prometheus answers with its last
    // scrape, up to a second old: a query is repeated until it meets a figure the API
    // showed within the last three seconds.
    const std::pair<std::string, std::string> queries[] = {
        {"ups_battery_charge_percent{device=\"ups1\"}", "battery_charge"},
        {"ups_output_voltage_volts{device=\"ups1\",phase=\"b\"}", "output_voltage{phase=\"b\"}"},
        {"ups_cell_voltage_volts{device=\"ups1\",cell=\"7\"}", "cell_voltage{cell=\"7\"}"},
        {"ups_alarm_active{device=\"ups1\",alarm=\"mains_voltage_abnormal\",module=\"\"}", "=1"},
        {"ups_alarm_active{device=\"ups1\",alarm=\"battery_voltage_low\",module=\"\"}", "=1"},
        {"ups_alarm_active{device=\"ups1\",alarm=\"fan_fault\",module=\"\"}", "=0"},
        {"ups_communication_ok{device=\"ups1\"}", "=1"},
        {"up{job=\"vimohost\"}", "=1"},
    };
    using Clock = std::chrono::steady_clock;
    for (const auto& [query, figure] : queries) {
        std::string value;
        std::deque<std::pair<Clock::time_point, std::string>> shown;  // the API's recent figures
        const auto met = [&] {
            for (const auto& seen : shown)
                if (!value.empty() && seen.second == value) return true;
            return false;
        };
        const auto until = Clock::now() + std::chrono::seconds(40);
        while (!met() && Clock::now() < until) {
            std::string encoded;
            for (const char c : query) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                encoded += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? std::string(1, c) : hex;
            }
            const auto now = Clock::now();
            shown.emplace_back(now, figure[0] == '=' ? figure.substr(1)
                                                     : MeasureText(ParseJson(Get(port_, "/api/v1/devices/ups1", auth).second), figure));
            while (now - shown.front().first > std::chrono::seconds(3)) shown.pop_front();
            const auto answer = Get(prometheus_port, "/api/v1/query?query=" + encoded);
            const Json::Value result = ParseJson(answer.second)["data"]["result"];
            value = answer.first == 200 && result.size() == 1 ? result[0]["value"][1].asString() : "";
            if (!met()) std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_TRUE(met()) << query << ": Prometheus " << value << ", the API last "
                           << shown.back().second;
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
    ASSERT_TRUE(StartHost()) << ReadFile(dir_ / "vimohost.err");
    // The simulated battery runs down to 0 in about 13 rounds and stays there: from
    // then on the page and the API show the same figures.
    const Json::Value device = WaitForDevice([](const Json::Value& d) {
        return MeasureText(d, "battery_runtime") == "0" && MeasureText(d, "battery_charge") == "0" &&
               AlarmActive(d, "battery_voltage_low");
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
    // 35 s of the page's time: the plot is redrawn once after its first drawing.
    const std::string dom = Chromium(dir_, {"--virtual-time-budget=35000", "--dump-dom"}, url);
    // Measures the page must show as the API does (those that no longer change once the
    // battery is flat; its voltages keep falling). Columns: measure name.
    const char* const measures[] = {
        "battery_charge", "battery_runtime", "output_voltage{phase=\"a\"}", "output_voltage{phase=\"c\"}",
        "output_load{phase=\"b\"}", "input_voltage{phase=\"a\"}", "battery_temperature",
        "cell_temperature{cell=\"7\"}", "module_inverter_voltage{module=\"2\",phase=\"b\"}",
    };
    for (const char* name : measures) {
        const std::string shown = std::regex_replace(std::string(name), std::regex("\""), "&quot;");
        const std::string value = MeasureText(device, name);
        EXPECT_NE(dom.find("data-name=\"" + shown + "\">" + value + "<"), std::string::npos)
            << name << " = " << value << "\n" << dom.substr(0, 3000);
    }
    // Every alarm the API lists is on the page, its severity in words.
    for (const Json::Value& alarm : device["alarms"]) {
        const std::string severity = alarm["severity"].asString();
        std::string upper = severity;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(dom.find("<li class=\"alarm " + severity + "\" data-alarm=\"" + alarm["id"].asString() +
                           "\"><strong>" + upper + "</strong>"),
                  std::string::npos)
            << alarm["id"].asString();
    }
    EXPECT_GE(device["alarms"].size(), 2u);
    // Columns: what else the page must show, as a pattern over its DOM.
    const char* const shown[] = {
        R"(data-name="run_state">on battery<)",
        R"(<svg [^>]*class="plot"[^>]*data-points="[1-9]\d*")",
        R"(<polyline class="mean" points="\d+(\.\d)?,\d+(\.\d)?)",
        R"(4 of 10 modules fitted)",
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
