// The novexups-sim program as a client sees it: libmodbus over loopback TCP and over
// the pseudo-terminal the simulator creates. Every simulator is started here and
// stopped by its process id.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <modbus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>

#include "registers/ups_registers.h"
#include "sim/register_map.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::RunSim;
using runner_test::SimRun;
using SimChild = runner_test::Simulator;
using Seconds = std::chrono::duration<double>;

class Client {
public:
    static std::unique_ptr<Client> Connect(const SimChild& sim, int slave = 1,
                                           double timeout_s = 1.0) {
        const bool tcp = sim.ready().rfind("tcp ", 0) == 0;
        modbus_t* ctx = tcp ? modbus_new_tcp("127.0.0.1", sim.port())
                            : modbus_new_rtu(sim.address().c_str(), 9600, 'N', 8, 1);
        if (ctx == nullptr) return nullptr;
        modbus_set_slave(ctx, slave);
        const uint32_t us = static_cast<uint32_t>(timeout_s * 1e6);
        modbus_set_response_timeout(ctx, us / 1000000, us % 1000000);
        if (modbus_connect(ctx) != 0) {
            modbus_free(ctx);
            return nullptr;
        }
        return std::unique_ptr<Client>(new Client(ctx));
    }
    ~Client() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // errno of the exchange, 0 on success.
    int Registers(int first, int count, std::vector<uint16_t>* out = nullptr) {
        std::vector<uint16_t> values(static_cast<size_t>(std::max(count, 1)));
        const int rc = modbus_read_input_registers(ctx_, first, count, values.data());
        if (out) *out = values;
        return rc == count ? 0 : errno;
    }
    int Bits(int first, int count, std::vector<uint8_t>* out = nullptr, bool discrete = false) {
        std::vector<uint8_t> values(static_cast<size_t>(std::max(count, 1)));
        const int rc = discrete ? modbus_read_input_bits(ctx_, first, count, values.data())
                                : modbus_read_bits(ctx_, first, count, values.data());
        if (out) *out = values;
        return rc == count ? 0 : errno;
    }
    void Reconnect() {
        modbus_close(ctx_);
        ASSERT_EQ(modbus_connect(ctx_), 0);
    }
    modbus_t* ctx() { return ctx_; }

private:
    explicit Client(modbus_t* ctx) : ctx_(ctx) {}
    modbus_t* ctx_;
};

std::string ErrnoText(int e) { return e == 0 ? "ok" : modbus_strerror(e); }

novexsim::UpsState Normal() {
    novexsim::Scenario s;
    novexsim::BuiltinScenario("normal", s);
    return novexsim::UpsState(s);
}

const std::vector<std::string> kTransports[] = {{"--tcp", "0"}, {"--pty"}};

std::vector<std::string> With(std::vector<std::string> transport,
                              const std::vector<std::string>& more) {
    transport.insert(transport.end(), more.begin(), more.end());
    transport.insert(transport.end(), {"--duration-s", "120"});  // a safety net only
    return transport;
}

}  // namespace

// Reads a client may make. Columns: function (1 coils, 2 discrete inputs, 4 input
// registers, 3 holding registers, 6 write register), first address, count,
// expected errno (0: answered with the scenario's values).
struct WireRead {
    int function;
    int first;
    int count;
    int error;
};
const WireRead kWireReads[] = {
    {1, 1, 31, 0},          {1, 65, 33, 0},          {2, 1, 31, 0},
    {2, 65, 33, 0},         {4, 1, 40, 0},           {4, 61, 8, 0},
    {4, 81, 11, 0},         {4, 100, 21, 0},         {4, 150, 21, 0},
    {4, 200, 21, 0},        {4, 250, 21, 0},         {4, 300, 21, 0},
    {4, 350, 21, 0},        {4, 400, 21, 0},         {4, 450, 21, 0},
    {4, 500, 21, 0},        {4, 550, 21, 0},         {4, 2000, 120, 0},
    {1, 0, 1, EMBXILADD},   {1, 32, 1, EMBXILADD},   {1, 30, 3, EMBXILADD},
    {1, 98, 1, EMBXILADD},  {2, 60, 10, EMBXILADD},  {4, 0, 1, EMBXILADD},
    {4, 41, 1, EMBXILADD},  {4, 35, 10, EMBXILADD},  {4, 69, 1, EMBXILADD},
    {4, 92, 1, EMBXILADD},  {4, 121, 1, EMBXILADD},  {4, 170, 2, EMBXILADD},
    {4, 1999, 1, EMBXILADD}, {4, 2119, 2, EMBXILADD}, {4, 2120, 1, EMBXILADD},
    {3, 1, 1, EMBXILFUN},   {6, 1, 1, EMBXILFUN},    {4, 1, 1, 0},
};

