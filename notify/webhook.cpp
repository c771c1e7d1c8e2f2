// Webhooks: one HTTP POST (or PUT) per message through libcurl, in one of four body
// shapes: "json" (our event document with the subject and text), "ntfy" (its JSON
// publishing, to the server's root with the topic inside), "slack" (the incoming
// webhook's {"text": ...}, which Mattermost and Rocket.Chat take too) and "gotify"
// (its message, the token as X-Gotify-Key). Every request carries the message's id as
// X-Vimo-Message-Id. Redirects are not followed: a 3xx is a failure that says where.
#include <algorithm>

#include <json/writer.h>

#include "notify/channel.h"
#ifdef NOVEX_HAVE_CURL
#include "notify/curl_outcome.h"
#endif

namespace vimo {
namespace notify {

namespace {

// Slack and its kin cut texts near 40000 characters; mail has no such limit.
constexpr size_t kMaxChatText = 30000;

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

std::string Cut(const std::string& text) {
    if (text.size() <= kMaxChatText) return text;
    size_t cut = text.rfind('\n', kMaxChatText);
    if (cut == std::string::npos) cut = kMaxChatText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "\n... (cut)";
}

// ntfy's topic: the URL path's last part.
void SplitTopic(const std::string& target, std::string& root, std::string& topic) {
    const size_t query = target.find('?');
    const std::string path = target.substr(0, query);
    const size_t slash = path.rfind('/');
    root = path.substr(0, slash + 1);
    topic = path.substr(slash + 1);
}

}  // namespace

std::string WebhookUrl(const ChannelSettings& settings) {
    if (settings.format != BodyFormat::kNtfy) return settings.target;
    std::string root, topic;
    SplitTopic(settings.target, root, topic);
    return root;
}

std::string WebhookBody(const ChannelSettings& settings, const Message& m) {
    Json::Value body;
    switch (settings.format) {
    case BodyFormat::kJson:
        body = m.document;
        body["id"] = m.id;
        body["subject"] = m.subject;
        body["text"] = m.text;
        break;
    case BodyFormat::kNtfy: {
        std::string root, topic;
        SplitTopic(settings.target, root, topic);
        static const char* const kTags[] = {"information_source", "warning", "rotating_light"};
        body["topic"] = topic;
        body["title"] = m.subject;
        body["message"] = Cut(m.text);
        body["priority"] = 3 + m.severity;  // 3 default, 4 high, 5 urgent
        body["tags"].append(kTags[m.severity]);
        break;
    }
    case BodyFormat::kSlack:
        body["text"] = "*" + m.subject + "*\n" + Cut(m.text);
        break;
    case BodyFormat::kGotify:
        body["title"] = m.subject;
        body["message"] = Cut(m.text);
        body["priority"] = m.severity == 2 ? 8 : m.severity == 1 ? 5 : 2;
        break;
    }
    return Compact(body);
}

#ifdef NOVEX_HAVE_CURL
namespace {

size_t KeepExcerpt(char* data, size_t size, size_t count, void* out) {
    std::string& excerpt = *static_cast<std::string*>(out);
    const size_t n = size * count;
    if (excerpt.size() < 300) excerpt.append(data, std::min(n, 300 - excerpt.size()));
    return n;
}

class WebhookSender : public Sender {
public:
    WebhookSender(ChannelSettings settings, std::string token) : settings_(std::move(settings)), token_(std::move(token)) {}

    SendResult Send(const Message& m) override {
        CURL* curl = curl_easy_init();
        if (!curl) return {false, true, "libcurl could not start a transfer"};
        char errors[CURL_ERROR_SIZE];
        CommonOptions(curl, settings_, errors, *this);
        const std::string url = WebhookUrl(settings_);
        const std::string body = WebhookBody(settings_, m);
        std::string excerpt;
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, ("X-Vimo-Message-Id: " + m.id).c_str());
        if (!token_.empty()) {
            const std::string auth =
                (settings_.format == BodyFormat::kGotify ? "X-Gotify-Key: " : "Authorization: Bearer ") + token_;
            headers = curl_slist_append(headers, auth.c_str());
        }
        for (const std::string& h : settings_.headers) headers = curl_slist_append(headers, h.c_str());
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, settings_.method.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepExcerpt);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &excerpt);
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "vimohost");
        const CURLcode code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        char* location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        const std::string redirect = location ? location : "";
        SendResult r;
        if (code != CURLE_OK) {
            r = Failed(settings_, code, errors, status);
        } else if (status >= 200 && status < 300) {
            r.sent = true;
        } else {
            r.retry = status >= 500 || status == 408 || status == 429;
            r.error = "HTTP " + std::to_string(status) +
                      (status >= 300 && status < 400 ? " redirect to " + OneLine(redirect, 200) + " (not followed: give that URL)"
                       : status == 401 || status == 403 ? " (the token or the URL is refused)"
                                                        : "") +
                      (excerpt.empty() ? "" : ": " + OneLine(excerpt, 200));
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return r;
    }

private:
    const ChannelSettings settings_;
    const std::string token_;
};

}  // namespace

std::unique_ptr<Sender> MakeWebhookSender(const ChannelSettings& settings, std::string& error) {
    StartCurl();
    std::string token;
    if (!settings.token_file.empty() && !ReadSecret(settings.token_file, token, error)) return nullptr;
    return std::make_unique<WebhookSender>(settings, token);
}
#else
std::unique_ptr<Sender> MakeWebhookSender(const ChannelSettings& settings, std::string& error) {
    error = settings.name + ": this vimohost was built without libcurl: no webhooks (syslog works)";
    return nullptr;
}
#endif

}  // namespace notify
}  // namespace vimo
