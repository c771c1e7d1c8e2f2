#include "hooks/event_hooks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/child_process.h"
#include "common/console.h"
#include "core/json_writer.h"
#include "common/thread_name.h"

extern char** environ;

namespace vimo {

namespace {

using Clock = std::chrono::steady_clock;

// The words of the modes, in HookMode's order.
const char* const kModeNames[] = {"each", "round"};
static_assert(sizeof kModeNames / sizeof kModeNames[0] == 2, "one word per HookMode");

// The event as an "each" hook's environment. Columns: variable, its value from the event.
using EventField = std::string (*)(const AlarmEvent&);
struct EnvironmentRow {
    const char* name;
    EventField value;
};
const EnvironmentRow kEnvironment[] = {
    {"VIMO_DEVICE", [](const AlarmEvent& e) { return e.device; }},
    {"VIMO_DATA_ID", [](const AlarmEvent& e) { return std::to_string(e.data_id); }},
    {"VIMO_EVENT", [](const AlarmEvent& e) { return std::string(KindName(e.kind)); }},
    {"VIMO_ALARM", [](const AlarmEvent& e) { return e.alarm; }},
    {"VIMO_DESCRIPTION", [](const AlarmEvent& e) { return e.description; }},
    {"VIMO_TEXT", [](const AlarmEvent& e) { return e.text; }},
    {"VIMO_SEVERITY", [](const AlarmEvent& e) { return e.severity; }},
    {"VIMO_TIME", [](const AlarmEvent& e) { return LocalIsoTime(e.time); }},
};
static_assert(sizeof kEnvironment / sizeof kEnvironment[0] == 8, "one row per variable");

// A round as a "round" hook's environment (the events come on standard input).
// Columns: variable, its value from the round's events (never empty).
using RoundField = std::string (*)(const std::vector<AlarmEvent>&);
struct RoundEnvironmentRow {
    const char* name;
    RoundField value;
};
const RoundEnvironmentRow kRoundEnvironment[] = {
    {"VIMO_DEVICE", [](const std::vector<AlarmEvent>& r) { return r.front().device; }},
    {"VIMO_DATA_ID", [](const std::vector<AlarmEvent>& r) { return std::to_string(r.front().data_id); }},
    {"VIMO_TIME", [](const std::vector<AlarmEvent>& r) { return LocalIsoTime(r.front().time); }},
    {"VIMO_EVENT_COUNT", [](const std::vector<AlarmEvent>& r) { return std::to_string(r.size()); }},
};
static_assert(sizeof kRoundEnvironment / sizeof kRoundEnvironment[0] == 4, "one row per variable");

// Names of the signals a hook usually ends by. Columns: signal, name.
struct SignalName {
    int signal;
    const char* name;
};
const SignalName kSignalNames[] = {
    {SIGTERM, "SIGTERM"}, {SIGKILL, "SIGKILL"}, {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"},
    {SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGPIPE, "SIGPIPE"}, {SIGBUS, "SIGBUS"},
};
static_assert(sizeof kSignalNames / sizeof kSignalNames[0] == 8, "eight names");

std::string NameOfSignal(int signal) {
    for (const SignalName& row : kSignalNames)
        if (row.signal == signal) return row.name;
    return "signal " + std::to_string(signal);
}

std::string Message(int error) { return std::generic_category().message(error); }

constexpr size_t kTailBytes = 512;     // output kept for the log line
constexpr size_t kQuotedBytes = 160;   // of which the log line quotes at most this
constexpr size_t kReadPerTurn = 1 << 20;  // a hook that floods cannot starve the others
// waitpid's cadence while hooks run (there is no wake-up for a child's end that works
// everywhere, and SIGCHLD belongs to the whole program): the end of a hook's output
// usually means it is exiting, so look again soon. A hook that exits while a child of
// its own still holds the output open is seen at the slower tick.
constexpr int kTickMs = 50;
constexpr int kExitingTickMs = 2;

bool IsVariable(const char* entry, const char* name) {
    const size_t n = std::strlen(name);
    return std::strncmp(entry, name, n) == 0 && entry[n] == '=';
}

bool IsOurVariable(const char* entry) {
    for (const EnvironmentRow& row : kEnvironment)
        if (IsVariable(entry, row.name)) return true;
    for (const RoundEnvironmentRow& row : kRoundEnvironment)
        if (IsVariable(entry, row.name)) return true;
    return false;
}

// "ups1 battery_voltage_low raised" or "ups1 round of 12 events", for log lines.
std::string RunName(const std::vector<AlarmEvent>& events, HookMode mode) {
    const AlarmEvent& e = events.front();
    if (mode == HookMode::kEach) return e.device + " " + e.alarm + " " + KindName(e.kind);
    return e.device + " round of " + std::to_string(events.size()) +
           (events.size() == 1 ? " event" : " events");
}

// The last line of the output that says something, cut at a character boundary.
std::string Quote(std::string tail) {
    for (char& c : tail)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';
    const size_t end = tail.find_last_not_of(" \n");
    if (end == std::string::npos) return "";
    const size_t newline = tail.find_last_of('\n', end);
    size_t begin = tail.find_first_not_of(' ', newline == std::string::npos ? 0 : newline + 1);
    if (end + 1 - begin > kQuotedBytes) {
        begin = end + 1 - kQuotedBytes;
        while (begin <= end && (static_cast<unsigned char>(tail[begin]) & 0xC0) == 0x80) ++begin;
        return "..." + tail.substr(begin, end + 1 - begin);
    }
    return tail.substr(begin, end + 1 - begin);
}

// "30 s", or "1500 ms" for a limit that is no whole number of seconds.
std::string Duration(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// "" when `path` is a regular file this process may run, else what is wrong with it.
std::string NotRunnable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return Message(errno);
    if (S_ISDIR(st.st_mode)) return "a directory, not a program";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (access(path.c_str(), X_OK) != 0) return "not executable (" + Message(errno) + ")";
    return "";
}

std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    for (;;) {
        const size_t colon = dirs.find(':', from);
        std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos
                                                                         : colon - from);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (NotRunnable(candidate).empty()) return candidate;
        if (colon == std::string::npos) return "";
        from = colon + 1;
    }
}

}  // namespace