TEST(SimServer, MapAnswersAndRejectsByAddressOverTcpAndPty) {
    novexsim::UpsState expected = Normal();
    for (const auto& transport : kTransports) {
        SCOPED_TRACE(transport[0]);
        SimChild sim;
        ASSERT_TRUE(sim.Start(With(transport, {}))) << sim.Stderr();
        if (transport[0] == "--tcp")
            EXPECT_TRUE(std::regex_match(sim.ready(), std::regex("tcp 127\\.0\\.0\\.1:[0-9]+")));
        else
            EXPECT_TRUE(std::regex_match(sim.ready(), std::regex("rtu /dev/pts/[0-9]+")));
        auto client = Client::Connect(sim);
        ASSERT_TRUE(client);
        for (const WireRead& r : kWireReads) {
            SCOPED_TRACE(std::to_string(r.function) + " " + std::to_string(r.first) + "+" +
                         std::to_string(r.count));
            int error = 0;
            if (r.function == 3) {
                uint16_t v;
                error = modbus_read_registers(client->ctx(), r.first, r.count, &v) == 1 ? 0 : errno;
            } else if (r.function == 6) {
                error = modbus_write_register(client->ctx(), r.first, 1) == 1 ? 0 : errno;
            } else if (r.function == 4) {
                std::vector<uint16_t> values;
                error = client->Registers(r.first, r.count, &values);
                for (int i = 0; error == 0 && i < r.count; ++i)
                    EXPECT_EQ(values[static_cast<size_t>(i)], expected.input_register(r.first + i))
                        << "register " << r.first + i;
            } else {
                std::vector<uint8_t> values;
                error = client->Bits(r.first, r.count, &values, r.function == 2);
                for (int i = 0; error == 0 && i < r.count; ++i)
                    EXPECT_EQ(values[static_cast<size_t>(i)], expected.coil(r.first + i))
                        << "coil " << r.first + i;
            }
            EXPECT_EQ(ErrnoText(error), ErrnoText(r.error));
        }
        client.reset();
        EXPECT_EQ(sim.Stop(), 0);
        EXPECT_NE(sim.Stderr().find("stopped after requests 36,"), std::string::npos)
            << sim.Stderr();
    }
}

TEST(SimServer, TcpClientsReconnectAndAreServedSideBySide) {
    SimChild sim;
    ASSERT_TRUE(sim.Start(With({"--tcp", "0"}, {}))) << sim.Stderr();
    auto a = Client::Connect(sim);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Registers(81, 1), 0);
    a.reset();  // drops the connection
    auto b = Client::Connect(sim);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Registers(81, 1), 0);
    a = Client::Connect(sim);
    ASSERT_TRUE(a);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a->Registers(1, 40), 0);
        EXPECT_EQ(b->Bits(65, 33), 0);
    }
    b->Reconnect();
    EXPECT_EQ(b->Registers(2000, 120), 0);
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimServer, StopsOnSignalRequestCountAndDuration) {
    for (const auto& transport : kTransports) {
        SCOPED_TRACE(transport[0]);
        {
            SimChild sim;
            ASSERT_TRUE(sim.Start(With(transport, {})));
            EXPECT_EQ(sim.Stop(), 0);
        }
        {
            SimChild sim;
            ASSERT_TRUE(sim.Start(With(transport, {"--max-requests", "3"})));
            auto client = Client::Connect(sim);
            ASSERT_TRUE(client);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(client->Registers(1, 1), 0) << i;
            EXPECT_EQ(sim.Wait(10000), 0) << "stops by itself after the third answer";
            EXPECT_NE(sim.Stderr().find("stopped after requests 3,"), std::string::npos);
        }
        {
            SimChild sim;
            std::vector<std::string> args = transport;
            args.insert(args.end(), {"--duration-s", "0.3"});
            ASSERT_TRUE(sim.Start(args));
            EXPECT_EQ(sim.Wait(10000), 0);
        }
    }
}

