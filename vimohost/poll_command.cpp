// The poll mode: configure, load the plug-in, offer each device its newest stored
// round, then poll until done, given up or stopped by a signal.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <chrono>
#include <sstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "vimohost/commands.h"
#include "core/address.h"
#include "common/console.h"
#include "common/hints.h"
#include "common/stdout_capture.h"
#include "config/device_config.h"
#include "hooks/event_hooks.h"
#include "history/store.h"
#include "history/writer.h"
#include "history/writer_lock.h"
#include "mdns/announcer.h"
#include "mbserver/feed.h"
#include "board/snapshot_board.h"
#include "notify/notifier.h"
#include "poll/round_outputs.h"
#include "poll/status_output.h"
#include "session/document_renderer.h"
#include "session/plugin_library.h"
#include "poll/poller.h"
#include "protocol/feed.h"
#include "protocol/users.h"
#include "snmp/agent.h"
#include "mqtt/face.h"
#include "web/feed.h"
#include "web/history_source.h"
#include "web/web_config.h"
#include "session/device_session.h"
#include "poll/reload_plan.h"
#include "vimohost/service_notify.h"

namespace vimo {

namespace {

// Sent to the process by a line thread as it ends; blocked everywhere, taken by the
// main thread's wait like the stop and reload signals.
constexpr int kLineEnded = SIGUSR2;

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
// How long an orderly exit waits for the notifications still being sent.
constexpr int kNotifyDrainMs = 5000;
// How often the service manager's status line is renewed.
constexpr auto kStatusEvery = std::chrono::seconds(5);

// The devices of one line and the thread that polls them; a reload starts and stops
// whole lines (reload_plan.h). The poller goes before the sessions it polls.
struct RunningLine {
    LineConfig config;
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    std::unique_ptr<Poller> poller;
    bool overdue = false;  // its round outran its bound, as last said
};

// What a poll run holds, in the order it is made. Members go in reverse: the lines
// (devices whose code lives in the plug-in) before the plug-in, the history and the
// hooks after the lines that use them, the simulator last.
// The status documents of the page and the API, made by the plug-in from a snapshot's
// record when asked.
class WebDocuments : public novex::web::DocumentSource {
public:
    explicit WebDocuments(const PluginLibrary& plugin) : renderer_(plugin) {}
    bool Document(const novex::monitor::DeviceSnapshot& snapshot, std::string& text,
                  std::string& error) const override {
        return renderer_.Render(snapshot.data_id, snapshot.record, text, error);
    }

private:
    mutable DocumentRenderer renderer_;
};

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
    SnapshotBoard board;  // every output of a round subscribes to it
    std::unique_ptr<novex::protocol::ProtocolFeed> protocol;
    std::unique_ptr<novex::mbserver::ModbusFeed> modbus;
    std::unique_ptr<novex::web::WebHistory> web_history;  // outlives the web face that reads it
    std::unique_ptr<novex::web::WebFeed> web;
    std::unique_ptr<snmp::SnmpAgent> snmp;
    std::unique_ptr<MdnsAnnouncer> mdns;  // announces the listeners above, goes before them
    std::optional<mqtt::MqttSettings> mqtt_settings;  // "mqtt" or --mqtt, checked
    std::unique_ptr<HistoryWriterLock> history_lock;  // outlives the store that writes
    std::unique_ptr<HistoryStore> history;
    std::unique_ptr<HistoryWriter> writer;  // outlives the sessions that hand it rounds
    bool history_failed = false;            // the writer's check found the file damaged
    RetentionSettings retention;
    std::unique_ptr<PluginLibrary> plugin;
    std::unique_ptr<WebDocuments> documents;  // the web face's, made by `plugin`
    // The poll run's own subscribers of the board: they outlive the lines that publish.
    std::unique_ptr<ConsoleSummary> console;
    std::unique_ptr<StatusFiles> status;  // with --status-out
    std::unique_ptr<HookFeed> hook_feed;
    std::unique_ptr<HistoryFeed> history_feed;
    std::unique_ptr<mqtt::MqttFace> mqtt;  // a subscriber: outlives the lines
    std::vector<notify::ChannelSettings> channels;   // "notify" and --notify
    std::unique_ptr<notify::Outbox> outbox;      // outlives the notifier
    std::unique_ptr<notify::Notifier> notify;
    // The notifier for /metrics: set once it has started, cleared before it goes (the
    // web face starts before it and may be asked at any time).
    std::atomic<notify::Notifier*> notify_for_web{nullptr};
    std::vector<std::unique_ptr<RunningLine>> lines;
    bool stopping_told = false;  // the service manager has been sent STOPPING=1
    // check-config: the checks alone; a listening address held now is said, not refused
    // (the running service holds its own).
    bool checking_only = false;
};

// Tells the service manager, once, that the run is ending: by a signal, by --rounds
// or by --max-failures alike.
void TellStopping(PollRun& run) {
    if (run.stopping_told) return;
    run.notifier.Send("STOPPING=1");
    run.stopping_told = true;
}

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

// The status file of each device: FILE alone for a single device, FILE.<data_id> each
// when there are several.
std::vector<std::string> StatusPaths(const std::string& base, bool several,
                                     const std::vector<DeviceConfig>& configs) {
    std::vector<std::string> paths;
    if (base.empty()) return paths;
    for (const DeviceConfig& c : configs)
        paths.push_back(several ? base + "." + std::to_string(c.data_id) : base);
    return paths;
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
    settings.board = &run.board;
    settings.documents = run.status != nullptr;
    // The main thread waits for signals: a line that ends wakes it with kLineEnded, so
    // that --rounds N exits as soon as polling ends.
    settings.after_end = [] { kill(getpid(), kLineEnded); };
    line.poller = std::make_unique<Poller>();
    if (!line.poller->Setup(polled, settings, error)) {
        Fail(run.options.config_file.empty() ? error : run.options.config_file + ": " + error);
        return kExitUsage;
    }
    if (!line.poller->Claim(error)) {
        Fail(error);
        return kExitFailure;
    }
    // Named as the configuration is now: FILE.<data_id> when it has several devices.
    if (run.status)
        for (const DeviceConfig& device : line.config.devices)
            run.status->SetPath(device.data_id, StatusPaths(run.options.status_out, run.configs.size() > 1,
                                                            {device})[0]);
    return -1;
}

// Offers each device of the line its newest stored round and its active alarms.
void OfferStoredRounds(PollRun& run, RunningLine& line) {
    if (!run.history) return;
    // The line thread's totals count the rounds stored: let the queue empty first.
    HistoryWriter* writer = run.writer.get();
    line.poller->SetBeforeTotals([writer] { writer->FlushUnlessFailing(std::chrono::seconds(10)); });
    std::string error;
    for (const auto& session : line.sessions) {
        if (!run.history->SetDeviceName(session->config().data_id, session->config().name, error))
            Say(Level::kWarning, "vimohost: history: " + error);
        session->services().AttachHistory(run.history.get(), writer);
        session->services().RestoreAlarms();
        line.poller->RestoreAlarms(*session, run.history->ActiveAlarms(session->config().data_id));
        if (const auto energy = run.history->Energy(session->config().data_id))
            line.poller->RestoreEnergy(*session, *energy);
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
    for (size_t slot : line.poller->Slots()) run.board.Retire(slot);
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
// be the history, however spelt (./h.db, sub/../h.db, a link to its folder); temporary
// files that killed runs left beside them are removed. False with the error line.
bool CheckStatusFiles(const PollRun& run, const std::vector<std::string>& paths, std::string& error) {
    for (const std::string& path : paths) {
        if (!CheckStatusTarget(path, error)) return false;
        if (run.options.history && IsHistoryFile(path, run.options.history_file)) {
            error = "--status-out " + path + " is the history file " + run.options.history_file +
                    "; give another file";
            return false;
        }
    }
    for (const std::string& path : paths) {
        const int removed = RemoveStaleTemporaries(path);
        if (removed > 0)
            Say(Level::kInfo, "vimohost: removed " + std::to_string(removed) +
                                  " temporary files that an earlier run left beside " + path);
    }
    return true;
}

int CheckStatusTargets(PollRun& run) {
    std::string error;
    if (CheckStatusFiles(run, StatusPaths(run.options.status_out, run.configs.size() > 1, run.configs),
                         error))
        return -1;
    Fail(error);
    return kExitUsage;
}

// The devices and settings of --config; without it, ConfigFromFlags makes the device.
int LoadConfigurations(PollRun& run) {
    std::string error;
    run.retention = run.options.retention;
    if (!run.options.config_file.empty()) {
        if (!LoadDeviceConfigFile(run.options.config_file, run.configs, run.program, error)) {
            Fail(error);
            return kExitUsage;
        }
        // Checked when the file was read; the flags win.
        ParseRetention(run.program.history, run.retention, run.options.retention_given, error);
        if (run.configs.empty() && !run.checking_only)
            Say("vimohost: " + run.options.config_file +
                " lists no devices; waiting for a reload (SIGHUP)");
        return -1;
    }
    return -1;
}

ProgramConfig Settings(const PollRun& run);

// Every configuration file the faces will read (the web configuration with its
// certificates, the UPS protocol users file) is read and checked before anything is
// started, the simulator of --simulate first of all. A file named without its listener
// is refused by that face's own step.
int CheckConfigFiles(PollRun& run) {
    const ProgramConfig settings = Settings(run);
    const std::string origin = run.options.config_file.empty() ? "" : run.options.config_file + ": ";
    std::string error;
    if (!settings.listen.empty() && !settings.web_config.empty()) {
        novex::web::WebConfig config;
        bool ok = novex::web::LoadWebConfig(settings.web_config, config, error);
        if (ok && config.tls && !novex::tls::ServerTls::Create(config.tls_settings, error)) {
            error = settings.web_config + ": " + error;
            ok = false;
        }
        if (!ok) {
            Fail((run.options.program.web_config.empty() ? origin : "") + error);
            return kExitUsage;
        }
    }
    if (!settings.protocol_listen.empty() && !settings.protocol_users.empty()) {
        novex::protocol::Users users;
        if (!novex::protocol::Users::Load(settings.protocol_users, users, error)) {
            Fail("--protocol-users: " + error);
            return kExitUsage;
        }
    }
    return -1;
}

// The device of the flags, once the simulator of --simulate is ready.
int ConfigFromFlags(PollRun& run) {
    if (!run.options.config_file.empty()) return -1;
    std::string error;
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

// The program-wide settings in force: the configuration file's, each replaced by its
// flag when one was given.
ProgramConfig Settings(const PollRun& run) {
    ProgramConfig flags = run.options.program;
    if (!run.options.on_event.empty()) {
        flags.on_event = {run.options.on_event};
        flags.on_event.insert(flags.on_event.end(), run.options.on_event_args.begin(),
                              run.options.on_event_args.end());
    }
    return WithFlags(run.program, flags);
}

// The hook runner, when --on-event or "on_event" names a program; the flags win.
int StartHooks(PollRun& run) {
    const ProgramConfig settings = Settings(run);
    HookOptions hook;
    hook.argv = settings.on_event;
    if (hook.argv.empty()) return -1;
    // Checked when the flag or the file was read.
    if (!settings.on_event_mode.empty()) ParseHookMode(settings.on_event_mode, hook.mode);
    if (settings.on_event_timeout_ms > 0) hook.time_limit_ms = settings.on_event_timeout_ms;
    run.hooks = std::make_unique<EventHooks>(hook);
    std::string error;
    if (!run.hooks->Start(error)) {
        Fail("--on-event: " + error);
        run.hooks.reset();
        return kExitUsage;
    }
    return -1;
}

// The outputs of a round that need no server: subscribed before the first publish.
void SubscribeOutputs(PollRun& run) {
    run.console = std::make_unique<ConsoleSummary>();
    run.board.Subscribe(*run.console);
    if (!run.options.status_out.empty()) {
        run.status = std::make_unique<StatusFiles>();
        run.board.Subscribe(*run.status);
    }
    if (run.hooks) {
        run.hook_feed = std::make_unique<HookFeed>(*run.hooks);
        run.board.Subscribe(*run.hook_feed);
    }
}

// Loads the plug-in and creates each line's device sessions, which checks every
// device's settings as the plug-in reads them, and whether the devices of a line agree.
int CheckDevices(PollRun& run) {
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
        std::vector<DeviceSession*> sessions;
        for (const auto& session : run.lines.back()->sessions) sessions.push_back(session.get());
        if (!Poller::Check(sessions, false, error)) {
            Fail(run.options.config_file.empty() ? error : run.options.config_file + ": " + error);
            return kExitUsage;
        }
    }
    return -1;
}

// Puts the devices on their lines, the round's outputs subscribed first.
int OpenSessions(PollRun& run) {
    SubscribeOutputs(run);
    for (const auto& line : run.lines) {
        const int exit_code = OpenLine(run, *line);
        if (exit_code >= 0) return exit_code;
    }
    return -1;
}

// "Address already in use (process 1234, upsd listens there; ...)" when another socket
// holds the address a server is to listen on: the start stops with it (exit 1), the
// check says it and goes on.
int CheckFree(PollRun& run, const std::string& host, int port, const std::string& prefix,
              const char* setting) {
    if (novex::BindFailure(host, port) != EADDRINUSE) return -1;
    const std::string line = prefix + std::strerror(EADDRINUSE) + AddressInUseHint(port, setting);
    if (run.checking_only) {
        Say(Level::kWarning, "vimohost: " + line + "; a start now would stop there (exit 1)");
        return -1;
    }
    Fail(line);
    return kExitFailure;
}

// Every file the servers and hooks read, read and checked now as they will use it (the
// users, certificates and keys, the token, the web configuration and its modes, the
// hook program), and their listening addresses: before anything starts, and alone by
// check-config.
int CheckServices(PollRun& run) {
    const ProgramConfig settings = Settings(run);
    const ProgramConfig& flags = run.options.program;
    std::string error;
    // An error names the flag that gave the setting, or the file and its key.
    const auto named = [&run](bool flag_given, const char* flag, const char* key) {
        return flag_given || run.options.config_file.empty()
                   ? std::string(flag) + ": "
                   : run.options.config_file + ": \"" + key + "\": ";
    };
    if (settings.mdns) {
        const char* const origin = flags.mdns || run.options.config_file.empty() ? "--mdns" : "\"mdns\"";
        if (!MdnsBuiltIn()) {
            Fail(std::string(origin) + ": this vimohost was built without mDNS (Avahi's client "
                 "library, Debian libavahi-client-dev, was not found)");
            return kExitUsage;
        }
        if (settings.protocol_listen.empty() && settings.listen.empty()) {
            Fail(std::string(origin) + " is for --protocol-listen or --listen: nothing to announce");
            return kExitUsage;
        }
    }
    if (!settings.on_event.empty()) {
        error = EventHooks::ProgramProblem(settings.on_event);
        if (!error.empty()) {
            Fail(named(!run.options.on_event.empty(), "--on-event", "on_event") + error);
            return kExitUsage;
        }
    }
    // The notification channels, and their secret files read as the start will.
    if (!notify::ParseChannels(settings.notify, settings.notify_urls, run.channels, error)) {
        Fail((run.options.config_file.empty() ? "" : run.options.config_file + ": ") + error);
        return kExitUsage;
    }
    for (const notify::ChannelSettings& channel : run.channels) {
        if (!notify::MakeSender(channel, error)) {
            Fail("notify " + channel.name + ": " + error);
            return kExitUsage;
        }
    }
    const std::string& protocol_listen = settings.protocol_listen;
    if (protocol_listen.empty()) {
        // The first of the server's own options given names itself.
        const std::pair<bool, const char*> given[] = {
            {!settings.protocol_users.empty(), "--protocol-users"},
            {!flags.protocol_certfile.empty(), "--protocol-certfile"},
            {flags.protocol_require_tls, "--protocol-require-tls"},
        };
        for (const auto& [is_given, flag] : given)
            if (is_given) {
                Fail(std::string(flag) + " is for --protocol-listen");
                return kExitUsage;
            }
    } else {
        run.protocol = novex::protocol::ProtocolFeed::Create(protocol_listen, settings.protocol_users, error);
        if (!run.protocol) {
            Fail(named(!flags.protocol_listen.empty() || !flags.protocol_users.empty(),
                       "--protocol-listen", "protocol_listen") +
                 error);
            return kExitUsage;
        }
        if (!run.protocol->SetTls(settings.protocol_certfile, settings.protocol_require_tls, error)) {
            Fail(named(!flags.protocol_certfile.empty(), "--protocol-certfile", "protocol_certfile") + error);
            return kExitUsage;
        }
        novex::protocol::ServerOptions where;
        novex::protocol::ParseListen(protocol_listen, where, error);  // checked by Create
        const int exit_code = CheckFree(run, where.address, where.port,
                                        "--protocol-listen: protocol server " + where.address + ":" +
                                            std::to_string(where.port) + ": ",
                                        "--protocol-listen or \"protocol_listen\"");
        if (exit_code >= 0) return exit_code;
    }
    const std::string& listen = settings.listen;
    const std::string& token = settings.http_token_file;
    if (listen.empty()) {
        if (token.empty() && flags.web_config.empty()) return -1;
        Fail(std::string(token.empty() ? "--web-config" : "--http-token-file") + " is for --listen");
        return kExitUsage;
    }
    // The errors name their option ("listen: ...", "token file F: ..."), and the
    // configuration file when it was the one that asked.
    const std::string origin =
        flags.listen.empty() && flags.http_token_file.empty() ? run.options.config_file + ": " : "";
    run.web = novex::web::WebFeed::Create(listen, token, error);
    if (!run.web || !run.web->SetWebConfig(settings.web_config, error)) {
        Fail(origin + error);
        return kExitUsage;
    }
    std::string address;
    int port = 0;
    novex::web::ParseListen(listen, address, port, error);  // checked by Create
    return CheckFree(run, address, port, origin + "listen " + address + ":" + std::to_string(port) + ": ",
                     "--listen or \"listen\"");
}

// The UPS protocol server, when --protocol-listen or "protocol_listen" asks for it
// (the flags win): listening before the first round, fed from the board.
int StartProtocol(PollRun& run) {
    if (!run.protocol) return -1;  // made and checked by CheckServices
    std::string error;
    if (!run.protocol->Start(run.board, run.configs, error)) {
        Fail("--protocol-listen: " + error);
        return kExitFailure;
    }
    Say("vimohost: UPS protocol server on " + run.protocol->Address());
    return -1;
}

// The Modbus server, when --modbus-listen or "modbus_listen" asks for it (the flags
// win): listening before the first round, fed from the board.
int StartModbus(PollRun& run) {
    const ProgramConfig settings = Settings(run);
    if (settings.modbus_listen.empty() && settings.modbus_rtu_port.empty() && settings.modbus_tls_listen.empty()) {
        if (settings.modbus_allow.empty()) return -1;
        Fail("--modbus-allow is for --modbus-listen or --modbus-tls-listen");
        return kExitUsage;
    }
    std::string error;
    run.modbus = novex::mbserver::ModbusFeed::Create(settings, error);
    if (!run.modbus) {
        Fail("Modbus server: " + error);
        return kExitUsage;
    }
    if (!run.modbus->Start(run.board, run.configs, error)) {
        Fail("Modbus server: " + error);
        return kExitFailure;
    }
    if (!settings.modbus_listen.empty()) Say("vimohost: Modbus server on " + run.modbus->Address());
    if (!settings.modbus_tls_listen.empty())
        Say("vimohost: Modbus/TCP Security server on " + run.modbus->SecureAddress());
    if (!settings.modbus_rtu_port.empty()) Say("vimohost: Modbus RTU slave on " + settings.modbus_rtu_port);
    return -1;
}

// The SNMP subagent, when --snmp-agentx or "snmp": {"agentx": ...} asks for it (the
// flag wins): subscribed before the first round; it reaches the master by itself.
int StartSnmp(PollRun& run) {
    const std::string agentx = Settings(run).snmp_agentx;
    if (agentx.empty()) return -1;
    std::string error;
    run.snmp = snmp::SnmpAgent::Start(agentx, run.board, run.configs, error);
    if (!run.snmp) {
        Fail("--snmp-agentx: " + error);
        return kExitUsage;
    }
    return -1;
}

// The "mqtt" section with --mqtt and --mqtt-prefix over it: checked, and its files (the
// password file, TLS certificates and keys) read as the client will read them.
int CheckMqtt(PollRun& run) {
    const Json::Value section = Settings(run).mqtt;
    if (section.isNull()) return -1;
    const bool flags = !run.options.program.mqtt.isNull();
    const std::string origin = flags || run.options.config_file.empty() ? "--mqtt: " : run.options.config_file + ": ";
    mqtt::MqttSettings settings;
    std::string error;
    if (!mqtt::ParseMqttSection(section, settings, error) ||
        !mqtt::Client::Create(settings, {}, error)) {
        Fail(origin + error);
        return kExitUsage;
    }
    // The page's address is the configuration's once, unless the section gives its own.
    if (settings.page_url.empty()) settings.page_url = Settings(run).page_url;
    run.mqtt_settings = settings;
    return -1;
}

// The MQTT face, when "mqtt" or --mqtt asks for it: subscribed before the first round;
// it reaches the broker by itself.
int StartMqtt(PollRun& run) {
    if (!run.mqtt_settings) return -1;
    std::string error;
    run.mqtt = mqtt::MqttFace::Start(*run.mqtt_settings, run.configs, run.board, error);
    if (!run.mqtt) {
        Fail("--mqtt: " + error);
        return kExitUsage;
    }
    Say("vimohost: MQTT to " + run.mqtt_settings->host + ":" + std::to_string(run.mqtt_settings->port) +
        " under " + run.mqtt_settings->prefix);
    return -1;
}

// The web face, when --listen or "listen" asks for it (the flags win): listening
// before the first round, reading the board.
int StartWeb(PollRun& run) {
    if (!run.web) return -1;  // made and checked by CheckServices
    const ProgramConfig& flags = run.options.program;
    const std::string origin =
        flags.listen.empty() && flags.http_token_file.empty() ? run.options.config_file + ": " : "";
    std::string error;
    for (const auto& line : run.lines)
        for (const auto& session : line->sessions)
            run.web->SetBatteryLimits(session->config().data_id, BatteryLimitsOf(session->config()));
    // The hook runner, if any, exists before the first round and outlives the web face.
    run.web->SetHookCounters([&run](uint64_t& runs, uint64_t& failures) {
        if (!run.hooks) return;
        const HookCounters counters = run.hooks->Counters();
        runs = counters.runs;
        failures = counters.failures;
    });
    run.web->SetNotifyCounters([&run](novex::web::HostState& state) {
        const notify::Notifier* notifier = run.notify_for_web.load();
        if (!notifier) return;
        for (const notify::ChannelStatus& c : notifier->Status())
            state.notify_channels.push_back({c.name, c.kind, c.queued, c.sent, c.failed, c.dropped,
                                             !c.last_error.empty(), c.last_error, c.test, c.test_time});
    });
    run.web->SetNotifyTester([&run](const std::string& channel) {
        notify::Notifier* notifier = run.notify_for_web.load();
        if (!notifier) return novex::web::NotifyTest::kNoChannel;
        switch (notifier->StartTest(channel)) {
            case notify::TestStart::kStarted: return novex::web::NotifyTest::kStarted;
            case notify::TestStart::kBusy: return novex::web::NotifyTest::kBusy;
            case notify::TestStart::kNoChannel: break;
        }
        return novex::web::NotifyTest::kNoChannel;
    });
    // The Modbus server, if any, starts before the web face and outlives it.
    if (run.modbus)
        run.web->SetModbusCounters([&run](novex::web::HostState& state) {
            const novex::mbserver::ServerStats s = run.modbus->Stats();
            state.modbus_serving = true;
            state.modbus_clients = s.clients;
            state.modbus_requests = s.requests;
            state.modbus_exceptions = s.exceptions;
            state.modbus_errors = s.errors;
        });
    run.documents = std::make_unique<WebDocuments>(*run.plugin);
    run.web->AttachDocuments(run.documents.get());
    if (!run.web->Start(run.board, error)) {
        Fail(origin + error);
        return kExitFailure;
    }
    Say("vimohost: status page on " + run.web->Scheme() + "://" + run.web->Address() + "/");
    return -1;
}

// The port of "ADDR:PORT" or "[ADDR]:PORT".
int PortOf(const std::string& address) {
    const size_t colon = address.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(address.c_str() + colon + 1);
}

// Whether "ADDR:PORT" is on a loopback address, which no other machine reaches.
bool OnLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address.rfind("[::1]", 0) == 0 ||
           address.rfind("localhost:", 0) == 0;
}

// The mDNS announcement, when --mdns or "mdns" asks for it: once the listeners are up,
// the services each one serves. Columns of the table below: the service type, TXT.
int StartMdns(PollRun& run) {
    if (!Settings(run).mdns) return -1;
    std::vector<MdnsService> services;
    std::vector<std::string> listeners;  // "ADDR:PORT" of each service
    if (run.protocol) {
        services.push_back({"_nut._tcp", PortOf(run.protocol->Address()), {}});
        listeners.push_back(run.protocol->Address());
    }
    if (run.web) {
        services.push_back({"_" + run.web->Scheme() + "._tcp", PortOf(run.web->Address()), {"path=/"}});
        listeners.push_back(run.web->Address());
    }
    for (size_t i = 0; i < services.size(); ++i)
        if (OnLoopback(listeners[i]))
            Say(Level::kWarning, "vimohost: mDNS: " + services[i].type + " listens on " + listeners[i] +
                                     ", which other machines cannot reach: listen on this machine's "
                                     "address or 0.0.0.0 for them");
    std::string error;
    run.mdns = MdnsAnnouncer::Start(std::move(services), error);
    if (!run.mdns) {
        Fail("--mdns: " + error);
        return kExitUsage;
    }
    return -1;
}

// How long the start waits for the history's check before polling goes on beside it.
constexpr std::chrono::milliseconds kHistoryCheckWait{500};

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
    run.history_lock = HistoryWriterLock::Claim(run.options.history_file, error);
    if (!run.history_lock) {
        run.history.reset();
        Fail(error);
        return kExitFailure;
    }
    // A damaged file would take no round and say nothing of it. Only a file that was
    // not closed cleanly is checked whole, and on the writer thread, so that polling
    // starts at once whatever the file's size (WaitForLines stops on a finding).
    bool was_clean = false;
    if (!run.history->MarkOpen(was_clean, error)) {
        Fail("history " + run.options.history_file + ": " + error);
        return kExitFailure;
    }
    HistoryWriterOptions writing;
    writing.retention = run.retention;
    writing.verbose = run.options.verbose;
    writing.check_first = !was_clean;
    run.writer = std::make_unique<HistoryWriter>(*run.history, writing);
    run.history_feed = std::make_unique<HistoryFeed>(*run.writer);
    run.board.Subscribe(*run.history_feed);
    // The check of a small file is over at once: a damaged one is refused before the
    // first round, in one line. A large file's check goes on beside polling.
    std::string damage;
    if (run.writer->WaitChecked(kHistoryCheckWait) && run.writer->Damaged(damage)) {
        run.writer.reset();
        Fail("history " + run.options.history_file + ": " + damage +
             "; move it aside or give another --history");
        return kExitFailure;
    }
    for (const auto& line : run.lines) OfferStoredRounds(run, *line);
    if (run.web) {
        // Readings and events for the page and the API, on a connection of their own.
        run.web_history = novex::web::WebHistory::Open(run.options.history_file, error);
        if (run.web_history)
            run.web->AttachHistory(run.web_history.get());
        else
            Say(Level::kWarning, "vimohost: the web face serves no history: " + error);
    }
    return -1;
}

// The notifications, once the history is open: their outbox is in its file (in memory
// with --no-history), so what waited from the last run is sent now.
int StartNotify(PollRun& run) {
    if (run.channels.empty()) return -1;
    std::string error;
    run.outbox = notify::Outbox::Open(run.options.history ? run.options.history_file : "", error);
    if (!run.outbox) {
        Fail(error);
        return kExitFailure;
    }
    notify::Notifier::Options options;
    options.link = Settings(run).page_url;
    run.notify = std::make_unique<notify::Notifier>(run.channels, *run.outbox, options);
    if (!run.notify->Start(error)) {
        Fail("notify " + error);
        return kExitUsage;
    }
    run.board.Subscribe(*run.notify);
    run.notify_for_web = run.notify.get();
    run.notify->Service("started");
    return -1;
}

// Names a started line's devices to the UPS protocol server, before their first round.
void ServeOnProtocol(PollRun& run, const RunningLine& line) {
    if (!run.protocol) return;
    std::string error;
    for (const Snapshot& s : run.board.Snapshots())
        for (const DeviceConfig& device : line.config.devices)
            if (device.data_id == s->data_id && !run.protocol->AddDevice(device, s->line, error))
                Say(Level::kWarning, "vimohost: protocol server: " + error);
}

// Refuses a reload, leaving the running configuration as it is.
void RefuseReload(const std::string& why) {
    Say(Level::kError, "vimohost: reload refused, the running configuration stays: " + why);
}

// The status files the devices will write after the reload: a kept line's as it has
// written them, a started line's by the new configuration.
std::vector<std::string> ReloadStatusPaths(const PollRun& run, const ReloadPlan& plan,
                                           const std::vector<std::unique_ptr<RunningLine>>& starting,
                                           const std::vector<DeviceConfig>& configs) {
    std::vector<std::string> paths;
    if (run.options.status_out.empty()) return paths;
    for (size_t r : plan.keep)
        for (const auto& session : run.lines[r]->sessions)
            paths.push_back(run.status->Path(session->config().data_id));
    std::vector<DeviceConfig> started;
    for (const auto& line : starting)
        started.insert(started.end(), line->config.devices.begin(), line->config.devices.end());
    // Named as at start: FILE.<data_id> when the new configuration has several devices.
    if (configs.size() > 1)
        for (const DeviceConfig& device : started)
            paths.push_back(run.options.status_out + "." + std::to_string(device.data_id));
    else if (!started.empty())
        paths.push_back(run.options.status_out);
    return paths;
}

// A reload's new lines, made and checked before any running line stops.
struct ReloadStart {
    std::vector<DeviceConfig> configs;
    ProgramConfig program;
    ReloadPlan plan;
    std::vector<std::unique_ptr<RunningLine>> starting;  // one per plan.start
};

// Reads the file and makes the lines to start; false (said) when any check fails.
bool PrepareReload(PollRun& run, ReloadStart& next) {
    std::string error;
    if (!LoadDeviceConfigFile(run.options.config_file, next.configs, next.program, error)) {
        RefuseReload(error);
        return false;
    }
    std::vector<LineConfig> running;
    for (const auto& line : run.lines) running.push_back(line->config);
    std::vector<LineConfig> wanted = GroupByLine(next.configs);
    next.plan = PlanReload(running, wanted);
    for (size_t w : next.plan.start) {
        next.starting.push_back(std::make_unique<RunningLine>());
        RunningLine& line = *next.starting.back();
        line.config = std::move(wanted[w]);
        if (!CreateSessions(run, line, error)) {
            RefuseReload(error);
            return false;
        }
        std::vector<DeviceSession*> sessions;
        for (const auto& session : line.sessions) sessions.push_back(session.get());
        if (!Poller::Check(sessions, true, error)) {
            RefuseReload(run.options.config_file + ": " + error);
            return false;
        }
    }
    if (!CheckStatusFiles(run, ReloadStatusPaths(run, next.plan, next.starting, next.configs), error)) {
        RefuseReload(error);
        return false;
    }
    std::string waiting;
    for (const std::string& key : WaitingForRestart(run.program, next.program))
        waiting += (waiting.empty() ? "\"" : ", \"") + key + "\"";
    if (!waiting.empty())
        Say(Level::kWarning, "vimohost: reload: " + waiting + " take effect at the next start");
    return true;
}

// Opens a new line and names its devices to every face; false (said) when it cannot
// start, e.g. its serial port was taken meanwhile.
bool StartReloadedLine(PollRun& run, RunningLine& line) {
    if (OpenLine(run, line) >= 0) return false;
    std::string error;
    if (run.web)
        for (const auto& session : line.sessions)
            run.web->SetBatteryLimits(session->config().data_id, BatteryLimitsOf(session->config()));
    ServeOnProtocol(run, line);
    if (run.modbus)
        for (const DeviceConfig& device : line.config.devices)
            if (!run.modbus->AddDevice(device, error)) Say(Level::kWarning, "vimohost: Modbus server: " + error);
    OfferStoredRounds(run, line);
    if (line.poller->Start(error)) return true;
    Say(Level::kError, "vimohost: reload: " + error);
    return false;
}

// A device no running line polls reads as stale to protocol clients, gone; one that
// moved to a line now running stays.
void ForgetUnpolled(PollRun& run, const std::vector<std::string>& leaving) {
    if (!run.protocol) return;
    for (const std::string& name : leaving) {
        bool polled = false;
        for (const auto& line : run.lines)
            for (const DeviceConfig& device : line->config.devices) polled = polled || device.name == name;
        if (!polled) run.protocol->RemoveDevice(name);
    }
}

// SIGHUP: reads the configuration file again and restarts the lines whose devices
// changed. All or nothing: everything a new line needs (a file that loads, devices the
// plug-in accepts, serial settings that agree, TCP hosts that resolve, status files
// that are not the history) is checked before any running line stops. Only what
// cannot be known before (a serial port another program took meanwhile) can still keep
// a line from starting; its devices then leave every face and the summary says so.
void Reload(PollRun& run) {
    if (run.options.config_file.empty()) {
        Say(Level::kWarning, "vimohost: reload: there is no --config file to read again");
        return;
    }
    ReloadStart next;
    if (!PrepareReload(run, next)) return;
    const ReloadPlan& plan = next.plan;
    std::vector<std::unique_ptr<RunningLine>> lines;
    std::vector<std::string> leaving;  // names of the devices stopped, or not started
    for (size_t r : plan.keep) lines.push_back(std::move(run.lines[r]));
    for (size_t r : plan.stop) {
        StopLine(run, *run.lines[r]);
        for (const DeviceConfig& gone : run.lines[r]->config.devices) {
            leaving.push_back(gone.name);
            if (run.modbus) run.modbus->RemoveDevice(gone.data_id);
        }
    }
    run.lines.clear();  // the stopped lines' sessions go before anything new starts
    run.configs = next.configs;
    if (run.mqtt) run.mqtt->SetDevices(next.configs);
    size_t started = 0;
    for (auto& line : next.starting) {
        if (!StartReloadedLine(run, *line)) {
            // Its devices leave the board (and with it the web face): no ghost that
            // reads as polled.
            StopLine(run, *line);
            for (const DeviceConfig& device : line->config.devices) leaving.push_back(device.name);
            continue;
        }
        line->poller->Go();
        lines.push_back(std::move(line));
        ++started;
    }
    run.lines = std::move(lines);
    ForgetUnpolled(run, leaving);
    const size_t failed = plan.start.size() - started;
    Say(failed > 0 ? Level::kError : Level::kNotice,
        "vimohost: configuration reloaded: " + std::to_string(next.configs.size()) + " devices, " +
            std::to_string(plan.keep.size()) + " lines kept, " + std::to_string(plan.stop.size()) +
            " stopped, " + std::to_string(started) + " started" +
            (failed > 0 ? ", " + std::to_string(failed) + " could not start" : std::string()));
}

// "2 devices, 1520 rounds completed" for the service manager.
std::string StatusLine(const PollRun& run) {
    int64_t rounds = 0;
    const std::vector<Snapshot> snapshots = run.board.Snapshots();
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

// This loop feeds the service manager's watchdog and sees every line's progress. A
// line whose round outruns what its timeouts and retries allow (an adapter or a slave
// that holds its thread) is reported, and again when its rounds go on; the other lines
// poll on, and the service is not restarted for it.
void WatchLines(PollRun& run, std::chrono::steady_clock::time_point now) {
    for (const auto& line : run.lines) {
        const bool overdue = !line->poller->Responsive(now);
        if (overdue == line->overdue) continue;
        line->overdue = overdue;
        if (overdue)
            Say(Level::kError, "vimohost: line " + line->config.key +
                                   ": a round has run longer than its timeouts and retries allow; "
                                   "the other lines poll on");
        else
            Say(Level::kNotice, "vimohost: line " + line->config.key + ": its round ended, polling goes on");
    }
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
            TellStopping(run);
            StopAll(run);
            stopping = true;
        } else if (sig == SIGHUP && !stopping) {
            run.notifier.Send("RELOADING=1");
            Reload(run);
            if (run.notify) run.notify->Service("reloaded");
            run.notifier.Send("READY=1\n" + StatusLine(run));
        }
        bool gave_up = false;
        for (const auto& line : run.lines) gave_up = gave_up || line->poller->GaveUp();
        if (gave_up && !stopping) {
            StopAll(run);
            stopping = true;
        }
        std::string damage;
        if (run.writer && !stopping && run.writer->Damaged(damage)) {
            Fail("history " + run.options.history_file + ": " + damage +
                 "; move it aside or give another --history");
            run.history_failed = true;
            StopAll(run);
            stopping = true;
        }
        const auto now = std::chrono::steady_clock::now();
        WatchLines(run, now);
        run.notifier.KeepAlive(now);
        if (now >= status_due) {
            run.notifier.Send(StatusLine(run));
            status_due = now + kStatusEvery;
        }
    }
    for (const auto& line : run.lines) line->poller->Join();
    return true;
}

