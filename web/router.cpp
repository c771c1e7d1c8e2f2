#include "web/router.h"

#include <cstring>

#include "web/api.h"
#include "web/assets.h"
#include "core/json_writer.h"
#include "web/metrics.h"

namespace novex {
namespace web {

namespace {

const char kDevicesPrefix[] = "/api/v1/devices/";

// The page's files may come only from the program itself; frames, other origins and
// inline scripts are refused, so an injected figure can never run as code.
const char kPagePolicy[] =
    "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; "
    "form-action 'none'";

// Media type of each asset by its file name ending. Columns: ending, media type.
struct MediaType {
    const char* ending;
    const char* type;
};
const MediaType kMediaTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
};
static_assert(sizeof kMediaTypes / sizeof kMediaTypes[0] == 4, "one row per kind of asset");

bool EndsWith(const std::string& text, const char* ending) {
    const size_t n = std::strlen(ending);
    return text.size() >= n && text.compare(text.size() - n, n, ending) == 0;
}

Response AssetResponse(const std::string& path) {
    const std::string name = path == "/" ? "index.html" : path.substr(1);
    const Asset* asset = name.find('/') == std::string::npos ? FindAsset(name) : nullptr;
    if (asset == nullptr) return ErrorResponse(404, "no such page");
    Response r;
    r.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
    r.content_type = "application/octet-stream";
    for (const MediaType& m : kMediaTypes)
        if (EndsWith(name, m.ending)) r.content_type = m.type;
    r.headers.emplace_back("Content-Security-Policy", kPagePolicy);
    return r;
}

}  // namespace

bool Authorized(const std::string& header, const std::string& token) {
    if (token.empty()) return true;
    if (header.compare(0, 7, "Bearer ") == 0) return SameSecret(header.substr(7), token);
    std::string name, password;
    return BasicCredentials(header, name, password) && SameSecret(password, token);
}

Response HealthResponse(const HostState& state, int64_t now_utc) {
    std::string reasons;
    for (const DeviceState& d : state.devices) {
        const monitor::DeviceSnapshot& s = *d.snapshot;
        const double age = static_cast<double>(now_utc - s.last_round_utc);
        if (s.last_round_utc == 0)
            reasons += s.device_name + ": no completed round yet\n";
        else if (s.communication == monitor::Communication::kLost)
            reasons += s.device_name + ": communication lost, last round " +
                       std::to_string(now_utc - s.last_round_utc) + " s ago\n";
        else if (age > d.loss_window_s)
            reasons += s.device_name + ": last round " + std::to_string(now_utc - s.last_round_utc) +
                       " s ago, more than " + std::to_string(static_cast<long>(d.loss_window_s)) +
                       " s\n";
    }
    Response r;
    r.content_type = "text/plain; charset=utf-8";
    r.status = reasons.empty() ? 200 : 503;
    r.body = reasons.empty() ? "ok\n" : reasons;
    return r;
}

Router::Router(const StateSource& source, std::string token)
    : source_(source), token_(std::move(token)) {}

Router::Router(const StateSource& source, WebAccess& access) : source_(source), access_(&access) {}

std::unique_ptr<Response> Router::Refusal(const Request& request) const {
    int retry_after_s = 0;
    const WebAccess::Verdict verdict =
        access_ ? access_->Check(request.authorization, request.peer, retry_after_s)
                : (Authorized(request.authorization, token_) ? WebAccess::Verdict::kOk
                                                             : WebAccess::Verdict::kWrong);
    if (verdict == WebAccess::Verdict::kOk) return nullptr;
    // Answered at once, without checking: the guesser waits, no worker does.
    if (verdict == WebAccess::Verdict::kWait) {
        auto r = std::make_unique<Response>(ErrorResponse(429, "too many wrong credentials, retry later"));
        r->headers.emplace_back("Retry-After", std::to_string(retry_after_s));
        return r;
    }
    // What was wrong, in words that name what this server takes.
    const bool token = access_ ? access_->HasToken() : !token_.empty();
    const bool users = access_ && access_->HasUsers();
    const std::string wanted = token && users ? "a user name and password, or the token"
                               : users        ? "a user name and password (basic auth)"
                                              : "the token (Authorization: Bearer, or as the password)";
    const std::string& sent = request.authorization;
    std::string why;
    if (sent.empty()) why = "no credentials sent: send " + wanted;
    else if (sent.compare(0, 7, "Bearer ") == 0)
        why = token ? "wrong token" : "no token is configured here: send " + wanted;
    else if (sent.compare(0, 6, "Basic ") == 0)
        why = users ? "wrong user name or password" + std::string(token ? " (or token)" : "")
                    : "wrong token (no users are configured here; the token goes as the password)";
    else why = "unknown authorization scheme: send " + wanted;
    auto r = std::make_unique<Response>(ErrorResponse(401, why));
    r->headers.emplace_back("WWW-Authenticate", "Basic realm=\"vimohost\", charset=\"UTF-8\"");
    return r;
}

Response Router::Handle(const Request& request, int64_t now_utc) const {
    Response r = Route(request, now_utc);
    if (access_)
        for (auto& header : access_->Headers()) r.headers.push_back(std::move(header));
    return r;
}

// The one thing the page does besides reading: the notification test button. It
// needs credentials (a server that asks for none takes no POST), and the header
// X-Requested-With, which a form or script of another site cannot send here.
Response Router::Post(const Request& request) const {
    if (request.path != kNotifyTestPath) return MethodNotAllowedResponse();
    const bool credentials = access_ ? access_->HasToken() || access_->HasUsers() : !token_.empty();
    if (!credentials)
        return ErrorResponse(403, "sending a test needs a login: give the web face users or a token");
    if (std::unique_ptr<Response> refused = Refusal(request)) return *refused;
    if (request.requested_with != "vimohost")
        return ErrorResponse(403, "send the header X-Requested-With: vimohost (as the page does)");
    return NotifyTestResponse(source_, request.query);
}

Response Router::Route(const Request& request, int64_t now_utc) const {
    if (request.method == "POST") return Post(request);
    if (request.method != "GET" && request.method != "HEAD") return MethodNotAllowedResponse();
    if (request.path == "/healthz") return HealthResponse(source_.State(), now_utc);
    if (std::unique_ptr<Response> refused = Refusal(request)) return *refused;
    if (request.path == "/metrics") {
        if (!request.query.empty()) return ErrorResponse(400, "no parameters here");
        Response r;
        r.content_type = kMetricsContentType;
        const bool gzip = AcceptsGzip(request.accept_encoding);
        const HostState state = source_.MetricsState(gzip);
        if (gzip) {
            RenderMetricsGzip(state, r.body);
            r.headers.emplace_back("Content-Encoding", "gzip");
        } else {
            RenderMetrics(state, r.body);
        }
        r.headers.emplace_back("Vary", "Accept-Encoding");
        return r;
    }
    if (request.path == "/api/v1/devices") {
        if (!request.query.empty()) return ErrorResponse(400, "no parameters here");
        return DevicesResponse(source_.State(), now_utc);
    }
    if (request.path.compare(0, sizeof kDevicesPrefix - 1, kDevicesPrefix) == 0) {
        const std::string rest = request.path.substr(sizeof kDevicesPrefix - 1);
        const size_t slash = rest.find('/');
        // The page encodes the name (encodeURIComponent): a name of UTF-8 beyond ASCII
        // arrives as %XX bytes. Names hold no "/", so the split comes first.
        std::string key;
        if (!PercentDecode(rest.substr(0, slash), false, key))
            return ErrorResponse(400, "bad percent-encoding in the device's name");
        const std::string what = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (key.empty()) return ErrorResponse(404, "no such page");
        return DeviceResponse(source_.State(), source_.History(), source_.Documents(), key, what,
                              request.query, now_utc);
    }
    if (request.path == kNotifyTestPath) {
        Response r = ErrorResponse(405, "POST sends a test message");
        r.headers.emplace_back("Allow", "POST");
        return r;
    }
    if (request.path.compare(0, 5, "/api/") == 0) return ErrorResponse(404, "no such page");
    return AssetResponse(request.path);
}

Response MethodNotAllowedResponse() {
    Response r = ErrorResponse(405, "read-only: GET and HEAD only");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
}

Response ErrorResponse(int status, const std::string& message) {
    JsonWriter json;
    json.BeginObject().Key("error").String(message).Key("status").Number(static_cast<double>(status));
    json.EndObject();
    Response r;
    r.status = status;
    r.body = json.text() + "\n";
    return r;
}

// Columns: status, reason phrase.
struct StatusRow {
    int status;
    const char* text;
};
const StatusRow kStatuses[] = {
    {200, "OK"},
    {202, "Accepted"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {411, "Length Required"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
    {505, "HTTP Version Not Supported"},
};
static_assert(sizeof kStatuses / sizeof kStatuses[0] == 17,
              "the router's statuses and those the HTTP library answers by itself");

const char* StatusText(int status) {
    for (const StatusRow& row : kStatuses)
        if (row.status == status) return row.text;
    return "Error";
}

}  // namespace web
}  // namespace novex