const char kHookModeHelp[] =
    "\"each\" (default): one run per event, the event in VIMO_*; \"round\": one run per "
    "round that changed anything, its events as JSON lines on standard input, their number "
    "in VIMO_EVENT_COUNT";

const char* HookModeName(HookMode mode) {
    const size_t i = static_cast<size_t>(mode);
    return i < sizeof kModeNames / sizeof kModeNames[0] ? kModeNames[i] : nullptr;
}

bool ParseHookMode(const std::string& text, HookMode& mode) {
    for (size_t i = 0; i < sizeof kModeNames / sizeof kModeNames[0]; ++i) {
        if (text != kModeNames[i]) continue;
        mode = static_cast<HookMode>(i);
        return true;
    }
    return false;
}

std::string RoundLine(const AlarmEvent& e) {
    novex::JsonWriter json;
    json.BeginObject();
    json.Key("device").String(e.device);
    json.Key("data_id").Number(std::to_string(e.data_id));
    json.Key("event").String(KindName(e.kind));
    json.Key("alarm").String(e.alarm);
    json.Key("description").String(e.description);
    json.Key("text").String(e.text);
    json.Key("severity").String(e.severity);
    json.Key("time").String(LocalIsoTime(e.time));
    json.EndObject();
    return json.text();
}

struct EventHooks::Running {
    std::vector<AlarmEvent> events;  // one, or a round's
    pid_t pid = -1;
    int out_fd = -1;  // standard output and error of the hook; -1 once at their end
    int in_fd = -1;   // a round hook's standard input while there is more to write
    std::string input;
    size_t written = 0;
    std::string tail;
    Clock::time_point deadline;
    Clock::time_point kill_at;
    bool term_sent = false;
    bool kill_sent = false;
    bool timed_out = false;     // stopped at its own limit
    bool stopped_early = false; // stopped because Stop's wait ran out first
};

EventHooks::EventHooks(HookOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)) {}

EventHooks::~EventHooks() { Stop(); }

void EventHooks::Say(const std::string& line) const {
    if (log_)
        log_(line);
    else
        vimo::Say(Level::kWarning, line);
}

// The one line of an overflow episode.
std::string EventHooks::DroppedLine(const Device& device) const {
    return device.name + ": " + std::to_string(device.dropped_in_episode) +
           " events dropped, hook queue full (" + std::to_string(options_.queue_per_device) +
           " waiting)";
}

