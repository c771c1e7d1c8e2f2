// The AgentX subagent on net-snmp's agent library. The library keeps global state and
// is not thread-safe, so everything of it runs on the agent's own thread: setup,
// requests, pings, traps and shutdown. Line threads only queue the snapshots they
// publish and wake the thread through a pipe.
#include "snmp/agent.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include "core/command_line.h"
#include "common/console.h"
#include "core/thread_annotations.h"
#include "host/line_settings.h"
#include "snmp/ratings.h"
#include "snmp/ups_mib.h"
#include "common/thread_name.h"

namespace vimo {
namespace snmp {

namespace monitor = novex::monitor;

bool SnmpBuilt() { return true; }

namespace {

// A snapshot waiting for the agent's thread; at most this many per device wait, the
// oldest going first (a thread that far behind has missed rounds anyway).
constexpr size_t kMaxQueued = 64;
// How long the agent's thread waits at most before it looks at its queue.
constexpr int kTickMs = 200;
// A view older than this is made again: upsSecondsOnBattery moves with the clock.
constexpr double kViewSeconds = 1.0;
// A device publishes after every round, failed ones too. One that published nothing
// for three of its communication-loss windows (at least this long) was removed by a
// reload or its line hangs: its last figures are no longer served as fresh.
constexpr double kMinSilentSeconds = 60.0;
// upsTrapOnBattery again while the UPS stays on battery, every this many seconds.
constexpr double kOnBatteryTrapSeconds = 60.0;

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

class Agent;

// One served device; the handler's registrations point at it.
struct Device {
    Agent* agent = nullptr;
    snmp::UpsIdentity identity;
    std::shared_ptr<const monitor::DeviceSnapshot> snapshot;
    snmp::DeviceTrack track;
    snmp::View view;
    double view_made = -1.0;  // -1: make it again
    std::string context;      // where its traps go: "" for the first device
    double arrived = 0.0;     // when its last snapshot came
    double silent_after = kMinSilentSeconds;  // no snapshot for this long: not fresh
    double on_battery_trap = 0.0;  // when upsTrapOnBattery went last
};

snmp::UpsIdentity IdentityOf(const std::string& name, const std::vector<DeviceConfig>& configs) {
    snmp::UpsIdentity identity;
    identity.name = name;
    identity.agent_version = novex::VersionLine("vimohost");
    for (const DeviceConfig& config : configs) {
        if (config.name != name) continue;
        const Json::Value& s = config.settings;
        identity.manufacturer = s["manufacturer"].asString();
        identity.model = s["model"].asString();
        if (s["attached_devices"].isString()) identity.attached_devices = s["attached_devices"].asString();
        if (s["battery_charge_low"].isInt()) identity.battery_charge_low = s["battery_charge_low"].asInt();
        identity.battery_runtime_low = s["battery_runtime_low"].asInt();
        for (const snmp::RatingKey& k : snmp::kRatingKeys)
            if (s["ratings"][k.key].isNumeric()) identity.ratings[k.key] = s["ratings"][k.key].asDouble();
    }
    return identity;
}

// The one agent of the process (net-snmp's state is the process's).
std::atomic<Agent*> g_agent{nullptr};

class Agent : public SnmpAgent, public BoardSubscriber {
public:
    Agent(std::string address, std::vector<DeviceConfig> configs)
        : address_(std::move(address)), configs_(std::move(configs)) {}

    // Line threads may still queue after Stop, so the pipe lasts as long as the agent.
    ~Agent() override {
        Stop();
        if (wake_[0] >= 0) close(wake_[0]);
        if (wake_[1] >= 0) close(wake_[1]);
    }

    bool Begin(SnapshotBoard& board, std::string& error) {
        Agent* none = nullptr;
        if (!g_agent.compare_exchange_strong(none, this)) {
            error = "one SNMP agent per process";
            return false;
        }
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = std::string("cannot make a pipe: ") + std::strerror(errno);
            wake_[0] = wake_[1] = -1;
            g_agent = nullptr;
            return false;
        }
        firsts_ = board.Snapshots();
        board.Subscribe(*this);
        thread_ = std::thread([this] {
            NameThisThread("snmp");
            Run();
        });
        return true;
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        stop_ = true;
        Wake();
        thread_.join();
        g_agent = nullptr;
    }

    // On the agent's thread.
    void Connected(bool up) {
        if (up == connected_) return;
        connected_ = up;
        if (up) {
            Say("vimohost: SNMP: serving the UPS MIB through the AgentX master at " + address_);
            said_absent_ = false;
        } else if (!said_absent_) {
            said_absent_ = true;
            Say(Level::kWarning, "vimohost: SNMP: the AgentX master at " + address_ +
                                     " went away; trying again every " +
                                     std::to_string(kAgentxPingSeconds) + " s");
        }
    }

