#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/regular_file.h"
#include "notify/channel.h"

namespace vimo {
namespace notify {

bool ReadSecret(const std::string& path, std::string& secret, std::string& error) {
    struct stat info {};
    std::string text;
    if (!ReadRegularFile(path, "the secret file", 64 * 1024, text, error, &info)) {
        error = path + ": " + error;
        return false;
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        error = path + ": holds a secret but group or others may use it (chmod 600 it)";
        return false;
    }
    secret = text.substr(0, text.find_first_of("\r\n"));
    if (secret.empty()) {
        error = path + ": its first line is empty";
        return false;
    }
    return true;
}

bool HaveCurl() {
#ifdef NOVEX_HAVE_CURL
    return true;
#else
    return false;
#endif
}

std::unique_ptr<Sender> MakeSender(const ChannelSettings& settings, std::string& error) {
    switch (settings.kind) {
    case ChannelKind::kSyslog: return MakeSyslogSender(settings, error);
    case ChannelKind::kSmtp: return MakeSmtpSender(settings, error);
    case ChannelKind::kWebhook: return MakeWebhookSender(settings, error);
    }
    return nullptr;
}

}  // namespace notify
}  // namespace vimo