// Command lines that must be refused. Columns: arguments, a part of the error line,
// exit status.
struct Refused {
    std::vector<std::string> args;
    std::string error;
    int status;
};

TEST(SimServer, BadInputGivesOneLineAndAnExitStatus) {
    const std::string bad_file = "/tmp/novex-sim-bad-" + std::to_string(getpid()) + ".json";
    std::ofstream(bad_file) << R"({"coils": {"40": 1}})";
    const std::string deep_file = "/tmp/novex-sim-deep-" + std::to_string(getpid()) + ".json";
    std::ofstream(deep_file) << std::string(5000, '[') << std::string(5000, ']');
    SimChild first;
    ASSERT_TRUE(first.Start({"--tcp", "0", "--duration-s", "60"}));
    const Refused cases[] = {
        {{}, "novexups-sim: no transport", 2},
        {{"--tcp", "0", "--slave", "300"}, "novexups-sim: --slave: expected an address", 2},
        {{"--pty", "--what"}, "novexups-sim: unknown option --what", 2},
        {{"--tcp", "0", "--slaves", "9-3"}, "novexups-sim: --slaves: expected FIRST-LAST", 2},
        {{"--tcp", "0", "--slaves", "1-2", "--slave", "4"}, "novexups-sim: --slave and --slaves exclude each other", 2},
        {{"--pty", "--slaves", "1-2"}, "novexups-sim: --slaves needs --tcp", 2},
        {{"--pty", "--scenario", "sunny"}, "novexups-sim: scenario sunny: cannot open", 2},
        {{"--pty", "--scenario", bad_file},
         "novexups-sim: scenario " + bad_file + ": coils: address 40 is not served", 2},
        {{"--pty", "--scenario", deep_file},
         "novexups-sim: scenario " + deep_file + ": not valid JSON", 2},
        {{"--tcp", std::to_string(first.port())}, "novexups-sim: cannot listen on 127.0.0.1:", 1},
        {{"--serial", "/nonexistent/ttyX"}, "novexups-sim: cannot open /nonexistent/ttyX", 1},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.error);
        const SimRun run = RunSim(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.find(c.error), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_TRUE(run.out.empty()) << "no ready line: " << run.out;
    }
    const SimRun help = RunSim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: novexups-sim", 0), 0u);
    EXPECT_EQ(first.Stop(), 0);
    std::remove(bad_file.c_str());
    std::remove(deep_file.c_str());
}

// Every second request is faulted. Columns: transport, fault option, what the client
// sees for that request.
struct FaultRow {
    const char* transport;
    const char* option;
    int error;
};
const FaultRow kFaultRows[] = {
    {"--tcp", "--fault-noanswer", ETIMEDOUT},    {"--pty", "--fault-noanswer", ETIMEDOUT},
    {"--tcp", "--fault-exception", EMBXSFAIL},   {"--pty", "--fault-exception", EMBXSFAIL},
    {"--tcp", "--fault-crc", EMBBADDATA},        {"--pty", "--fault-crc", EMBBADCRC},
    {"--tcp", "--fault-drop", ECONNRESET},       {"--pty", "--fault-drop", ETIMEDOUT},
};

