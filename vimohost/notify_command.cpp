// `vimohost notify test [CHANNEL]`: a test message through each channel of the
// configuration and the --notify flags (or the one named), and per channel "sent" or
// the failure with its hint. `vimohost notify status`: what waits in the history
// file's outbox per channel, with its last error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include <CLI/CLI.hpp>

#include "core/command_line.h"
#include "core/time_text.h"
#include "config/device_config.h"
#include "notify/channel.h"
#include "notify/outbox.h"
#include "vimohost/commands.h"

namespace vimo {

namespace {

using novex::AddText;

void Fail(const std::string& message) { std::fprintf(stderr, "vimohost notify: %s\n", message.c_str()); }

// The channels of the file (when given, or the service's when it is there and no
// --notify was given) and the flags.
bool Channels(const NotifyOptions& options, std::vector<notify::ChannelSettings>& out) {
    ProgramConfig program;
    std::string path = options.config_file;
    if (path.empty() && options.urls.empty() && access(kServiceConfig, F_OK) == 0) path = kServiceConfig;
    std::string error;
    if (!path.empty()) {
        std::vector<DeviceConfig> devices;
        if (!LoadDeviceConfigFile(path, devices, program, error)) {
            Fail(error);
            return false;
        }
    }
    if (!notify::ParseChannels(program.notify, options.urls, out, error)) {
        Fail((path.empty() ? "" : path + ": ") + error);
        return false;
    }
    if (out.empty()) {
        Fail("no channel: give --config FILE with a \"notify\" list, or --notify URL");
        return false;
    }
    return true;
}

int Test(const NotifyOptions& options) {
    std::vector<notify::ChannelSettings> channels;
    if (!Channels(options, channels)) return kExitUsage;
    bool named = options.channel.empty();
    int failed = 0;
    for (const notify::ChannelSettings& channel : channels) {
        if (!options.channel.empty() && channel.name != options.channel) continue;
        named = true;
        std::string error;
        const std::unique_ptr<notify::Sender> sender = notify::MakeSender(channel, error);
        notify::SendResult result;
        if (sender) result = sender->Send(notify::TestMessage(static_cast<int64_t>(std::time(nullptr))));
        else result.error = error;
        std::printf("%s (%s): %s\n", channel.name.c_str(), notify::ChannelKindName(channel.kind),
                    result.sent ? "sent" : ("failed: " + result.error).c_str());
        failed += result.sent ? 0 : 1;
    }
    std::fflush(stdout);
    if (!named) {
        std::string names;
        for (const notify::ChannelSettings& channel : channels) names += (names.empty() ? "" : ", ") + channel.name;
        Fail("no channel named \"" + options.channel + "\"; there are: " + names);
        return kExitUsage;
    }
    return failed ? kExitFailure : kExitOk;
}

int Status(const NotifyOptions& options) {
    HistoryOptions history;
    history.history_file = options.history_file;
    HistoryFileDefault(history, [](const char* name) -> const char* { return std::getenv(name); },
                       [](const char* path) { return access(path, F_OK) == 0; });
    if (access(history.history_file.c_str(), F_OK) != 0) {
        Fail(history.history_file + ": no history file (give --history FILE)");
        return kExitFailure;
    }
    std::string error;
    const std::unique_ptr<notify::Outbox> outbox = notify::Outbox::Open(history.history_file, error);
    if (!outbox) {
        Fail(error);
        return kExitFailure;
    }
    const std::map<std::string, std::vector<notify::Pending>> all = outbox->All();
    if (all.empty()) std::printf("%s: no message waits\n", history.history_file.c_str());
    for (const auto& [channel, pending] : all) {
        if (pending.empty()) continue;
        const notify::Pending& oldest = pending.front();
        std::printf("%s: %zu waiting, oldest from %s, %d tries; last error: %s\n", channel.c_str(), pending.size(),
                    novex::LocalIsoText(oldest.message.created).c_str(), oldest.attempts,
                    oldest.last_error.empty() ? "none" : oldest.last_error.c_str());
    }
    return kExitOk;
}

}  // namespace

CLI::App* AddNotifyCommand(CLI::App& app, NotifyOptions& out) {
    CLI::App* command = app.add_subcommand("notify", "test the notification channels, or show what waits");
    novex::Describe(*command, "vimohost notify test [CHANNEL] [--config FILE] [--notify URL ...]\n"
                                 "         vimohost notify status [--history FILE]",
                       "test: sends a test message through each channel (or the one named) and prints "
                       "per channel \"sent\" or the failure with a hint; exit 0 when every one was sent, "
                       "1 otherwise. status: the messages waiting in the history file's outbox.");
    command->require_subcommand(1);
    CLI::App* test = command->add_subcommand("test", "send a test message through each channel");
    test->callback([&out] { out.action = "test"; });
    test->add_option("CHANNEL", out.channel, "only this channel (its name)");
    AddText(*test, "--config", "FILE", std::string("the configuration's \"notify\" list (default ") + kServiceConfig +
                                           " when there and no --notify is given)",
            out.config_file);
    test->add_option("--notify", out.urls, "a channel URL; repeatable")->type_name("URL")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::App* status = command->add_subcommand("status", "the messages waiting in the outbox");
    status->callback([&out] { out.action = "status"; });
    AddText(*status, "--history", "FILE", "the history file (default as `vimohost history`)", out.history_file);
    return command;
}

int RunNotify(const NotifyOptions& options) {
    return options.action == "status" ? Status(options) : Test(options);
}

}  // namespace vimo