void EventHooks::Wake() const {
    const char byte = 1;
    if (wake_write_ >= 0) {
        // A full pipe already wakes the supervisor: the byte is not needed then.
        const ssize_t ignored = write(wake_write_, &byte, 1);
        (void)ignored;
    }
}

std::string EventHooks::ProgramProblem(const std::vector<std::string>& argv, std::string* resolved) {
    if (argv.empty() || argv[0].empty()) return "the event hook needs a program";
    std::string program = argv[0];
    if (program.find('/') == std::string::npos) {
        program = FindInPath(argv[0]);
        if (program.empty()) return "event hook " + argv[0] + ": no such program in PATH";
    }
    // A path is checked as a name found in PATH is: one that cannot run would fail
    // every event, and only then.
    const std::string wrong = NotRunnable(program);
    if (!wrong.empty()) return "event hook " + program + ": " + wrong;
    if (resolved) *resolved = program;
    return "";
}

bool EventHooks::Start(std::string& error) {
    if (options_.argv.empty() || options_.argv[0].empty()) {
        error = "the event hook needs a program";
        return false;
    }
    if (options_.time_limit_ms < 1 || options_.kill_grace_ms < 0 ||
        options_.queue_per_device < 1 || options_.max_running < 1) {
        error = "event hook limits out of range";
        return false;
    }
    {
        novex::MutexLock lock(mutex_);
        if (started_ || stopping_) {
            error = "event hooks already started";
            return false;
        }
    }
    error = ProgramProblem(options_.argv, &program_);
    if (!error.empty()) return false;
    for (char** entry = environ; entry && *entry; ++entry)
        if (!IsOurVariable(*entry)) base_env_.emplace_back(*entry);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "event hooks: pipe: " + Message(errno);
        return false;
    }
    wake_read_ = fds[0];
    wake_write_ = fds[1];
    {
        novex::MutexLock lock(mutex_);
        started_ = true;
    }
    supervisor_ = std::thread([this] {
        NameThisThread("hooks");
        Supervise();
    });
    return true;
}

void EventHooks::Submit(const AlarmEvent& event) { Queue({event}); }

void EventHooks::SubmitRound(const std::vector<AlarmEvent>& events) {
    if (options_.mode == HookMode::kRound) {
        if (!events.empty()) Queue(events);
        return;
    }
    for (const AlarmEvent& e : events) Queue({e});
}

// One run's events (all of one device), cut to the room left in the device's queue.
void EventHooks::Queue(std::vector<AlarmEvent> events) {
    {
        novex::MutexLock lock(mutex_);
        if (!started_ || stopping_) {
            counters_.dropped += events.size();
            return;
        }
        Device& device = devices_[events.front().data_id];
        device.name = events.front().device;
        const size_t room = options_.queue_per_device - std::min(options_.queue_per_device,
                                                                 device.queued_events);
        if (events.size() > room) {
            device.dropped_in_episode += events.size() - room;
            counters_.dropped += events.size() - room;
            events.resize(room);
        }
        if (events.empty()) return;
        device.queued_events += events.size();
        device.queue.push_back(std::move(events));
    }
    Wake();
}

HookCounters EventHooks::Counters() const {
    novex::MutexLock lock(mutex_);
    return counters_;
}

bool EventHooks::Idle() const {
    novex::MutexLock lock(mutex_);
    for (const auto& entry : devices_)
        if (entry.second.running || !entry.second.queue.empty()) return false;
    return true;
}

void EventHooks::Stop(int max_wait_ms) {
    std::vector<std::string> lines;
    {
        novex::MutexLock lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            if (max_wait_ms >= 0) {
                stop_limited_ = true;
                stop_deadline_ = Clock::now() + std::chrono::milliseconds(max_wait_ms);
            }
            for (auto& entry : devices_) {
                Device& device = entry.second;
                if (device.dropped_in_episode > 0) lines.push_back(DroppedLine(device));
                if (device.queued_events > 0)
                    lines.push_back(device.name + ": " + std::to_string(device.queued_events) +
                                    " queued events dropped at shutdown, hook not run");
                counters_.dropped += device.queued_events;
                device.queue.clear();
                device.queued_events = 0;
                device.dropped_in_episode = 0;
            }
        }
    }
    for (const std::string& line : lines) Say(line);
    Wake();
    if (supervisor_.joinable()) supervisor_.join();
    if (wake_read_ >= 0) close(wake_read_);
    if (wake_write_ >= 0) close(wake_write_);
    wake_read_ = wake_write_ = -1;
}

