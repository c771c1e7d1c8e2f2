// The web face from hand-built snapshots: API answers and statuses, /metrics lines,
// /healthz, tokens, times; then the listener's limits over loopback.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "peer_skip.h"
#include <zlib.h>

#include "web/scrape_rhythm.h"
#include "web/api.h"
#include "web/http_server.h"
#include "web/metrics.h"
#include "web/router.h"
#include "core/time_text.h"
#include "tests/web_support.h"

namespace {

using namespace web_test;
using novex::web::Request;

constexpr int64_t kNow = 1714550400;  // 2024-05-01 08:00:00 UTC

FakeSource TwoUpses() {
    FakeSource source;
    source.state.version = "1.0.0";
    auto first = std::make_shared<DeviceSnapshot>(*Snapshot(
        "ups1", 1,
        {{"battery_charge", 80}, {"input_voltage{phase=\"a\"}", 220.3},
         {"run_state", 5}, {"module_inverter_current{module=\"2\",phase=\"b\"}", 12.5},
         {"cell_resistance{cell=\"3\"}", 0.0042}},
        {"battery_voltage_low", "module2.fan_fault"}, kNow - 2, 28));
    first->energy.phase_joules = {1000.4, 2000.6, 0};
    first->energy.total_joules = 3001;
    first->energy.counted = true;
    source.state.devices.push_back({first, 10.0, {}});
    source.state.devices.push_back({NoRound("ups \"b\"", 7), 10.0, {}});
    return source;
}

TEST(WebApi, AnswersByPathAndQuery) {
    setenv("TZ", "UTC", 1);
    tzset();
    FakeSource source = TwoUpses();
    const FakeHistory history;
    // Columns: method, target, with history, status, a part of the body.
    struct Case {
        const char* method;
        const char* target;
        bool history;
        int status;
        const char* body;
    };
    const Case cases[] = {
        {"GET", "/api/v1/devices", false, 200, "\"name\":\"ups1\",\"data_id\":1"},
        {"GET", "/api/v1/devices", false, 200, "\"last_round\":\"2024-05-01T07:59:58+00:00\",\"age_seconds\":2"},
        {"GET", "/api/v1/devices", false, 200, "\"run_state\":null"},
        {"GET", "/api/v1/devices/ups1", false, 200, "\"run_state\":\"on_battery\",\"battery_charge\":80,\"active_alarms\":2,\"critical_alarms\":2"},
        {"GET", "/api/v1/devices", false, 200, "\"critical_alarms\":2,\"battery_runtime\":0,\"worst_alarm\":{\"id\":\"battery_voltage_low\""},
        {"GET", "/api/v1/devices", false, 200, "\"battery_runtime\":null,\"worst_alarm\":null"},
        {"GET", "/api/v1/devices", false, 200, "\"output_energy\":{\"unit\":\"joules\",\"total\":3001,\"phases\":{\"a\":1000,\"b\":2001,\"c\":0}}"},
        {"GET", "/api/v1/devices", false, 200, "\"output_energy\":null,\"communication_action\":null"},
        {"GET", "/api/v1/devices/1", false, 200, "{\"name\":\"input_voltage{phase=\\\"a\\\"}\",\"id\":\"input_voltage\",\"labels\":{\"phase\":\"a\"},\"unit\":\"volts\",\"value\":220.3}"},
        {"GET", "/api/v1/devices/ups1", false, 200, "{\"id\":\"module2.fan_fault\",\"description\":\"Module 2 rectifier: fan fault\",\"text\":\"模块2-整流模块风扇故障\",\"severity\":\"critical\",\"action\":\"A fan has failed: check for blocked air flow and call service.\",\"module\":2}"},
        {"GET", "/api/v1/devices/ups1", false, 200, "\"labels\":{\"module\":\"2\",\"phase\":\"b\"},\"unit\":\"amperes\",\"value\":12.5}"},
        {"GET", "/api/v1/devices/ups1", false, 200, "{\"module\":3,\"present\":false,\"measures\":[]}"},
        {"GET", "/api/v1/devices/ups1", false, 200, "\"unit\":\"ohms\",\"value\":0.00420}"},
        {"GET", "/api/v1/devices/ups1", false, 200, "{\"cell\":29,\"present\":false,\"measures\":[]}"},
        {"GET", "/api/v1/devices/ups1/document", false, 200, "{\"unit\":\"ups1\"}"},
        {"GET", "/api/v1/devices/7", false, 503, "ups \\\"b\\\": no round yet"},
        {"GET", "/api/v1/devices/ups%20%22b%22/document", false, 503, "no round yet"},
        {"GET", "/api/v1/devices/ups9", false, 404, "no device named or numbered ups9"},
        {"GET", "/api/v1/devices/%FFups", false, 404, "no device named or numbered \\ufffdups"},
        {"GET", "/api/v1/devices/ups%2", false, 400, "bad percent-encoding"},
        {"GET", "/api/v1/devices/ups1/nothing", false, 404, "no such page"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge", false, 503, "keeps no history"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=0&until=253402300799&points=1000", true, 200,
         "\"until\":\"9999-12-31T23:59:59+00:00\""},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=1714546800&points=3", true, 200,
         "{\"start\":\"2024-05-01T07:00:00+00:00\",\"end\":\"2024-05-01T07:20:00+00:00\",\"min\":49,\"mean\":50,\"max\":51,\"count\":6}"},
        {"GET", "/api/v1/devices/ups1/readings?fields=input_voltage%7Bphase%3D%22a%22%7D,module_inverter_voltage{module=\"3\",phase=\"a\"}", true, 200,
         "\"name\":\"module_inverter_voltage{module=\\\"3\\\",phase=\\\"a\\\"}\""},
        {"GET", "/api/v1/devices/ups1/readings", true, 400, "fields: 1 to 8"},
        {"GET", "/api/v1/devices/ups1/readings?fields=nope", true, 400, "fields: unknown measure: nope"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&points=0", true, 400, "points: a number from 1 to 1000"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&points=1e3", true, 400, "points"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=yesterday", true, 400, "since: not an ISO 8601"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=2024-05-01T09:00:00%2B08:00&until=2024-05-01T08:00:00%2B08:00", true, 400, "since must be before until"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&points=5&points=6", true, 400, "points: given twice"},
        {"GET", "/api/v1/devices/ups1/readings?field=battery_charge", true, 400, "unknown parameter: field"},
        {"GET", "/api/v1/devices/ups1/readings?fields=%zz", true, 400, "malformed query"},
        {"GET", "/api/v1/devices/ups1/events?since=2024-05-01T00:00:00Z", true, 200,
         "{\"alarm\":\"battery_voltage_low\",\"description\":\"Battery voltage low\",\"text\":\"电池电压低\",\"severity\":\"critical\",\"raised\":\"2024-05-01T00:00:10+00:00\",\"cleared\":\"2024-05-01T00:00:20+00:00\",\"active\":false}"},
        // A duration reaches back from now, as the history commands read it.
        {"GET", "/api/v1/devices/ups1/events?since=1h", true, 200, "\"events\":["},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=2h", true, 200, "\"since\":\"2024-05-01T06:00:00+00:00\",\"until\":\"2024-05-01T08:00:00+00:00\""},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=0h", true, 400, "nor a duration such as"},
        {"GET", "/api/v1/devices/ups1/events?active=true", true, 200, "\"cleared\":null,\"active\":true}]}"},
        {"GET", "/api/v1/devices/ups1/events?active=maybe", true, 400, "active: true or false"},
        {"GET", "/api/v1/devices/ups1/events?since=0", true, 200, "\"truncated\":false,\"events\":[{"},
        // Times outside 1970..9999 are refused at parse, before any arithmetic on them.
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=0&until=9223372036854775807", true, 400,
         "until: not an ISO 8601 time with offset, nor epoch seconds, nor a duration such as 90s, 15m, 12h, 30d, 2w or 2y, from 1970-01-01T00:00:00Z to 9999-12-31T23:59:59Z"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&until=99999999999999999999", true, 400, "until: not"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=-9223372036854775808", true, 400, "since: not"},
        {"GET", "/api/v1/devices/ups1/readings?fields=battery_charge&since=1969-12-31T23:59:59Z", true, 400, "since: not"},
        {"GET", "/api/v1/devices/ups1/events?since=0&until=9999-12-31T23:59:59-00:01", true, 400, "until: not"},
        {"GET", "/metrics?x=1", false, 400, "no parameters here"},
        {"TRACE", "/", false, 405, "read-only"},
        {"GET", "/api/v1/devices?x=1", false, 400, "no parameters here"},
        {"GET", "/api/v2/devices", false, 404, "no such page"},
        {"GET", "/../etc/passwd", false, 404, "no such page"},
        {"GET", "/nope.html", false, 404, "no such page"},
        {"GET", "/", false, 200, "<title>vimohost</title>"},
        {"HEAD", "/app.js", false, 200, "'use strict'"},
        {"POST", "/api/v1/devices", false, 405, "read-only"},
        {"DELETE", "/metrics", false, 405, "read-only"},
    };
    for (const Case& c : cases) {
        source.history = c.history ? &history : nullptr;
        const novex::web::Router router(source, "");
        const std::string target = c.target;
        const size_t q = target.find('?');
        // The path as the server hands it: still percent-encoded.
        Request request{c.method, target.substr(0, q), q == std::string::npos ? "" : target.substr(q + 1), ""};
        const novex::web::Response r = router.Handle(request, kNow);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << "\n" << r.body;
        EXPECT_NE(r.body.find(c.body), std::string::npos) << c.target << "\n" << r.body;
    }
    EXPECT_EQ(history.last_readings.until_utc, kNow);
}

