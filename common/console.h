// Lines for the person watching: standard error, one whole line at a time even when
// several line threads report at once. Standard output belongs to the plug-in.
//
// Every line has a level; lines below the chosen one (--log-level) are dropped. Under a
// journal (systemd sets JOURNAL_STREAM to the device and inode of the stream it gave the
// program as standard error) each line starts with its syslog priority, "<4>", so that
// `journalctl -p warning` picks it.
#pragma once

#include <string>

namespace vimo {

// Ordered as syslog's priorities, most urgent first.
enum class Level { kError, kWarning, kNotice, kInfo, kDebug };

// One row a level: its name on the command line and its syslog priority.
struct LevelName {
    Level level;
    const char* name;
    int priority;
};
extern const LevelName kLevelNames[5];

// "error" ... "debug"; false for any other text.
bool ParseLevel(const std::string& text, Level& out);
// "error|warning|notice|info|debug", for help texts and errors.
std::string LevelChoices();

// The level below which lines are dropped (default notice) and whether lines carry the
// syslog prefix (default: when standard error is the journal's stream).
void SetConsoleLevel(Level level);
bool ConsoleShows(Level level);
void SetJournalPrefixes(bool on);
// True when JOURNAL_STREAM names the file that `fd` is.
bool StreamIsJournal(int fd);

// `text` with its control characters shown as \n, \r, \t, \x1b, \u009b...: a device
// name or a peer's message cannot end a line early, forge the next or colour it.
std::string Escaped(const std::string& text);
// The line as written, escaped: "<5>text\n" with prefixes, "text\n" without.
std::string FormatLine(Level level, const std::string& line, bool prefix);

void Say(Level level, const std::string& line);
// Start, stop and what an operator acts on: notice.
inline void Say(const std::string& line) { Say(Level::kNotice, line); }

}  // namespace vimo
