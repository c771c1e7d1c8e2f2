// `vimohost check-config [FILE]`: the checks a start makes of the configuration before it
// starts anything, run by the start's own code and nothing more, for scripts and
// package upgrades.
#include <cstdio>
#include <string>

#include "vimohost/commands.h"

namespace vimo {

int RunCheckConfig(const CheckConfigOptions& options) {
    PollOptions poll;
    poll.config_file = options.config_file.empty() ? kServiceConfig : options.config_file;
    size_t devices = 0;
    const int exit_code = CheckConfiguration(poll, devices);
    // A start that cannot load the plug-in stops with exit 1; the file itself is then
    // unchecked, which is no pass either.
    if (exit_code != kExitOk) return exit_code == kExitFailure ? kExitFailure : kExitUsage;
    std::printf("%s: %zu device%s, no error found\n", poll.config_file.c_str(), devices,
                devices == 1 ? "" : "s");
    return kExitOk;
}

}  // namespace vimo