TEST(WebApi, TokenGuardsAllButHealth) {
    FakeSource source = TwoUpses();
    source.state.devices.pop_back();
    const novex::web::Router router(source, "s3cret");
    // Columns: path, Authorization header, status.
    struct Case {
        const char* path;
        const char* authorization;
        int status;
    };
    const Case cases[] = {
        {"/healthz", "", 200},
        {"/metrics", "", 401},
        {"/metrics", "Bearer s3cret", 200},
        {"/metrics", "Bearer s3cre", 401},
        {"/metrics", "Bearer s3cret ", 401},
        {"/metrics", "bearer s3cret", 401},
        {"/", "Basic dmltbzpzM2NyZXQ=", 200},         // vimo:s3cret
        {"/", "Basic dmltbzpzM2NyZXQ", 200},          // without padding
        {"/", "Basic dmltbzp3cm9uZw==", 401},         // vimo:wrong
        {"/", "Basic !!!!", 401},
        {"/api/v1/devices", "", 401},
        {"/nope", "", 401},  // unknown paths give nothing away without the token either
    };
    for (const Case& c : cases) {
        const auto r = router.Handle({"GET", c.path, "", c.authorization}, kNow);
        EXPECT_EQ(r.status, c.status) << c.path << " " << c.authorization;
        // The token alone: every refusal names it, and none asks for a user.
        if (c.status == 401) {
            EXPECT_NE(std::string::npos, r.body.find("token")) << r.body;
            EXPECT_EQ(std::string::npos, r.body.find("user name")) << r.body;
        }
    }
}

