// What mail and webhooks share of libcurl: its one-time start, the settings every
// transfer gets (time limits, certificate checks, no signals), and the reading of a
// failed transfer into a one-line error with its hint.
#pragma once

#include <curl/curl.h>

#include <string>

#include "notify/channel.h"

namespace vimo {
namespace notify {

// curl_global_init, once, before the first handle.
void StartCurl();
// Time limits, certificate checks (verify, CA file), no signals, no redirects, and the
// end of the transfer when the sender is cancelled.
void CommonOptions(CURL* curl, const ChannelSettings& settings, char* errors, Sender& sender);
// The failed transfer `code` as an error with a hint; whether a retry may help.
SendResult Failed(const ChannelSettings& settings, CURLcode code, const char* errors, long response);

}  // namespace notify
}  // namespace vimo
