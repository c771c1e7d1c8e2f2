#include "options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace novexsim {

const char kUsage[] =
    "usage: novexups-sim (--tcp PORT | --pty | --serial DEV) [options]\n"
    "\n"
    "Serves a simulated modular UPS as a Modbus slave: coils 1..31 and 65..97 (functions\n"
    "01 and 02), input registers 1..40, 61..68, 81..91, the ten module blocks 100..120,\n"
    "150..170, ... 550..570 and 2000..2119 (function 04). Other addresses answer\n"
    "exception 02, other functions exception 01. When ready it prints one line on\n"
    "standard output, \"ready tcp ADDR:PORT\", \"ready rtu /dev/pts/N\" or \"ready rtu DEV\";\n"
    "everything else goes to standard error. SIGTERM or SIGINT stops it with status 0.\n"
    "\n"
    "Transport (exactly one):\n"
    "  --tcp PORT             Modbus TCP on PORT, 0 = any free port; clients may\n"
    "                         disconnect and reconnect\n"
    "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --pty                  Modbus RTU on a new pseudo-terminal; clients open the\n"
    "                         printed path\n"
    "  --serial DEV           Modbus RTU on a serial device\n"
    "  --baud N               line speed of --serial (default 9600)\n"
    "  --parity N|E|O         parity of --serial (default N); 8 data bits, 1 stop bit\n"
    "  --slave N              slave address 1..247 (default 1); over TCP unit 255 is\n"
    "                         answered too, other addresses get no answer\n"
    "\n"
    "Data:\n"
    "  --scenario NAME|FILE   normal (default): on mains, four modules fitted;\n"
    "                         on-battery: discharging, capacity and backup time fall\n"
    "                         each round, low-battery alarm from round 4;\n"
    "                         module-fault: module 3 with rectifier and fan faults;\n"
    "                         or a JSON scenario file (format in the README)\n"
    "                         A round starts with each read of coil 1.\n"
    "\n"
    "Stopping:\n"
    "  --max-requests N       exit after N requests\n"
    "  --duration-s S         exit after S seconds\n"
    "  --exit-with-parent     exit when the process that started it ends\n"
    "\n"
    "Timing and faults (Nth counts every request served since start):\n"
    "  --baud-pacing N        answer only once the exchange would have ended on an\n"
    "                         N-baud 8N1 line (both RTU frames and 3.5 silent\n"
    "                         characters after each), counted from the request's\n"
    "                         arrival; logs \"round K paced S s\", the summed wire time\n"
    "                         of round K, when the read of register 2119 is answered\n"
    "  --fault-noanswer N     no answer to every Nth request\n"
    "  --fault-crc N          corrupt every Nth answer: the CRC (RTU), the MBAP\n"
    "                         protocol and length fields (TCP)\n"
    "  --fault-exception N    answer every Nth request with exception 04\n"
    "  --fault-drop N         close the TCP connection instead of answering every Nth\n"
    "                         request (RTU: no answer)\n"
    "  --fault-delay-ms MS    delay answers by MS milliseconds ...\n"
    "  --fault-delay-every N  ... every Nth request (default 1; with --fault-rate and\n"
    "                         no --fault-delay-every, MS only sizes the random delays)\n"
    "  --fault-rate P         give each request, with P % probability, one fault of the\n"
    "                         kinds above, drawn at random (delay: MS or 50 ms)\n"
    "  --seed S               seed of --fault-rate (default 1)\n"
    "\n"
    "  --verbose              log every request\n"
    "  --help                 this text\n";

namespace {

bool ParseWhole(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty() || text.size() > 20) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] >= '0' && text[i] <= '9') && !(i == 0 && text[i] == '-')) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
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

using Setter = bool (*)(Options&, const std::string& value);

template <int Options::*Field, long long Lo, long long Hi>
bool SetInt(Options& o, const std::string& v) {
    long long n = 0;
    if (!ParseWhole(v, Lo, Hi, n)) return false;
    o.*Field = static_cast<int>(n);
    return true;
}

template <int FaultConfig::*Field, long long Lo, long long Hi>
bool SetFault(Options& o, const std::string& v) {
    long long n = 0;
    if (!ParseWhole(v, Lo, Hi, n)) return false;
    o.faults.*Field = static_cast<int>(n);
    return true;
}

constexpr long long kMaxEvery = 1000000000;

// The options. Columns: name, whether a value follows, how the value is taken (null
// for flags), and what a bad value should have been, for the error message.
struct OptionRow {
    const char* name;
    bool takes_value;
    Setter set;
    const char* expected;
};