// The page's one POST: only with credentials configured and sent, and only with the
// header a form or script of another site cannot send.
TEST(WebApi, TestButtonNeedsALoginAndThePagesHeader) {
    using novex::web::NotifyTest;
    FakeSource source = TwoUpses();
    source.state.notify_channels.push_back({"ops", "smtp", 1, 2, 3, 0, true, "relay denied", "sent", kNow});
    // Columns: router's token, Authorization, X-Requested-With, query, what the notifier
    // says, status, a part of the body, the channel asked of the notifier (null: none).
    struct Case {
        const char* token;
        const char* authorization;
        const char* requested_with;
        const char* query;
        NotifyTest outcome;
        int status;
        const char* body;
        const char* asked;
    };
    const Case cases[] = {
        {"", "", "vimohost", "", NotifyTest::kStarted, 403, "needs a login", nullptr},
        {"s3cret", "", "vimohost", "", NotifyTest::kStarted, 401, "no credentials sent", nullptr},
        {"s3cret", "Bearer s3cret", "", "", NotifyTest::kStarted, 403, "X-Requested-With", nullptr},
        {"s3cret", "Bearer s3cret", "XMLHttpRequest", "", NotifyTest::kStarted, 403, "X-Requested-With", nullptr},
        {"s3cret", "Bearer s3cret", "vimohost", "", NotifyTest::kStarted, 202, "{\"testing\":\"every channel\"}", ""},
        {"s3cret", "Bearer s3cret", "vimohost", "channel=ops%20mail", NotifyTest::kStarted, 202, "\"ops mail\"", "ops mail"},
        {"s3cret", "Bearer s3cret", "vimohost", "channel=nope", NotifyTest::kNoChannel, 404, "no notification channel named nope", "nope"},
        {"s3cret", "Bearer s3cret", "vimohost", "", NotifyTest::kNoChannel, 404, "no notification channel is configured", ""},
        {"s3cret", "Bearer s3cret", "vimohost", "", NotifyTest::kBusy, 429, "under way", ""},
        {"s3cret", "Bearer s3cret", "vimohost", "name=ops", NotifyTest::kStarted, 400, "unknown parameter: name", nullptr},
    };
    for (const Case& c : cases) {
        source.tests.clear();
        source.test_outcome = c.outcome;
        const novex::web::Router router(source, c.token);
        Request request{"POST", "/api/v1/notify/test", c.query, c.authorization};
        request.requested_with = c.requested_with;
        const novex::web::Response r = router.Handle(request, kNow);
        EXPECT_EQ(r.status, c.status) << c.token << " " << c.authorization << " " << c.query << "\n" << r.body;
        EXPECT_NE(r.body.find(c.body), std::string::npos) << r.body;
        EXPECT_EQ(source.tests, c.asked ? std::vector<std::string>{c.asked} : std::vector<std::string>{})
            << c.query;
    }
    const novex::web::Router router(source, "");
    EXPECT_EQ(router.Handle({"GET", "/api/v1/notify/test", "", ""}, kNow).status, 405);
    EXPECT_EQ(router.Handle({"POST", "/metrics", "", ""}, kNow).status, 405);
    // The channels and how their last test went, as the page shows them.
    const std::string devices = router.Handle({"GET", "/api/v1/devices", "", ""}, kNow).body;
    EXPECT_NE(devices.find("\"notify\":[{\"name\":\"ops\",\"kind\":\"smtp\",\"queued\":1,\"sent\":2,\"failed\":3,"
                           "\"dropped\":0,\"last_error\":\"relay denied\",\"test\":\"sent\",\"test_time\":1714550400}]"),
              std::string::npos) << devices;
}