// Takes the next event of every idle device with one waiting, devices in turn while
// slots are free, and starts their hooks. True if a hook could not be started, so
// that its device's next event is tried without waiting.
bool EventHooks::StartNext(std::vector<Running>& running) {
    std::vector<Running> picked;
    std::vector<std::string> lines;
    {
        novex::MutexLock lock(mutex_);
        const auto after = devices_.upper_bound(last_started_);
        std::vector<std::map<uint32_t, Device>::iterator> order;
        for (auto it = after; it != devices_.end(); ++it) order.push_back(it);
        for (auto it = devices_.begin(); it != after; ++it) order.push_back(it);
        for (auto it : order) {
            if (running.size() + picked.size() >= options_.max_running) break;
            Device& device = it->second;
            if (device.running || device.queue.empty()) continue;
            if (device.dropped_in_episode > 0) {
                lines.push_back(DroppedLine(device));
                device.dropped_in_episode = 0;
            }
            Running run;
            run.events = std::move(device.queue.front());
            device.queue.pop_front();
            device.queued_events -= run.events.size();
            device.running = true;
            ++counters_.runs;
            last_started_ = it->first;
            picked.push_back(std::move(run));
        }
    }
    for (const std::string& line : lines) Say(line);
    bool failed = false;
    for (Running& run : picked) {
        std::string error;
        if (Spawn(run, error)) {
            running.push_back(std::move(run));
            continue;
        }
        Failed(RunName(run.events, options_.mode), error, error);
        novex::MutexLock lock(mutex_);
        ++counters_.failures;
        devices_[run.events.front().data_id].running = false;
        failed = true;
    }
    return failed;
}

bool EventHooks::Spawn(Running& run, std::string& error) const {
    const bool round = options_.mode == HookMode::kRound;
    std::vector<std::string> env = base_env_;
    if (round) {
        for (const RoundEnvironmentRow& row : kRoundEnvironment)
            env.push_back(std::string(row.name) + "=" + row.value(run.events));
        for (const AlarmEvent& e : run.events) run.input += RoundLine(e) + "\n";
    } else {
        for (const EnvironmentRow& row : kEnvironment)
            env.push_back(std::string(row.name) + "=" + row.value(run.events.front()));
    }
    // A group of its own: the time limit stops the hook with whatever it started, and a
    // terminal's Ctrl-C to vimohost does not reach it. A round hook's input is a socket.
    SpawnRequest request;
    request.argv = options_.argv;
    request.program = program_;
    request.env = &env;
    request.input = round ? SpawnRequest::Input::kSocket : SpawnRequest::Input::kNull;
    request.output = SpawnRequest::Output::kPipeWithErrors;
    request.close_others = true;
    request.default_signals = true;
    Spawned child;
    if (!SpawnChild(request, child, error)) {
        error = "cannot run: " + error;
        return false;
    }
    fcntl(child.out_fd, F_SETFL, fcntl(child.out_fd, F_GETFL) | O_NONBLOCK);
    run.pid = child.pid;
    run.out_fd = child.out_fd;
    run.in_fd = child.in_fd;
    run.deadline = Clock::now() + std::chrono::milliseconds(options_.time_limit_ms);
    return true;
}

