#include "sim/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/command_line.h"
#include "host/line_settings.h"

namespace novexsim {

using novex::AddValue;
using novex::AddWhole;

namespace {

const char kUsage[] = "novexups-sim (--tcp PORT | --pty | --serial DEV) [options]";

const char kAbout[] =
    "Serves a simulated modular UPS as a Modbus slave: coils 1..31 and 65..97 (functions\n"
    "01 and 02), input registers 1..40, 61..68, 81..91, the ten module blocks 100..120,\n"
    "150..170, ... 550..570 and 2000..2119 (function 04). Other addresses answer\n"
    "exception 02, other functions exception 01. When ready it prints one line on\n"
    "standard output, \"ready tcp ADDR:PORT\", \"ready rtu /dev/pts/N\" or \"ready rtu DEV\";\n"
    "everything else goes to standard error. SIGTERM or SIGINT stops it with status 0.";

const char kFooter[] =
    "A round of the scenario starts with each read of coil 1. Nth counts every request\n"
    "served since start. The scenario file's format is in docs/simulator.md.";

// The ranges of the counting options; their errors name them.
constexpr int64_t kMaxEvery = 1000000000;
constexpr int64_t kMaxRequests = 1000000000000000000LL;

std::string Counts(const char* what, int64_t max) {
    return std::string(what) + " 1.." + std::to_string(max);
}

bool ParseReal(const std::string& text, double lo, double hi, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    out = v;
    return true;
}

CLI::Option* AddReal(CLI::App& app, const std::string& flag, const std::string& help,
                     double& target, double lo, double hi, const char* expected) {
    return AddValue(app, flag, "X", help, [&target, lo, hi, expected](const std::string& v) {
        return ParseReal(v, lo, hi, target) ? std::string() : std::string(expected);
    });
}

// The simulator's row of a line setting, by key.
const vimo::LineSetting& Line(const char* key) { return *vimo::FindLineSetting(key); }

// "an address 1..247": the setting's range under the simulator's own name for it.
std::string Range(const vimo::LineSetting& s, const std::string& noun = "") {
    return noun + (noun.empty() ? "" : " ") + std::to_string(s.min) + ".." +
           std::to_string(s.max);
}

// The fault options. Columns: flag, the FaultConfig member, help.
struct FaultFlag {
    const char* flag;
    int FaultConfig::*member;
    const char* help;
};
const FaultFlag kFaultFlags[] = {
    {"--fault-noanswer", &FaultConfig::noanswer_every, "no answer to every Nth request"},
    {"--fault-crc", &FaultConfig::crc_every,
     "corrupt every Nth answer: the CRC (RTU), the MBAP protocol and length fields (TCP)"},
    {"--fault-exception", &FaultConfig::exception_every,
     "answer every Nth request with exception 04"},
    {"--fault-drop", &FaultConfig::drop_every,
     "close the TCP connection instead of answering every Nth request (RTU: no answer)"},
};
static_assert(sizeof kFaultFlags / sizeof kFaultFlags[0] == 4, "one row per counted fault");

void AddTransports(CLI::App& app, Options& o) {
    const std::string group = "Transport (exactly one)";
    CLI::Option* tcp =
        AddWhole(app, "--tcp", "Modbus TCP on PORT, 0 = any free port; clients may disconnect "
                 "and reconnect", o.tcp_port, 0, 65535, "a port number 0..65535");
    tcp->type_name("PORT");
    CLI::Option* pty = app.add_flag("--pty", "Modbus RTU on a new pseudo-terminal; clients open "
                                             "the printed path");
    pty->disable_flag_override();
    CLI::Option* serial = AddValue(app, "--serial", "DEV", "Modbus RTU on a serial device",
                                   [&o](const std::string& v) {
                                       o.serial_device = v;
                                       return v.empty() ? std::string("a device path")
                                                        : std::string();
                                   });
    for (CLI::Option* t : {tcp, pty, serial}) {
        t->group(group)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
        for (CLI::Option* other : {tcp, pty, serial})
            if (other != t) t->excludes(other);
    }
    AddValue(app, "--bind", "ADDR", "IPv4 address to listen on with --tcp (default 127.0.0.1)",
             [&o](const std::string& v) {
                 in_addr a{};
                 o.bind = v;
                 return inet_pton(AF_INET, v.c_str(), &a) == 1
                            ? std::string()
                            : std::string("an IPv4 address such as 127.0.0.1");
             })
        ->needs(tcp)
        ->group(group);
    const vimo::LineSetting& baud = Line("baud");
    AddWhole(app, baud.flag,
             "line speed of --serial, " + Range(baud) + " (default " +
                 std::to_string(baud.fallback) + ")",
             o.baud, baud.min, baud.max, Range(baud, "a line speed"))
        ->group(group);
    AddValue(app, vimo::kParityFlag, "N|E|O",
             "parity of --serial (default N); 8 data bits, 1 stop bit",
             [&o](const std::string& v) {
                 if (v.size() != 1 || std::strchr(vimo::kParityLetters, v[0]) == nullptr)
                     return std::string("N, E or O");
                 o.parity = v[0];
                 return std::string();
             })
        ->group(group);
    const vimo::LineSetting& slave = Line("slave");
    AddWhole(app, slave.flag,
             "slave address " + Range(slave) + " (default " + std::to_string(slave.fallback) +
                 "); over TCP unit 255 is answered too, other addresses get no answer",
             o.slave, slave.min, slave.max, Range(slave, "an address"))
        ->group(group)
        ->excludes(AddValue(app, "--slaves", "FIRST-LAST",
                            "with --tcp, answer every address from FIRST to LAST (each " +
                                Range(slave) + "), all with the one simulated UPS; for "
                                "polling many devices through one port",
                            [&o, slave](const std::string& v) {
                                const size_t dash = v.find('-');
                                int64_t first = 0, last = 0;
                                if (dash == std::string::npos ||
                                    !novex::ParseWhole(v.substr(0, dash), slave.min, slave.max, first) ||
                                    !novex::ParseWhole(v.substr(dash + 1), first, slave.max, last))
                                    return "FIRST-LAST, addresses " + Range(slave) + ", FIRST <= LAST";
                                o.slave = static_cast<int>(first);
                                o.last_slave = static_cast<int>(last);
                                return std::string();
                            })
                       ->needs(tcp)
                       ->group(group));
}

void AddFaults(CLI::App& app, Options& o) {
    const std::string group = "Timing and faults";
    AddWhole(app, "--baud-pacing",
             "answer only once the exchange would have ended on an N-baud 8N1 line (both RTU "
             "frames and 3.5 silent characters after each), counted from the request's "
             "arrival; logs \"round K paced S s\", the summed wire time of round K, when the "
             "read of register 2119 is answered",
             o.baud_pacing, Line("baud").min, Line("baud").max, Range(Line("baud"), "a line speed"))
        ->group(group);
    for (const FaultFlag& f : kFaultFlags)
        AddWhole(app, f.flag, f.help, o.faults.*f.member, 1, kMaxEvery,
                 Counts("a request count", kMaxEvery))->group(group);
    CLI::Option* delay =
        AddWhole(app, "--fault-delay-ms", "delay answers by N milliseconds ...",
                 o.faults.delay_ms, 1, 600000, "milliseconds 1..600000");
    delay->group(group);
    AddWhole(app, "--fault-delay-every",
             "... every Nth request (default 1; with --fault-rate and no --fault-delay-every, "
             "the delay only sizes the random delays)",
             o.faults.delay_every, 1, kMaxEvery, Counts("a request count", kMaxEvery))
        ->needs(delay)
        ->group(group);
    AddReal(app, "--fault-rate",
            "give each request, with X % probability, one fault of the kinds above, drawn at "
            "random (delay: --fault-delay-ms or 50 ms)",
            o.faults.rate_percent, 0, 100, "a percentage 0..100")
        ->group(group);
    AddValue(app, "--seed", "N", "seed of --fault-rate (default 1)", [&o](const std::string& v) {
        if (v.empty() || v.size() > 20 || v.find_first_not_of("0123456789") != std::string::npos)
            return std::string("a whole number");
        errno = 0;
        o.faults.seed = std::strtoull(v.c_str(), nullptr, 10);
        return errno == 0 ? std::string() : std::string("a whole number");
    })->group(group);
}

}  // namespace

void AddOptions(CLI::App& app, Options& o) {
    novex::Describe(app, kUsage, kAbout, kFooter);
    AddTransports(app, o);
    AddValue(app, "--scenario", "NAME|FILE",
             "normal (default): on mains, four modules fitted; on-battery: discharging, "
             "capacity and backup time fall each round, low-battery alarm from round 4; "
             "module-fault: module 3 with rectifier and fan faults; outage: on mains, then on "
             "battery until the charge is low, then mains back and the battery recharging "
             "(the quick start's demo); or a JSON scenario file",
             [&o](const std::string& v) {
                 o.scenario = v;
                 return v.empty() ? std::string("a scenario name or file") : std::string();
             })
        ->group("Data");
    const std::string stopping = "Stopping";
    AddWhole(app, "--max-requests", "exit after N requests", o.max_requests, 1,
             kMaxRequests, Counts("a count", kMaxRequests))
        ->group(stopping);
    AddReal(app, "--duration-s", "exit after X seconds", o.duration_s, 0.001, 1e7,
            "seconds, more than 0")
        ->group(stopping);
    app.add_flag("--exit-with-parent", o.exit_with_parent,
                 "exit when the process that started it ends")
        ->disable_flag_override()
        ->group(stopping);
    AddFaults(app, o);
    app.add_flag("--verbose", o.verbose, "log every request")->disable_flag_override();
    app.callback([&app, &o] {
        if (app.count("--tcp") > 0) o.transport = Transport::kTcp;
        if (app.count("--pty") > 0) o.transport = Transport::kPty;
        if (app.count("--serial") > 0) o.transport = Transport::kSerial;
        if (o.transport == Transport::kNone)
            throw CLI::ValidationError("no transport: give --tcp PORT, --pty or --serial DEV");
        if (o.faults.delay_ms > 0 && o.faults.delay_every == 0 && o.faults.rate_percent == 0)
            o.faults.delay_every = 1;
    });
}

novex::Parsed ParseOptions(const std::vector<std::string>& args, Options& out) {
    CLI::App app("", "novexups-sim");
    AddOptions(app, out);
    novex::AddVersion(app);
    return novex::Parse(app, args, novex::kSimulatorWording);
}

}  // namespace novexsim
