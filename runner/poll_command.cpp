// The poll mode: configure, load the plug-in, offer each device its newest stored
// round, then poll until done, given up or stopped by a signal.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <vector>

#include "child_process.h"
#include "commands.h"
#include "console.h"
#include "device_config.h"
#include "history_store.h"
#include "plugin_library.h"
#include "poller.h"
#include "round_runner.h"

namespace vimo {

namespace {

void Fail(const std::string& message) { Say("vimohost: " + message); }

// The simulator's log: its lines would bury the summary, but the last one says why it
// did not get ready. Removed with this object.
class SimulatorLog {
public:
    SimulatorLog() {
        const char* dir = std::getenv("TMPDIR");
        std::string name = std::string(dir && *dir ? dir : "/tmp") + "/vimohost-sim-XXXXXX";
        const int fd = mkstemp(&name[0]);
        if (fd < 0) return;
        close(fd);
        path_ = name;
    }
    ~SimulatorLog() { Remove(); }
    SimulatorLog(const SimulatorLog&) = delete;
    SimulatorLog& operator=(const SimulatorLog&) = delete;

    std::string path() const { return path_.empty() ? "/dev/null" : path_; }
    std::string LastLine() const {
        std::ifstream in(path_);
        std::string line, last;
        while (std::getline(in, line))
            if (!line.empty()) last = line;
        return last;
    }
    void Remove() {
        if (!path_.empty()) unlink(path_.c_str());
        path_.clear();
    }

private:
    std::string path_;
};

// Starts novexups-sim beside the program on a free loopback port and points the
// device flags at it.
bool StartSimulator(const PollOptions& options, Json::Value& flags, ChildProcess& simulator,
                    const SimulatorLog& log) {
    const std::string program = ProgramDirectory() + "/novexups-sim";
    if (access(program.c_str(), X_OK) != 0) {
        Fail("--simulate needs the simulator " + program + ", which is missing");
        return false;
    }
    std::vector<std::string> argv = {program, "--tcp", "0"};
    if (flags.isMember("slave")) {
        argv.push_back("--slave");
        argv.push_back(std::to_string(flags["slave"].asInt()));
    }
    if (!options.scenario.empty()) {
        argv.push_back("--scenario");
        argv.push_back(options.scenario);
    }
    ChildProcess::Options child;
    child.stderr_file = log.path();
    std::string error, line;
    if (!simulator.Start(argv, child, error)) {
        Fail("cannot start the simulator: " + error);
        return false;
    }
    const std::string prefix = "ready tcp ";
    if (!simulator.ReadLine(line, 10000) || line.compare(0, prefix.size(), prefix) != 0) {
        const int status = simulator.Stop(1000);
        const std::string why = log.LastLine();
        Fail("the simulator did not get ready (exit status " + std::to_string(status) +
             (why.empty() ? ")" : "): " + why));
        return false;
    }
    flags["transport"] = "tcp";
    flags["port"] = line.substr(prefix.size());
    Say("vimohost: simulator (pid " + std::to_string(simulator.pid()) + ") ready on " +
        line.substr(prefix.size()));
    return true;
}

// Waits for the line threads, or for SIGINT/SIGTERM, which stop them after their
// current exchange. False on a second signal: the threads may still be in an exchange.
bool WaitForPoller(Poller& poller, const sigset_t& signals) {
    bool stopping = false;
    while (!poller.Finished()) {
        timespec tick{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
            if (stopping) return false;
            Say("vimohost: stopping");
            poller.Stop();
            stopping = true;
        }
    }
    poller.Join();
    return true;
}

}  // namespace

int RunPoll(const PollOptions& options) {
    // Signals are taken by the main thread alone: block them before any thread (line
    // threads, SQLite's) exists, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<DeviceConfig> configs;
    std::string error;
    SimulatorLog simulator_log;  // outlives the simulator
    ChildProcess simulator;
    if (!options.config_file.empty()) {
        if (!LoadDeviceConfigFile(options.config_file, configs, error)) {
            Fail(error);
            return kExitUsage;
        }
    } else {
        Json::Value flags = options.device_flags;
        if (options.simulate && !StartSimulator(options, flags, simulator, simulator_log))
            return kExitFailure;
        DeviceConfig config;
        if (!DeviceConfigFromFlags(flags, config, error)) {
            Fail(error);
            return kExitUsage;
        }
        configs.push_back(config);
    }

    std::unique_ptr<PluginLibrary> plugin = PluginLibrary::Load(PluginPath(options.plugin), error);
    if (!plugin) {
        Fail(error);
        return kExitFailure;
    }
    // Sessions hold devices whose code lives in the plug-in: they go before it does.
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    std::vector<DeviceSession*> polled;
    for (size_t i = 0; i < configs.size(); ++i) {
        std::unique_ptr<DeviceSession> session =
            DeviceSession::Create(*plugin, configs[i], nullptr, error);
        if (!session) {
            Fail((options.config_file.empty() ? std::string("device")
                                              : options.config_file + ": device " +
                                                    std::to_string(i + 1)) +
                 " (" + configs[i].name + "): " + error);
            return kExitUsage;
        }
        polled.push_back(session.get());
        sessions.push_back(std::move(session));
    }

    PollSettings settings;
    settings.rounds = options.rounds;
    settings.max_failures = options.max_failures;
    settings.status_out = options.status_out;
    Poller poller;
    if (!poller.Setup(polled, settings, error)) {
        Fail(options.config_file.empty() ? error : options.config_file + ": " + error);
        return kExitUsage;
    }
    if (!poller.Claim(error)) {
        Fail(error);
        return kExitFailure;
    }

    // The history file is made only once the configuration has been accepted.
    std::unique_ptr<HistoryStore> history;
    if (options.history) {
        history = HistoryStore::Open(options.history_file, false, error);
        if (!history) {
            Fail(error);
            return kExitFailure;
        }
    }
    for (DeviceSession* session : polled) {
        if (!history) break;
        session->host().AttachHistory(history.get());
        session->host().RestoreAlarms();
        const std::optional<StoredRound> newest = history->Newest(session->config().data_id);
        if (!newest) continue;
        if (!session->Replay(*newest, error)) {
            Say("[" + session->config().name + "] " + error + "; starting without it");
            continue;
        }
        poller.PublishLoaded(*session, "ready from the stored round of " + newest->time);
    }
    poller.Start();
    if (!WaitForPoller(poller, signals)) {
        // An exchange may wait out a long response timeout; whoever signals twice does
        // not want to wait. The history loses nothing SQLite committed.
        Say("vimohost: stopping at once");
        if (simulator.running()) simulator.Stop(100);
        simulator_log.Remove();
        std::_Exit(kExitInterrupted);
    }
    const int exit_code = poller.GaveUp() ? kExitGaveUp : kExitOk;
    sessions.clear();
    plugin.reset();
    if (simulator.running()) simulator.Stop();
    return exit_code;
}

}  // namespace vimo