// Writes what the hook's input socket takes now; closes it when all is written or the
// hook no longer reads (it exited, or closed its input): the rest is not its to see.
static void WriteInput(int& fd, const std::string& input, size_t& written) {
    while (fd >= 0 && written < input.size()) {
        const ssize_t n = send(fd, input.data() + written, input.size() - written,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
    fd = -1;
}

void EventHooks::Finish(const Running& run, int status) {
    std::string outcome;
    const std::string by = WIFSIGNALED(status) ? NameOfSignal(WTERMSIG(status)) : "";
    if (run.timed_out)
        outcome = "no end within " + Duration(options_.time_limit_ms) + ", stopped" +
                  (by.empty() ? "" : " by " + by);
    else if (run.stopped_early)
        outcome = "stopped at shutdown" + (by.empty() ? std::string() : " by " + by);
    else if (WIFSIGNALED(status))
        outcome = "ended by " + by;
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        outcome = "exit status " + std::to_string(WEXITSTATUS(status));
    if (!outcome.empty()) {
        const std::string quoted = Quote(run.tail);
        Failed(RunName(run.events, options_.mode), outcome,
               outcome + (quoted.empty() ? "" : "; output ends: " + quoted));
    } else {
        Worked();
    }
    novex::MutexLock lock(mutex_);
    if (!outcome.empty()) ++counters_.failures;
    if (run.timed_out) ++counters_.timeouts;
    devices_[run.events.front().data_id].running = false;
}

void EventHooks::Failed(const std::string& run_name, const std::string& kind,
                        const std::string& detail) {
    // Another way of failing starts a new run of failures, said at once, after the
    // count of the old run's unsaid ones.
    if (kind != failure_kind_) {
        const std::string unsaid = failure_note_.Unsaid("hook " + options_.argv[0]);
        if (!unsaid.empty()) Say(unsaid + " (last: " + failure_kind_ + ")");
        failure_note_ = FailureNote();
    }
    failure_kind_ = kind;
    const std::string line = failure_note_.Failed("hook " + options_.argv[0] + " for " + run_name,
                                                  detail, FailureNote::Clock::now());
    if (!line.empty()) Say(line);
}

void EventHooks::Worked() {
    const std::string unsaid = failure_note_.Unsaid("hook " + options_.argv[0]);
    if (!unsaid.empty()) Say(unsaid + " (last: " + failure_kind_ + ")");
    const std::string line = failure_note_.Worked("hook " + options_.argv[0]);
    failure_kind_.clear();
    if (!line.empty()) Say(line);
}

void EventHooks::Supervise() {
    std::vector<Running> running;
    for (;;) {
        bool stopping, limited;
        Clock::time_point stop_deadline;
        {
            novex::MutexLock lock(mutex_);
            stopping = stopping_;
            limited = stop_limited_;
            stop_deadline = stop_deadline_;
        }
        const bool retry = !stopping && StartNext(running);
        if (stopping && running.empty()) {
            const std::string unsaid = failure_note_.Unsaid("hook " + options_.argv[0]);
            if (!unsaid.empty()) Say(unsaid + " (last: " + failure_kind_ + ")");
            return;
        }

        // Sleep until output, an event, a deadline or the next look at the children.
        std::vector<pollfd> fds{{wake_read_, POLLIN, 0}};
        int timeout_ms = running.empty() ? -1 : kTickMs;
        for (const Running& run : running) {
            if (run.in_fd >= 0) fds.push_back({run.in_fd, POLLOUT, 0});
            if (run.out_fd >= 0)
                fds.push_back({run.out_fd, POLLIN, 0});
            else
                timeout_ms = kExitingTickMs;
        }
        if (retry) timeout_ms = 0;
        poll(fds.data(), fds.size(), timeout_ms);
        char sink[256];
        while (read(wake_read_, sink, sizeof sink) > 0) {
        }

        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < running.size();) {
            Running& run = running[i];
            WriteInput(run.in_fd, run.input, run.written);
            size_t taken = 0;
            while (run.out_fd >= 0 && taken < kReadPerTurn) {
                char chunk[16384];
                const ssize_t n = read(run.out_fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno == EAGAIN) break;
                if (n <= 0) {
                    close(run.out_fd);
                    run.out_fd = -1;
                    break;
                }
                taken += static_cast<size_t>(n);
                run.tail.append(chunk, static_cast<size_t>(n));
                if (run.tail.size() > 2 * kTailBytes) run.tail.erase(0, run.tail.size() - kTailBytes);
            }
            int status = 0;
            if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
                if (run.out_fd >= 0) close(run.out_fd);
                if (run.in_fd >= 0) close(run.in_fd);
                Finish(run, status);
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            // Until reaped, the pid (and so its group) is still this hook's.
            const bool stop_first = limited && stop_deadline < run.deadline;
            const Clock::time_point deadline = stop_first ? stop_deadline : run.deadline;
            if (!run.term_sent && now >= deadline) {
                kill(-run.pid, SIGTERM);
                run.term_sent = true;
                run.timed_out = !stop_first;
                run.stopped_early = stop_first;
                run.kill_at = now + std::chrono::milliseconds(options_.kill_grace_ms);
            } else if (run.term_sent && !run.kill_sent && now >= run.kill_at) {
                kill(-run.pid, SIGKILL);
                run.kill_sent = true;
            }
            ++i;
        }
    }
}

}  // namespace vimo