TEST(WebHealth, NamesEveryDeviceOutsideItsWindow) {
    // Columns: last round age (-1: none), communication lost, status, body.
    struct Case {
        int64_t age;
        bool lost;
        int status;
        const char* body;
    };
    const Case cases[] = {
        {3, false, 200, "ok\n"},
        {10, false, 200, "ok\n"},
        {11, false, 503, "ups1: last round 11 s ago, more than 10 s\n"},
        {4, true, 503, "ups1: communication lost, last round 4 s ago\n"},
        {-1, false, 503, "ups1: no completed round yet\n"},
    };
    for (const Case& c : cases) {
        FakeSource source;
        auto s = std::make_shared<DeviceSnapshot>(*Snapshot("ups1", 1, {}, {}, c.age < 0 ? 0 : kNow - c.age));
        if (c.lost) s->communication = novex::monitor::Communication::kLost;
        source.state.devices.push_back({s, 10.0, {}});
        source.state.devices.push_back({Snapshot("ups2", 2, {}, {}, kNow), 10.0, {}});
        const auto r = novex::web::HealthResponse(source.state, kNow);
        EXPECT_EQ(r.status, c.status) << c.body;
        EXPECT_EQ(r.body, c.body);
    }
}

TEST(WebMetrics, LinesFromSnapshots) {
    FakeSource source = TwoUpses();
    source.state.devices[0].round_durations.Add(0.03);
    source.state.devices[0].round_durations.Add(2.0);
    source.state.hook_runs = 3;
    source.state.hook_failures = 1;
    source.state.notify_channels.push_back({"mail \"ops\"", "smtp", 2, 7, 3, 1, true, "connection refused", "", 0});
    auto lost = std::make_shared<DeviceSnapshot>(*Snapshot("ups3", 3, {{"battery_charge", 55}}, {"communication_lost"}, kNow - 60));
    lost->communication = novex::monitor::Communication::kLost;
    lost->energy.phase_joules = {123456.75, 0, 0.5};
    lost->energy.counted = true;
    lost->stale = true;
    source.state.devices.push_back({lost, 10.0, {}});
    std::string text;
    novex::web::RenderMetrics(source.state, text);
    // Columns: a line that must be there (true) or must not (false).
    const std::pair<const char*, bool> lines[] = {
        {"ups_battery_charge_percent{device=\"ups1\"} 80\n", true},
        {"vimohost_notify_queued{channel=\"mail \\\"ops\\\"\",kind=\"smtp\"} 2\n", true},
        {"vimohost_notify_sent_total{channel=\"mail \\\"ops\\\"\",kind=\"smtp\"} 7\n", true},
        {"vimohost_notify_failing{channel=\"mail \\\"ops\\\"\",kind=\"smtp\"} 1\n", true},
        {"ups_input_voltage_volts{device=\"ups1\",phase=\"a\"} 220.3\n", true},
        {"ups_module_inverter_current_amperes{device=\"ups1\",module=\"2\",phase=\"b\"} 12.5\n", true},
        {"ups_module_inverter_current_amperes{device=\"ups1\",module=\"3\"", false},
        {"ups_module_present{device=\"ups1\",module=\"3\"} 0\n", true},
        {"ups_cell_resistance_ohms{device=\"ups1\",cell=\"3\"} 0.0042\n", true},
        {"ups_cell_voltage_volts{device=\"ups1\",cell=\"29\"}", false},
        {"ups_battery_runtime_seconds{device=\"ups1\"} 0\n", true},
        {"ups_run_state{device=\"ups1\",state=\"on_battery\"} 1\n", true},
        {"ups_run_state{device=\"ups1\",state=\"on_mains\"} 0\n", true},
        {"ups_alarm_active{device=\"ups1\",alarm=\"battery_voltage_low\",severity=\"critical\"} 1\n", true},
        {"ups_alarm_active{device=\"ups1\",alarm=\"fan_fault\",module=\"2\",severity=\"critical\"} 1\n", true},
        {"ups_alarm_active{device=\"ups1\",alarm=\"fan_fault\",module=\"1\",severity=\"critical\"} 0\n", true},
        {"ups_alarm_active{device=\"ups1\",alarm=\"fan_fault\",module=\"3\"", false},
        {"ups_alarm_active{device=\"ups1\",alarm=\"module", false},
        {"ups_alarm_active{device=\"ups \\\"b\\\"\",alarm=\"fan_fault\",module=\"1\"", false},
        {"ups_alarm_active{device=\"ups1\",alarm=\"start_refused\",severity=\"info\"} 0\n", true},
        {"ups_alarm_active{device=\"ups \\\"b\\\"\",alarm=\"communication_lost\",severity=\"critical\"} 0\n", true},
        {"ups_communication_ok{device=\"ups3\"} 0\n", true},
        // A counter stays while the figures are stale; none before it counts.
        {"ups_output_energy_joules_total{device=\"ups3\",phase=\"a\"} 123456.75\n", true},
        {"ups_output_energy_joules_total{device=\"ups3\",phase=\"c\"} 0.5\n", true},
        {"ups_output_energy_joules_total{device=\"ups1\",phase=\"b\"} 2000.6\n", true},
        {"ups_output_energy_joules_total{device=\"ups \\\"b\\\"\"", false},
        {"ups_battery_charge_percent{device=\"ups3\"}", false},
        {"ups_alarm_active{device=\"ups3\",alarm=\"communication_lost\",severity=\"critical\"} 1\n", true},
        {"vimohost_rounds_total{device=\"ups1\",result=\"failed\"} 1\n", true},
        {"vimohost_round_duration_seconds_bucket{device=\"ups1\",le=\"0.025\"} 0\n", true},
        {"vimohost_round_duration_seconds_bucket{device=\"ups1\",le=\"0.05\"} 1\n", true},
        {"vimohost_round_duration_seconds_bucket{device=\"ups1\",le=\"+Inf\"} 2\n", true},
        {"vimohost_round_duration_seconds_sum{device=\"ups1\"} 2.03\n", true},
        {"vimohost_last_round_timestamp_seconds{device=\"ups1\"} 1714550398\n", true},
        {"vimohost_last_round_timestamp_seconds{device=\"ups \\\"b\\\"\"}", false},
        {"vimohost_hook_failures_total 1\n", true},
        {"vimohost_build_info{version=\"1.0.0\"} 1\n", true},
    };
    for (const auto& [line, wanted] : lines)
        EXPECT_EQ(text.find(line) != std::string::npos, wanted) << line;
    // Each family's name is stated once.
    EXPECT_EQ(text.find("# TYPE ups_alarm_active "), text.rfind("# TYPE ups_alarm_active "));

    // The exposition as Prometheus's own checker reads it, when it is installed.
    NOVEX_NEED_PEER(system("promtool --version >/dev/null 2>&1") == 0, "promtool not installed");
    char path[] = "/tmp/web-metrics-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
    FILE* out = popen(command.c_str(), "r");
    std::string said;
    char buffer[512];
    while (out && fgets(buffer, sizeof buffer, out)) said += buffer;
    const int status = out ? pclose(out) : -1;
    unlink(path);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said, "");
}

