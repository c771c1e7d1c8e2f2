// The poll mode: configure, load the plug-in, offer each device its newest stored
// round, then poll until done, given up or stopped by a signal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "child_process.h"
#include "commands.h"
#include "console.h"
#include "device_config.h"
#include "event_hooks.h"
#include "history_store.h"
#include "published_state.h"
#include "status_output.h"
#include "plugin_library.h"
#include "poller.h"
#include "protocol_feed.h"
#include "web_feed.h"
#include "device_session.h"

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

namespace {

// How long an orderly exit lets the hooks work off the events already queued.
constexpr int kHookDrainMs = 5000;

// What a poll run holds, in the order it is made. Members go in reverse: the poller
// and the sessions (devices whose code lives in the plug-in) before the plug-in, the
// history and the hooks after the sessions and the poller that use them, the
// simulator last.
struct PollRun {
    explicit PollRun(const PollOptions& o) : options(o) {}

    const PollOptions& options;
    sigset_t signals{};
    SimulatorLog simulator_log;  // outlives the simulator
    ChildProcess simulator;
    std::vector<DeviceConfig> configs;
    ProgramConfig program;
    std::unique_ptr<EventHooks> hooks;
    PublishedState state;
    std::unique_ptr<ProtocolFeed> protocol;
    std::unique_ptr<WebFeed> web;
    std::unique_ptr<HistoryStore> history;
    std::unique_ptr<PluginLibrary> plugin;
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    std::vector<DeviceSession*> polled;
    Poller poller;
};

// Each step returns -1 to go on, otherwise the exit code.

// --status-out into a directory that is missing or not writable would fail every
// round: refused at start instead.
int CheckStatusOut(PollRun& run) {
    std::string error;
    if (run.options.status_out.empty() || CheckStatusPath(run.options.status_out, error))
        return -1;
    Fail(error);
    return kExitUsage;
}

// The devices: from --config, or one from the flags (after starting the simulator).
int LoadConfigurations(PollRun& run) {
    std::string error;
    if (!run.options.config_file.empty()) {
        if (!LoadDeviceConfigFile(run.options.config_file, run.configs, run.program, error)) {
            Fail(error);
            return kExitUsage;
        }
        return -1;
    }
    Json::Value flags = run.options.device_flags;
    if (run.options.simulate &&
        !StartSimulator(run.options, flags, run.simulator, run.simulator_log))
        return kExitFailure;
    DeviceConfig config;
    if (!DeviceConfigFromFlags(flags, config, error)) {
        Fail(error);
        return kExitUsage;
    }
    run.configs.push_back(config);
    return -1;
}

// The hook runner, when --on-event or "on_event" names a program; the flags win.
int StartHooks(PollRun& run) {
    const PollOptions& options = run.options;
    HookOptions hook;
    if (!options.on_event.empty()) {
        hook.argv = {options.on_event};
        hook.argv.insert(hook.argv.end(), options.on_event_args.begin(),
                         options.on_event_args.end());
    } else {
        hook.argv = run.program.on_event;
    }
    if (hook.argv.empty()) return -1;
    if (options.on_event_timeout_ms > 0) hook.time_limit_ms = options.on_event_timeout_ms;
    else if (run.program.on_event_timeout_ms > 0) hook.time_limit_ms = run.program.on_event_timeout_ms;
    run.hooks = std::make_unique<EventHooks>(hook);
    std::string error;
    if (!run.hooks->Start(error)) {
        Fail("--on-event: " + error);
        run.hooks.reset();
        return kExitUsage;
    }
    run.state.AttachHooks(run.hooks.get());
    return -1;
}

// Loads the plug-in, creates a device session each and puts them on their lines.
int OpenSessions(PollRun& run) {
    const PollOptions& options = run.options;
    std::string error;
    run.plugin = PluginLibrary::Load(PluginPath(options.plugin), error);
    if (!run.plugin) {
        Fail(error);
        return kExitFailure;
    }
    for (size_t i = 0; i < run.configs.size(); ++i) {
        std::unique_ptr<DeviceSession> session =
            DeviceSession::Create(*run.plugin, run.configs[i], nullptr, error);
        if (!session) {
            Fail((options.config_file.empty() ? std::string("device")
                                              : options.config_file + ": device " +
                                                    std::to_string(i + 1)) +
                 " (" + run.configs[i].name + "): " + error);
            return kExitUsage;
        }
        run.polled.push_back(session.get());
        run.sessions.push_back(std::move(session));
    }
    PollSettings settings;
    settings.rounds = options.rounds;
    settings.max_failures = options.max_failures;
    settings.status_out = options.status_out;
    settings.state = &run.state;
    settings.hooks = run.hooks.get();
    if (!run.poller.Setup(run.polled, settings, error)) {
        Fail(options.config_file.empty() ? error : options.config_file + ": " + error);
        return kExitUsage;
    }
    if (!run.poller.Claim(error)) {
        Fail(error);
        return kExitFailure;
    }
    return -1;
}

// The UPS protocol server, when --protocol-listen or "protocol_listen" asks for it
// (the flags win): listening before the first round, fed from the board.
int StartProtocol(PollRun& run) {
    const PollOptions& options = run.options;
    const std::string listen =
        options.protocol_listen.empty() ? run.program.protocol_listen : options.protocol_listen;
    const std::string users =
        options.protocol_users.empty() ? run.program.protocol_users : options.protocol_users;
    if (listen.empty()) {
        if (users.empty()) return -1;
        Fail("--protocol-users is for --protocol-listen");
        return kExitUsage;
    }
    std::string error;
    run.protocol = ProtocolFeed::Create(listen, users, error);
    if (!run.protocol) {
        Fail("--protocol-listen: " + error);
        return kExitUsage;
    }
    if (!run.protocol->Start(run.state, run.configs, error)) {
        Fail("--protocol-listen: " + error);
        return kExitFailure;
    }
    Say("vimohost: UPS protocol server on " + run.protocol->Address());
    return -1;
}

// The web face, when --listen or "listen" asks for it (the flags win): listening
// before the first round, reading the board. The devices' communication-loss windows
// decide /healthz.
int StartWeb(PollRun& run) {
    const PollOptions& options = run.options;
    const std::string listen = options.listen.empty() ? run.program.listen : options.listen;
    const std::string token = options.http_token_file.empty() ? run.program.http_token_file
                                                              : options.http_token_file;
    if (listen.empty()) {
        if (token.empty()) return -1;
        Fail("--http-token-file is for --listen");
        return kExitUsage;
    }
    // The errors name their option ("listen: ...", "token file F: ..."), and the
    // configuration file when it was the one that asked.
    const std::string origin =
        options.listen.empty() && options.http_token_file.empty() ? options.config_file + ": " : "";
    std::string error;
    run.web = WebFeed::Create(listen, token, error);
    if (!run.web) {
        Fail(origin + error);
        return kExitUsage;
    }
    std::vector<double> windows;
    for (DeviceSession* session : run.polled) {
        const PortSettings& port = session->device().port_settings;
        windows.push_back(std::max(port.interval_ms, 1000) / 1000.0 * port.comm_loss_intervals);
    }
    if (!run.web->Start(run.state, windows, error)) {
        Fail(origin + error);
        return kExitFailure;
    }
    Say("vimohost: status page on http://" + run.web->Address() + "/");
    return -1;
}

// Opens the history (only once the configuration has been accepted) and offers each
// device its newest stored round and its active alarms.
int OfferStoredRounds(PollRun& run) {
    if (!run.options.history) return -1;
    std::string error;
    run.history = HistoryStore::Open(run.options.history_file, false, error);
    if (!run.history) {
        Fail(error);
        return kExitFailure;
    }
    run.poller.AttachHistory(run.history.get());
    for (DeviceSession* session : run.polled) {
        session->host().AttachHistory(run.history.get());
        session->host().RestoreAlarms();
        run.poller.RestoreAlarms(*session, run.history->ActiveAlarms(session->config().data_id));
        const std::optional<StoredRound> newest = run.history->Newest(session->config().data_id);
        if (!newest) continue;
        if (!session->Replay(*newest, error)) {
            Say("[" + session->config().name + "] " + error + "; starting without it");
            continue;
        }
        run.poller.PublishLoaded(*session, newest->time);
    }
    return -1;
}

// Polls until done, given up or signalled.
int Poll(PollRun& run) {
    run.poller.Start();
    if (!WaitForPoller(run.poller, run.signals)) {
        // An exchange may wait out a long response timeout; whoever signals twice does
        // not want to wait. The history loses nothing SQLite committed.
        Say("vimohost: stopping at once");
        if (run.simulator.running()) run.simulator.Stop(100);
        run.simulator_log.Remove();
        std::_Exit(kExitInterrupted);
    }
    const int exit_code = run.poller.GaveUp() ? kExitGaveUp : kExitOk;
    if (run.hooks) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHookDrainMs);
        while (!run.hooks->Idle() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        run.hooks->Stop(0);
    }
    if (run.protocol) run.protocol->Stop();
    if (run.web) run.web->Stop();
    run.sessions.clear();
    run.plugin.reset();
    if (run.simulator.running()) run.simulator.Stop();
    return exit_code;
}

}  // namespace

int RunPoll(const PollOptions& options) {
    PollRun run(options);
    // Signals are taken by the main thread alone: block them before any thread (line
    // threads, SQLite's) exists, so that every thread inherits the mask.
    sigemptyset(&run.signals);
    sigaddset(&run.signals, SIGINT);
    sigaddset(&run.signals, SIGTERM);
    sigaddset(&run.signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &run.signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The steps, in order.
    int (*const steps[])(PollRun&) = {CheckStatusOut, LoadConfigurations, StartHooks,
                                      OpenSessions,   StartProtocol,      StartWeb,
                                      OfferStoredRounds, Poll};
    for (const auto step : steps) {
        const int exit_code = step(run);
        if (exit_code >= 0) return exit_code;
    }
    return kExitOk;
}

}  // namespace vimo
