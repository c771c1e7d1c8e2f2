#include "poll/status_output.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <json/value.h>
#include <json/writer.h>

#include "common/regular_file.h"

namespace vimo {

namespace {

std::string VimohostMember(const novex::monitor::DeviceSnapshot& s) {
    Json::Value member(Json::objectValue);
    member["communication"] = novex::monitor::CommunicationName(s.communication);
    member["stale"] = s.stale;
    member["rounds_completed"] = Json::UInt64(s.rounds_completed);
    member["rounds_failed"] = Json::UInt64(s.rounds_failed);
    member["last_round_utc"] = Json::Int64(s.last_round_utc);
    member["last_round_local"] = s.last_round_local;
    member["last_error"] = s.last_error;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return "\"vimohost\":" + Json::writeString(writer, member);
}

// "" when `path` is missing or a regular file, else what it is.
std::string OtherKind(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "";
    return FileKind(st.st_mode);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The process's command name ("vimohost"), "" when /proc does not say.
std::string CommandName(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

bool CheckStatusTarget(const std::string& path, std::string& error) {
    const std::string kind = OtherKind(path);
    if (kind.empty()) return true;
    error = "--status-out " + path + ": " + kind + ", not a regular file; it is left alone";
    return false;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    // Made absolute first: of a relative path none of whose parts exists yet ("h.db"),
    // weakly_canonical keeps the relative text, which "./h.db" would not match.
    const auto resolved = [](const std::string& path) {
        std::error_code ignored;
        const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ignored);
        return (canonical.empty() ? absolute : canonical).lexically_normal();
    };
    return resolved(a) == resolved(b);
}

bool IsHistoryFile(const std::string& path, const std::string& history) {
    // The database and the files SQLite keeps beside it: replacing any loses the history.
    static const char* const kSuffixes[] = {"", "-wal", "-shm", "-journal"};
    static_assert(sizeof kSuffixes / sizeof kSuffixes[0] == 4, "SQLite's files");
    for (const char* suffix : kSuffixes)
        if (SameFile(path, history + suffix)) return true;
    return false;
}

int RemoveStaleTemporaries(const std::string& path) {
    const std::string dir = Directory(path);
    const std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp.";
    const std::string self = std::to_string(getpid());
    const std::string own_name = CommandName("self");
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    // readdir64: on a 32-bit system the plain readdir fails (EOVERFLOW) on an entry
    // whose inode number or offset needs 64 bits, as on large XFS volumes.
    while (const dirent64* entry = readdir64(d)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string pid = name.substr(prefix.size());
        if (pid.empty() || pid.size() > 10 ||
            pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const bool gone = kill(static_cast<pid_t>(std::stoll(pid)), 0) != 0 && errno == ESRCH;
        const std::string other = gone ? "" : CommandName(pid);
        const bool foreign = !own_name.empty() && !other.empty() && other != own_name;
        if (!gone && pid != self && !foreign) continue;
        if (unlink((dir + "/" + name).c_str()) == 0) ++removed;
    }
    closedir(d);
    return removed;
}

std::string StatusFileText(const novex::monitor::DeviceSnapshot& snapshot, const std::string& doc) {
    const size_t open = doc.find_first_not_of(" \t\r\n");
    const size_t close = doc.find_last_not_of(" \t\r\n");
    if (open == std::string::npos) return "{" + VimohostMember(snapshot) + "}\n";
    if (doc[open] != '{' || doc[close] != '}') return doc;
    // An empty object takes the member without a comma.
    const size_t last = doc.find_last_not_of(" \t\r\n", close - 1);
    const std::string comma = last == open ? "" : ",";
    return doc.substr(0, close) + comma + VimohostMember(snapshot) + doc.substr(close);
}

bool CheckStatusPath(const std::string& path, std::string& error) {
    const std::string dir = Directory(path);
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        error = "--status-out " + path + ": directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    // Made afresh, never opened through a name someone else placed there: a link
    // planted at the temporary's name would otherwise have the text written where it
    // points. A leftover of this process (or a planted name) is removed once, and the
    // creation tried again.
    int fd = CreateNewFile(temporary);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) fd = CreateNewFile(temporary);
    if (fd < 0) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == text.size();
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        error = temporary + ": cannot write";
        unlink(temporary.c_str());
        return false;
    }
    const std::string kind = OtherKind(path);
    if (!kind.empty()) {
        error = path + ": " + kind + " now, not a regular file; it is left alone";
        unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vimo
