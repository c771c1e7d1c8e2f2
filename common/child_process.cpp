#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <system_error>
#include <thread>

namespace vimo {

ChildProcess::~ChildProcess() {
    if (running()) Stop(1000);
    if (out_fd_ >= 0) close(out_fd_);
}

namespace {

// Signals a child starts with at their default action when asked, whatever the starting
// process ignores or handles (exec keeps ignored signals ignored). Column: the signal.
const int kDefaultSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD};
static_assert(sizeof kDefaultSignals / sizeof kDefaultSignals[0] == 6, "six signals");

std::string Message(int error) { return std::generic_category().message(error); }

void CloseAll(std::initializer_list<int> fds) {
    for (const int fd : fds)
        if (fd >= 0) close(fd);
}

// Closes every descriptor from `first` on but `keep`, in the child before exec: a
// child must not hold the starter's serial ports, sockets or database open (a held
// port keeps its lock after the starter ends). Async-signal-safe.
void CloseFrom(int first, int keep, int max_fd) {
#ifdef SYS_close_range
    const bool below = keep == first || syscall(SYS_close_range, first, keep - 1, 0) == 0;
    if (below && syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
#endif
    for (int fd = first; fd < max_fd; ++fd)
        if (fd != keep) close(fd);
}

// `path` opened for writing onto `target`, in the child. Async-signal-safe.
void RedirectTo(const char* path, int target) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (fd >= 0 && fd != target) {
        dup2(fd, target);
        close(fd);
    }
}

}  // namespace

bool SpawnChild(const SpawnRequest& request, Spawned& child, std::string& error) {
    if (request.argv.empty()) {
        error = "nothing to start";
        return false;
    }
    // Everything the child needs is built before fork: between fork and exec the child
    // may only make async-signal-safe calls (other threads may hold malloc's lock).
    std::vector<char*> argv, envp;
    for (const std::string& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* program = request.program.empty() ? argv[0] : request.program.c_str();
    if (request.env != nullptr) {
        for (const std::string& e : *request.env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
    }
    rlimit files{};
    const int max_fd = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                           ? static_cast<int>(files.rlim_cur)
                           : 65536;
    const bool pipe_out = request.output != SpawnRequest::Output::kInherit && request.stdout_file.empty();
    const bool socket_in = request.input == SpawnRequest::Input::kSocket;
    int out[2] = {-1, -1}, status_pipe[2] = {-1, -1}, in[2] = {-1, -1};
    if ((pipe_out && pipe2(out, O_CLOEXEC) != 0) || pipe2(status_pipe, O_CLOEXEC) != 0 ||
        (socket_in && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0)) {
        error = "pipe: " + Message(errno);
        CloseAll({out[0], out[1], status_pipe[0], status_pipe[1], in[0], in[1]});
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (request.die_with_parent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
        }
        if (socket_in) {
            dup2(in[1], STDIN_FILENO);
        } else if (request.input == SpawnRequest::Input::kNull) {
            const int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd >= 0 && null_fd != STDIN_FILENO) {
                dup2(null_fd, STDIN_FILENO);
                close(null_fd);
            }
        }
        if (pipe_out) dup2(out[1], STDOUT_FILENO);
        if (pipe_out && request.output == SpawnRequest::Output::kPipeWithErrors)
            dup2(out[1], STDERR_FILENO);
        if (!request.stdout_file.empty()) RedirectTo(request.stdout_file.c_str(), STDOUT_FILENO);
        if (!request.stderr_file.empty()) RedirectTo(request.stderr_file.c_str(), STDERR_FILENO);
        if (request.close_others) CloseFrom(3, status_pipe[1], max_fd);
        if (request.default_signals)
            for (const int signal : kDefaultSignals) {
                struct sigaction action {};
                action.sa_handler = SIG_DFL;
                sigaction(signal, &action, nullptr);
            }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int exec_error = 0;
        if (!request.cwd.empty() && chdir(request.cwd.c_str()) != 0) {
            exec_error = errno;
        } else {
            if (request.env != nullptr)
                execve(program, argv.data(), envp.data());
            else
                execv(program, argv.data());
            exec_error = errno;
        }
        const ssize_t ignored = write(status_pipe[1], &exec_error, sizeof exec_error);
        (void)ignored;
        _exit(127);
    }
    const int fork_error = errno;
    CloseAll({out[1], status_pipe[1], in[1]});
    if (pid < 0) {
        CloseAll({out[0], status_pipe[0], in[0]});
        error = "fork: " + Message(fork_error);
        return false;
    }
    // The status pipe closes at a successful exec, or carries exec's error; nothing
    // within the start limit means the child is stuck before exec.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(request.start_limit_ms);
    bool started = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{status_pipe[0], POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (polled > 0) {
            started = true;
            break;
        }
        if (polled == 0 || errno != EINTR) break;
    }
    int exec_error = 0;
    ssize_t n = -1;
    if (started) {
        do n = read(status_pipe[0], &exec_error, sizeof exec_error);
        while (n < 0 && errno == EINTR);
    }
    close(status_pipe[0]);
    if (!started || n == static_cast<ssize_t>(sizeof exec_error)) {
        if (!started) kill(pid, SIGKILL);
        int ignored = 0;
        while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
        CloseAll({out[0], in[0]});
        const int limit = request.start_limit_ms;
        error = started ? Message(exec_error)
                        : "did not start within " + (limit % 1000 == 0 ? std::to_string(limit / 1000) + " s"
                                                                       : std::to_string(limit) + " ms");
        return false;
    }
    child.pid = pid;
    child.out_fd = out[0];
    child.in_fd = in[0];
    return true;
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const Options& options,
                         std::string& error) {
    SpawnRequest request;
    request.argv = argv;
    request.output = options.capture_stdout ? SpawnRequest::Output::kPipe : SpawnRequest::Output::kInherit;
    request.stdout_file = options.stdout_file;
    request.stderr_file = options.stderr_file;
    request.cwd = options.cwd;
    request.die_with_parent = options.die_with_parent;
    Spawned child;
    if (!SpawnChild(request, child, error)) return false;
    pid_ = child.pid;
    out_fd_ = child.out_fd;
    reaped_ = false;
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
