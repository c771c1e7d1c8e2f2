// Bad command lines and bad configuration files: each gives one line on standard
// error naming the problem, a non-zero exit, nothing on standard output, and no
// history file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <iterator>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "config/device_config.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::Lines;
using runner_test::RunVimohost;
using runner_test::TempDir;

// Command lines. Columns: the arguments, a part of the error line, the exit code.
struct BadCommandLine {
    std::vector<std::string> args;
    const char* message;
    int exit_code;
};
const BadCommandLine kBadCommandLines[] = {
    {{}, "no UPS to poll", 2},
    {{"--bogus"}, "unknown option --bogus", 2},
    {{"poll"}, "unexpected argument \"poll\"", 2},
    {{"--tcp"}, "--tcp needs a value", 2},
    {{"--tcp", "localhost"}, "must be HOST:PORT", 2},
    {{"--tcp", "127.0.0.1:70000"}, "must be HOST:PORT", 2},
    {{"--tcp=:502"}, "must be HOST:PORT", 2},
    {{"--tcp", "127.0.0.1:1502:3"}, "(an IPv6 address goes in brackets, as [::1]:502)", 2},
    {{"--tcp", "[]:1502"}, "not \"[]:1502\" (no host)", 2},
    {{"--tcp", "256.1.1.1:502"}, "(not an IPv4 address)", 2},
    {{"--tcp", "ups one:502"}, "(not a host name)", 2},
    {{"--tcp", "no.such.host.invalid:502"}, "tcp no.such.host.invalid:502: cannot resolve host no.such.host.invalid", 1},
    {{"--serial", "/dev/null", "--tcp", "a:1"}, "give only one of them", 2},
    {{"--serial", "/dev/null", "--slave", "248"}, "--slave must be a whole number from 1 to 247", 2},
    {{"--serial", "/dev/null", "--slave", "0"}, "--slave must be a whole number from 1 to 247", 2},
    {{"--serial", "/dev/null", "--baud", "fast"}, "--baud must be", 2},
    {{"--serial", "/dev/null", "--baud", "9600x"}, "--baud must be", 2},
    {{"--serial", "/dev/null", "--parity", "X"}, "--parity must be N, E or O", 2},
    {{"--serial", "/dev/null", "--rs485", "yes"}, "--rs485 must be \"off\", \"on\"", 2},
    {{"--serial", "/dev/null", "--rs485", "on,after=500"}, "--rs485 must be after=MS with MS a whole number from 0 to 100", 2},
    {{"--serial", "/dev/null", "--timeout-ms", "0"}, "--timeout-ms must be", 2},
    {{"--serial", "/dev/null", "--interval-ms", "-5"}, "--interval-ms must be", 2},
    {{"--serial", "/dev/null", "--data-id", "4294967296"}, "--data-id must be", 2},
    {{"--serial", "/dev/null", "--b-mode", "1.5"}, "--b-mode must be a whole number", 2},
    {{"--serial", "/dev/null", "--rounds", "-1"}, "--rounds must be a whole number of 0 or more", 2},
    {{"--serial", "/dev/null", "--max-failures", ""}, "--max-failures must be", 2},
    {{"--serial", "/dev/null", "--no-history=1"}, "--no-history takes no value", 2},
    {{"--serial", "/dev/null", "--scenario", "normal"}, "--scenario is for --simulate", 2},
    {{"--simulate", "--tcp", "127.0.0.1:1"}, "--simulate chooses the port itself", 2},
    {{"--simulate", "--config", "x.json"}, "takes no --config", 2},
    {{"--simulate", "--slave", "0"}, "--slave must be a whole number from 1 to 247", 2},
    // Refused before the simulator starts (which would say a line of its own).
    {{"--simulate", "--listen", "0", "--web-config", "/etc/passwd"},
     "/etc/passwd: holds password hashes but group or others may use it", 2},
    {{"--simulate", "--protocol-listen", "127.0.0.1:0", "--protocol-users", "absent"},
     "--protocol-users: absent", 2},
    {{"--serial", "/dev/null", "--serial", "/dev/zero"}, "--serial is given more than once", 2},
    {{"--config", "x.json", "--slave", "2"}, "cannot be combined with --config", 2},
    {{"--serial", "/dev/null", "--plugin", "/nonexistent/plugin.so"}, "cannot load the plug-in", 1},
    {{"--serial", "/dev/null", "--plugin", "/dev/null"}, "cannot load the plug-in", 1},
    {{"--serial", "/dev/null", "--history", "/nonexistent/dir/h.db"}, "history /nonexistent/dir/h.db", 1},
    {{"--serial", "/dev/null", "--status-out", "/nonexistent/dir/s.json"},
     "--status-out /nonexistent/dir/s.json: directory /nonexistent/dir", 2},
    {{"--serial", "/dev/null", "--retries", "6"}, "--retries must be a whole number from 0 to 5", 2},
    {{"--serial", "/dev/null", "--comm-loss-rounds", "0"}, "--comm-loss-rounds must be", 2},
    {{"--serial", "/dev/null", "--on-event-arg", "x"}, "--on-event-arg is for --on-event", 2},
    {{"--serial", "/dev/null", "--on-event", "no-such-hook-program"}, "--on-event: ", 2},
    {{"--serial", "/dev/null", "--protocol-listen", "127.0.0.1:99999"}, "port must be 0..65535", 2},
    {{"--serial", "/dev/null", "--protocol-users", "u"}, "--protocol-users is for --protocol-listen", 2},
    {{"--serial", "/dev/null", "--snmp-agentx", "master"}, "--snmp-agentx: the AgentX master's address is a socket path", 2},
    {{"--serial", "/dev/null", "--listen", "localhost:8080"}, "vimohost: listen: expected ADDR:PORT", 2},
    {{"--serial", "/dev/null", "--http-token-file", "t"}, "--http-token-file is for --listen", 2},
    {{"--serial", "/dev/null", "--listen", "0", "--http-token-file", "/etc/passwd"},
     "token file /etc/passwd: open to others than its owner", 2},
    {{"--serial", "/dev/null", "--listen", "0", "--http-token-file", "absent"}, "token file absent", 2},
    {{"--serial", "/dev/null", "--web-config", "w.yml"}, "--web-config is for --listen", 2},
    {{"--serial", "/dev/null", "--listen", "0", "--web-config", "/etc/passwd"},
     "/etc/passwd: holds password hashes but group or others may use it", 2},
    {{"--serial", "/dev/null", "--protocol-require-tls"}, "--protocol-require-tls is for --protocol-listen", 2},
    // Without Avahi the build refuses --mdns first, with its own line.
    {{"--serial", "/dev/null", "--mdns"}, "--mdns", 2},
    {{"--serial", "/dev/null", "--protocol-listen", "127.0.0.1:0", "--protocol-require-tls"},
     "TLS required, but no certificate file", 2},
    {{"--serial", "/dev/null", "--protocol-listen", "127.0.0.1:0", "--protocol-certfile", "absent"},
     "--protocol-certfile: absent: No such file", 2},
    {{"history", "--last", "x"}, "--last must be", 2},
    {{"history", "--render", "abc"}, "--render must be", 2},
    {{"history", "--data-id", "-1"}, "--data-id must be", 2},
    {{"history", "--tcp", "a:1"}, "unknown option --tcp for history", 2},
    {{"history", "--history", "/nonexistent/h.db"}, "history /nonexistent/h.db", 1},
};