const OptionRow kOptionRows[] = {
    {"--tcp", true,
     [](Options& o, const std::string& v) {
         o.transport = Transport::kTcp;
         return SetInt<&Options::tcp_port, 0, 65535>(o, v);
     },
     "a port number 0..65535"},
    {"--bind", true,
     [](Options& o, const std::string& v) {
         in_addr a{};
         o.bind = v;
         return inet_pton(AF_INET, v.c_str(), &a) == 1;
     },
     "an IPv4 address such as 127.0.0.1"},
    {"--pty", false,
     [](Options& o, const std::string&) {
         o.transport = Transport::kPty;
         return true;
     },
     ""},
    {"--serial", true,
     [](Options& o, const std::string& v) {
         o.transport = Transport::kSerial;
         o.serial_device = v;
         return !v.empty();
     },
     "a device path"},
    {"--baud", true, SetInt<&Options::baud, 50, 4000000>, "a line speed 50..4000000"},
    {"--parity", true,
     [](Options& o, const std::string& v) {
         if (v != "N" && v != "E" && v != "O") return false;
         o.parity = v[0];
         return true;
     },
     "N, E or O"},
    {"--slave", true, SetInt<&Options::slave, 1, 247>, "an address 1..247"},
    {"--scenario", true,
     [](Options& o, const std::string& v) {
         o.scenario = v;
         return !v.empty();
     },
     "a scenario name or file"},
    {"--max-requests", true,
     [](Options& o, const std::string& v) {
         long long n = 0;
         if (!ParseWhole(v, 1, 1000000000000000000LL, n)) return false;
         o.max_requests = static_cast<uint64_t>(n);
         return true;
     },
     "a count of at least 1"},
    {"--duration-s", true,
     [](Options& o, const std::string& v) { return ParseReal(v, 0.001, 1e7, o.duration_s); },
     "seconds, more than 0"},
    {"--exit-with-parent", false,
     [](Options& o, const std::string&) { return o.exit_with_parent = true; }, ""},
    {"--baud-pacing", true, SetInt<&Options::baud_pacing, 50, 4000000>,
     "a line speed 50..4000000"},
    {"--fault-noanswer", true, SetFault<&FaultConfig::noanswer_every, 1, kMaxEvery>,
     "a request count of at least 1"},
    {"--fault-crc", true, SetFault<&FaultConfig::crc_every, 1, kMaxEvery>,
     "a request count of at least 1"},
    {"--fault-exception", true, SetFault<&FaultConfig::exception_every, 1, kMaxEvery>,
     "a request count of at least 1"},
    {"--fault-drop", true, SetFault<&FaultConfig::drop_every, 1, kMaxEvery>,
     "a request count of at least 1"},
    {"--fault-delay-ms", true, SetFault<&FaultConfig::delay_ms, 1, 600000>,
     "milliseconds 1..600000"},
    {"--fault-delay-every", true, SetFault<&FaultConfig::delay_every, 1, kMaxEvery>,
     "a request count of at least 1"},
    {"--fault-rate", true,
     [](Options& o, const std::string& v) { return ParseReal(v, 0, 100, o.faults.rate_percent); },
     "a percentage 0..100"},
    {"--seed", true,
     [](Options& o, const std::string& v) {
         if (v.empty() || v.size() > 20 || v.find_first_not_of("0123456789") != std::string::npos)
             return false;
         errno = 0;
         o.faults.seed = std::strtoull(v.c_str(), nullptr, 10);
         return errno == 0;
     },
     "a whole number"},
    {"--verbose", false, [](Options& o, const std::string&) { return o.verbose = true; }, ""},
    {"--help", false, [](Options& o, const std::string&) { return o.help = true; }, ""},
};

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
    Options o;
    bool bind_given = false;
    bool delay_every_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inline_value = false;
        const size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& r : kOptionRows)
            if (name == r.name) row = &r;
        if (row == nullptr) {
            error = name.compare(0, 1, "-") == 0 ? "unknown option " + name
                                                 : "unexpected argument '" + name + "'";
            return false;
        }
        if (row->takes_value && !inline_value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value: " + row->expected;
                return false;
            }
            value = args[++i];
        } else if (!row->takes_value && inline_value) {
            error = name + " takes no value";
            return false;
        }
        const bool transport = name == "--tcp" || name == "--pty" || name == "--serial";
        if (transport && o.transport != Transport::kNone) {
            error = "choose one transport: --tcp, --pty or --serial";
            return false;
        }
        if (!row->set(o, value)) {
            error = name + ": expected " + row->expected + ", got '" + value + "'";
            return false;
        }
        bind_given = bind_given || name == "--bind";
        delay_every_given = delay_every_given || name == "--fault-delay-every";
    }
    if (o.help) {
        out = o;
        return true;
    }
    if (o.transport == Transport::kNone) {
        error = "no transport: give --tcp PORT, --pty or --serial DEV (see --help)";
        return false;
    }
    if (bind_given && o.transport != Transport::kTcp) {
        error = "--bind needs --tcp";
        return false;
    }
    if (delay_every_given && o.faults.delay_ms == 0) {
        error = "--fault-delay-every needs --fault-delay-ms";
        return false;
    }
    if (o.faults.delay_ms > 0 && o.faults.delay_every == 0 && o.faults.rate_percent == 0)
        o.faults.delay_every = 1;
    out = o;
    return true;
}

}  // namespace novexsim
