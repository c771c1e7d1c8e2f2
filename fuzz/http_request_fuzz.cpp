// The HTTP layer's request handling: method, raw path, raw query and Authorization
// header (Basic and Bearer, with a token or the web configuration's users) as the
// server hands them to the router, against a device with a round, one
// without, and stored history. Properties: no exception escapes (the server would
// answer 500); every status has its reason phrase; JSON answers are valid JSON; no
// header holds a line break; every readings or events window that reaches the history
// lies within the shared time range, with points 1..1000 and a cap on events.
#include <crypt.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>

#include "core/time_text.h"
#include "fuzz/fuzz_input.h"
#include "web/router.h"

using novexfuzz::Fail;
using novexfuzz::Input;
namespace web = novex::web;
namespace monitor = novex::monitor;

namespace {

constexpr int64_t kNow = 1780000000;

// Readings rising through each query's span and one cleared, one active event.
class History : public web::HistoryReader {
public:
    bool Readings(const web::ReadingsQuery& q, std::vector<web::ReadingSeries>& out,
                  std::string&) const override {
        CheckWindow(q.since_utc, q.until_utc);
        if (q.points < 1 || q.points > 1000) Fail("points outside 1..1000 reached the history");
        for (const size_t m : q.measures) {
            web::ReadingSeries series{m, {}};
            const int64_t count = static_cast<int64_t>(q.points < 4 ? q.points : 4);
            const int64_t step = count > 0 ? (q.until_utc - q.since_utc) / count : 0;
            for (int64_t b = 0; b < count; ++b)
                series.buckets.push_back({q.since_utc + b * step, q.since_utc + (b + 1) * step,
                                          1.0 * static_cast<double>(b), 2.5, 1e300, 3});
            out.push_back(series);
        }
        return true;
    }
    bool Events(const web::EventsQuery& q, web::EventList& out, std::string&) const override {
        CheckWindow(q.since_utc, q.until_utc);
        if (q.max_events < 1) Fail("an events query without a cap");
        if (!q.active_only) out.events.push_back({0, q.since_utc, q.since_utc + 10});
        out.events.push_back({1, q.until_utc - 1, 0});
        out.truncated = (q.since_utc & 1) != 0;
        return true;
    }

private:
    // Every window the API passes on lies in the shared range, its start first: the
    // history's arithmetic on it cannot overflow.
    static void CheckWindow(int64_t since, int64_t until) {
        if (!novex::TimeInRange(since) || !novex::TimeInRange(until) || since >= until)
            Fail("a window outside 1970..9999, or empty, reached the history");
    }
};

class Source : public web::StateSource {
public:
    Source() {
        auto polled = std::make_shared<monitor::DeviceSnapshot>();
        polled->device_name = "ups1";
        polled->data_id = 1;
        polled->record.assign(853, 0x41);
        monitor::DecodedRound round;
        std::string error;
        if (!monitor::DecodeRecord(polled->record.data(), polled->record.size(), round, error))
            Fail("the record of the fixture");
        polled->measures = round.measures;
        polled->active_alarms = round.alarms;
        polled->rounds_completed = 3;
        polled->last_round_utc = kNow - 5;
        polled->last_round_local = "2026-05-28 20:26:35";
        auto silent = std::make_shared<monitor::DeviceSnapshot>();
        silent->device_name = "ups \"2\"\t\xE4\xB8\xAD";
        silent->data_id = 2;
        silent->communication = monitor::Communication::kLost;
        silent->stale = true;
        silent->last_error = "timeout";
        state_.devices.push_back({polled, 10.0, {}});
        state_.devices.push_back({silent, 10.0, {}});
        state_.version = "1.0.0";
    }
    web::HostState State() const override { return state_; }
    const web::HistoryReader* History() const override { return with_history ? &history_ : nullptr; }
    bool with_history = true;

private:
    web::HostState state_;
    class History history_;
};

bool ValidJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string error;
    return reader->parse(text.data(), text.data() + text.size(), &value, &error);
}

// Token "s3cret" and user "prom" with password "secret" (a hash of the lowest cost).
web::WebAccess* MakeAccess() {
    char path[] = "/tmp/web-config-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2y$", 4, nullptr, 0, salt, sizeof salt);
    crypt_data data{};
    const std::string text = std::string("basic_auth_users:\n  prom: ") + crypt_r("secret", salt, &data) + "\n";
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) Fail("the users file");
    close(fd);
    novex::access::LimiterSettings attempts;
    attempts.free_failures = 4;
    attempts.first_delay_ms = 1;
    std::string error;
    auto access = web::WebAccess::Create("s3cret", path, nullptr, error, attempts);
    unlink(path);
    if (!access) Fail("the users file was refused");
    return access.release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Source* source = new Source();  // read only
    Input in(data, size);
    const uint8_t flags = in.Byte();
    static const char* const kMethods[] = {"GET", "HEAD", "POST", "TRACE"};
    web::Request request;
    request.method = kMethods[flags & 3];
    request.path = in.Until('\n');
    request.query = in.Until('\n');
    request.authorization = in.Rest();
    // The server answers a target that is no path itself, before any routing.
    if (request.path.empty() || request.path[0] != '/') return 0;
    source->with_history = (flags & 4) == 0;
    // With the web configuration's users too: Basic and Bearer forms reach bcrypt and
    // the attempt limiter, which never answers anything but 200, 401 or 429 here.
    static web::WebAccess* access = MakeAccess();
    request.peer = "10.0.0." + std::to_string(flags >> 5);
    const web::Router plain(*source, (flags & 8) ? "s3cret" : "");
    const web::Router with_users(*source, *access);
    const web::Router& router = (flags & 16) ? with_users : plain;
    web::Response response;
    try {
        response = router.Handle(request, kNow);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Fail("an exception escaped the router");
    } catch (...) {
        Fail("an exception escaped the router");
    }
    if (std::string(web::StatusText(response.status)) == "Error") Fail("a status without a phrase");
    for (const auto& [name, value] : response.headers)
        if ((name + value).find_first_of("\r\n") != std::string::npos) Fail("a header line break");
    if (response.content_type == "application/json" && !ValidJson(response.body))
        Fail("a JSON answer that is not JSON");
    return 0;
}