void ExpectOneLineError(const runner_test::Outcome& run, const std::string& message, int exit_code,
                        const TempDir& dir) {
    EXPECT_EQ(exit_code, run.exit_code);
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(1u, lines.size()) << run.err;
    EXPECT_NE(std::string::npos, lines[0].find(message)) << lines[0];
    EXPECT_EQ("", run.out);
    struct stat st;
    EXPECT_NE(0, stat((dir / "vimohost.db").c_str(), &st)) << "a history file was made";
}

TEST(VimohostCommandLine, BadInputGivesOneLineAndNonZeroExit) {
    for (const BadCommandLine& c : kBadCommandLines) {
        SCOPED_TRACE(c.message);
        TempDir dir;
        ExpectOneLineError(RunVimohost(c.args, dir, 20000, dir.path()), c.message, c.exit_code, dir);
    }
}

// An address another program holds stops the start before any round: exit 1.
TEST(VimohostCommandLine, ListenAddressInUseIsAFailureToStart) {
    // Not handed to the vimohosts started here: the holder they name is this process.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), size));
    ASSERT_EQ(0, listen(fd, 1));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    TempDir dir;
    ExpectOneLineError(RunVimohost({"--serial", "/dev/null", "--listen", where}, dir, 20000, dir.path()),
                       "listen " + where + ": Address already in use", 1, dir);
    // Both servers say what most likely holds the port, and where to choose another.
    ExpectOneLineError(RunVimohost({"--serial", "/dev/null", "--listen", where}, dir, 20000, dir.path()),
                       "listens there; ss -ltnp 'sport = :" +
                           std::to_string(ntohs(address.sin_port)) + "' names it",
                       1, dir);
    ExpectOneLineError(RunVimohost({"--serial", "/dev/null", "--protocol-listen", where}, dir, 20000,
                                   dir.path()),
                       "Address already in use (process " + std::to_string(getpid()), 1, dir);
    close(fd);
}

