#include "history/writer_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vimo {

namespace {

// The process holding a whole-file lock on the file of `st`, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"); 0 when it does not say.
long FlockHolder(const struct stat& st) {
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, file;
        if (!(words >> number >> kind >> mode >> access >> pid >> file)) continue;
        if (kind == "FLOCK" && access == "WRITE" && file == id) return std::atol(pid.c_str());
    }
    return 0;
}

}  // namespace

std::unique_ptr<HistoryWriterLock> HistoryWriterLock::Claim(const std::string& path, std::string& error) {
    // flock(), not fcntl(): SQLite's own fcntl locks on the file are dropped by the
    // process whenever any of its descriptors of the file closes; a flock stays with
    // this descriptor alone and does not disturb SQLite's.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "history " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<HistoryWriterLock>(new HistoryWriterLock(fd));
    const int failure = errno;
    // A file system without such locks (some network ones): written without the claim.
    if (failure == ENOLCK || failure == EOPNOTSUPP || failure == EINVAL)
        return std::unique_ptr<HistoryWriterLock>(new HistoryWriterLock(fd));
    struct stat st {};
    const long holder = failure == EWOULDBLOCK && fstat(fd, &st) == 0 ? FlockHolder(st) : 0;
    close(fd);
    if (failure != EWOULDBLOCK) {
        error = "history " + path + ": cannot lock it: " + std::strerror(failure);
        return nullptr;
    }
    error = "history " + path + ": written by another vimohost" +
            (holder > 0 ? " (process " + std::to_string(holder) + ")" : "") +
            "; a history has one writer (give another --history, or --no-history)";
    return nullptr;
}

HistoryWriterLock::~HistoryWriterLock() { close(fd_); }

}  // namespace vimo
