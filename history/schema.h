// The history file's tables, version 4, and the upgrades from the versions before:
// 1 (rounds and alarms with local time texts only, user_version 0), 2 (every round
// in a row of its own) and 3 (rounds in chunks, no minute aggregates).
#pragma once

#include <string>

struct sqlite3;

namespace vimo {

constexpr int kHistorySchemaVersion = 4;

// Brings an open database to version 4: creates the tables in an empty file, upgrades
// a version 1 file in one transaction (local times to UTC with the zone in force,
// readings decoded from the stored records, alarms copied as events), adds the chunk
// tables to a version 2 file (at once: its rounds move into chunks later, on the
// writer) and the aggregates table to a version 2 or 3 file, leaves a version 4 file as
// it is. False with one line for a newer version or a file that is no history.
// `writable` false: only checks that the file is at version 4, or 3 (read as it is: it
// has no minute aggregates). A file at its version must also have every table and
// column this program reads and writes for it: a file of the same name and version but
// another shape is no history.
bool PrepareHistorySchema(sqlite3* db, bool writable, std::string& error);

// The output energy table (data_id, utc, a_joules, b_joules, c_joules: each device's
// count as of its last stored round). Added to a version 4 file by the first writer that
// stores a count, in that write's transaction; an older vimohost leaves it alone.
extern const char* const kEnergyTable;

// Whether `path` may be opened as a history: missing, or a regular file (or a link to
// one). A device or FIFO would be opened as an empty database, and its journal made
// beside it. False with a one-line error naming what it is.
bool CheckHistoryPath(const std::string& path, std::string& error);

// PRAGMA quick_check: false with its first finding (or SQLite's error) in `error`.
bool QuickCheckHistory(sqlite3* db, std::string& error);

}  // namespace vimo
