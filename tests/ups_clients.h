// Debian's UPS clients (package nut-client) as peers of a test: upsc run to its end,
// upsmon run in the foreground as a primary with a configuration of the test's own,
// stopped by its process id. A test whose client is missing skips and says so.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"

namespace ups_clients {

inline std::string FindProgram(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates)
        if (access(path.c_str(), X_OK) == 0) return path;
    return "";
}

inline std::string Upsc() { return FindProgram({"/usr/bin/upsc", "/bin/upsc"}); }

// Debian's /usr/sbin/upsmon is a wrapper that consults /etc/nut/nut.conf, so the
// program itself is run.
inline std::string UpsmonProgram() {
    return FindProgram({"/lib/nut/upsmon", "/usr/lib/nut/upsmon"});
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits until `done` holds, at most `seconds`, looking every 100 ms.
inline bool Eventually(const std::function<bool()>& done, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return done();
}

struct Run {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs a client to its end (10 s at most for its output, 10 s for its exit).
inline Run RunClient(const std::vector<std::string>& argv) {
    char err_path[] = "/tmp/protocol-client-XXXXXX";
    close(mkstemp(err_path));
    vimo::ChildProcess child;
    vimo::ChildProcess::Options options;
    options.stderr_file = err_path;
    Run run;
    std::string error, line;
    if (!child.Start(argv, options, error)) {
        run.err = error;
        unlink(err_path);
        return run;
    }
    while (child.ReadLine(line, 10000)) run.out += line + "\n";
    run.exit_code = child.Wait(10000);
    if (run.exit_code == -1) child.Stop(1000);
    run.err = ReadText(err_path);
    unlink(err_path);
    return run;
}

// upsmon as the primary of one UPS, in the foreground, with everything in a fresh
// directory: its configuration (NUT_CONFPATH points it there), a NOTIFYCMD that
// appends each notification type to notify.log, a SHUTDOWNCMD that creates the file
// "shutdown", short poll intervals and no final delay. Stopped by its process id.
class Upsmon {
public:
    Upsmon() {
        char pattern[] = "/tmp/protocol-upsmon-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made ? made : "";
    }
    ~Upsmon() {
        Stop();
        if (!keep_ && !dir_.empty()) std::filesystem::remove_all(dir_);
    }
    Upsmon(const Upsmon&) = delete;
    Upsmon& operator=(const Upsmon&) = delete;

    // Whether this machine can run the test: Debian's upsmon and root (it then runs
    // as one root process instead of dropping privileges into a second one).
    static bool Available() { return !UpsmonProgram().empty() && geteuid() == 0; }

    // `ups` is NAME@HOST:PORT; `user` and `password` one of the server's users, monitoring
    // as `role` ("primary" or "secondary"); `extra`: more configuration lines (TLS
    // settings, a later HOSTSYNC).
    bool Start(const std::string& ups, const std::string& user, const std::string& password,
               std::string& error, const std::string& extra = "", const std::string& role = "primary") {
        if (dir_.empty()) {
            error = "no temporary directory";
            return false;
        }
        std::ofstream(dir_ + "/notify.sh")
            << "#!/bin/sh\necho \"$NOTIFYTYPE\" >> " << dir_ << "/notify.log\n";
        chmod((dir_ + "/notify.sh").c_str(), 0755);
        std::ofstream(dir_ + "/nut.conf") << "MODE=netclient\n";
        std::ofstream conf(dir_ + "/upsmon.conf");
        conf << "MONITOR " << ups << " 1 " << user << " " << password << " " << role << "\n"
             << "MINSUPPLIES 1\nRUN_AS_USER root\n"
             << "SHUTDOWNCMD \"/usr/bin/touch " << dir_ << "/shutdown\"\n"
             << "NOTIFYCMD " << dir_ << "/notify.sh\n"
             << "POWERDOWNFLAG " << dir_ << "/killpower\n"
             << "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 3\nHOSTSYNC 1\nFINALDELAY 0\n"
             << "NOCOMMWARNTIME 2\n" << extra;
        for (const char* event :
             {"ONLINE", "ONBATT", "LOWBATT", "FSD", "COMMOK", "COMMBAD", "SHUTDOWN", "NOCOMM"})
            conf << "NOTIFYFLAG " << event << " EXEC\n";
        conf.close();
        chmod((dir_ + "/upsmon.conf").c_str(), 0600);
        setenv("NUT_CONFPATH", dir_.c_str(), 1);
        setenv("NUT_STATEPATH", dir_.c_str(), 1);
        // upsmon refuses to start while the pid file names a live upsmon: another
        // test's, perhaps of another build on this machine. Its turn comes first.
        const auto free = [] {
            const std::string pid = ReadText(kPidFile);
            return pid.empty() || kill(std::atoi(pid.c_str()), 0) != 0;
        };
        if (!Eventually(free, 60)) {
            error = "another upsmon runs (" + std::string(kPidFile) + ")";
            return false;
        }
        vimo::ChildProcess::Options options;
        options.capture_stdout = false;
        options.stdout_file = dir_ + "/upsmon.out";
        options.stderr_file = dir_ + "/upsmon.err";
        return child_.Start({UpsmonProgram(), "-D", "-F", "-p"}, options, error);
    }

    // SIGTERM by process id; a pid file naming this upsmon is removed.
    void Stop() {
        if (!child_.running()) return;
        const pid_t pid = child_.pid();
        child_.Stop(2000);
        if (ReadText(kPidFile) == std::to_string(pid) + "\n") unlink(kPidFile);
        unsetenv("NUT_CONFPATH");
        unsetenv("NUT_STATEPATH");
    }

    // The notification types so far, one a line, in order.
    std::string Notified() const { return ReadText(dir_ + "/notify.log"); }
    bool Notified(const std::string& type) const {
        return ("\n" + Notified()).find("\n" + type + "\n") != std::string::npos;
    }
    // An NSS database trusting `ca_file` only, made with certutil (libnss3-tools) in
    // this upsmon's directory, for its CERTPATH. "" when certutil is missing.
    std::string TrustOnly(const std::string& ca_file) const {
        const std::string db = dir_ + "/nss";
        const std::string certutil = FindProgram({"/usr/bin/certutil"});
        if (certutil.empty() || mkdir(db.c_str(), 0700) != 0) return "";
        const std::string run = certutil + " -d sql:" + db;
        const int rc = std::system((run + " -N --empty-password >/dev/null 2>&1 && " + run +
                                    " -A -n test-ca -t C,, -i " + ca_file + " >/dev/null 2>&1").c_str());
        return rc == 0 ? db : "";
    }
    bool ShutdownRan() const { return access((dir_ + "/shutdown").c_str(), F_OK) == 0; }
    // What upsmon said, for failure messages; keeps the directory for a look later.
    std::string Output() {
        keep_ = true;
        return "upsmon in " + dir_ + ":\n" + ReadText(dir_ + "/upsmon.out") +
               ReadText(dir_ + "/upsmon.err") + "notified:\n" + Notified();
    }

private:
    // Where upsmon keeps its pid whatever the environment says: one per machine.
    static constexpr const char* kPidFile = "/run/nut/upsmon.pid";
    std::string dir_;
    bool keep_ = false;
    vimo::ChildProcess child_;
};

}  // namespace ups_clients
