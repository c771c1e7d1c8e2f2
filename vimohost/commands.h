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
// The checks a start makes of its configuration before it starts anything, alone
// (poll_command.cpp): kExitOk with the number of devices, or the exit code the start
// would give, its one line said.
int CheckConfiguration(const PollOptions& options, size_t& devices);
int RunHistory(const HistoryOptions& options);
// `history readings` and `history events` (history_query_command.cpp).
int RunHistoryQuery(const HistoryOptions& options);
// `check-config [FILE]` (check_config_command.cpp): 0 when the file passes, 2 otherwise.
int RunCheckConfig(const CheckConfigOptions& options);
// `notify test` and `notify status` (notify_command.cpp).
int RunNotify(const NotifyOptions& options);

}  // namespace vimo