std::string Gunzip(const std::string& data) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    int rc = Z_OK;
    while (rc == Z_OK) {
        char buffer[65536];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    EXPECT_EQ(rc, Z_STREAM_END) << "the member is whole, its CRC and length right";
    EXPECT_EQ(z.avail_in, 0u) << "nothing after the member";
    inflateEnd(&z);
    return out;
}

// The gzip answer is the text answer, whether the devices' series were rendered and
// compressed ahead (as the feed does once per round), only rendered, or not at all;
// a rendering at hand is what the scrape serves.
TEST(WebMetrics, GzipIsTheTextAndRenderingsAreReused) {
    FakeSource source = TwoUpses();
    source.state.devices[0].round_durations.Add(0.3);
    auto lost = std::make_shared<DeviceSnapshot>(*Snapshot("ups3", 3, {{"battery_charge", 55}}, {}, kNow - 60));
    lost->stale = true;
    source.state.devices.push_back({lost, 10.0, {}});
    std::string text;
    novex::web::RenderMetrics(source.state, text);
    // Columns: which devices have their series rendered ahead, and compressed.
    const std::pair<std::vector<bool>, bool> cases[] = {
        {{false, false, false}, false},
        {{true, true, true}, true},
        {{true, false, true}, true},
        {{true, true, false}, false},
    };
    for (const auto& [ahead, compressed] : cases) {
        novex::web::HostState state = source.state;
        for (size_t d = 0; d < state.devices.size(); ++d)
            if (ahead[d]) state.devices[d].metrics = novex::web::RenderDeviceMetrics(state.devices[d], compressed);
        std::string zipped, plain;
        novex::web::RenderMetricsGzip(state, zipped);
        novex::web::RenderMetrics(state, plain);
        EXPECT_EQ(Gunzip(zipped), text) << compressed;
        EXPECT_EQ(plain, text);
    }
    // Ahead of a new snapshot, the rendering of the old one is served.
    novex::web::HostState state = source.state;
    state.devices[0].metrics = novex::web::RenderDeviceMetrics(state.devices[0], true);
    state.devices[0].snapshot = Snapshot("ups1", 1, {{"battery_charge", 79}}, {}, kNow);
    std::string zipped;
    novex::web::RenderMetricsGzip(state, zipped);
    EXPECT_NE(Gunzip(zipped).find("ups_battery_charge_percent{device=\"ups1\"} 80\n"), std::string::npos);
}

TEST(WebMetrics, GzipWhenTheScraperAsks) {
    FakeSource source = TwoUpses();
    const novex::web::Router router(source, "");
    // Columns: Accept-Encoding, answered in gzip.
    const std::pair<const char*, bool> cases[] = {
        {"", false},
        {"gzip", true},
        {"deflate, GZIP;q=0.5", true},
        {"x-gzip", true},
        {"identity", false},
        {"gzip;q=0", false},
        {"gzip; q=0.000, identity", false},
        {"gzipped", false},
    };
    std::string text;
    novex::web::RenderMetrics(source.state, text);
    for (const auto& [accept, gzip] : cases) {
        Request request{"GET", "/metrics", "", "", accept};
        const novex::web::Response r = router.Handle(request, kNow);
        const bool said = std::find(r.headers.begin(), r.headers.end(),
                                    std::make_pair(std::string("Content-Encoding"), std::string("gzip"))) !=
                          r.headers.end();
        EXPECT_EQ(said, gzip) << accept;
        EXPECT_EQ(gzip ? Gunzip(r.body) : r.body, text) << accept;
    }
    // No device yet (a configuration waiting for a reload): heads and vimohost's own.
    const novex::web::HostState empty;
    std::string zipped, plain;
    novex::web::RenderMetricsGzip(empty, zipped);
    novex::web::RenderMetrics(empty, plain);
    EXPECT_EQ(Gunzip(zipped), plain);
}

