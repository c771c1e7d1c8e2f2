// Starting a child program, the one way every part does it (the event hooks, the
// simulator that `poll --simulate` starts, the tests' peers); and a child whose
// standard output can be read line by line, stopped by its process id (never by name).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vimo {

// How a child starts. Every child gets a process group of its own (a terminal's Ctrl-C
// reaches only the starting process, and a time limit stops the child with whatever it
// started by signalling the group: kill(-pid, ...)) and an empty signal mask.
struct SpawnRequest {
    std::vector<std::string> argv;  // argv[0]: the program's path, unless `program` says it
    std::string program;            // the path to run when argv[0] is another name
    // The environment; nullptr: the starting process's.
    const std::vector<std::string>* env = nullptr;
    // kSocket: one end of a Unix stream socket pair, the other end in Spawned::in_fd
    // (written with MSG_NOSIGNAL, a child that exits unread costs an EPIPE, never a
    // SIGPIPE to the writer).
    enum class Input { kInherit, kNull, kSocket };
    Input input = Input::kInherit;
    // kPipe: standard output into Spawned::out_fd; kPipeWithErrors: standard error too.
    enum class Output { kInherit, kPipe, kPipeWithErrors };
    Output output = Output::kInherit;
    std::string stdout_file;  // when not empty: standard output into this file instead
    std::string stderr_file;  // when not empty: standard error into this file
    std::string cwd;          // empty: the starting process's
    bool die_with_parent = true;   // SIGKILL if the starting process dies
    bool close_others = false;     // close every descriptor from 3 on before exec
    bool default_signals = false;  // SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD
                                   // at their default action, whatever the starter does
    // A child not at exec by then is killed and the start fails ("did not start within
    // 30 s"): an output file that is a FIFO nobody reads, a hung mount as working
    // folder or an emulator's own deadlock must not hold the starter forever.
    int start_limit_ms = 30000;
};

struct Spawned {
    pid_t pid = -1;
    int out_fd = -1;  // Output::kPipe*: the read end, close-on-exec
    int in_fd = -1;   // Input::kSocket: the writing end, close-on-exec
};

// Starts the child. False with the reason: "pipe: ...", "fork: ...", why exec failed
// ("No such file or directory") or "did not start within N s", the child then reaped
// and nothing left open.
bool SpawnChild(const SpawnRequest& request, Spawned& child, std::string& error);

class ChildProcess {
public:
    struct Options {
        bool capture_stdout = true;    // else inherited
        std::string stderr_file;       // empty: inherited; "/dev/null" to discard
        std::string stdout_file;       // instead of capturing, when not empty
        bool die_with_parent = true;   // SIGKILL if the starting process dies
        std::string cwd;               // empty: the starting process's
    };

    ChildProcess() = default;
    ~ChildProcess();  // stops the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::vector<std::string>& argv, const Options& options, std::string& error);
    // The next line of the child's standard output, without the line end; false at the
    // end of the output or after `timeout_ms`.
    bool ReadLine(std::string& line, int timeout_ms);
    // SIGTERM, then SIGKILL after `grace_ms`; returns the exit status as Wait does.
    int Stop(int grace_ms = 3000);
    // Waits up to `timeout_ms` (negative: for ever). The exit code, 128 + signal for a
    // child killed by a signal, or -1 if it still runs.
    int Wait(int timeout_ms);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string buffer_;
};

}  // namespace vimo
