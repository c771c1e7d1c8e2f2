// Which page answers a request: the status page and its files, the JSON API,
// /metrics and /healthz. Read-only (GET and HEAD) but for one POST, the page's
// notification test button. With a token, every page but
// /healthz needs it as "Authorization: Bearer TOKEN", or as the password of Basic
// authentication, which is what a browser asks a person for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "web/http_types.h"
#include "web/web_access.h"
#include "web/state_source.h"

namespace novex {
namespace web {

// The one path that takes a POST: the page's notification test button.
constexpr const char* kNotifyTestPath = "/api/v1/notify/test";

class Router {
public:
    // `token` empty: no token needed.
    Router(const StateSource& source, std::string token);
    // With the web configuration's users and headers, and wrong credentials slowed down
    // per address; the token then lives in `access` too.
    Router(const StateSource& source, WebAccess& access);
    Response Handle(const Request& request, int64_t now_utc) const;

private:
    Response Route(const Request& request, int64_t now_utc) const;
    Response Post(const Request& request) const;
    // The answer to a request without the right credentials; null when they are right.
    std::unique_ptr<Response> Refusal(const Request& request) const;

    const StateSource& source_;
    std::string token_;
    WebAccess* access_ = nullptr;
};

// /healthz: 200 "ok" while every device completed a round within its
// communication-loss window, else 503 with one line per device that did not.
Response HealthResponse(const HostState& state, int64_t now_utc);

// 405 with Allow: the answer to every method but GET and HEAD, from the router or
// from the listener before it reads further.
Response MethodNotAllowedResponse();

// Whether the Authorization header `header` carries `token`.
bool Authorized(const std::string& header, const std::string& token);

}  // namespace web
}  // namespace novex