// Rounds render /metrics ahead only near the next scrape: a trace of scrapes 15 s
// apart, a burst of three, a scraper that stopped, and scrapes under 10 s apart. Columns: seconds, a scrape
// (true) or a round asking whether to render, the answer for a round.
TEST(WebMetrics, RoundsRenderShortlyBeforeTheNextScrape) {
    struct Step {
        double at;
        bool scrape;
        bool render;
    };
    const Step kTrace[] = {
        {0.0, false, true},    // nobody has scraped: the flag that asks is not set yet either
        {10.0, true, false},   {11.0, false, true},  // the period is not known yet
        {25.0, true, false},   {26.0, false, false}, {37.0, false, false},
        {37.6, false, true},   {40.0, false, true},  // due at 40 s
        {40.0, true, false},   {40.05, true, false}, {40.1, true, false},  // one burst
        {45.0, false, false},  {52.6, false, true},  {55.0, false, true},
        {70.0, false, true},   {70.2, false, false},  // a period late: the scrape renders
        {80.0, true, false},   {89.9, true, false},  {91.0, false, true},  // 9.9 s apart: always
    };
    novex::web::ScrapeRhythm rhythm;
    const auto start = novex::web::ScrapeRhythm::Clock::time_point(std::chrono::hours(1));
    for (const Step& s : kTrace) {
        const auto now = start + std::chrono::milliseconds(static_cast<int64_t>(s.at * 1000));
        if (s.scrape)
            rhythm.Scraped(now);
        else
            EXPECT_EQ(s.render, rhythm.RenderNow(now)) << "at " << s.at << " s";
    }
}

// A missing peer skips on a developer's machine and fails under CI=true.
void NeedAbsentPeer() { NOVEX_NEED_PEER(false, "no-such-peer is not installed"); }
TEST(PeerSkip, AMissingPeerFailsUnderCi) {
    const char* before = std::getenv("CI");
    const std::string saved = before ? before : "";
    setenv("CI", "true", 1);
    EXPECT_FATAL_FAILURE(NeedAbsentPeer(), "peer missing under CI=true: no-such-peer");
    setenv("CI", "false", 1);
    EXPECT_FALSE(novex_test::UnderCi());
    EXPECT_FALSE(novex_test::OptionalPeer(false, "no-such-peer"));
    if (before) setenv("CI", saved.c_str(), 1); else unsetenv("CI");
}

TEST(WebTime, ReadsIsoAndEpochSeconds) {
    // Columns: text, accepted, epoch seconds.
    const std::tuple<const char*, bool, int64_t> cases[] = {
        {"2024-05-01T08:00:00Z", true, kNow},
        {"2024-05-01T16:00:00+08:00", true, kNow},
        {"2024-05-01T03:30:00-0430", true, kNow},
        {"2024-05-01T08:00:00.123Z", true, kNow},
        {"2024-05-01 08:00:00Z", true, kNow},
        {"1714550400", true, kNow},
        {"2024-05-01T08:00:00", false, 0},   // no offset: whose local time?
        {"2024-13-01T08:00:00Z", false, 0},
        {"2024-05-01T08:00:00+8", false, 0},
        {"2024-05-01T08:00:00Zjunk", false, 0},
        {"-5", false, 0},
        {"", false, 0},
        // The range every query shares: 1970 to 9999, whatever the form.
        {"0", true, 0},
        {"253402300799", true, 253402300799},
        {"9999-12-31T23:59:59Z", true, 253402300799},
        {"253402300800", false, 0},
        {"9223372036854775807", false, 0},
        {"99999999999999999999", false, 0},
        {"1969-12-31T23:59:59Z", false, 0},
        {"1970-01-01T00:59:59+01:00", false, 0},
        {"0000-01-01T00:00:00Z", false, 0},
    };
    for (const auto& [text, ok, utc] : cases) {
        int64_t got = 0;
        EXPECT_EQ(novex::ParseTime(text, got), ok) << text;
        if (ok) {
            EXPECT_EQ(got, utc) << text;
        }
    }
}

// The listener over loopback, with short limits so that a slow client is cut off fast.
class WebServer : public ::testing::Test {
protected:
    void SetUp() override {
        source_ = TwoUpses();
        options_.listen = "127.0.0.1:0";
        options_.threads = 2;
        options_.request_timeout_ms = 800;
        options_.max_request_bytes = 4096;
    }
    std::unique_ptr<novex::web::HttpServer> Start() {
        std::string error;
        auto server = novex::web::HttpServer::Start(source_, options_, error);
        EXPECT_TRUE(server) << error;
        return server;
    }
    FakeSource source_;
    novex::web::ServerOptions options_;
};