TEST(SimServer, EachFaultKindReachesTheClient) {
    for (const FaultRow& row : kFaultRows) {
        SCOPED_TRACE(std::string(row.transport) + " " + row.option);
        SimChild sim;
        const std::vector<std::string> transport =
            row.transport == std::string("--tcp") ? kTransports[0] : kTransports[1];
        ASSERT_TRUE(sim.Start(With(transport, {row.option, "2"})));
        auto client = Client::Connect(sim);
        ASSERT_TRUE(client);
        for (int request = 1; request <= 5; ++request) {
            const int error = client->Registers(81, 1);
            EXPECT_EQ(ErrnoText(error), ErrnoText(request % 2 == 0 ? row.error : 0)) << request;
            if (error == ECONNRESET) client->Reconnect();
        }
        EXPECT_EQ(sim.Stop(), 0);
    }
}

TEST(SimServer, DelayedAnswersArriveLate) {
    for (const auto& transport : kTransports) {
        SCOPED_TRACE(transport[0]);
        SimChild sim;
        ASSERT_TRUE(sim.Start(
            With(transport, {"--fault-delay-ms", "300", "--fault-delay-every", "2"})));
        auto client = Client::Connect(sim, 1, 2.0);
        ASSERT_TRUE(client);
        for (int request = 1; request <= 3; ++request) {
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(client->Registers(1, 40), 0);
            const double took = Seconds(std::chrono::steady_clock::now() - t0).count();
            if (request == 2) {
                EXPECT_GE(took, 0.3);
            }
        }
        EXPECT_EQ(sim.Stop(), 0);
    }
}

TEST(SimServer, RandomFaultsMatchTheSimulatorsOwnCount) {
    SimChild sim;
    ASSERT_TRUE(sim.Start(With({"--tcp", "0"}, {"--fault-rate", "30", "--seed", "11",
                                                 "--fault-delay-ms", "5"})));
    auto client = Client::Connect(sim, 1, 1.0);
    ASSERT_TRUE(client);
    int failed = 0;
    for (int i = 0; i < 60; ++i) {
        const int error = client->Registers(1, 8);
        if (error != 0) ++failed;
        if (error == ECONNRESET || error == EMBBADDATA) client->Reconnect();
    }
    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = sim.Stderr();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("requests 60, no answer ([0-9]+), dropped "
                                                     "([0-9]+), exception ([0-9]+), bad "
                                                     "checksum ([0-9]+), delayed ([0-9]+)")))
        << log;
    const int counted = std::stoi(m[1]) + std::stoi(m[2]) + std::stoi(m[3]) + std::stoi(m[4]);
    EXPECT_EQ(failed, counted);
    EXPECT_GT(counted, 5);
    EXPECT_LT(counted, 30);
}

TEST(SimServer, WrongSlaveAddressesGetNoAnswer) {
    for (const auto& transport : kTransports) {
        SCOPED_TRACE(transport[0]);
        SimChild sim;
        ASSERT_TRUE(sim.Start(With(transport, {"--slave", "3"})));
        auto other = Client::Connect(sim, 4, 0.2);
        ASSERT_TRUE(other);
        EXPECT_EQ(ErrnoText(other->Registers(1, 1)), ErrnoText(ETIMEDOUT));
        other.reset();
        auto mine = Client::Connect(sim, 3);
        ASSERT_TRUE(mine);
        EXPECT_EQ(mine->Registers(1, 1), 0);
        if (transport[0] == "--tcp") {
            modbus_set_slave(mine->ctx(), MODBUS_TCP_SLAVE);
            EXPECT_EQ(mine->Registers(1, 1), 0) << "unit 255 means the server itself";
        }
        EXPECT_EQ(sim.Stop(), 0);
    }
}

