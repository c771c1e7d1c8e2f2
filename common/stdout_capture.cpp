#include "common/stdout_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/console.h"
#include "common/thread_name.h"

namespace vimo {

namespace {

// Longest piece of one line logged; the rest of a longer line is dropped.
constexpr size_t kMaxLine = 4096;

// Logs the pipe's lines until it ends, or until `stop` once nothing more is waiting
// (a child that inherited the write end may hold it open).
void LogLines(int fd, const std::atomic<bool>& stop) {
    std::string line;
    char buffer[4096];
    const auto flush = [&line] {
        if (ConsoleShows(Level::kDebug)) Say(Level::kDebug, "[plug-in] " + line);
        line.clear();
    };
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (stop) break;
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') flush();
            else if (line.size() < kMaxLine) line += buffer[i];
        }
    }
    if (!line.empty()) flush();
    close(fd);
}

}  // namespace

bool StdoutCapture::StartIfJournal() {
    if (saved_ >= 0 || !StreamIsJournal(STDOUT_FILENO)) return false;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::fflush(stdout);
    saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
        if (saved_ >= 0) close(saved_);
        saved_ = -1;
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    close(ends[1]);
    const int read_end = ends[0];
    stop_ = false;
    reader_ = std::thread([this, read_end] {
        NameThisThread("stdout");
        LogLines(read_end, stop_);
    });
    return true;
}

void StdoutCapture::Stop() {
    if (saved_ < 0) return;
    // The journal's stream back on standard output closes the pipe's last write end:
    // the reader logs what is left and ends.
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    stop_ = true;
    if (reader_.joinable()) reader_.join();
}

}  // namespace vimo
