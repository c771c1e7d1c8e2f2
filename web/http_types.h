// A request as the router sees it and the response it gives, free of the HTTP
// library, so the pages can be tested without a socket.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace novex {
namespace web {

struct Request {
    std::string method;         // "GET", "HEAD", ...
    std::string path;           // percent-decoded: "/api/v1/devices/ups1"
    std::string query;          // as sent, without "?": "fields=a,b&points=10"
    std::string authorization;  // the Authorization header, "" when absent
    std::string accept_encoding = {};  // the Accept-Encoding header, "" when absent
    std::string peer = "";      // the client's address, for the attempt limiter
    // The X-Requested-With header: a page of another site cannot send it without the
    // server's consent (CORS), so a POST that carries it came from our own page or a tool.
    std::string requested_with = "";
};

struct Response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // besides the usual
};

// {"error": message, "status": status} with that status.
Response ErrorResponse(int status, const std::string& message);

// The reason phrase of the statuses the server gives ("Not Found").
const char* StatusText(int status);

}  // namespace web
}  // namespace novex
