#include "common/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/thread_annotations.h"

namespace vimo {

// Columns: level, name on the command line, syslog priority.
const LevelName kLevelNames[5] = {
    {Level::kError, "error", 3},
    {Level::kWarning, "warning", 4},
    {Level::kNotice, "notice", 5},
    {Level::kInfo, "info", 6},
    {Level::kDebug, "debug", 7},
};
static_assert(sizeof kLevelNames / sizeof kLevelNames[0] == static_cast<int>(Level::kDebug) + 1,
              "one row a level");

namespace {

std::atomic<int> shown_level{static_cast<int>(Level::kNotice)};
// -1: not decided yet; the first line looks at JOURNAL_STREAM.
std::atomic<int> prefixes{-1};

}  // namespace

bool ParseLevel(const std::string& text, Level& out) {
    for (const LevelName& row : kLevelNames) {
        if (text == row.name) {
            out = row.level;
            return true;
        }
    }
    return false;
}

std::string LevelChoices() {
    std::string text;
    for (const LevelName& row : kLevelNames) text += (text.empty() ? "" : "|") + std::string(row.name);
    return text;
}

void SetConsoleLevel(Level level) { shown_level = static_cast<int>(level); }

bool ConsoleShows(Level level) { return static_cast<int>(level) <= shown_level; }

void SetJournalPrefixes(bool on) { prefixes = on ? 1 : 0; }

bool StreamIsJournal(int fd) {
    const char* value = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (!value || fstat(fd, &st) != 0) return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    return device == static_cast<unsigned long long>(st.st_dev) &&
           inode == static_cast<unsigned long long>(st.st_ino);
}

std::string Escaped(const std::string& text) {
    // Columns: the character, how it is shown. Other control characters show as \xHH.
    static const struct {
        char c;
        const char* shown;
    } kNamed[] = {{'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
    static_assert(sizeof kNamed / sizeof kNamed[0] == 3, "three named characters");
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // U+0080..U+009F, the C1 controls, are two bytes in UTF-8: 0xC2 and 0x80..0x9F.
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c >= 0x20 && c != 0x7f && !c1) {
            out += text[i];
            continue;
        }
        const char* shown = nullptr;
        for (const auto& row : kNamed)
            if (row.c == text[i]) shown = row.shown;
        char hex[8];
        if (c1) std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(text[++i]));
        else std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += shown ? shown : hex;
    }
    return out;
}

std::string FormatLine(Level level, const std::string& line, bool prefix) {
    const int priority = kLevelNames[static_cast<int>(level)].priority;
    return (prefix ? "<" + std::to_string(priority) + ">" : std::string()) + Escaped(line) + "\n";
}

void Say(Level level, const std::string& line) {
    if (!ConsoleShows(level)) return;
    // Lines from several threads come out whole, one after another.
    static novex::Mutex mutex;
    novex::MutexLock lock(mutex);
    if (prefixes < 0) prefixes = StreamIsJournal(STDERR_FILENO) ? 1 : 0;
    std::fputs(FormatLine(level, line, prefixes == 1).c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace vimo
