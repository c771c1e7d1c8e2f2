// One writer per history: the poller claims the file for as long as it writes, so that
// a second vimohost on the same file (under whatever path or link) is refused with the
// holder's process id instead of interleaving its rounds with the first one's. Readers
// (`vimohost history`, the web face) take no claim and read on beside the writer.
#pragma once

#include <memory>
#include <string>

namespace vimo {

class HistoryWriterLock {
public:
    // Claims the existing file at `path`; null with one line in `error` when another
    // process holds it (naming that process where the system tells it) or the file
    // cannot be opened.
    static std::unique_ptr<HistoryWriterLock> Claim(const std::string& path, std::string& error);
    ~HistoryWriterLock();
    HistoryWriterLock(const HistoryWriterLock&) = delete;
    HistoryWriterLock& operator=(const HistoryWriterLock&) = delete;

private:
    explicit HistoryWriterLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace vimo