// A port without an RS-485 mode (a pty) refuses --rs485 on: the start stops with one
// line naming the port, the setting and the reason.
TEST(VimohostCommandLine, Rs485RefusedByThePortStopsTheStart) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const std::string pty = ptsname(master);
    TempDir dir;
    ExpectOneLineError(RunVimohost({"--serial", pty, "--rs485", "on"}, dir, 20000, dir.path()),
                       "serial port " + pty + ": rs485 \"on\" refused: ", 1, dir);
    close(master);
}

// Configuration files. Columns: the file's text, a part of the error line. The first
// group is refused by vimohost itself, the second by the runtime's port settings or
// the device, after the plug-in is loaded.
struct BadConfig {
    std::string text;
    const char* message;
};
const BadConfig kBadConfigs[] = {
    {"{\"port\": \"/dev/a\"}{\"port\": \"/dev/b\"}", "Extra non-whitespace after JSON value"},
    {"{\"port\": \"/dev/a\"} xyz", "not valid JSON: Line 1, Column 20: Extra non-whitespace"},
    {"{\"port\": \"/dev/null\", \"name\": \"a\\u0000b\"}", "\"name\" must be a non-empty text without"},
    {"{\"port\": \"/dev/null\", \"name\": \"a\\nb\"}", "\"name\" must be a non-empty text without"},
    {"{\"port\": \"/dev/null\", \"name\": \"\\u001b[31mred\"}", "without control characters"},
    {"{\"port\": \"/dev/null\\u0000x\"}", "\"port\" must be a non-empty text without control"},
    {"{\"port\": \"/dev/null\", \"appSetting\": null}", "\"appSetting\" must be a JSON object"},
    {"{\"port\": \"/dev/null\", \"appSetting\": {\"b_mode\": \"abc\"}}",
     "\"b_mode\" in \"appSetting\" must be a whole number"},
    {std::string(vimo::kMaxConfigBytes, ' ') + "{\"port\": \"/dev/null\"}", "larger than 1 MiB"},
    {"", "not valid JSON"},
    {"{\"port\": \"/dev/null\"", "not valid JSON"},
    {"{\"port\": \"/dev/null\", \"port\": \"/dev/zero\"}", "not valid JSON"},
    {"[]", "the array lists no device"},
    {"42", "expected a device object or an array of them"},
    {"[1]", "device 1: a device must be a JSON object"},
    {"{}", "\"port\" is missing"},
    {"{\"port\": 5}", "\"port\" must be a non-empty text"},
    {"{\"port\": \"/dev/null\", \"buad\": 9600}", "device 1: unknown key \"buad\""},
    // Control characters in what the error quotes are shown escaped, the line stays one.
    {"{\"port\": \"/dev/null\", \"bu\\r\\nad\": 9600}", "unknown key \"bu\\x0D\\x0Aad\""},
    {"{\"port\": \"/dev/null\", \"a\\rb\": 1, \"a\\rb\": 1}", "Duplicate key: 'a\\x0Db'"},
    {"{\"port\": \"a\\nb\", \"transport\": \"tcp\"}", "\"port\" must be a non-empty text without"},
    {"{\"port\": \"/dev/null\", \"transport\": \"udp\"}", "\"transport\" must be \"rtu\" or \"tcp\""},
    {"{\"port\": \"gateway\", \"transport\": \"tcp\"}", "must be HOST:PORT"},
    {"{\"port\": \"/dev/null\", \"data_id\": -1}", "\"data_id\" must be a whole number"},
    {"{\"port\": \"/dev/null\", \"data_id\": 1.5}", "\"data_id\" must be a whole number"},
    {"{\"port\": \"/dev/null\", \"name\": \"\"}", "\"name\" must be a non-empty text"},
    {"{\"port\": \"/dev/null\", \"model\": \"a\\nb\"}", "\"model\" must be a non-empty text of one"},
    // Names every face can carry (the UPS protocol's words, the API's path segments,
    // JSON and /metrics), and makers and models that reach protocol clients as they are.
    {"{\"port\": \"/dev/null\", \"name\": \"a/b\"}", "(it holds a slash"},
    {"{\"port\": \"/dev/null\", \"name\": \"rack ups\"}", "(it holds a space"},
    {"{\"port\": \"/dev/null\", \"name\": \"a\xff\xfe\"}", "(it is not valid UTF-8)"},
    {"{\"port\": \"/dev/null\", \"name\": \"a\xc0\xaf\"}", "(it is not valid UTF-8)"},
    {"{\"port\": \"/dev/null\", \"name\": \"a\\u0085\"}", "(it holds a control character)"},
    {"{\"port\": \"/dev/null\", \"name\": \"" + std::string(65, 'n') + "\"}", "(it is too long)"},
    {"{\"port\": \"/dev/null\", \"model\": \"\\u001b[2J\"}", "\"model\" must be a non-empty text of one"},
    {"{\"port\": \"/dev/null\", \"manufacturer\": \"a\\u0000b\"}", "\"manufacturer\" must be a non-empty"},
    {"{\"port\": \"/dev/null\", \"model\": \"\xed\xa0\x80\"}", "\"model\" must be a non-empty text of one"},
    {"{\"port\": \"/dev/null\", \"battery_charge_low\": 101}", "\"battery_charge_low\" must be a whole"},
    {"[{\"port\": \"/dev/a\", \"data_id\": 3}, {\"port\": \"/dev/b\", \"data_id\": 3}]",
     "device 2: \"data_id\" 3 is used twice"},
    {"[{\"port\": \"/dev/a\"}, {\"port\": \"/dev/b\", \"data_id\": 1}]", "\"data_id\" 1 is used twice"},
    // Names that people and clients read as one: same letters in another case, trailing
    // blanks, or a default name given again by hand.
    {"[{\"port\": \"/dev/a\", \"name\": \"ups1\"}, {\"port\": \"/dev/b\", \"name\": \"UPS1\"}]",
     "device 2: \"name\" \"UPS1\" is the name of another device (\"ups1\")"},
    {"[{\"port\": \"/dev/a\", \"name\": \"hall\"}, {\"port\": \"/dev/b\", \"name\": \"hall  \"}]",
     "it holds a space"},
    {"[{\"port\": \"/dev/a\", \"name\": \"ups2\"}, {\"port\": \"/dev/b\"}]",
     "device 2: \"name\" \"ups2\" is the name of another device"},
    {"{\"port\": \"127.0.0.1:1503\"}", "is HOST:PORT but the transport is serial"},
    {"{\"port\": \"gw.example:502\", \"transport\": \"rtu\"}", "add \"transport\": \"tcp\""},
    // Checked by the runtime when the device is initialised.
    {"{\"port\": \"/dev/null\", \"baud\": 10}", "\"baud\" must be a whole number from 50"},
    {"{\"port\": \"/dev/null\", \"slave\": \"1\"}", "\"slave\" must be a whole number"},
    {"{\"port\": \"/dev/null\", \"slave\": 0}", "\"slave\" must be a whole number from 1 to 247"},
    {"{\"port\": \"/dev/null\", \"parity\": \"X\"}", "\"parity\" must be"},
    {"{\"port\": \"/dev/null\", \"stop_bits\": 3}", "\"stop_bits\" must be"},
    {"{\"port\": \"/dev/null\", \"rs485\": true}", "\"rs485\" must be a text"},
    {"{\"port\": \"/dev/null\", \"rs485\": \"on,delay=1\"}", "\"rs485\" must be \"off\", \"on\" or \"on,\" and a list of rts_after_send, before=MS, after=MS, not \"delay=1\""},
    {"[{\"port\": \"/dev/a\", \"rs485\": \"on\"}, {\"port\": \"/dev/a\", \"data_id\": 5}]",
     "share /dev/a but not its speed, parity, data bits, stop bits or rs485"},
    {"[{\"port\": \"/dev/a\"}, {\"port\": \"/dev/a\", \"baud\": 19200, \"data_id\": 5}]",
     "share /dev/a but not its speed"},
    {"{\"port\": \"/dev/null\", \"appSetting\": {\"b_mode\": [1]}}", "must be a whole number"},
    {"{\"port\": \"/dev/null\", \"appSetting\": {\"b_mod\": 0}}", "unknown key \"b_mod\" in \"appSetting\""},
    {"{\"port\": \"/dev/null\", \"appSetting\": 0}", "\"appSetting\" must be a JSON object"},
    {"{\"devices\": [{\"port\": \"/dev/null\"}], \"on_evnt\": []}", "unknown key \"on_evnt\""},
    {"{\"devices\": [{\"port\": \"/dev/null\"}], \"on_event\": \"/bin/true\"}", "\"on_event\" must be an array"},
    {"{\"devices\": [[]], \"on_event\": [\"/bin/true\"]}", "device 1: a device must be a JSON object"},
    {"{\"devices\": [{\"port\": \"/dev/null\"}], \"listen\": 8080}", "\"listen\" must be a non-empty text"},
    {"{\"devices\": [{\"port\": \"/dev/null\"}], \"listen\": \"1.2.3\"}", "listen: expected ADDR:PORT"},
    // Strict JSON, and the nearest valid name for a wrong one.
    {"{\"port\": \"/dev/null\",}", "not valid JSON"},
    {"{\"port\": \"/dev/null\", \"transport\": \"TCP\"}", "must be \"rtu\" or \"tcp\"; did you mean \"tcp\"?"},
    {"{\"port\": \"/dev/null\", \"baudrate\": 9600}", "unknown key \"baudrate\"; did you mean \"baud\"?"},
    {"{\"devices\": [{\"port\": \"/dev/null\"}], \"protocol_lisen\": \"3493\"}", "did you mean \"protocol_listen\"?"},
    {"{\"port\": \"/dev/null\", \"slave\": 300}", "\"slave\" must be a whole number from 1 to 247"},
    {"{\"port\": \"/dev/null\", \"baud\": \"9600\"}", "\"baud\" must be a whole number from 50"},
};