// Closes the history's connections at an orderly exit, the writing one last: its WAL
// checkpointed into the main file and truncated, history.db alone is a complete copy.
// The web face's connection is read-only and, closed last, would leave the WAL behind.
void CloseHistory(PollRun& run) {
    run.web.reset();
    run.web_history.reset();
    run.writer.reset();  // stores what it still holds
    if (!run.history) return;
    std::string error;
    if (!run.history->Execute("PRAGMA wal_checkpoint(TRUNCATE)", error))
        Say(Level::kWarning, "vimohost: history " + run.options.history_file +
                                 ": cannot fold the write-ahead log into the file at exit: " + error);
    run.history.reset();
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
    TellStopping(run);
    bool gave_up = false;
    for (const auto& line : run.lines) gave_up = gave_up || line->poller->GaveUp();
    if (run.hooks) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHookDrainMs);
        while (!run.hooks->Idle() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        run.hooks->Stop(0);
    }
    run.mdns.reset();  // withdrawn before the listeners close
    if (run.notify) {
        // The last rounds' messages and "stopped" get a few seconds; what is left
        // waits in the outbox for the next start.
        run.notify->Service("stopped");
        run.notify->Stop(kNotifyDrainMs);
    }
    if (run.protocol) run.protocol->Stop();
    if (run.modbus) run.modbus->Stop();
    if (run.web) run.web->Stop();
    if (run.snmp) run.snmp->Stop();
    run.lines.clear();
    run.mqtt.reset();  // what it holds published, then "offline"
    // What the lines published is printed, written and handed on before the plug-in
    // that renders the status documents goes.
    run.console.reset();
    run.status.reset();
    run.documents.reset();
    run.plugin.reset();
    run.notify_for_web = nullptr;
    run.notify.reset();
    run.outbox.reset();
    if (run.writer) {
        // Everything queued is stored; the file is then marked closed cleanly, so that
        // the next start skips the whole-file check.
        std::string damage;
        // The check, if it still runs, then the queue; not waiting for a failing disk.
        run.writer->FlushUnlessFailing(std::chrono::seconds(10));
        if (!run.history_failed && run.writer->Damaged(damage)) {
            Fail("history " + run.options.history_file + ": " + damage +
                 "; move it aside or give another --history");
            run.history_failed = true;
        }
        run.writer.reset();
        if (!run.history_failed && !run.history->MarkClosed(error))
            Say(Level::kWarning, "vimohost: history: " + error);
    }
    CloseHistory(run);
    if (run.simulator.running()) run.simulator.Stop();
    if (run.history_failed) return kExitFailure;
    return gave_up ? kExitGaveUp : kExitOk;
}

}  // namespace