    // net-snmp's own log lines, said once each in a row: a master that refuses a
    // registration says so here.
    void Log(int priority, const std::string& message) {
        std::string line = message;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line == last_log_) return;
        last_log_ = line;
        Say(priority <= LOG_WARNING && !starting_ ? Level::kWarning : Level::kDebug,
            "vimohost: SNMP: " + line);
    }

    const snmp::View& ViewOf(Device& d) {
        const double now = SteadySeconds();
        if (d.view_made < 0 || now - d.view_made >= kViewSeconds) {
            if (d.snapshot && now - d.arrived > d.silent_after && !d.snapshot->stale) {
                monitor::DeviceSnapshot old = *d.snapshot;
                old.stale = true;
                d.view = snmp::MapUpsMib(old, d.identity, d.track, now);
            } else {
                d.view = d.snapshot ? snmp::MapUpsMib(*d.snapshot, d.identity, d.track, now) : snmp::View();
            }
            d.view_made = now;
        }
        return d.view;
    }

    // On the publishing line thread: the snapshot is queued for the agent's thread,
    // at most kMaxQueued a device.
    void Take(const BoardUpdate& update) override { Queue(update.now); }

private:
    void Queue(const Snapshot& snapshot) {
        {
            novex::MutexLock lock(queue_mutex_);
            size_t same = 0;
            for (const Snapshot& s : queue_) same += s->device_name == snapshot->device_name;
            if (same >= kMaxQueued) {
                for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                    if ((*it)->device_name != snapshot->device_name) continue;
                    queue_.erase(it);
                    break;
                }
            }
            queue_.push_back(snapshot);
        }
        Wake();
    }

    void Wake() {
        const char byte = 1;
        // A full pipe already wakes the thread.
        if (write(wake_[1], &byte, 1) < 0) return;
    }