// Files a configuration names, which the start reads before anything starts.
// Columns: the configuration, the files beside it (name, text, mode), a part of the error.
struct BadFiles {
    std::string text;
    std::vector<std::tuple<const char*, const char*, mode_t>> files;
    const char* message;
};
const BadFiles kBadFiles[] = {
    {R"({"devices": [{"port": "/dev/null"}], "listen": "127.0.0.1:0", "web_config": "absent.yml"})", {}, "absent.yml"},
    {R"({"devices": [{"port": "/dev/null"}], "listen": "127.0.0.1:0", "web_config": "web.yml"})",
     {{"web.yml", "basic_auth_users: {}\n", 0640}}, "web.yml"},
    {R"({"devices": [{"port": "/dev/null"}], "listen": "127.0.0.1:0", "http_token_file": "absent.token"})", {}, "absent.token"},
    {R"({"devices": [{"port": "/dev/null"}], "protocol_listen": "127.0.0.1:0", "protocol_users": "absent.users"})", {},
     "absent.users"},
    {R"({"devices": [{"port": "/dev/null"}], "protocol_listen": "127.0.0.1:0", "protocol_certfile": "absent.pem"})", {},
     "absent.pem"},
    {R"({"devices": [{"port": "/dev/null"}], "on_event": ["/nonexistent/hook"]})", {}, "event hook /nonexistent/hook: "},
    {R"({"devices": [{"port": "/dev/null"}], "on_event": ["./hook.sh"]})", {{"hook.sh", "#!/bin/sh\n", 0644}},
     "event hook ./hook.sh: not executable"},
};

