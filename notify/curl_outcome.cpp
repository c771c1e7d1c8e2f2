#include "notify/curl_outcome.h"

#include <mutex>

namespace vimo {
namespace notify {

void StartCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

int Progress(void* sender, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Sender*>(sender)->cancelled.load() ? 1 : 0;
}

}  // namespace

void CommonOptions(CURL* curl, const ChannelSettings& settings, char* errors, Sender& sender) {
    errors[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kExchangeTimeoutS);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings.verify ? 2L : 0L);
    if (!settings.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &sender);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,smtp,smtps");
}

SendResult Failed(const ChannelSettings& settings, CURLcode code, const char* errors, long response) {
    SendResult r;
    const std::string detail = *errors ? errors : curl_easy_strerror(code);
    std::string hint;
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        hint = "name not resolved: check the host name and DNS";
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        hint = "the proxy's name not resolved: check https_proxy";
        break;
    case CURLE_COULDNT_CONNECT:
        hint = "connection refused or unreachable: is the server up and is the port right?";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        hint = "no answer in time: a firewall, a hung server or the wrong port";
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        hint = "TLS verification failed: give the server's CA with ca=FILE, or fix the name it is reached by";
        break;
    case CURLE_SSL_CONNECT_ERROR:
        hint = "TLS handshake failed: the server may not speak TLS on this port (smtps:// is port 465, "
               "STARTTLS is smtp:// on 587)";
        break;
    case CURLE_USE_SSL_FAILED:
        hint = "the server does not offer STARTTLS; tls=none sends the mail and password in clear";
        r.retry = false;
        break;
    case CURLE_LOGIN_DENIED:
        hint = "authentication refused: check the user and the password file";
        r.retry = false;
        break;
    default:
        break;
    }
    if (settings.kind == ChannelKind::kSmtp && hint.empty() && response >= 500) {
        hint = detail.find("RCPT") != std::string::npos
                   ? "relay denied: the server does not take mail for these recipients from this "
                     "sender (authenticate, or check from= and to=)"
                   : "the server refused the mail (" + std::to_string(response) + ")";
        r.retry = false;
    }
    if (settings.kind == ChannelKind::kSmtp && hint.empty() && response >= 400 && response < 500)
        hint = "the server asks to try later (" + std::to_string(response) + ")";
    r.error = detail + (hint.empty() ? "" : " (" + hint + ")");
    return r;
}

}  // namespace notify
}  // namespace vimo
