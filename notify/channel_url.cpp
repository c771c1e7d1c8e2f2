#include "notify/channel_url.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "core/command_line.h"

namespace vimo {
namespace notify {

namespace {

struct Scheme {
    const char* name;
    ChannelKind kind;
    int port;
    SmtpTls tls;
    SyslogTransport transport;
};
// One row per scheme: its kind and default port.
const Scheme kSchemes[] = {
    {"smtp", ChannelKind::kSmtp, 587, SmtpTls::kStartTls, SyslogTransport::kLocal},
    {"smtps", ChannelKind::kSmtp, 465, SmtpTls::kImplicit, SyslogTransport::kLocal},
    {"https", ChannelKind::kWebhook, 443, SmtpTls::kNone, SyslogTransport::kLocal},
    {"http", ChannelKind::kWebhook, 80, SmtpTls::kNone, SyslogTransport::kLocal},
    {"syslog", ChannelKind::kSyslog, 514, SmtpTls::kNone, SyslogTransport::kUdp},
    {"syslog+udp", ChannelKind::kSyslog, 514, SmtpTls::kNone, SyslogTransport::kUdp},
    {"syslog+tcp", ChannelKind::kSyslog, 514, SmtpTls::kNone, SyslogTransport::kTcp},
    {"syslog+tls", ChannelKind::kSyslog, 6514, SmtpTls::kNone, SyslogTransport::kTls},
};

constexpr unsigned kSmtp = 1, kWeb = 2, kSys = 4, kAll = 7;
// The settings a URL's query or a channel object takes, and which kinds take them.
struct Key {
    const char* name;
    unsigned kinds;
};
const Key kKeys[] = {
    {"name", kAll},     {"severity", kAll}, {"devices", kAll},       {"kinds", kAll},
    {"rate", kAll},     {"retry_for", kAll}, {"ca", kAll},           {"verify", kAll},
    {"to", kSmtp},      {"from", kSmtp},    {"tls", kSmtp},          {"password_file", kSmtp},
    {"user", kSmtp},    {"subject", kSmtp}, {"format", kWeb},        {"method", kWeb},
    {"header", kWeb},   {"token_file", kWeb}, {"facility", kSys},    {"app", kSys},
};

const char* const kSeverities[] = {"info", "warning", "critical"};
const char* const kFormats[] = {"json", "ntfy", "slack", "gotify"};
struct KindWord {
    const char* word;
    unsigned bit;
};
const KindWord kKindWords[] = {{"alarm", kAlarmEvents},
                               {"state", kStateEvents},
                               {"communication", kCommunicationEvents},
                               {"service", kServiceEvents}};
// RFC 5424 facility codes by name.
const std::pair<const char*, int> kFacilities[] = {
    {"kern", 0},    {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
    {"syslog", 5},  {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},
    {"authpriv", 10}, {"ftp", 11},  {"local0", 16}, {"local1", 17}, {"local2", 18},
    {"local3", 19}, {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23}};

unsigned KindMask(ChannelKind kind) {
    return kind == ChannelKind::kSmtp ? kSmtp : kind == ChannelKind::kWebhook ? kWeb : kSys;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string::npos ? text.size() : comma;
        std::string item = text.substr(start, end - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// A text that goes into a header or a protocol line: no control characters at all.
bool OneLine(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A mail address as SMTP's MAIL FROM and RCPT TO take it: local@domain, no spaces,
// no angle brackets.
bool MailAddress(const std::string& text) {
    const size_t at = text.find('@');
    return at != std::string::npos && at > 0 && at + 1 < text.size() && OneLine(text) &&
           text.find_first_of(" <>,;\"()") == std::string::npos;
}

bool ParseDurationSeconds(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    size_t i = 0;
    int64_t n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && n < 100000000)
        n = n * 10 + (text[i++] - '0');
    if (i == 0) return false;
    const std::string unit = text.substr(i);
    const std::pair<const char*, int64_t> units[] = {{"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
    for (const auto& [name, factor] : units)
        if (unit == name) {
            out = n * factor;
            return out > 0 && out <= 30 * 86400;
        }
    return false;
}

// Applies one setting; "" when done, otherwise what the value should be.
std::string Apply(const std::string& key, const std::string& value, ChannelSettings& out) {
    if (key == "name") {
        if (value.empty() || !OneLine(value) || value.size() > 64) return "a one-line name of 1 to 64 characters";
        out.name = value;
    } else if (key == "severity") {
        const int rank = SeverityRank(value);
        if (rank < 0) return "info, warning or critical";
        out.severity_floor = rank;
    } else if (key == "devices") {
        out.devices = SplitList(value);
    } else if (key == "kinds") {
        out.kinds = 0;
        for (const std::string& word : SplitList(value)) {
            const auto found = std::find_if(std::begin(kKindWords), std::end(kKindWords),
                                            [&](const KindWord& k) { return word == k.word; });
            if (found == std::end(kKindWords)) return "a list of alarm, state, communication, service";
            out.kinds |= found->bit;
        }
        if (out.kinds == 0) return "a list of alarm, state, communication, service";
    } else if (key == "rate") {
        int64_t n = 0;
        if (!novex::ParseWhole(value, 1, 3600, n)) return "a whole number of messages an hour, 1 to 3600";
        out.rate_per_hour = static_cast<int>(n);
    } else if (key == "retry_for") {
        if (!ParseDurationSeconds(value, out.retry_for_s)) return "a duration such as 90s, 30m, 24h or 2d (at most 30d)";
    } else if (key == "ca") {
        out.ca_file = value;
    } else if (key == "verify") {
        if (value != "true" && value != "false") return "true or false";
        out.verify = value == "true";
    } else if (key == "to") {
        out.to = SplitList(value);
        for (const std::string& to : out.to)
            if (!MailAddress(to)) return "mail addresses (local@domain) separated by commas";
    } else if (key == "from") {
        if (!MailAddress(value)) return "a mail address (local@domain)";
        out.from = value;
    } else if (key == "tls") {
        const std::pair<const char*, SmtpTls> words[] = {
            {"starttls", SmtpTls::kStartTls}, {"implicit", SmtpTls::kImplicit}, {"none", SmtpTls::kNone}};
        const auto found = std::find_if(std::begin(words), std::end(words),
                                        [&](const auto& w) { return value == w.first; });
        if (found == std::end(words)) return "starttls, implicit or none";
        out.tls = found->second;
    } else if (key == "password_file") {
        out.password_file = value;
    } else if (key == "token_file") {
        out.token_file = value;
    } else if (key == "user") {
        if (!OneLine(value) || value.empty()) return "a one-line user name";
        out.user = value;
    } else if (key == "subject") {
        if (!OneLine(value)) return "one line";
        out.subject = value;
    } else if (key == "format") {
        const auto found = std::find_if(std::begin(kFormats), std::end(kFormats),
                                        [&](const char* f) { return value == f; });
        if (found == std::end(kFormats)) return "json, ntfy, slack or gotify";
        out.format = static_cast<BodyFormat>(found - std::begin(kFormats));
    } else if (key == "method") {
        if (value != "POST" && value != "PUT") return "POST or PUT";
        out.method = value;
    } else if (key == "header") {
        const size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0 || !OneLine(value)) return "\"Name: value\" on one line";
        out.headers.push_back(value);
    } else if (key == "facility") {
        const auto found = std::find_if(std::begin(kFacilities), std::end(kFacilities),
                                        [&](const auto& f) { return value == f.first; });
        if (found == std::end(kFacilities)) return "a facility name: daemon, user, local0..local7, ...";
        out.facility = found->second;
    } else if (key == "app") {
        if (value.empty() || value.size() > 48 ||
            std::any_of(value.begin(), value.end(), [](char c) { return c <= ' ' || c > '~'; }))
            return "1 to 48 printable ASCII characters without spaces";
        out.app_name = value;
    }
    return "";
}

bool ApplyKey(const std::string& key, const std::string& value, ChannelSettings& out,
              std::string& error) {
    const auto found = std::find_if(std::begin(kKeys), std::end(kKeys),
                                    [&](const Key& k) { return key == k.name; });
    if (found == std::end(kKeys) || !(found->kinds & KindMask(out.kind))) {
        error = "\"" + key + "\" is not a setting of a " + ChannelKindName(out.kind) + " channel";
        return false;
    }
    const std::string expected = Apply(key, value, out);
    if (!expected.empty()) {
        error = "\"" + key + "\" must be " + expected;
        return false;
    }
    return true;
}

// Whether a webhook key is ours (taken out of the query) or the endpoint's own.
bool OwnKey(const std::string& key) {
    return std::any_of(std::begin(kKeys), std::end(kKeys),
                       [&](const Key& k) { return key == k.name && (k.kinds & kWeb); });
}

bool Loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The checks that need every setting.
bool Complete(ChannelSettings& out, std::string& error) {
    if (out.kind == ChannelKind::kSmtp) {
        if (out.to.empty()) error = "a mail channel needs to=ADDRESS[,ADDRESS...]";
        else if (out.from.empty()) error = "a mail channel needs from=ADDRESS";
        else if (!out.user.empty() && out.password_file.empty())
            error = "a mail user needs password_file=FILE (a password never sits in the URL)";
        else if (out.user.empty() && !out.password_file.empty())
            error = "password_file is for a user: smtp://USER@host";
        if (!error.empty()) return false;
        const char* scheme = out.tls == SmtpTls::kImplicit ? "smtps://" : "smtp://";
        out.target = std::string(scheme) + (out.host.find(':') != std::string::npos ? "[" + out.host + "]" : out.host) +
                     ":" + std::to_string(out.port);
    }
    if (out.kind == ChannelKind::kWebhook && out.target.rfind("http://", 0) == 0 && !Loopback(out.host)) {
        error = "http:// is for a webhook on this machine (127.0.0.1, ::1, localhost); use https://";
        return false;
    }
    return true;
}

}  // namespace

const char* ChannelKindName(ChannelKind kind) {
    switch (kind) {
    case ChannelKind::kSmtp: return "smtp";
    case ChannelKind::kWebhook: return "webhook";
    case ChannelKind::kSyslog: return "syslog";
    }
    return "?";
}

int SeverityRank(const std::string& name) {
    for (int i = 0; i < 3; ++i)
        if (name == kSeverities[i]) return i;
    return -1;
}

bool PercentDecode(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
                return false;
            c = static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (c == '+') {
            c = ' ';
        }
        if (c == '\0') return false;
        out += c;
    }
    return true;
}

std::string PercentEncode(const std::string& in) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : in) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

namespace {

// The URL's parts and query, without the checks that need every setting.
bool ParseUrlOnly(const std::string& url, ChannelSettings& out, std::string& error) {
    out = ChannelSettings();
    out.url = url;
    if (!OneLine(url) || url.find(' ') != std::string::npos) {
        error = "a channel URL is one word without spaces or control characters";
        return false;
    }
    const size_t colon = url.find(':');
    const std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
    const auto row = std::find_if(std::begin(kSchemes), std::end(kSchemes),
                                  [&](const Scheme& s) { return scheme == s.name; });
    if (row == std::end(kSchemes)) {
        error = "a channel URL begins with smtp://, smtps://, https://, http://, syslog:, "
                "syslog://, syslog+tcp:// or syslog+tls://";
        return false;
    }
    out.kind = row->kind;
    out.tls = row->tls;
    out.port = row->port;
    std::string rest = url.substr(colon + 1);
    const size_t question = rest.find('?');
    const std::string query = question == std::string::npos ? "" : rest.substr(question + 1);
    rest = rest.substr(0, question);
    if (out.kind == ChannelKind::kSyslog && (rest.empty() || rest == "//")) {
        out.transport = SyslogTransport::kLocal;
        if (scheme != "syslog") {
            error = scheme + ": needs a host: " + scheme + "://HOST[:PORT]";
            return false;
        }
        out.name = "syslog";
    } else {
        out.transport = row->transport;
        if (rest.rfind("//", 0) != 0) {
            error = "expected " + scheme + "://HOST...";
            return false;
        }
        rest = rest.substr(2);
        const size_t slash = rest.find('/');
        std::string authority = rest.substr(0, slash);
        const std::string path = slash == std::string::npos ? "" : rest.substr(slash);
        const size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            if (out.kind != ChannelKind::kSmtp) {
                error = "a user in the URL is for mail; a webhook's token comes from token_file=FILE";
                return false;
            }
            const std::string userinfo = authority.substr(0, at);
            if (userinfo.find(':') != std::string::npos) {
                error = "no password in the URL: give password_file=FILE";
                return false;
            }
            if (!PercentDecode(userinfo, out.user) || out.user.empty() || !OneLine(out.user)) {
                error = "the user in the URL is not valid";
                return false;
            }
            authority = authority.substr(at + 1);
        }
        std::string port_text;
        bool has_port = false;
        if (!authority.empty() && authority[0] == '[') {
            const size_t close = authority.find(']');
            if (close == std::string::npos) {
                error = "an IPv6 address in brackets lacks its ']'";
                return false;
            }
            out.host = authority.substr(1, close - 1);
            if (close + 1 < authority.size()) {
                if (authority[close + 1] != ':') {
                    error = "expected :PORT after the IPv6 address";
                    return false;
                }
                port_text = authority.substr(close + 2);
                has_port = true;
            }
        } else {
            const size_t pc = authority.find(':');
            out.host = authority.substr(0, pc);
            has_port = pc != std::string::npos;
            if (has_port) port_text = authority.substr(pc + 1);
        }
        if (out.host.empty() ||
            out.host.find_first_of("%/\\?#@ ") != std::string::npos) {
            error = "the URL has no valid host";
            return false;
        }
        if (has_port) {
            int64_t port = 0;
            if (!novex::ParseWhole(port_text, 1, 65535, port)) {
                error = "the port must be a number from 1 to 65535";
                return false;
            }
            out.port = static_cast<int>(port);
        }
        if (out.kind != ChannelKind::kWebhook && !path.empty() && path != "/") {
            error = std::string("a ") + ChannelKindName(out.kind) + " URL has no path";
            return false;
        }
        out.name = scheme + "://" + (out.host.find(':') != std::string::npos ? "[" + out.host + "]" : out.host) +
                   (port_text.empty() ? "" : ":" + port_text) + (out.kind == ChannelKind::kWebhook ? path : "");
        out.target = out.name;
    }
    // The query: our settings; a webhook keeps the endpoint's own parameters.
    std::string kept;
    size_t start = 0;
    while (!query.empty() && start <= query.size()) {
        const size_t amp = query.find('&', start);
        const std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        start = amp == std::string::npos ? query.size() + 1 : amp + 1;
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        std::string key, value;
        if (!PercentDecode(pair.substr(0, eq), key) ||
            !PercentDecode(eq == std::string::npos ? "" : pair.substr(eq + 1), value)) {
            error = "a bad %-escape in the URL's query";
            return false;
        }
        if (out.kind == ChannelKind::kWebhook && !OwnKey(key)) {
            if (key == "token") {
                error = "no token in the URL: give token_file=FILE";
                return false;
            }
            kept += (kept.empty() ? "?" : "&") + pair;
            continue;
        }
        if (!ApplyKey(key, value, out, error)) return false;
    }
    out.target += kept;
    return true;
}

}  // namespace

bool ParseChannelUrl(const std::string& url, ChannelSettings& out, std::string& error) {
    return ParseUrlOnly(url, out, error) && Complete(out, error);
}

bool ParseChannelEntry(const Json::Value& entry, ChannelSettings& out, std::string& error) {
    if (entry.isString()) return ParseChannelUrl(entry.asString(), out, error);
    if (!entry.isObject() || !entry["url"].isString()) {
        error = "a channel is a URL text or an object with \"url\" (and \"name\", ...)";
        return false;
    }
    if (!ParseUrlOnly(entry["url"].asString(), out, error)) return false;
    for (const std::string& key : entry.getMemberNames()) {
        if (key == "url") continue;
        const Json::Value& v = entry[key];
        std::vector<std::string> values;
        if (v.isString()) {
            values.push_back(v.asString());
        } else if (v.isArray() && (key == "to" || key == "devices" || key == "kinds" || key == "header")) {
            std::string joined;
            for (const Json::Value& item : v) {
                if (!item.isString()) {
                    error = "\"" + key + "\" must be a list of texts";
                    return false;
                }
                if (key == "header") values.push_back(item.asString());
                else joined += (joined.empty() ? "" : ",") + item.asString();
            }
            if (key != "header") values.push_back(joined);
        } else if (v.isBool() && key == "verify") {
            values.push_back(v.asBool() ? "true" : "false");
        } else if (v.isUInt() && key == "rate") {
            values.push_back(std::to_string(v.asUInt()));
        } else {
            error = "\"" + key + "\" must be a text";
            return false;
        }
        if (key == "header") out.headers.clear();
        for (const std::string& value : values)
            if (!ApplyKey(key, value, out, error)) return false;
    }
    return Complete(out, error);
}

bool ParseChannels(const Json::Value& list, const std::vector<std::string>& flags,
                   std::vector<ChannelSettings>& out, std::string& error) {
    out.clear();
    if (!list.isNull() && !list.isArray()) {
        error = "\"notify\" must be a list of channel URLs or objects";
        return false;
    }
    std::set<std::string> names;
    const auto add = [&](ChannelSettings settings, const std::string& where) {
        if (!names.insert(settings.name).second) {
            error = where + ": two channels are named \"" + settings.name + "\": give each a \"name\"";
            return false;
        }
        out.push_back(std::move(settings));
        return true;
    };
    for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); ++i) {
        ChannelSettings settings;
        const std::string where = "\"notify\" entry " + std::to_string(i + 1);
        if (!ParseChannelEntry(list[i], settings, error)) {
            error = where + ": " + error;
            return false;
        }
        if (!add(std::move(settings), where)) return false;
    }
    for (const std::string& url : flags) {
        ChannelSettings settings;
        if (!ParseChannelUrl(url, settings, error)) {
            error = "--notify " + url + ": " + error;
            return false;
        }
        if (!add(std::move(settings), "--notify")) return false;
    }
    return true;
}

}  // namespace notify
}  // namespace vimo