// Many devices on one port: every address of --slaves answers, its neighbours do not.
TEST(SimServer, SlaveRangeAnswersEveryAddressInIt) {
    SimChild sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--slaves", "5-7"}));
    // Columns: address, whether it is answered.
    const std::pair<int, bool> addresses[] = {{4, false}, {5, true}, {6, true}, {7, true}, {8, false}};
    for (const auto& [address, answered] : addresses) {
        auto client = Client::Connect(sim, address, 0.2);
        ASSERT_TRUE(client);
        EXPECT_EQ(ErrnoText(client->Registers(1, 1)), ErrnoText(answered ? 0 : ETIMEDOUT)) << address;
    }
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimServer, RoundsAdvanceWithEachReadOfCoilOne) {
    const std::string file = "/tmp/novex-sim-rounds-" + std::to_string(getpid()) + ".json";
    std::ofstream(file) << R"({"input_registers": {"38": 10}, "per_round": {"input_registers": {"38": 5}}})";
    // Columns: scenario, register watched, its value in rounds 1..4, coil 90 in rounds 1..4.
    const struct {
        std::string scenario;
        int reg;
        int values[4];
        int coil90[4];
    } cases[] = {
        {"on-battery", 37, {24, 22, 20, 18}, {0, 0, 0, 1}},
        {file, 38, {10, 15, 20, 25}, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        SimChild sim;
        ASSERT_TRUE(sim.Start(With({"--pty"}, {"--scenario", c.scenario})));
        auto client = Client::Connect(sim);
        ASSERT_TRUE(client);
        for (int round = 0; round < 4; ++round) {
            std::vector<uint8_t> bits;
            std::vector<uint16_t> regs;
            ASSERT_EQ(client->Bits(1, 31), 0);
            ASSERT_EQ(client->Registers(c.reg, 1, &regs), 0);
            ASSERT_EQ(client->Bits(90, 1, &bits), 0);
            EXPECT_EQ(regs[0], c.values[round]) << "round " << round + 1;
            EXPECT_EQ(bits[0], c.coil90[round]) << "round " << round + 1;
            // Reads in between do not start a round.
            ASSERT_EQ(client->Registers(c.reg, 1, &regs), 0);
            EXPECT_EQ(regs[0], c.values[round]);
        }
        EXPECT_EQ(sim.Stop(), 0);
    }
    std::remove(file.c_str());
}

TEST(SimServer, SerialDeviceIsServedLikeALine) {
    // The test owns a pseudo-terminal pair and hands the simulator the slave side as
    // if it were a serial port; the client talks through the master side.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string device = ptsname(master);
    SimChild sim;
    ASSERT_TRUE(sim.Start(With({"--serial", device}, {"--baud", "19200", "--slave", "9"})))
        << sim.Stderr();
    EXPECT_EQ(sim.ready(), "rtu " + device);
    modbus_t* ctx = modbus_new_rtu(device.c_str(), 19200, 'N', 8, 1);
    modbus_set_slave(ctx, 9);
    modbus_set_response_timeout(ctx, 1, 0);
    modbus_set_socket(ctx, master);
    uint16_t run_state = 0;
    EXPECT_EQ(modbus_read_input_registers(ctx, 81, 1, &run_state), 1) << modbus_strerror(errno);
    EXPECT_EQ(run_state, 4);
    EXPECT_EQ(modbus_read_input_registers(ctx, 41, 1, &run_state), -1);
    EXPECT_EQ(errno, EMBXILADD);
    modbus_free(ctx);  // the descriptor is ours, not the context's
    EXPECT_EQ(sim.Stop(), 0);
    close(master);
}

TEST(SimServer, PacedRoundTakesItsWireTimeAndIsReported) {
    SimChild sim;
    ASSERT_TRUE(sim.Start(With({"--tcp", "0"}, {"--baud-pacing", "9600"})));
    auto client = Client::Connect(sim, 1, 2.0);
    ASSERT_TRUE(client);
    const auto t0 = std::chrono::steady_clock::now();
    // The plug-in's poll round.
    for (const novex::registers::Block& b : novex::registers::kBlocks) {
        const bool coils = b.function == novex::registers::kCoils;
        const int error = coils ? client->Bits(b.first, b.count) : client->Registers(b.first, b.count);
        ASSERT_EQ(error, 0) << b.first;
    }
    const double took = Seconds(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 1.236458);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(sim.Stderr().find("novexups-sim: round 1 paced 1.236458 s\n"), std::string::npos)
        << sim.Stderr();
}