// check-config runs the start's checks: whatever a start refuses, it refuses with the
// very same line (and exit 2), and a start refuses each of these before it starts
// anything.
TEST(VimohostConfiguration, CheckConfigRefusesWhatTheStartRefuses) {
    std::vector<BadFiles> rows(std::begin(kBadFiles), std::end(kBadFiles));
    for (const BadConfig& c : kBadConfigs) rows.push_back({c.text, {}, c.message});
    for (const BadFiles& c : rows) {
        SCOPED_TRACE(c.text.substr(0, 200));
        TempDir dir;
        runner_test::WriteFile(dir / "ups.json", c.text);
        for (const auto& [name, text, mode] : c.files) {
            runner_test::WriteFile(dir / name, text);
            chmod((dir / name).c_str(), mode);
        }
        const runner_test::Outcome start = RunVimohost({"--config", "ups.json"}, dir, 20000, dir.path());
        const runner_test::Outcome check = RunVimohost({"check-config", "ups.json"}, dir, 20000, dir.path());
        ExpectOneLineError(start, c.message, 2, dir);
        EXPECT_EQ(2, check.exit_code);
        EXPECT_EQ(start.err, check.err);
        EXPECT_EQ("", check.out);
    }
}

TEST(VimohostConfiguration, BadFileGivesOneLineNamingTheFile) {
    for (const BadConfig& c : kBadConfigs) {
        SCOPED_TRACE(c.text.substr(0, 200));
        TempDir dir;
        runner_test::WriteFile(dir / "ups.json", c.text);
        const runner_test::Outcome run = RunVimohost({"--config", "ups.json"}, dir, 20000, dir.path());
        ExpectOneLineError(run, c.message, 2, dir);
        EXPECT_NE(std::string::npos, run.err.find("ups.json")) << run.err;
    }
}

