#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vimo {

ChildProcess::~ChildProcess() {
    if (running()) Stop(1000);
    if (out_fd_ >= 0) close(out_fd_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const Options& options,
                         std::string& error) {
    if (argv.empty()) {
        error = "nothing to start";
        return false;
    }
    int pipe_fds[2] = {-1, -1};
    const bool capture = options.capture_stdout && options.stdout_file.empty();
    if (capture && pipe2(pipe_fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        if (capture) {
            close(pipe_fds[0]);
            close(pipe_fds[1]);
        }
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        if (options.die_with_parent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
        }
        // A terminal's Ctrl-C goes to the whole foreground group: the child leaves it,
        // so that only the starting process decides when the child stops.
        setpgid(0, 0);
        if (capture) dup2(pipe_fds[1], STDOUT_FILENO);
        if (!options.stdout_file.empty()) {
            const int fd = open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
            if (fd >= 0 && fd != STDOUT_FILENO) {
                dup2(fd, STDOUT_FILENO);
                close(fd);
            }
        }
        if (!options.stderr_file.empty()) {
            const int fd = open(options.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
            if (fd >= 0 && fd != STDERR_FILENO) {
                dup2(fd, STDERR_FILENO);
                close(fd);
            }
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    if (capture) {
        close(pipe_fds[1]);
        out_fd_ = pipe_fds[0];
    }
    return true;
}

bool ChildProcess::ReadLine(std::string& line, int timeout_ms) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        if (out_fd_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        pollfd p{out_fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char chunk[4096];
        const ssize_t n = read(out_fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(out_fd_);
            out_fd_ = -1;
            continue;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

int ChildProcess::Wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, timeout_ms < 0 ? 0 : WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                        : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
            return status_;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::Stop(int grace_ms) {
    if (!running()) return status_;
    kill(pid_, SIGTERM);
    const int status = Wait(grace_ms);
    if (status != -1 || reaped_) return status;
    kill(pid_, SIGKILL);
    return Wait(-1);
}

}  // namespace vimo
