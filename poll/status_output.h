// The --status-out file: the device's status document as the last completed (or
// loaded) round left it, with vimohost's own member "vimohost" added at its end, so
// that a reader of the file alone can tell figures that are old from current ones.
#pragma once

#include <string>

#include "monitor/snapshot.h"

namespace vimo {

// The device's status document `doc` with, before its closing brace,
//   "vimohost": {"communication": "ok"|"lost", "stale": false, "rounds_completed": N,
//                "rounds_failed": N, "last_round_utc": N, "last_round_local": "...",
//                "last_error": "..."}
// A document that is no JSON object is left as it is; none at all gives "{}" with
// the member alone.
std::string StatusFileText(const novex::monitor::DeviceSnapshot& snapshot, const std::string& doc);

// Whether `path` can be made: its directory exists and this process may write there.
// False with a one-line error otherwise.
bool CheckStatusPath(const std::string& path, std::string& error);

// Whether `path` may be replaced: missing, or a regular file. A symbolic link, FIFO,
// device or directory would be replaced by a regular file (or written into), so it is
// refused with a one-line error.
bool CheckStatusTarget(const std::string& path, std::string& error);

// Whether two paths name one file: the same device and inode when both exist, else the
// same absolute path with links and "." and ".." resolved.
bool SameFile(const std::string& a, const std::string& b);

// Whether writing `path` would replace the history database `history` or one of the
// files SQLite keeps beside it (-wal, -shm, -journal).
bool IsHistoryFile(const std::string& path, const std::string& history);

// Removes the temporary files "NAME.tmp.PID" beside `path` that a run killed between
// writing and renaming left behind: those whose process is gone, is this one, or is
// another program. The count removed.
int RemoveStaleTemporaries(const std::string& path);

// Writes `text` to a temporary file beside `path`, then renames it over `path`, so a
// reader never sees half a document. A `path` that has become anything but a regular
// file meanwhile is left alone.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace vimo