TEST_F(WebServer, BadRequestsGetAStatusOrAClosedConnection) {
    auto server = Start();
    ASSERT_TRUE(server);
    const int port = server->port();
    // Columns: raw request, status wanted (0: the connection closed without one).
    const std::pair<std::string, int> cases[] = {
        {"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", 503},
        {"GET /api/v1/devices/ups1 HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"GET /metrics?" + std::string(6000, 'a') + " HTTP/1.1\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nX-Big: " + std::string(6000, 'b') + "\r\n\r\n", 0},
        {"POST /api/v1/devices HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 405},
        {"POST /api/v1/notify/test HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 413},
        {"POST /api/v1/notify/test HTTP/1.1\r\nHost: x\r\n\r\n", 403},  // no login configured
        {"GET /api/v1/devices HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", 413},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", 413},
        {"PUT /metrics HTTP/1.1\r\n\r\n", 405},
        {"TRACE / HTTP/1.1\r\n\r\n", 405},
        {"GET nothing HTTP/1.1\r\n\r\n", 0},
        {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 0},  // a TLS hello
        {"GET /nope HTTP/1.1\r\n\r\n", 404},
        {"GET / HTTP/9.9\r\n\r\n", 0},
    };
    for (const auto& [request, status] : cases) {
        bool closed = false;
        const std::string reply = RawExchange(port, request, 3000, &closed);
        EXPECT_TRUE(closed) << request.substr(0, 60);
        const int got = reply.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(reply.c_str() + 9) : 0;
        if (status == 0) {
            EXPECT_TRUE(got == 0 || got >= 400) << request.substr(0, 60) << "\n" << reply;
        } else {
            EXPECT_EQ(got, status) << request.substr(0, 60) << "\n" << reply;
        }
    }
    EXPECT_EQ(Get(port, "/api/v1/devices").first, 200);
}

TEST_F(WebServer, SlowClientsAreCutOffAndOthersStillServed) {
    auto server = Start();
    ASSERT_TRUE(server);
    const int port = server->port();
    // More idle clients than threads: each is dropped after the request timeout.
    std::vector<std::thread> slow;
    std::vector<char> closed(4, 0);
    for (size_t i = 0; i < closed.size(); ++i)
        slow.emplace_back([&, i] {
            bool c = false;
            RawExchange(port, "GET /metrics HTTP/1.1\r\nHost:", 5000, &c);
            closed[i] = c;
        });
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (status != 200 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        status = Get(port, "/api/v1/devices").first;
    EXPECT_EQ(status, 200);
    for (std::thread& t : slow) t.join();
    for (const char c : closed) EXPECT_TRUE(c);
}

// A connection to `port` at `to` from `from` (another address of 127/8 stands for
// another client); -1 when refused.
int ConnectFrom(int port, const char* from, const char* to = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, server{};
    local.sin_family = server.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, to, &server.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Slow clients from one address, each sending a byte every 300 ms and coming back when
// cut off: request lines without end, and bodies behind a huge Content-Length. Another
// address's /healthz is answered within a second throughout, a trickled request is cut
// off at the deadline (whole, not per byte) and a body is never waited for.
TEST_F(WebServer, SlowClientsHoldNoThreadFromOthers) {
    options_.connections_per_address = 1;
    auto server = Start();
    ASSERT_TRUE(server);
    const int port = server->port();
    // Columns: what a slow client sends first; then it trickles one byte at a time.
    const char* const kOpenings[] = {
        "G",
        "GET /metrics HTTP/1.1\r\nX-Slow: ",
        "POST /api/v1/devices HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n",
        "GET /healthz HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n",
        "GET /healthz HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n",
    };
    std::atomic<bool> stop{false};
    std::vector<double> longest(std::size(kOpenings), 0.0);  // seconds a connection lasted
    std::vector<std::thread> slow;
    for (size_t i = 0; i < std::size(kOpenings); ++i)
        slow.emplace_back([&, i] {
            while (!stop) {
                const int fd = ConnectFrom(port, "127.0.0.1");
                if (fd < 0) continue;
                const auto begun = std::chrono::steady_clock::now();
                bool open = send(fd, kOpenings[i], std::strlen(kOpenings[i]), MSG_NOSIGNAL) > 0;
                while (open && !stop) {
                    pollfd p{fd, POLLIN, 0};
                    char buffer[4096];
                    if (poll(&p, 1, 300) > 0 && recv(fd, buffer, sizeof buffer, 0) <= 0) break;
                    open = send(fd, "a", 1, MSG_NOSIGNAL) == 1;
                }
                const double lasted = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
                if (!stop) longest[i] = std::max(longest[i], lasted);
                close(fd);
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double slowest_probe = 0.0;
    for (int probe = 0; probe < 12; ++probe) {
        const auto begun = std::chrono::steady_clock::now();
        const int fd = ConnectFrom(port, "127.0.0.2");
        ASSERT_GE(fd, 0);
        const std::string request = "GET /healthz HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        pollfd p{fd, POLLIN, 0};
        char buffer[64] = "";
        const bool answered = poll(&p, 1, 1000) > 0 && recv(fd, buffer, sizeof buffer - 1, 0) > 0;
        close(fd);
        EXPECT_TRUE(answered) << "probe " << probe;
        EXPECT_EQ(std::string(buffer).compare(0, 12, "HTTP/1.1 503"), 0) << buffer;
        slowest_probe = std::max(slowest_probe,
                                 std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    for (std::thread& t : slow) t.join();
    EXPECT_LT(slowest_probe, 1.0);
    // The request timeout is 0.8 s for the whole request; the slack covers a loaded machine.
    for (size_t i = 0; i < std::size(kOpenings); ++i)
        EXPECT_LT(longest[i], 2.0) << kOpenings[i];
}

// The local address of this machine that is not loopback, or "" (a machine with
// loopback only).
std::string OutsideAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    std::string found;
    for (const ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        found = text;
    }
    freeifaddrs(list);
    return found;
}

// Six loopback addresses, one slow connection each (within the per-address limit),
// all count as one prefix: they hold at most half the threads, and a client from
// another prefix is answered at once although each slow request may last 3 s.
TEST_F(WebServer, ManyAddressesOfOnePrefixLeaveThreadsToOthers) {
    const std::string outside = OutsideAddress();
    if (outside.empty()) GTEST_SKIP() << "this machine has no address besides loopback";
    options_.listen = "0.0.0.0:0";
    options_.threads = 4;
    options_.connections_per_address = 1;
    options_.request_timeout_ms = 3000;
    auto server = Start();
    ASSERT_TRUE(server);
    const int port = server->port();
    std::atomic<bool> stop{false};
    std::vector<std::thread> slow;
    for (int i = 1; i <= 6; ++i)
        slow.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(i);
            while (!stop) {
                const int fd = ConnectFrom(port, from.c_str());
                if (fd < 0) continue;
                bool open = send(fd, "G", 1, MSG_NOSIGNAL) == 1;
                while (open && !stop) {
                    pollfd p{fd, POLLIN, 0};
                    char buffer[256];
                    if (poll(&p, 1, 300) > 0 && recv(fd, buffer, sizeof buffer, 0) <= 0) break;
                    open = send(fd, "a", 1, MSG_NOSIGNAL) == 1;
                }
                close(fd);
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double slowest = 0.0;
    for (int probe = 0; probe < 8; ++probe) {
        const auto begun = std::chrono::steady_clock::now();
        const int fd = ConnectFrom(port, outside.c_str(), outside.c_str());
        ASSERT_GE(fd, 0);
        const std::string request = "GET /healthz HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        pollfd p{fd, POLLIN, 0};
        char buffer[64] = "";
        const bool answered = poll(&p, 1, 2500) > 0 && recv(fd, buffer, sizeof buffer - 1, 0) > 0;
        close(fd);
        EXPECT_TRUE(answered) << "probe " << probe;
        slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    for (std::thread& t : slow) t.join();
    EXPECT_LT(slowest, 1.0);
}

TEST_F(WebServer, TokenFileMustBeTheOwnersAlone) {
    char dir[] = "/tmp/web-token-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/token";
    // Columns: content, mode, accepted, error part.
    const std::tuple<const char*, mode_t, bool, const char*> cases[] = {
        {"s3cret\n", 0600, true, ""},
        {"  s3cret  \nignored\n", 0400, true, ""},
        {"s3cret\n", 0640, false, "open to others than its owner"},
        {"s3cret\n", 0604, false, "open to others than its owner"},
        {"\n", 0600, false, "holds no token"},
    };
    for (const auto& [content, mode, ok, error_part] : cases) {
        std::ofstream(path) << content;
        chmod(path.c_str(), mode);
        options_.token_file = path;
        std::string error;
        auto server = novex::web::HttpServer::Start(source_, options_, error);
        EXPECT_EQ(bool(server), ok) << content << " " << error;
        EXPECT_NE(error.find(error_part), std::string::npos) << error;
        if (!server) continue;
        EXPECT_EQ(Get(server->port(), "/metrics").first, 401);
        EXPECT_EQ(Get(server->port(), "/metrics", "Authorization: Bearer s3cret\r\n").first, 200);
    }
    std::string error;
    options_.token_file = std::string(dir) + "/missing";
    EXPECT_FALSE(novex::web::HttpServer::Start(source_, options_, error));
    EXPECT_NE(error.find("not a readable file"), std::string::npos) << error;
    options_.token_file = dir;  // a folder
    EXPECT_FALSE(novex::web::HttpServer::Start(source_, options_, error));
    unlink(path.c_str());
    rmdir(dir);
}

TEST(WebListen, AddressForms) {
    // Columns: text, accepted, address, port.
    const std::tuple<const char*, bool, const char*, int> cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:9100", true, "0.0.0.0", 9100},
        {"192.168.1.5:0", true, "192.168.1.5", 0},
        {"localhost:80", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"[::1]:80", false, "", 0},
    };
    for (const auto& [text, ok, address, port] : cases) {
        std::string a, error;
        int p = -1;
        EXPECT_EQ(novex::web::ParseListen(text, a, p, error), ok) << text;
        if (ok) {
            EXPECT_EQ(a + ":" + std::to_string(p), std::string(address) + ":" + std::to_string(port));
        } else {
            EXPECT_NE(error.find("listen:"), std::string::npos);
        }
    }
}

}  // namespace