int CheckConfiguration(const PollOptions& options, size_t& devices) {
    PollRun run(options);
    run.checking_only = true;
    int (*const steps[])(PollRun&) = {LoadConfigurations, CheckConfigFiles, ConfigFromFlags,
                                      CheckStatusTargets, CheckDevices,     CheckServices,
                                      CheckMqtt};
    for (const auto step : steps) {
        const int exit_code = step(run);
        if (exit_code >= 0) return exit_code;
    }
    devices = run.configs.size();
    return kExitOk;
}

int RunPoll(const PollOptions& options) {
    SetConsoleLevel(options.log_level);
#ifdef M_MMAP_THRESHOLD
    // Answers of many megabytes (/metrics of a thousand UPSes) are made and dropped on
    // the server's threads: mapped and unmapped whole, rather than left in a thread's
    // heap, which glibc's moving threshold would do after the first.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    PollRun run(options);
    // Signals are taken by the main thread alone: block them before any thread (line
    // threads, SQLite's) exists, so that every thread inherits the mask.
    sigemptyset(&run.signals);
    sigaddset(&run.signals, SIGINT);
    sigaddset(&run.signals, SIGTERM);
    sigaddset(&run.signals, SIGHUP);
    sigaddset(&run.signals, kLineEnded);
    pthread_sigmask(SIG_BLOCK, &run.signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Under the journal the plug-in's own lines go to the log at debug level.
    StdoutCapture plugin_output;
    plugin_output.StartIfJournal();

    // The steps, in order.
    int (*const steps[])(PollRun&) = {CheckStatusOut,  LoadConfigurations, CheckConfigFiles,
                                      ConfigFromFlags, CheckStatusTargets, CheckDevices,
                                      CheckServices,   CheckMqtt,          StartHooks,
                                      OpenSessions,    StartProtocol,      StartModbus,
                                      StartWeb,        StartSnmp,          StartMdns,
                                      StartMqtt,       OpenHistory,        StartNotify,
                                      Poll};
    for (const auto step : steps) {
        const int exit_code = step(run);
        if (exit_code >= 0) return exit_code;
    }
    return kExitOk;
}

}  // namespace vimo
