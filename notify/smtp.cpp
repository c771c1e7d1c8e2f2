// Mail through libcurl's SMTP: STARTTLS required unless tls=none, or implicit TLS
// (smtps://), the server's certificate checked, a user with the password from its file.
// The mail is plain UTF-8 text in base64, its subject RFC 2047-encoded when it is not
// ASCII, and its Message-ID the message's id, the same on every retry.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

#include <openssl/evp.h>

#include "notify/channel.h"
#ifdef NOVEX_HAVE_CURL
#include "notify/curl_outcome.h"
#endif

namespace vimo {
namespace notify {

namespace {

std::string Base64(const std::string& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

bool Ascii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A header value: one line, RFC 2047 base64 words when not ASCII.
std::string HeaderText(const std::string& text) {
    const std::string line = OneLine(text, 300);
    if (Ascii(line)) return line;
    // Encoded words of at most 45 bytes each, cut on a character's start.
    std::string out;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = std::min(line.size(), start + 45);
        while (end < line.size() && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + Base64(line.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::string MailDate(int64_t when) {
    const std::time_t t = static_cast<std::time_t>(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    // RFC 5322 in English whatever the locale.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = local.tm_gmtoff / 60;
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday],
                  local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

}  // namespace

std::string MailText(const ChannelSettings& settings, const Message& m, const std::string& host_name) {
    // The Message-ID's right side: the host name's letters, digits, dots and dashes.
    std::string host;
    for (const char c : host_name)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') host += c;
    if (host.empty()) host = "localhost";
    std::string to;
    for (const std::string& address : settings.to) to += (to.empty() ? "" : ", ") + address;
    std::string body = Base64(m.text);
    std::string wrapped;
    for (size_t i = 0; i < body.size(); i += 76) wrapped += body.substr(i, 76) + "\r\n";
    static const char* const kPriority[] = {"3 (Normal)", "2 (High)", "1 (Highest)"};
    return "Date: " + MailDate(m.created) + "\r\n" +
           "From: vimohost <" + settings.from + ">\r\n" +
           "To: " + to + "\r\n" +
           "Subject: " + HeaderText(m.subject) + "\r\n" +
           "Message-ID: <" + m.id + "@" + host.substr(0, 100) + ">\r\n" +
           "X-Priority: " + kPriority[m.severity] + "\r\n" +
           "Auto-Submitted: auto-generated\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "\r\n" + wrapped;
}

#ifdef NOVEX_HAVE_CURL
namespace {

struct Upload {
    const std::string* text;
    size_t done = 0;
};

size_t ReadMail(char* buffer, size_t size, size_t count, void* data) {
    Upload& up = *static_cast<Upload*>(data);
    const size_t n = std::min(size * count, up.text->size() - up.done);
    std::copy_n(up.text->data() + up.done, n, buffer);
    up.done += n;
    return n;
}

class SmtpSender : public Sender {
public:
    SmtpSender(ChannelSettings settings, std::string password) : settings_(std::move(settings)), password_(std::move(password)) {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        host_ = *name ? name : "localhost";
    }

    SendResult Send(const Message& m) override {
        CURL* curl = curl_easy_init();
        if (!curl) return {false, true, "libcurl could not start a transfer"};
        char errors[CURL_ERROR_SIZE];
        CommonOptions(curl, settings_, errors, *this);
        const std::string mail = MailText(settings_, m, host_);
        Upload up{&mail};
        curl_slist* recipients = nullptr;
        for (const std::string& to : settings_.to) recipients = curl_slist_append(recipients, ("<" + to + ">").c_str());
        curl_easy_setopt(curl, CURLOPT_URL, settings_.target.c_str());
        curl_easy_setopt(curl, CURLOPT_USE_SSL,
                         settings_.tls == SmtpTls::kStartTls ? static_cast<long>(CURLUSESSL_ALL) : static_cast<long>(CURLUSESSL_NONE));
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + settings_.from + ">").c_str());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
        if (!settings_.user.empty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.user.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMail);
        curl_easy_setopt(curl, CURLOPT_READDATA, &up);
        const CURLcode code = curl_easy_perform(curl);
        long response = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response);
        SendResult r;
        if (code == CURLE_OK) r.sent = true;
        else r = Failed(settings_, code, errors, response);
        curl_slist_free_all(recipients);
        curl_easy_cleanup(curl);
        return r;
    }

private:
    const ChannelSettings settings_;
    const std::string password_;
    std::string host_;
};

}  // namespace

std::unique_ptr<Sender> MakeSmtpSender(const ChannelSettings& settings, std::string& error) {
    StartCurl();
    std::string password;
    if (!settings.password_file.empty() && !ReadSecret(settings.password_file, password, error)) return nullptr;
    return std::make_unique<SmtpSender>(settings, password);
}
#else
std::unique_ptr<Sender> MakeSmtpSender(const ChannelSettings& settings, std::string& error) {
    error = settings.name + ": this vimohost was built without libcurl: no mail (syslog works)";
    return nullptr;
}
#endif

}  // namespace notify
}  // namespace vimo
