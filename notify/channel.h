// Sending one message through one channel, one file per kind: smtp.cpp and webhook.cpp
// through libcurl (TLS, STARTTLS, authentication and certificate checks are its), and
// syslog.cpp on its own socket. A sender is used by one thread at a time (its channel's);
// every network step has a time limit, so a peer that accepts and never answers costs
// that limit and no more.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "notify/channel_url.h"
#include "notify/message.h"

namespace vimo {
namespace notify {

// Each step's time limit: connect, then the whole exchange.
constexpr long kConnectTimeoutS = 10;
constexpr long kExchangeTimeoutS = 30;

struct SendResult {
    bool sent = false;
    // Not sent and worth another try later (the peer down, a time-out, a 5xx); a
    // refusal that a retry cannot change (a 4xx, authentication refused) is not retried.
    bool retry = true;
    std::string error;  // one line: what failed, and the hint what to check
};

class Sender {
public:
    virtual ~Sender() = default;
    virtual SendResult Send(const Message& message) = 0;
    // Set from another thread: a transfer under way ends as soon as it can.
    std::atomic<bool> cancelled{false};
};

// The sender of a channel, its secret files read now: null with a one-line error when
// a file cannot be read or group or others may read it, or the kind was built out.
std::unique_ptr<Sender> MakeSender(const ChannelSettings& settings, std::string& error);

// Whether this build sends mail and webhooks (libcurl was found when it was built).
bool HaveCurl();

// The first line of a secret file (password, token); false with a one-line error that
// names the file, also when group or others may read it.
bool ReadSecret(const std::string& path, std::string& secret, std::string& error);

std::unique_ptr<Sender> MakeSyslogSender(const ChannelSettings& settings, std::string& error);
std::unique_ptr<Sender> MakeSmtpSender(const ChannelSettings& settings, std::string& error);
std::unique_ptr<Sender> MakeWebhookSender(const ChannelSettings& settings, std::string& error);

// The webhook body of `message` in the channel's format, and the URL it goes to.
std::string WebhookBody(const ChannelSettings& settings, const Message& message);
std::string WebhookUrl(const ChannelSettings& settings);
// The whole mail (headers and body, CRLF lines) as it is handed to the server.
std::string MailText(const ChannelSettings& settings, const Message& message, const std::string& host);
// The syslog line (RFC 5424) without framing.
std::string SyslogLine(const ChannelSettings& settings, const Message& message, const std::string& host);

}  // namespace notify
}  // namespace vimo
