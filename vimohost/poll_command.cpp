// The poll mode: configure, load the plug-in, offer each device its newest stored
// round, then poll until done, given up or stopped by a signal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <chrono>
#include <sstream>
#include <memory>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "vimohost/commands.h"
#include "common/console.h"
#include "config/device_config.h"
#include "hooks/event_hooks.h"
#include "history/store.h"
#include "history/writer.h"
#include "monitor/snapshot_board.h"
#include "poll/status_output.h"
#include "session/plugin_library.h"
#include "poll/poller.h"
#include "protocol/feed.h"
#include "snmp/agent.h"
#include "web/feed.h"
#include "web/history_source.h"
#include "session/device_session.h"
#include "poll/reload_plan.h"
#include "vimohost/service_notify.h"

namespace vimo {

namespace {

void Fail(const std::string& message) { Say(Level::kError, "vimohost: " + message); }

// The simulator's log: its lines would bury the summary, but the last one says why it
// did not get ready. A file in $TMPDIR, else /tmp, unlinked as soon as the simulator
// has it open, so that nothing is left behind even after SIGKILL; read through the
// descriptor kept. Where no file can be made, the simulator writes to our standard
// error, so its reason is still shown.
class SimulatorLog {
public:
    SimulatorLog() {
        const char* dir = std::getenv("TMPDIR");
        const std::string places[] = {dir && *dir ? dir : "/tmp", "/tmp"};
        for (const std::string& place : places) {
            std::string name = place + "/vimohost-sim-XXXXXX";
            fd_ = mkstemp(&name[0]);
            if (fd_ < 0) continue;
            path_ = name;
            return;
        }
    }
    ~SimulatorLog() {
        Unlink();
        if (fd_ >= 0) close(fd_);
    }
    SimulatorLog(const SimulatorLog&) = delete;
    SimulatorLog& operator=(const SimulatorLog&) = delete;

