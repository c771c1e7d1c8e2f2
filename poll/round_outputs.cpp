#include "poll/round_outputs.h"

#include <cstdio>

#include "common/console.h"
#include "poll/status_output.h"

namespace vimo {

namespace {

using Kind = BoardUpdate::Kind;

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

void Report(const std::string& line) { Say(Level::kWarning, "vimohost: " + line); }

}  // namespace

ConsoleSummary::ConsoleSummary()
    : queue_({"console", QueuedSubscriber::Kind::kEvery, 4096, nullptr, Report},
             [](const BoardUpdate& update) {
                 for (const auto& [level, line] : Lines(update)) Say(level, line);
             }) {}

std::vector<std::pair<Level, std::string>> ConsoleSummary::Lines(const BoardUpdate& u) {
    const novex::monitor::DeviceSnapshot& s = *u.now;
    const std::string device = "[" + s.device_name + "] ";
    const std::string round = "round " + std::to_string(u.round);
    const std::string summary = novex::monitor::SummaryLine(s);
    std::vector<std::pair<Level, std::string>> lines;
    switch (u.kind) {
    case Kind::kLoaded:
        lines.emplace_back(Level::kNotice,
                           device + "ready from the stored round of " + u.loaded_time + " | " + summary);
        break;
    case Kind::kCompleted:
        lines.emplace_back(Level::kInfo, device + round + " in " + Seconds(s.last_round_seconds) +
                                             " | " + summary);
        break;
    case Kind::kFailed: {
        // The first failure of a run is worth a warning; the rest of it is in the
        // communication change and in the summary of each round.
        const Level level = u.first_failure ? Level::kWarning : Level::kInfo;
        if (u.port_unavailable)
            lines.emplace_back(level, device + round + ": " + s.last_error + "; retrying next round");
        else
            lines.emplace_back(level, device + round + " failed after " +
                                          Seconds(s.last_round_seconds) + ": " + s.last_error);
        if (u.LostNow()) lines.emplace_back(Level::kNotice, device + "communication lost | " + summary);
        break;
    }
    case Kind::kLost:
        lines.emplace_back(Level::kNotice, device + "communication lost | " + summary);
        break;
    }
    for (const AlarmEvent& e : u.events)
        lines.emplace_back(Level::kNotice, "[" + e.device + "] alarm " + KindName(e.kind) + ": " +
                                               e.alarm + " (" + e.text + ", " + e.severity +
                                               ") at " + LocalIsoTime(e.time));
    return lines;
}

StatusFiles::StatusFiles()
    : queue_({"status file", QueuedSubscriber::Kind::kLatest, 0,
              // The updates that change what the file shows carry the document: not a
              // failed round that leaves communication as it was.
              [](const BoardUpdate& u) { return u.document != nullptr; },
              Report},
             [this](const BoardUpdate& update) { Write(update); }) {}

void StatusFiles::SetPath(uint32_t data_id, const std::string& path) {
    novex::MutexLock lock(mutex_);
    paths_[data_id] = path;
}

std::string StatusFiles::Path(uint32_t data_id) const {
    novex::MutexLock lock(mutex_);
    const auto found = paths_.find(data_id);
    return found == paths_.end() ? "" : found->second;
}

void StatusFiles::Write(const BoardUpdate& update) {
    const novex::monitor::DeviceSnapshot& s = *update.now;
    const std::string path = Path(s.data_id);
    if (path.empty()) return;
    std::string error;
    const bool written = WriteFileAtomically(path, StatusFileText(s, *update.document), error);
    const std::string what = "[" + s.device_name + "] --status-out";
    FailureNote& note = notes_[s.data_id];
    const std::string line = written ? note.Worked(what) : note.Failed(what, error, FailureNote::Clock::now());
    if (!line.empty()) Say(written ? Level::kNotice : Level::kError, line);
}

void HistoryFeed::Take(const BoardUpdate& update) {
    const novex::monitor::DeviceSnapshot& s = *update.now;
    // The round first, then its events.
    if (update.kept) {
        HistoryEntry round;
        round.data_id = s.data_id;
        round.local = update.kept->local;
        round.utc = update.kept->utc;
        round.record = update.kept->record;
        // The monitor's figures, when they are of this very record.
        if (update.kind == Kind::kCompleted && round.record == s.record) round.measures = s.measures;
        // The count after it, so that a restart goes on from the last round stored.
        if (update.kind == Kind::kCompleted) round.energy = s.energy;
        writer_.Submit(std::move(round));
    }
    for (const AlarmEvent& e : update.events) writer_.Submit(EventEntry(e));
}

}  // namespace vimo
