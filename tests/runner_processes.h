// Programs the runner tests start: vimohost runs to its end with its output in files,
// the simulator runs beside it until the test stops it by its process id.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "tests/sim_process.h"
#include "tests/test_program.h"

namespace runner_test {

inline std::string BuildDir() {
    const char* dir = std::getenv("NOVEX_BUILD_DIR");
    return dir ? dir : ".";
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A loopback port of `type` that was free when asked: the peer takes it a moment later.
inline int FreePort(int type = SOCK_STREAM) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// How a program the test starts writes its standard output and error to files, where
// the test reads them (and a failure shows them).
inline vimo::ChildProcess::Options OutputIn(const std::string& out, const std::string& err) {
    vimo::ChildProcess::Options options;
    options.capture_stdout = false;
    options.stdout_file = out;
    options.stderr_file = err;
    return options;
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline size_t CountLines(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (const std::string& line : Lines(text))
        if (line.find(part) != std::string::npos) ++n;
    return n;
}

// A fresh directory for one test, removed with its files afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vimohost-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "/tmp";
    }
    ~TempDir() {
        std::error_code ignored;
        if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The tests read every round's summary line, which vimohost shows from --log-level info
// on; `history` takes no such option.
inline std::vector<std::string> WithRounds(std::vector<std::string> args) {
    if (args.empty() || (args[0] != "history" && args[0] != "check-config"))
        args.insert(args.begin(), {"--log-level", "info"});
    return args;
}

struct Outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs build/vimohost with `args` to its end (at most `timeout_ms`), output in `dir`,
// in the working directory `cwd` (empty: the test's).
inline Outcome RunVimohost(const std::vector<std::string>& args, const TempDir& dir,
                       int timeout_ms = 60000, const std::string& cwd = "") {
    std::vector<std::string> argv = novex_test::ProgramCommand(BuildDir() + "/vimohost");
    const std::vector<std::string> shown = WithRounds(args);
    argv.insert(argv.end(), shown.begin(), shown.end());
    vimo::ChildProcess::Options options = OutputIn(dir / "vimohost.out", dir / "vimohost.err");
    options.cwd = cwd;
    vimo::ChildProcess child;
    std::string error;
    Outcome run;
    if (!child.Start(argv, options, error)) {
        ADD_FAILURE() << error;
        return run;
    }
    run.exit_code = child.Wait(timeout_ms);
    if (run.exit_code == -1) {
        child.Stop(1000);
        ADD_FAILURE() << "vimohost did not finish in " << timeout_ms << " ms";
    }
    run.out = ReadFile(dir / "vimohost.out");
    run.err = ReadFile(dir / "vimohost.err");
    return run;
}

// Starts build/vimohost with `args` beside the test, its output in `dir` ("out", "err").
inline bool StartVimohost(vimo::ChildProcess& vimohost, const TempDir& dir,
                          const std::vector<std::string>& args) {
    std::vector<std::string> argv = novex_test::ProgramCommand(BuildDir() + "/vimohost");
    const std::vector<std::string> shown = WithRounds(args);
    argv.insert(argv.end(), shown.begin(), shown.end());
    std::string error;
    EXPECT_TRUE(vimohost.Start(argv, OutputIn(dir / "out", dir / "err"), error)) << error;
    return vimohost.running();
}

// Whether a line of the file holds `part` within 10 s.
// Polls `done` until it holds or `ms` have passed.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool WaitForLine(const std::string& path, const std::string& part) {
    for (int i = 0; i < 500; ++i) {
        if (CountLines(ReadFile(path), part) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace runner_test
