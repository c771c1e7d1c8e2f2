// A program started as a child, in a process group of its own: its standard output
// can be read line by line, and it is stopped by its process id (never by name).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vimo {

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