// check-config reads a file as a start does and polls nothing. Columns: the file's
// text ("" for none at all), exit code, the one line on stdout or stderr.
TEST(VimohostConfiguration, CheckConfigGivesTheStartsVerdict) {
    const struct {
        const char* text;
        int exit_code;
        const char* line;
    } cases[] = {
        {"[{\"port\": \"/dev/a\"}, {\"port\": \"gw:502\", \"transport\": \"tcp\"}]", 0,
         "ups.json: 2 devices, no error found"},
        {"{\"devices\": []}", 0, "ups.json: 0 devices, no error found"},
        {"[{\"port\": \"/dev/a\", \"name\": \"a\"}, {\"port\": \"/dev/b\", \"name\": \"A\"}]", 2,
         "vimohost: ups.json: device 2: \"name\" \"A\" is the name of another device (\"a\")"},
        {"{\"port\": \"10.0.0.5:502\"}", 2, "is HOST:PORT but the transport is serial"},
        {"{\"devices\": [], \"protocol_listen\": \"127.0.0.1:99999\"}", 2, "\"protocol_listen\": listen address 127.0.0.1:99999: the port must be"},
        {"{\"devices\": [], \"listen\": \"x:1\"}", 2, "listen: expected ADDR:PORT"},
        {"", 2, "ups.json: cannot read the configuration file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        if (*c.text) runner_test::WriteFile(dir / "ups.json", c.text);
        const runner_test::Outcome run = RunVimohost({"check-config", "ups.json"}, dir, 20000, dir.path());
        EXPECT_EQ(c.exit_code, run.exit_code);
        const std::vector<std::string> lines = Lines(c.exit_code == 0 ? run.out : run.err);
        ASSERT_EQ(1u, lines.size()) << run.out << run.err;
        EXPECT_NE(std::string::npos, lines[0].find(c.line)) << lines[0];
    }
}

TEST(VimohostConfiguration, MissingFileOrDirectoryIsNamed) {
    TempDir dir;
    ExpectOneLineError(RunVimohost({"--config", "absent.json"}, dir, 20000, dir.path()),
                       "absent.json: cannot read the configuration file", 2, dir);
    ExpectOneLineError(RunVimohost({"--config", "/tmp"}, dir, 20000, dir.path()),
                       "/tmp: is a directory", 2, dir);
}

// The simulator's log lives in a temporary file while vimohost runs, whether the
// simulator got ready or not.
TEST(VimohostCommandLine, SimulatorLogIsRemovedAtExit) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    TempDir dir;
    TempDir temporary;
    setenv("TMPDIR", temporary.path().c_str(), 1);
    const runner_test::Outcome failed =
        RunVimohost({"--simulate", "--scenario", "sunny"}, dir, 20000, dir.path());
    const runner_test::Outcome done =
        RunVimohost({"--simulate", "--rounds", "1", "--no-history"}, dir, 20000, dir.path());
    unsetenv("TMPDIR");
    // A simulator that did not get ready is explained by its own last line.
    ExpectOneLineError(failed,
                       "did not get ready (exit status 2): novexups-sim: scenario sunny: cannot open",
                       1, dir);
    EXPECT_EQ(0, done.exit_code) << done.err;
    EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
}

