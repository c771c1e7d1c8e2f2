// Runs build/novexups-sim as a child process for tests and benchmarks: waits for its
// ready line, keeps its standard error in a file, and stops it by process id.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_program.h"

class SimChild {
public:
    SimChild() = default;
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;
    ~SimChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (!err_path_.empty()) unlink(err_path_.c_str());
    }

    static std::string Program() {
        const char* dir = std::getenv("NOVEX_BUILD_DIR");
#ifdef NOVEX_SIM_PROGRAM
        if (dir == nullptr) return NOVEX_SIM_PROGRAM;
#endif
        return std::string(dir ? dir : ".") + "/novexups-sim";
    }

    // Starts the simulator and waits up to `wait_s` for its ready line. False when
    // it exits or stays silent; then `ready()` is empty.
    bool Start(const std::vector<std::string>& args, double wait_s = 20) {
        char path[] = "/tmp/novexups-sim-stderr-XXXXXX";
        const int err = mkstemp(path);
        if (err < 0) return false;
        err_path_ = path;
        int pipefd[2];
        if (pipe(pipefd) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipefd[1], STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            close(pipefd[0]);
            close(pipefd[1]);
            close(err);
            std::vector<std::string> all = novex_test::ProgramCommand(Program());
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipefd[1]);
        close(err);
        out_ = pipefd[0];
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(static_cast<long>(wait_s * 1000));
        std::string line;
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') {
                stdout_line_ = line;
                if (line.compare(0, 6, "ready ") == 0) ready_ = line.substr(6);
                return !ready_.empty();
            }
            line += c;
        }
        return false;
    }

    // "tcp 127.0.0.1:PORT" or "rtu /dev/pts/N".
    const std::string& ready() const { return ready_; }
    const std::string& stdout_line() const { return stdout_line_; }
    int port() const { return std::atoi(ready_.substr(ready_.rfind(':') + 1).c_str()); }
    std::string rtu_path() const { return ready_.substr(4); }
    pid_t pid() const { return pid_; }

    // SIGTERM, then the exit status (128 + signal when killed by one).
    int Stop() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        return Wait();
    }
    // Waits for the child to end by itself, at most `wait_s`, then kills it.
    int Wait(double wait_s = 30) {
        if (pid_ <= 0) return status_;
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(static_cast<long>(wait_s * 1000));
        int st = 0;
        while (waitpid(pid_, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                break;
            }
            usleep(5000);
        }
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }

    std::string Stderr() const {
        std::ifstream in(err_path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string err_path_;
    std::string ready_;
    std::string stdout_line_;
};

// Runs the simulator to its end (for command-line errors): exit status and output.
struct SimRun {
    int status;
    std::string out;
    std::string err;
};

inline SimRun RunSim(const std::vector<std::string>& args) {
    SimChild child;
    child.Start(args, 10);
    SimRun r{child.Wait(10), child.stdout_line(), child.Stderr()};
    return r;
}
