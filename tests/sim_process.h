// novexups-sim as a child of a test or benchmark: started, read up to its ready line,
// and stopped by its process id (never by name). The one way the tests start it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "tests/test_program.h"

namespace runner_test {

// novexups-sim started with `args`. `ready()` is what its ready line names after
// "ready " ("tcp 127.0.0.1:PORT" or "rtu /dev/pts/N"), `address()` the part after the
// transport. Its standard error goes to `log`, or to a temporary file removed with
// this object.
class Simulator {
public:
    Simulator() = default;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    ~Simulator() {
        child_.Stop(100);
        if (own_log_) std::remove(log_.c_str());
    }

    static std::string Program() {
        const char* dir = std::getenv("NOVEX_BUILD_DIR");
#ifdef NOVEX_SIM_PROGRAM
        if (dir == nullptr) return NOVEX_SIM_PROGRAM;
#endif
        return std::string(dir ? dir : ".") + "/novexups-sim";
    }

    // False when the simulator cannot start, exits or stays silent for `wait_ms`.
    bool Start(const std::vector<std::string>& args, const std::string& log = "",
               int wait_ms = 20000) {
        log_ = log;
        if (log_.empty()) {
            char path[] = "/tmp/novexups-sim-stderr-XXXXXX";
            const int fd = mkstemp(path);
            if (fd < 0) return false;
            close(fd);
            log_ = path;
            own_log_ = true;
        }
        std::vector<std::string> argv = novex_test::ProgramCommand(Program());
        argv.insert(argv.end(), args.begin(), args.end());
        vimo::ChildProcess::Options options;
        options.stderr_file = log_;
        std::string error;
        if (!child_.Start(argv, options, error)) {
            first_line_ = error;
            return false;
        }
        if (!child_.ReadLine(first_line_, wait_ms)) return false;
        const std::string prefix = "ready ";
        if (first_line_.compare(0, prefix.size(), prefix) != 0) return false;
        ready_ = first_line_.substr(prefix.size());
        address_ = ready_.substr(ready_.find(' ') + 1);
        return true;
    }

    const std::string& ready() const { return ready_; }
    const std::string& address() const { return address_; }
    // The first line on standard output (the ready line, or a --help's first line).
    const std::string& stdout_line() const { return first_line_; }
    int port() const { return std::atoi(address_.substr(address_.rfind(':') + 1).c_str()); }
    pid_t pid() const { return child_.pid(); }
    std::string Stderr() const {
        std::ifstream in(log_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // SIGTERM, then the exit status (128 + signal when killed by one).
    int Stop() { return child_.Stop(); }
    // Waits for the simulator to end by itself, at most `wait_ms`, then kills it.
    int Wait(int wait_ms = 30000) {
        const int status = child_.Wait(wait_ms);
        return status == -1 ? child_.Stop(0) : status;
    }

private:
    vimo::ChildProcess child_;
    std::string log_;
    bool own_log_ = false;
    std::string first_line_;
    std::string ready_;
    std::string address_;
};

// Runs the simulator to its end (for command-line errors): exit status and output.
struct SimRun {
    int status;
    std::string out;
    std::string err;
};

inline SimRun RunSim(const std::vector<std::string>& args) {
    Simulator sim;
    sim.Start(args, "", 10000);
    const int status = sim.Wait(10000);
    return {status, sim.stdout_line(), sim.Stderr()};
}

}  // namespace runner_test