    // Where the simulator's standard error goes: "" for ours.
    std::string path() const { return path_; }
    std::string LastLine() const {
        std::string text, last;
        char buffer[4096];
        ssize_t n = 0;
        for (off_t at = 0; fd_ >= 0 && (n = pread(fd_, buffer, sizeof buffer, at)) > 0; at += n)
            text.append(buffer, static_cast<size_t>(n));
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) last = line;
        return last;
    }
    void Unlink() {
        if (!path_.empty()) unlink(path_.c_str());
        path_.clear();
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Starts novexups-sim beside the program on a free loopback port and points the
// device flags at it.
bool StartSimulator(const PollOptions& options, Json::Value& flags, ChildProcess& simulator,
                    SimulatorLog& log) {
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
    const bool answered = simulator.ReadLine(line, 10000);
    // The simulator opened its log before it could say anything or end.
    log.Unlink();
    if (!answered || line.compare(0, prefix.size(), prefix) != 0) {
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

}  // namespace

namespace {

// How long an orderly exit lets the hooks work off the events already queued.
constexpr int kHookDrainMs = 5000;
// How often the service manager's status line is renewed.
constexpr auto kStatusEvery = std::chrono::seconds(5);

// The devices of one line and the thread that polls them; a reload starts and stops
// whole lines (reload_plan.h). The poller goes before the sessions it polls.
struct RunningLine {
    LineConfig config;
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    std::unique_ptr<Poller> poller;
};

// What a poll run holds, in the order it is made. Members go in reverse: the lines
// (devices whose code lives in the plug-in) before the plug-in, the history and the
// hooks after the lines that use them, the simulator last.
struct PollRun {
    explicit PollRun(const PollOptions& o) : options(o) {}

    const PollOptions& options;
    sigset_t signals{};
    ServiceNotifier notifier = ServiceNotifier::FromEnvironment();
    std::unique_ptr<SimulatorLog> simulator_log;  // with --simulate; outlives the simulator
    ChildProcess simulator;
    std::vector<DeviceConfig> configs;
    ProgramConfig program;
    std::unique_ptr<EventHooks> hooks;
    PublishedState state;
    std::unique_ptr<ProtocolFeed> protocol;
    std::unique_ptr<WebHistory> web_history;  // outlives the web face that reads it
    std::unique_ptr<WebFeed> web;
    std::unique_ptr<SnmpAgent> snmp;
    std::unique_ptr<HistoryStore> history;
    std::unique_ptr<HistoryWriter> writer;  // outlives the sessions that hand it rounds
    RetentionSettings retention;
    std::unique_ptr<PluginLibrary> plugin;
    std::vector<std::unique_ptr<RunningLine>> lines;
};

// "FILE: device 2 (ups2)" or "device (ups1)": where a device's error comes from.
std::string DeviceOrigin(const PollRun& run, size_t position, const std::string& name) {
    return (run.options.config_file.empty()
                ? std::string("device")
                : run.options.config_file + ": device " + std::to_string(position)) +
           " (" + name + ")";
}

// Creates the line's device sessions; false with the error line in `error`.
bool CreateSessions(const PollRun& run, RunningLine& line, std::string& error) {
    for (size_t i = 0; i < line.config.devices.size(); ++i) {
        std::unique_ptr<DeviceSession> session =
            DeviceSession::Create(*run.plugin, line.config.devices[i], nullptr, error);
        if (!session) {
            error = DeviceOrigin(run, line.config.positions[i], line.config.devices[i].name) +
                    ": " + error;
            return false;
        }
        line.sessions.push_back(std::move(session));
    }
    return true;
}

// Sets up the poller of a line whose sessions exist and claims its serial port. -1 or
// the exit code, with the error line said.
int OpenLine(PollRun& run, RunningLine& line) {
    std::string error;
    std::vector<DeviceSession*> polled;
    for (const auto& session : line.sessions) polled.push_back(session.get());
    PollSettings settings;
    settings.rounds = run.options.rounds;
    settings.max_failures = run.options.max_failures;
    settings.status_out = run.options.status_out;
    settings.several_devices = run.configs.size() > 1;
    settings.state = &run.state;
    settings.hooks = run.hooks.get();
    line.poller = std::make_unique<Poller>();
    if (!line.poller->Setup(polled, settings, error)) {
        Fail(run.options.config_file.empty() ? error : run.options.config_file + ": " + error);
        return kExitUsage;
    }
    if (!line.poller->Claim(error)) {
        Fail(error);
        return kExitFailure;
    }
    return -1;
}

// Offers each device of the line its newest stored round and its active alarms.
void OfferStoredRounds(PollRun& run, RunningLine& line) {
    if (!run.history) return;
    // The line thread's totals count the rounds stored: let the queue empty first.
    HistoryWriter* writer = run.writer.get();
    line.poller->SetBeforeTotals([writer] { writer->Flush(std::chrono::seconds(10)); });
    line.poller->AttachHistory(run.history.get(), writer);
    std::string error;
    for (const auto& session : line.sessions) {
        if (!run.history->SetDeviceName(session->config().data_id, session->config().name, error))
            Say(Level::kWarning, "vimohost: history: " + error);
        session->host().AttachHistory(run.history.get(), writer);
        session->host().RestoreAlarms();
        line.poller->RestoreAlarms(*session, run.history->ActiveAlarms(session->config().data_id));
        const std::optional<StoredRound> newest = run.history->Newest(session->config().data_id);
        if (!newest) continue;
        if (!session->Replay(*newest, error)) {
            Say(Level::kWarning, "[" + session->config().name + "] " + error +
                                     "; starting without it");
            continue;
        }
        line.poller->PublishLoaded(*session, newest->time);
    }
}

// Stops a line's thread and takes its devices off the board.
void StopLine(PollRun& run, RunningLine& line) {
    line.poller->Stop();
    line.poller->Join();
    for (size_t slot : line.poller->Slots()) run.state.Retire(slot);
}

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

// Each file --status-out will replace must be missing or a regular file, and none may
// be the history; temporary files that killed runs left beside them are removed.
int CheckStatusTargets(PollRun& run) {
    const std::string& base = run.options.status_out;
    if (base.empty()) return -1;
    std::vector<std::string> paths;
    if (run.configs.size() > 1)
        for (const DeviceConfig& c : run.configs)
            paths.push_back(base + "." + std::to_string(c.data_id));
    else
        paths.push_back(base);
    std::string error;
    for (const std::string& path : paths) {
        if (!CheckStatusTarget(path, error)) {
            Fail(error);
            return kExitUsage;
        }
        if (run.options.history && SameFile(path, run.options.history_file)) {
            Fail("--status-out " + path + " is the history file; give another file");
            return kExitUsage;
        }
        const int removed = RemoveStaleTemporaries(path);
        if (removed > 0)
            Say(Level::kInfo, "vimohost: removed " + std::to_string(removed) +
                                  " temporary files that an earlier run left beside " + path);
    }
    return -1;
}

// The devices: from --config, or one from the flags (after starting the simulator).
int LoadConfigurations(PollRun& run) {
    std::string error;
    run.retention = run.options.retention;
    if (!run.options.config_file.empty()) {
        if (!LoadDeviceConfigFile(run.options.config_file, run.configs, run.program, error)) {
            Fail(error);
            return kExitUsage;
        }
        // Checked when the file was read; the flags win.
        ParseRetention(run.program.history, run.retention, run.options.keep_given,
                       run.options.max_size_given, run.options.keep_events_given, error);
        if (run.configs.empty())
            Say("vimohost: " + run.options.config_file +
                " lists no devices; waiting for a reload (SIGHUP)");
        return -1;
    }
    Json::Value flags = run.options.device_flags;
    if (run.options.simulate) {
        run.simulator_log = std::make_unique<SimulatorLog>();
        if (!StartSimulator(run.options, flags, run.simulator, *run.simulator_log))
            return kExitFailure;
    }
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
    return -1;
}

// Loads the plug-in, creates a device session each and puts them on their lines.
int OpenSessions(PollRun& run) {
    std::string error;
    run.plugin = PluginLibrary::Load(PluginPath(run.options.plugin), error);
    if (!run.plugin) {
        Fail(error);
        return kExitFailure;
    }
    for (LineConfig& config : GroupByLine(run.configs)) {
        run.lines.push_back(std::make_unique<RunningLine>());
        run.lines.back()->config = std::move(config);
        if (!CreateSessions(run, *run.lines.back(), error)) {
            Fail(error);
            return kExitUsage;
        }
        const int exit_code = OpenLine(run, *run.lines.back());
        if (exit_code >= 0) return exit_code;
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

// The SNMP subagent, when --snmp-agentx or "snmp": {"agentx": ...} asks for it (the
// flag wins): subscribed before the first round; it reaches the master by itself.
int StartSnmp(PollRun& run) {
    const std::string agentx =
        run.options.snmp_agentx.empty() ? run.program.snmp_agentx : run.options.snmp_agentx;
    if (agentx.empty()) return -1;
    std::string error;
    run.snmp = SnmpAgent::Start(agentx, run.state, run.configs, error);
    if (!run.snmp) {
        Fail("--snmp-agentx: " + error);
        return kExitUsage;
    }
    return -1;
}

// A device's communication-loss window in seconds, which decides the web face's
// /healthz.
double LossWindow(DeviceSession& session) {
    const PortSettings& port = session.device().port_settings;
    return std::max(port.interval_ms, 1000) / 1000.0 * port.comm_loss_intervals;
}

// The web face, when --listen or "listen" asks for it (the flags win): listening
// before the first round, reading the board.
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
    for (const auto& line : run.lines)
        for (const auto& session : line->sessions) windows.push_back(LossWindow(*session));
    // The hook runner, if any, exists before the first round and outlives the web face.
    run.web->SetHookCounters([&run](uint64_t& runs, uint64_t& failures) {
        if (!run.hooks) return;
        const HookCounters counters = run.hooks->Counters();
        runs = counters.runs;
        failures = counters.failures;
    });
    if (!run.web->Start(run.state, windows, error)) {
        Fail(origin + error);
        return kExitFailure;
    }
    Say("vimohost: status page on http://" + run.web->Address() + "/");
    return -1;
}

// Opens the history (only once the configuration has been accepted) and offers each
// device its newest stored round and its active alarms.
int OpenHistory(PollRun& run) {
    if (!run.options.history) return -1;
    std::string error;
    run.history = HistoryStore::Open(run.options.history_file, false, error);
    if (!run.history) {
        Fail(error);
        return kExitFailure;
    }
    // A damaged file would take no round and say nothing of it.
    if (!run.history->QuickCheck(error)) {
        Fail("history " + run.options.history_file + ": " + error +
             "; move it aside or give another --history");
        return kExitFailure;
    }
    HistoryWriterOptions writing;
    writing.retention = run.retention;
    writing.verbose = run.options.verbose;
    run.writer = std::make_unique<HistoryWriter>(*run.history, writing);
    for (const auto& line : run.lines) OfferStoredRounds(run, *line);
    if (run.web) {
        // Readings and events for the page and the API, on a connection of their own.
        run.web_history = WebHistory::Open(run.options.history_file, error);
        if (run.web_history)
            run.web->AttachHistory(run.web_history.get());
        else
            Say(Level::kWarning, "vimohost: the web face serves no history: " + error);
    }
    return -1;
}

// Names a started line's devices to the UPS protocol server, before their first round.
void ServeOnProtocol(PollRun& run, const RunningLine& line) {
    if (!run.protocol) return;
    std::string error;
    for (const Snapshot& s : run.state.Snapshots())
        for (const DeviceConfig& device : line.config.devices)
            if (device.data_id == s->data_id && !run.protocol->AddDevice(device, s->line, error))
                Say(Level::kWarning, "vimohost: protocol server: " + error);
}

// SIGHUP: reads the configuration file again and restarts the lines whose devices
// changed. A file that does not load, or devices the plug-in refuses, leave the running
// configuration as it is.
void Reload(PollRun& run) {
    if (run.options.config_file.empty()) {
        Say(Level::kWarning, "vimohost: reload: there is no --config file to read again");
        return;
    }
    std::vector<DeviceConfig> configs;
    ProgramConfig program;
    std::string error;
    if (!LoadDeviceConfigFile(run.options.config_file, configs, program, error)) {
        Say(Level::kError, "vimohost: reload refused, the running configuration stays: " + error);
        return;
    }
    std::vector<LineConfig> running;
    for (const auto& line : run.lines) running.push_back(line->config);
    std::vector<LineConfig> wanted = GroupByLine(configs);
    const ReloadPlan plan = PlanReload(running, wanted);
    // The new devices are made before anything stops, so that one the plug-in refuses
    // refuses the whole reload.
    std::vector<std::unique_ptr<RunningLine>> starting;
    for (size_t w : plan.start) {
        starting.push_back(std::make_unique<RunningLine>());
        starting.back()->config = std::move(wanted[w]);
        if (!CreateSessions(run, *starting.back(), error)) {
            Say(Level::kError, "vimohost: reload refused, the running configuration stays: " + error);
            return;
        }
    }
    const ProgramConfig& was = run.program;
    if (program.on_event != was.on_event || program.on_event_timeout_ms != was.on_event_timeout_ms ||
        program.protocol_listen != was.protocol_listen ||
        program.protocol_users != was.protocol_users || program.listen != was.listen ||
        program.http_token_file != was.http_token_file || program.snmp_agentx != was.snmp_agentx)
        Say(Level::kWarning, "vimohost: reload: the hook, protocol server, web and SNMP settings "
                             "take effect at the next start");
    std::vector<std::unique_ptr<RunningLine>> lines;
    for (size_t r : plan.keep) lines.push_back(std::move(run.lines[r]));
    for (size_t r : plan.stop) {
        StopLine(run, *run.lines[r]);
        // A device gone from the configuration reads as stale to protocol clients.
        for (const DeviceConfig& gone : run.lines[r]->config.devices) {
            bool kept = false;
            for (const DeviceConfig& device : configs) kept = kept || device.name == gone.name;
            if (run.protocol && !kept) run.protocol->RemoveDevice(gone.name);
        }
    }
    run.lines.clear();  // the stopped lines' sessions go before anything new starts
    run.configs = configs;
    for (auto& line : starting) {
        if (OpenLine(run, *line) >= 0) continue;  // said; e.g. a serial port taken meanwhile
        if (run.web)
            for (const auto& session : line->sessions)
                run.web->SetLossWindow(session->config().data_id, LossWindow(*session));
        ServeOnProtocol(run, *line);
        OfferStoredRounds(run, *line);
        if (!line->poller->Start(error)) {
            Say(Level::kError, "vimohost: reload: " + error);
            StopLine(run, *line);
            continue;
        }
        line->poller->Go();
        lines.push_back(std::move(line));
    }
    run.lines = std::move(lines);
    Say("vimohost: configuration reloaded: " + std::to_string(configs.size()) + " devices, " +
        std::to_string(plan.keep.size()) + " lines kept, " + std::to_string(plan.stop.size()) +
        " stopped, " + std::to_string(plan.start.size()) + " started");
}

// "2 devices, 1520 rounds completed" for the service manager.
std::string StatusLine(const PollRun& run) {
    int64_t rounds = 0;
    const std::vector<Snapshot> snapshots = run.state.Snapshots();
    for (const Snapshot& s : snapshots) rounds += s->rounds_completed;
    if (snapshots.empty()) return "STATUS=no devices configured; waiting for a reload";
    return "STATUS=" + std::to_string(snapshots.size()) + " devices, " + std::to_string(rounds) +
           " rounds completed";
}

bool AllFinished(const PollRun& run) {
    for (const auto& line : run.lines)
        if (!line->poller->Finished()) return false;
    return true;
}

bool Responsive(const PollRun& run, std::chrono::steady_clock::time_point now) {
    for (const auto& line : run.lines)
        if (!line->poller->Responsive(now)) return false;
    return true;
}

void StopAll(PollRun& run) {
    for (const auto& line : run.lines) line->poller->Stop();
}

// Polls until done, given up or signalled: SIGINT and SIGTERM stop the line threads
// after their current exchange (a second one: at once), SIGHUP reloads. False on a
// second stop signal: the threads may still be in an exchange.
bool WaitForLines(PollRun& run) {
    bool stopping = false;
    auto status_due = std::chrono::steady_clock::now();
    while (!(AllFinished(run) && (stopping || !run.lines.empty()))) {
        timespec tick{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&run.signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
            if (stopping) return false;
            Say("vimohost: stopping");
            run.notifier.Send("STOPPING=1");
            StopAll(run);
            stopping = true;
        } else if (sig == SIGHUP && !stopping) {
            run.notifier.Send("RELOADING=1");
            Reload(run);
            run.notifier.Send("READY=1\n" + StatusLine(run));
        }
        bool gave_up = false;
        for (const auto& line : run.lines) gave_up = gave_up || line->poller->GaveUp();
        if (gave_up && !stopping) {
            StopAll(run);
            stopping = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (Responsive(run, now)) run.notifier.KeepAlive(now);
        if (now >= status_due) {
            run.notifier.Send(StatusLine(run));
            status_due = now + kStatusEvery;
        }
    }
    for (const auto& line : run.lines) line->poller->Join();
    return true;
}

int Poll(PollRun& run) {
    // Every line's thread is made before any polls: a process limit that allows no
    // more threads stops the start with one line and no round.
    std::string error;
    for (const auto& line : run.lines) {
        if (!line->poller->Start(error)) {
            Fail(error);
            return kExitFailure;
        }
    }
    for (const auto& line : run.lines) line->poller->Go();
    run.notifier.Send("READY=1\n" + StatusLine(run));
    if (!WaitForLines(run)) {
        // An exchange may wait out a long response timeout; whoever signals twice does
        // not want to wait. The history loses nothing SQLite committed.
        Say(Level::kWarning, "vimohost: stopping at once");
        if (run.simulator.running()) run.simulator.Stop(100);
        std::_Exit(kExitInterrupted);
    }
    bool gave_up = false;
    for (const auto& line : run.lines) gave_up = gave_up || line->poller->GaveUp();
    if (run.hooks) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHookDrainMs);
        while (!run.hooks->Idle() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        run.hooks->Stop(0);
    }
    if (run.protocol) run.protocol->Stop();
    if (run.web) run.web->Stop();
    if (run.snmp) run.snmp->Stop();
    run.lines.clear();
    run.plugin.reset();
    if (run.simulator.running()) run.simulator.Stop();
    return gave_up ? kExitGaveUp : kExitOk;
}

}  // namespace

int RunPoll(const PollOptions& options) {
    SetConsoleLevel(options.log_level);
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
    int (*const steps[])(PollRun&) = {CheckStatusOut, LoadConfigurations, CheckStatusTargets,
                                      StartHooks,     OpenSessions,       StartProtocol,
                                      StartWeb,       StartSnmp,          OpenHistory,
                                      Poll};
    for (const auto step : steps) {
        const int exit_code = step(run);
        if (exit_code >= 0) return exit_code;
    }
    return kExitOk;
}

}  // namespace vimo
