// The two modes of the program; each returns the exit code.
#pragma once

#include "vimohost/options.h"

namespace vimo {

// Exit codes of vimohost.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // cannot start: plug-in, history, simulator, host name
constexpr int kExitUsage = 2;    // bad options or configuration
constexpr int kExitGaveUp = 3;   // --max-failures reached
constexpr int kExitInterrupted = 130;  // a second SIGINT/SIGTERM: stopped at once

int RunPoll(const PollOptions& options);
int RunHistory(const HistoryOptions& options);
// `history readings` and `history events` (history_query_command.cpp).
int RunHistoryQuery(const HistoryOptions& options);
// `check-config [FILE]` (check_config_command.cpp): 0 when the file passes, 2 otherwise.
int RunCheckConfig(const CheckConfigOptions& options);

}  // namespace vimo
