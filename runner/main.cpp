// vimohost: polls UPSs through the device plug-in, or lists and renders its history.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    if (!args.empty() && args[0] == "history") {
        args.erase(args.begin());
        vimo::HistoryOptions options;
        if (!vimo::ParseHistoryOptions(args, options, error)) {
            vimo::Say("vimohost history: " + error + " (vimohost history --help)");
            return vimo::kExitUsage;
        }
        if (options.help) {
            std::fputs(vimo::HistoryUsage(), stdout);
            return vimo::kExitOk;
        }
        return vimo::RunHistory(options);
    }
    vimo::PollOptions options;
    if (!vimo::ParsePollOptions(args, options, error)) {
        vimo::Say("vimohost: " + error + " (vimohost --help)");
        return vimo::kExitUsage;
    }
    if (options.help) {
        std::fputs(vimo::PollUsage(), stdout);
        return vimo::kExitOk;
    }
    return vimo::RunPoll(options);
}