TEST(VimohostCommandLine, HelpDocumentsEveryConfigurationKey) {
    TempDir dir;
    const runner_test::Outcome run = RunVimohost({"-h"}, dir, 20000, dir.path());
    EXPECT_EQ(0, run.exit_code);
    EXPECT_NE(std::string::npos, run.out.find("default 1, which switches")) << "b_mode's default";
    const runner_test::Outcome version = RunVimohost({"--version"}, dir, 20000, dir.path());
    EXPECT_EQ(0, version.out.rfind("vimohost 1.", 0)) << version.out;
    for (const char* key : {"\"data_id\"", "\"name\"", "\"transport\"", "\"port\"", "\"baud\"",
                            "\"parity\"", "\"data_bits\"", "\"stop_bits\"", "\"slave\"",
                            "\"timeout_ms\"", "\"interval_ms\"", "\"appSetting\"", "\"retries\"",
                            "\"comm_loss_rounds\"", "\"comm_loss_intervals\"", "\"b_mode\"", "\"battery_charge_low\"",
                            "\"devices\"", "\"on_event\"", "\"on_event_timeout_ms\"", "\"on_event_mode\"",
                            "--on-event-mode", "VIMO_EVENT_COUNT", "check-config"})
        EXPECT_NE(std::string::npos, run.out.find(key)) << key;
}

}  // namespace
