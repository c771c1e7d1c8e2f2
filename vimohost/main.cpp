// vimohost: polls UPSs through the device plug-in, or lists and renders its history.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <CLI/CLI.hpp>

#include "core/command_line.h"
#include "vimohost/commands.h"
#include "vimohost/options.h"

int main(int argc, char** argv) {
    novex::KeepStandardDescriptors();
    CLI::App app("", "vimohost");
    vimo::PollOptions poll;
    vimo::HistoryOptions history;
    vimo::AddPollCommand(app, poll);
    const CLI::App* history_command = vimo::AddHistoryCommand(app, history);
    vimo::CheckConfigOptions check;
    const CLI::App* check_command = vimo::AddCheckConfigCommand(app, check);
    vimo::NotifyOptions notify;
    const CLI::App* notify_command = vimo::AddNotifyCommand(app, notify);
    novex::AddVersion(app);
    const int exit_code = novex::ParseMain(app, argc, argv, novex::kVimohostWording);
    if (exit_code >= 0) return exit_code;
    // A thread the system refuses (a process limit) is a failure to start, not a crash.
    try {
        if (history_command->parsed()) {
            const bool chosen = vimo::HistoryFileDefault(
                history, [](const char* name) -> const char* { return std::getenv(name); },
                [](const char* path) { return access(path, F_OK) == 0; });
            if (chosen) std::fprintf(stderr, "vimohost: reading %s\n", history.history_file.c_str());
            return vimo::RunHistory(history);
        }
        if (check_command->parsed()) return vimo::RunCheckConfig(check);
        if (notify_command->parsed()) return vimo::RunNotify(notify);
        return vimo::RunPoll(poll);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "vimohost: cannot start: %s\n", e.what());
        return vimo::kExitFailure;
    }
}