    void Setup() {
        netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, address_.c_str());
        netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                           kAgentxPingSeconds);
        // Absence is said once, here, not at every attempt.
        netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
        // vimohost reads no snmp.conf and keeps no state file; timers run without SIGALRM,
        // which would hit whichever thread.
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
        snmp_disable_log();
        snmp_enable_calllog();
        snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnLog, nullptr);
        snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnConnect, nullptr);
        snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnDisconnect, nullptr);
        // The agent answers with numeric OIDs only: no MIB file is read (the library
        // would parse every one it finds, and complain of each missing import).
        netsnmp_set_mib_directory("/nonexistent/vimohost");
        init_agent("vimohost");
        for (const Snapshot& s : firsts_) AddDevice(*s);
        firsts_.clear();
        starting_ = true;  // what the library says while it starts is no news
        init_snmp("vimohost");
        starting_ = false;
        if (!connected_) {
            said_absent_ = true;
            Say(Level::kWarning, "vimohost: SNMP: no AgentX master at " + address_ + Why() +
                                     "; trying again every " + std::to_string(kAgentxPingSeconds) +
                                     " s");
        }
    }

    // Why a socket path cannot be reached, when the file system says so.
    std::string Why() const {
        std::string path = address_.rfind("unix:", 0) == 0 ? address_.substr(5) : address_;
        if (path.empty() || path[0] != '/') return "";
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return " (" + path + ": " + std::strerror(errno) + ")";
        if (!S_ISSOCK(st.st_mode)) return " (" + path + " is no socket)";
        if (access(path.c_str(), R_OK | W_OK) != 0) return " (" + path + ": " + std::strerror(errno) + ")";
        return "";
    }

    void AddDevice(const monitor::DeviceSnapshot& first) {
        const std::string& name = first.device_name;
        devices_.push_back(std::make_unique<Device>());
        Device& d = *devices_.back();
        d.agent = this;
        d.identity = IdentityOf(name, configs_);
        d.arrived = SteadySeconds();
        d.silent_after = std::max(kMinSilentSeconds, 3.0 * first.loss_window_s);
        if (devices_.size() == 1) Register(d, "");
        d.context = devices_.size() == 1 || !ContextNameOk(name) ? "" : name;
        if (ContextNameOk(name))
            Register(d, name);
        else
            Say(Level::kWarning, "vimohost: SNMP: device \"" + novex::EscapeText(name) +
                                     "\" gets no SNMP context of its name: a context is 1 to 32 "
                                     "letters, digits, '.', '_' or '-'");
    }

    void Register(Device& d, const std::string& context) {
        std::vector<oid> root(snmp::kUpsMib.begin(), snmp::kUpsMib.end());
        netsnmp_mib_handler* handler = netsnmp_create_handler("vimohost-ups", Handle);
        if (handler == nullptr) return;
        handler->myvoid = &d;
        netsnmp_handler_registration* reg = netsnmp_handler_registration_create(
            "vimohost-ups", handler, root.data(), root.size(), HANDLER_CAN_RONLY);
        if (reg == nullptr) return;
        if (!context.empty()) reg->contextName = strdup(context.c_str());
        if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK)
            Say(Level::kWarning, "vimohost: SNMP: cannot register the UPS MIB" +
                                     (context.empty() ? std::string() : " in context " + context));
    }

    Device* Find(const std::string& name) {
        for (auto& d : devices_)
            if (d->identity.name == name) return d.get();
        return nullptr;
    }

    // Takes the queued snapshots in publish order: each is one round of its device.
    void TakeQueued() {
        std::deque<Snapshot> taken;
        {
            novex::MutexLock lock(queue_mutex_);
            taken.swap(queue_);
        }
        const double now = SteadySeconds();
        const uint32_t uptime = static_cast<uint32_t>(netsnmp_get_agent_uptime());
        for (const Snapshot& s : taken) {
            Device* d = Find(s->device_name);
            if (d == nullptr) {
                // A device a reload started.
                AddDevice(*s);
                d = devices_.back().get();
            }
            d->snapshot = s;
            d->arrived = now;
            d->view_made = -1.0;
            Notify(*d, snmp::TakeRound(d->track, *s, d->identity, now, uptime), now);
        }
    }

    // The traps of one round of a device: at most one upsTrapOnBattery, one
    // upsTrapAlarmEntryAdded or Removed for each well-known alarm (each is one row).
    void Notify(Device& d, const snmp::RoundNews& news, double now) {
        const snmp::View& view = ViewOf(d);
        const bool again = d.track.on_battery && now - d.on_battery_trap >= kOnBatteryTrapSeconds;
        if (news.went_on_battery || again) {
            d.on_battery_trap = now;
            std::vector<snmp::Oid> objects;
            for (const char* suffix : {"2.3.0", "2.2.0", "9.7.0"}) {
                snmp::Oid oid = snmp::kUpsObjects;
                for (const char* p = suffix; *p != '\0'; ++p)
                    if (*p != '.') oid.push_back(static_cast<uint32_t>(*p - '0'));
                objects.push_back(oid);
            }
            Send(d, snmp::kTrapOnBattery, view, objects);
        }
        for (const auto& [rows, trap] : {std::make_pair(&news.added, &snmp::kTrapAlarmAdded),
                                          std::make_pair(&news.removed, &snmp::kTrapAlarmRemoved)}) {
            for (const snmp::AlarmRow& row : *rows) {
                snmp::View objects;
                snmp::Oid id = snmp::kAlarmIdColumn, descr = snmp::kAlarmDescrColumn;
                id.push_back(row.id);
                descr.push_back(row.id);
                objects[id] = {snmp::Type::kInteger, row.id, "", {}};
                snmp::Oid well_known = snmp::kWellKnownAlarms;
                well_known.push_back(static_cast<uint32_t>(row.well_known));
                objects[descr] = {snmp::Type::kOid, 0, "", well_known};
                Send(d, *trap, objects, {id, descr});
            }
        }
    }

    // Sends `trap` through the master with `objects` from `values` (those it lacks are
    // left out: a figure not measured now).
    void Send(const Device& d, const snmp::Oid& trap, const snmp::View& values,
              const std::vector<snmp::Oid>& objects) {
        netsnmp_variable_list* vars = nullptr;
        // snmpTrapOID.0 first; the library puts sysUpTime.0 before it.
        static const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
        const std::vector<oid> trap_oid(trap.begin(), trap.end());
        snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                                  trap_oid.data(), trap_oid.size() * sizeof(oid));
        for (const snmp::Oid& object : objects) {
            const auto it = values.find(object);
            if (it == values.end()) continue;
            const std::vector<oid> name(object.begin(), object.end());
            netsnmp_variable_list* var =
                snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
            if (var != nullptr) SetValue(var, it->second);
        }
        // Every trap names its UPS (upsIdentName.0): a v2c trap carries no context, and
        // traps of several UPSes would otherwise look alike.
        snmp::Oid name = snmp::kUpsObjects;
        name.insert(name.end(), {1, 5, 0});
        const std::vector<oid> name_oid(name.begin(), name.end());
        snmp_varlist_add_variable(&vars, name_oid.data(), name_oid.size(), ASN_OCTET_STR,
                                  d.identity.name.data(), d.identity.name.size());
        send_v3trap(vars, d.context.empty() ? nullptr : d.context.c_str());
        snmp_free_varbind(vars);
    }

    void Run() {
        Setup();
        char sink[64];
        while (!stop_) {
            int fds = 0, block = 0;
            fd_set set;
            FD_ZERO(&set);
            timeval timeout{0, kTickMs * 1000};
            snmp_select_info(&fds, &set, &timeout, &block);
            if (wake_[0] < FD_SETSIZE) FD_SET(wake_[0], &set);
            fds = std::max(fds, wake_[0] + 1);
            const int ready = select(fds, &set, nullptr, nullptr, &timeout);
            if (ready > 0) {
                if (FD_ISSET(wake_[0], &set))
                    while (read(wake_[0], sink, sizeof sink) > 0) {
                    }
                snmp_read(&set);
            } else if (ready == 0) {
                snmp_timeout();
            }
            run_alarms();
            netsnmp_check_outstanding_agent_requests();
            TakeQueued();
        }
        snmp_shutdown("vimohost");
        shutdown_agent();
    }

    static int OnLog(int, int, void* server_arg, void*) {
        const auto* message = static_cast<const snmp_log_message*>(server_arg);
        Agent* agent = g_agent.load();
        if (agent != nullptr && message != nullptr) agent->Log(message->priority, Text(message->msg));
        return SNMP_ERR_NOERROR;
    }
    static int OnConnect(int, int, void*, void*) {
        if (Agent* agent = g_agent.load()) agent->Connected(true);
        return SNMP_ERR_NOERROR;
    }
    static int OnDisconnect(int, int, void*, void*) {
        if (Agent* agent = g_agent.load()) agent->Connected(false);
        return SNMP_ERR_NOERROR;
    }

    static void SetValue(netsnmp_variable_list* var, const snmp::Value& v) {
        switch (v.type) {
            case snmp::Type::kInteger: {
                const long n = static_cast<long>(v.number);
                snmp_set_var_typed_value(var, ASN_INTEGER, &n, sizeof n);
                return;
            }
            case snmp::Type::kGauge:
            case snmp::Type::kCounter:
            case snmp::Type::kTimeTicks: {
                const u_long n = static_cast<u_long>(v.number);
                const u_char type = v.type == snmp::Type::kGauge     ? ASN_GAUGE
                                    : v.type == snmp::Type::kCounter ? ASN_COUNTER
                                                                     : ASN_TIMETICKS;
                snmp_set_var_typed_value(var, type, &n, sizeof n);
                return;
            }
            case snmp::Type::kText:
                snmp_set_var_typed_value(var, ASN_OCTET_STR, v.text.data(), v.text.size());
                return;
            case snmp::Type::kOid: {
                const std::vector<oid> parts(v.oid.begin(), v.oid.end());
                snmp_set_var_typed_value(var, ASN_OBJECT_ID, parts.data(), parts.size() * sizeof(oid));
                return;
            }
        }
    }

    static int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration*,
                      netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
        Device* d = static_cast<Device*>(handler->myvoid);
        const snmp::View& view = d->agent->ViewOf(*d);
        for (netsnmp_request_info* r = requests; r != nullptr; r = r->next) {
            if (r->processed) continue;
            const snmp::Oid asked(r->requestvb->name, r->requestvb->name + r->requestvb->name_length);
            if (info->mode == MODE_GET) {
                const auto it = view.find(asked);
                if (it != view.end())
                    SetValue(r->requestvb, it->second);
                else
                    netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
            } else if (info->mode == MODE_GETNEXT) {
                // An AgentX search range may include its start.
                const auto it = r->inclusive ? view.lower_bound(asked) : view.upper_bound(asked);
                if (it == view.end()) continue;  // the next is beyond this subtree
                const std::vector<oid> name(it->first.begin(), it->first.end());
                snmp_set_var_objid(r->requestvb, name.data(), name.size());
                SetValue(r->requestvb, it->second);
            } else {
                netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
            }
        }
        return SNMP_ERR_NOERROR;
    }

    const std::string address_;
    const std::vector<DeviceConfig> configs_;
    std::vector<Snapshot> firsts_;  // the board's devices at start, in order
    std::thread thread_;
    std::atomic<bool> stop_{false};
    int wake_[2] = {-1, -1};
    // Filled by the publishing threads, drained by the agent's.
    novex::Mutex queue_mutex_;
    std::deque<Snapshot> queue_ GUARDED_BY(queue_mutex_);
    // The agent's thread only.
    std::vector<std::unique_ptr<Device>> devices_;
    bool connected_ = false;
    bool said_absent_ = false;
    bool starting_ = false;
    std::string last_log_;
};

}  // namespace

std::unique_ptr<SnmpAgent> SnmpAgent::Start(const std::string& address, SnapshotBoard& board,
                                            const std::vector<DeviceConfig>& devices,
                                            std::string& error) {
    if (!CheckAgentxAddress(address, error)) return nullptr;
    auto agent = std::make_unique<Agent>(address, devices);
    if (!agent->Begin(board, error)) return nullptr;
    return agent;
}

}  // namespace snmp
}  // namespace vimo
