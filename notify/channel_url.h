// A notification channel as the admin writes it: one URL, with the channel's own
// settings in its query, or a configuration object {"name": ..., "url": ..., KEY: VALUE}
// whose keys are the same settings. The scheme picks the kind:
//
//   smtp://[user@]host[:port]?to=a@x,b@y&from=...&tls=starttls|implicit|none&ca=FILE
//          &password_file=FILE&subject=TEMPLATE            (smtps:// is tls=implicit)
//   https://host/path?format=json|ntfy|slack|gotify&method=POST&token_file=FILE
//          &header=Name:%20value&ca=FILE                    (http:// for loopback only)
//   syslog:  syslog://host[:514]  syslog+tcp://host[:514]  syslog+tls://host[:6514]
//          ?facility=daemon&app=vimohost&ca=FILE
//
// Every kind also takes what it is sent: severity=info|warning|critical (the floor),
// devices=ups1,ups2, kinds=alarm,state,communication,service, rate=N (messages an hour,
// then a digest), retry_for=24h.
//
// Secrets never sit in the URL: a password or token comes from a file that group and
// others cannot read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace vimo {
namespace notify {

enum class ChannelKind { kSmtp, kWebhook, kSyslog };
const char* ChannelKindName(ChannelKind kind);  // "smtp", "webhook", "syslog"

enum class SmtpTls { kStartTls, kImplicit, kNone };
enum class SyslogTransport { kLocal, kUdp, kTcp, kTls };
enum class BodyFormat { kJson, kNtfy, kSlack, kGotify };

// What a channel is sent: the event kinds, as bits.
enum EventKindBit : unsigned {
    kAlarmEvents = 1,          // an alarm raised or cleared
    kStateEvents = 2,          // a run-state change (on battery, on bypass, ...)
    kCommunicationEvents = 4,  // communication lost or back
    kServiceEvents = 8,        // vimohost started, stopped or reloaded
};
constexpr unsigned kDefaultKinds = kAlarmEvents | kStateEvents | kCommunicationEvents;

struct ChannelSettings {
    std::string name;  // given, or the URL without its query and user
    ChannelKind kind = ChannelKind::kWebhook;
    std::string url;   // as given

    // Where it goes. smtp and webhook: the URL libcurl is given (scheme, host, port,
    // path; for webhooks the query left once our own keys are taken out).
    std::string target;
    std::string host;
    int port = 0;
    std::string ca_file;   // PEM CAs to verify the server with; "": the system's
    bool verify = true;    // verify=false: no certificate check (tests, never default)

    // smtp
    SmtpTls tls = SmtpTls::kStartTls;
    std::string user;
    std::string password_file;
    std::string from;
    std::vector<std::string> to;
    std::string subject;  // template: {device} {summary} {count}; "": the default

    // webhook
    BodyFormat format = BodyFormat::kJson;
    std::string method = "POST";
    std::vector<std::string> headers;  // "Name: value"
    std::string token_file;

    // syslog
    SyslogTransport transport = SyslogTransport::kLocal;
    std::string socket_path = "/dev/log";
    int facility = 3;  // daemon
    std::string app_name = "vimohost";

    // What is sent.
    int severity_floor = 0;  // 0 info, 1 warning, 2 critical
    std::vector<std::string> devices;  // empty: every device
    unsigned kinds = kDefaultKinds;
    int rate_per_hour = 60;
    int64_t retry_for_s = 24 * 3600;
};

// One channel from its URL: false with a one-line error naming what is wrong.
bool ParseChannelUrl(const std::string& url, ChannelSettings& out, std::string& error);
// One entry of the configuration's "notify" list: a URL text or an object.
bool ParseChannelEntry(const Json::Value& entry, ChannelSettings& out, std::string& error);
// The whole "notify" list and the --notify flags (appended): names unique.
bool ParseChannels(const Json::Value& list, const std::vector<std::string>& flags,
                   std::vector<ChannelSettings>& out, std::string& error);

// "%XX" decoding of a URL part; false on a bad escape or a NUL.
bool PercentDecode(const std::string& in, std::string& out);
// Escapes everything but unreserved characters, for a value put into a URL.
std::string PercentEncode(const std::string& in);

// The severity names, in order ("info", "warning", "critical"); -1 if unknown.
int SeverityRank(const std::string& name);

}  // namespace notify
}  // namespace vimo
