// vimohost's Modbus server against real clients (libmodbus's own, pymodbus, mbpoll)
// while vimohost polls the simulator: every block read through vimohost equals the
// same block read from a second simulator of the same scenario stepped to the same
// round (the simulator's values depend on the round alone); 0B before the first round
// and after communication is lost; writes and unknown units refused; bad input; and
// twenty clients at once while the simulator sees nothing but the poll rounds.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "mbserver/register_map.h"
#include "mbserver/server.h"
#include "tests/runner_processes.h"
#include "tests/test_certs.h"
#include "tests/tls_client.h"
#include "tests/web_support.h"

namespace {

namespace mb = novex::mbserver;
using runner_test::TempDir;

// A peer that is missing skips the test on a developer's machine and fails it in CI.
bool PeerMissing(const std::string& program) {
    if (access(program.c_str(), X_OK) == 0) return false;
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")
        ADD_FAILURE() << program << " is missing (scripts/install-deps.sh --peers)";
    return true;
}

// A libmodbus client; closed with the object.
class Client {
public:
    Client(int port, int unit) : ctx_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(ctx_, unit);
        modbus_set_response_timeout(ctx_, 3, 0);
        connected_ = modbus_connect(ctx_) == 0;
    }
    ~Client() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    bool connected() const { return connected_; }
    modbus_t* ctx() { return ctx_; }

    // One block: the values (a bit is 0 or 1), or the exception code (0: none; -1: no
    // Modbus answer at all).
    struct Read {
        int exception = 0;
        std::vector<uint16_t> values;
        bool operator==(const Read& o) const { return exception == o.exception && values == o.values; }
    };
    Read Get(int function, int first, int count) {
        Read r;
        r.values.resize(static_cast<size_t>(count));
        std::vector<uint8_t> bits(static_cast<size_t>(count));
        int n = -1;
        if (function == 1) n = modbus_read_bits(ctx_, first, count, bits.data());
        if (function == 2) n = modbus_read_input_bits(ctx_, first, count, bits.data());
        if (function == 3) n = modbus_read_registers(ctx_, first, count, r.values.data());
        if (function == 4) n = modbus_read_input_registers(ctx_, first, count, r.values.data());
        if (n < 0) {
            r.values.clear();
            r.exception = errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + 16 ? errno - MODBUS_ENOBASE : -1;
            return r;
        }
        if (function <= 2) r.values.assign(bits.begin(), bits.end());
        return r;
    }
    // The round's blocks, in poll order.
    std::vector<Read> Round() {
        std::vector<Read> out;
        for (const mb::ServedBlock& b : mb::ServedBlocks()) out.push_back(Get(b.bits ? 1 : 4, b.first, b.count));
        return out;
    }
    std::vector<uint16_t> Status() { return Get(4, mb::kStatusFirst, mb::kStatusCount).values; }

private:
    modbus_t* ctx_;
    bool connected_ = false;
};

// Requests that no round reads or that the UPS refuses: each answers alike. Columns:
// function, first, count.
const int kProbes[][3] = {{4, 41, 1}, {3, 1, 1}, {4, 2119, 2}, {1, 32, 1}, {2, 65, 33}, {4, 90, 2}};

class ModbusServerEndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        if (vimohost_.running()) {
            EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
        }
    }

    std::string Log() const { return runner_test::ReadFile(dir_ / "err"); }

    // vimohost polling `port` (the simulator's, unless given) every `interval_ms` with
    // its Modbus server on a free loopback port.
    void Start(const std::string& scenario, int interval_ms, std::vector<std::string> extra = {},
               const std::string& port = "") {
        if (port.empty()) {
            ASSERT_TRUE(sim_.Start({"--tcp", "0", "--scenario", scenario, "--verbose"}, dir_ / "sim.log"));
        }
        std::vector<std::string> args = {"--tcp", port.empty() ? sim_.address() : port,
                                         "--interval-ms", std::to_string(interval_ms), "--timeout-ms", "300",
                                         "--no-history", "--modbus-listen", "127.0.0.1:0", "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::remove((dir_ / "err").c_str());  // the last run's address is not this one's
        ASSERT_TRUE(runner_test::StartVimohost(vimohost_, dir_, args));
        const std::string tag = "Modbus server on 127.0.0.1:";
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", tag)) << Log();
        const std::string web = "status page on http://127.0.0.1:";
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", web)) << Log();
        const std::string err = Log();
        port_ = std::stoi(err.substr(err.find(tag) + tag.size()));
        web_port_ = std::stoi(err.substr(err.find(web) + web.size()));
    }

    // Waits until the status block says `communication`.
    bool WaitFor(Client& c, uint16_t communication) {
        return runner_test::WaitUntil([&] {
            const std::vector<uint16_t> s = c.Status();
            return s.size() == mb::kStatusCount && s[1] == communication;
        });
    }

    TempDir dir_;
    runner_test::Simulator sim_;
    vimo::ChildProcess vimohost_;
    int port_ = 0;
    int web_port_ = 0;
};

uint32_t Rounds(const std::vector<uint16_t>& status) {
    return status.size() < 4 ? 0 : uint32_t{status[2]} << 16 | status[3];
}

TEST_F(ModbusServerEndToEnd, EveryBlockEqualsTheSimulatorsAtTheSameRound) {
    for (const char* scenario : {"normal", "on-battery", "module-fault", "outage"}) {
        SCOPED_TRACE(scenario);
        TearDown();
        sim_.Stop();
        Start(scenario, 100);
        Client through(port_, 1);
        ASSERT_TRUE(through.connected());
        ASSERT_TRUE(WaitFor(through, mb::kCommunicationOk)) << Log();
        // A set of reads between which no round completed.
        std::vector<Client::Read> served;
        uint32_t round = 0;
        // Past round 12: the outage's mains failure (round 11) and the battery's fall are in.
        ASSERT_TRUE(runner_test::WaitUntil([&] { return Rounds(through.Status()) > 12; })) << Log();
        for (int attempt = 0; attempt < 50 && round == 0; ++attempt) {
            const uint32_t before = Rounds(through.Status());
            served = through.Round();
            if (Rounds(through.Status()) == before) round = before;
        }
        ASSERT_GT(round, 0u);
        std::vector<Client::Read> probes;
        for (const auto& p : kProbes) probes.push_back(through.Get(p[0], p[1], p[2]));

        runner_test::Simulator reference;
        ASSERT_TRUE(reference.Start({"--tcp", "0", "--scenario", scenario}));
        Client direct(reference.port(), 1);
        ASSERT_TRUE(direct.connected());
        std::vector<Client::Read> expected;
        for (uint32_t r = 1; r <= round; ++r) expected = direct.Round();
        ASSERT_EQ(expected.size(), served.size());
        for (size_t b = 0; b < expected.size(); ++b)
            EXPECT_TRUE(expected[b] == served[b]) << "block " << b << " at round " << round;
        for (size_t p = 0; p < probes.size(); ++p) {
            const Client::Read want = direct.Get(kProbes[p][0], kProbes[p][1], kProbes[p][2]);
            EXPECT_TRUE(want == probes[p]) << "probe " << p << ": " << want.exception << " vs " << probes[p].exception;
        }
    }
}

TEST_F(ModbusServerEndToEnd, GatewayExceptionsBeforeTheFirstRoundAndAfterLoss) {
    // Nothing listens on the device's port: no round completes.
    Start("normal", 200, {"--comm-loss-intervals", "2"}, "127.0.0.1:" + std::to_string(runner_test::FreePort()));
    Client early(port_, 1);
    ASSERT_TRUE(early.connected());
    EXPECT_EQ(0x0B, early.Get(4, 1, 40).exception);
    EXPECT_EQ(0x0B, early.Get(1, 1, 31).exception);
    EXPECT_EQ(2, early.Get(4, 41, 1).exception);
    const std::vector<uint16_t> none = early.Status();
    ASSERT_EQ(mb::kStatusCount, none.size());
    EXPECT_EQ(65535, none[0]);
    EXPECT_EQ(mb::kNoRoundYet, none[1]);
    TearDown();

    Start("normal", 200, {"--comm-loss-intervals", "2"});
    Client c(port_, 1);
    ASSERT_TRUE(WaitFor(c, mb::kCommunicationOk)) << Log();
    EXPECT_EQ(0, c.Get(4, 1, 40).exception);
    // Refused: every write, an unknown unit.
    uint16_t words[2] = {1, 2};
    uint8_t bits[2] = {1, 0};
    errno = 0;
    EXPECT_EQ(-1, modbus_write_bit(c.ctx(), 1, 1));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    EXPECT_EQ(-1, modbus_write_register(c.ctx(), 1, 5));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    EXPECT_EQ(-1, modbus_write_bits(c.ctx(), 1, 2, bits));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    EXPECT_EQ(-1, modbus_write_registers(c.ctx(), 1, 2, words));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    EXPECT_EQ(-1, modbus_mask_write_register(c.ctx(), 1, 0xFF, 0));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    EXPECT_EQ(-1, modbus_write_and_read_registers(c.ctx(), 1, 1, words, 1, 1, words));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    Client stranger(port_, 99);
    EXPECT_EQ(0x0B, stranger.Get(4, 1, 1).exception);
    // The UPS goes away: 0B once vimohost counts communication lost.
    sim_.Stop();
    ASSERT_TRUE(WaitFor(c, mb::kCommunicationLost)) << Log();
    EXPECT_EQ(0x0B, c.Get(4, 1, 40).exception);
    EXPECT_EQ(0, c.Get(4, mb::kStatusFirst, 8).exception);
}

// pymodbus and mbpoll read what libmodbus reads.
TEST_F(ModbusServerEndToEnd, PymodbusAndMbpollRead) {
    const bool no_mbpoll = PeerMissing("/usr/bin/mbpoll");
    const bool no_python = PeerMissing("/usr/bin/python3") ||
                           std::system("/usr/bin/python3 -c 'import pymodbus' 2>/dev/null") != 0;
    if (no_python && std::getenv("CI") && std::string(std::getenv("CI")) == "true")
        ADD_FAILURE() << "python3-pymodbus is missing";
    if (no_mbpoll && no_python) GTEST_SKIP() << "neither mbpoll nor python3-pymodbus installed";
    Start("normal", 200);
    Client c(port_, 1);
    ASSERT_TRUE(WaitFor(c, mb::kCommunicationOk)) << Log();
    const Client::Read regs = c.Get(4, 1, 40);
    const Client::Read coils = c.Get(1, 65, 33);
    ASSERT_EQ(0, regs.exception);
    std::string want_regs, want_coils;
    for (uint16_t v : regs.values) want_regs += std::to_string(v) + " ";
    for (uint16_t v : coils.values) want_coils += std::to_string(v) + " ";
    const std::string port = std::to_string(port_);
    if (!no_python) {
        const std::string script =
            "from pymodbus.client import ModbusTcpClient\n"
            "c = ModbusTcpClient('127.0.0.1', port=" + port + ")\n"
            "c.connect()\n"
            "r = c.read_input_registers(1, 40, slave=1)\n"
            "b = c.read_coils(65, 33, slave=1)\n"
            "x = c.read_input_registers(41, 1, slave=1)\n"
            "w = c.write_register(1, 5, slave=1)\n"
            "u = c.read_input_registers(1, 1, slave=42)\n"
            "print(' '.join(str(v) for v in r.registers))\n"
            "print(' '.join(str(int(v)) for v in b.bits[:33]))\n"
            "print(x.exception_code, w.exception_code, u.exception_code)\n";
        runner_test::WriteFile(dir_ / "client.py", script);
        const runner_test::Outcome out = [&] {
            vimo::ChildProcess p;
            std::string error;
            runner_test::Outcome o;
            EXPECT_TRUE(p.Start({"/usr/bin/python3", dir_ / "client.py"},
                                runner_test::OutputIn(dir_ / "py.out", dir_ / "py.err"), error));
            o.exit_code = p.Wait(20000);
            o.out = runner_test::ReadFile(dir_ / "py.out");
            o.err = runner_test::ReadFile(dir_ / "py.err");
            return o;
        }();
        ASSERT_EQ(0, out.exit_code) << out.err;
        const std::vector<std::string> lines = runner_test::Lines(out.out);
        ASSERT_EQ(3u, lines.size()) << out.out;
        EXPECT_EQ(want_regs, lines[0] + " ");
        EXPECT_EQ(want_coils, lines[1] + " ");
        EXPECT_EQ("2 1 11", lines[2]);
    }
    if (!no_mbpoll) {
        vimo::ChildProcess p;
        std::string error;
        ASSERT_TRUE(p.Start({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-a", "1", "-t", "3", "-0", "-r", "1",
                             "-c", "40", "-1", "127.0.0.1"},
                            runner_test::OutputIn(dir_ / "mb.out", dir_ / "mb.err"), error));
        EXPECT_EQ(0, p.Wait(20000)) << runner_test::ReadFile(dir_ / "mb.err");
        std::string got;
        const std::string text = runner_test::ReadFile(dir_ / "mb.out");
        const std::regex value("\\[\\d+\\]:\\s+(-?\\d+)");
        for (std::sregex_iterator it(text.begin(), text.end(), value), end; it != end; ++it)
            got += std::to_string(static_cast<uint16_t>(std::stoi((*it)[1].str()))) + " ";
        EXPECT_EQ(want_regs, got) << text;
    }
}

// The RTU slave on one end of a pty pair that socat makes, libmodbus's RTU client on
// the other: the same values as over TCP, silence for a unit not served, writes refused.
TEST_F(ModbusServerEndToEnd, RtuSlaveOverAPtyPair) {
    if (PeerMissing("/usr/bin/socat")) GTEST_SKIP() << "socat not installed";
    vimo::ChildProcess socat;
    std::string error;
    ASSERT_TRUE(socat.Start({"/usr/bin/socat", "pty,raw,echo=0,link=" + dir_ / "bms",
                             "pty,raw,echo=0,link=" + dir_ / "vimo"},
                            runner_test::OutputIn(dir_ / "socat.out", dir_ / "socat.err"), error))
        << error;
    ASSERT_TRUE(runner_test::WaitUntil(
        [&] { return access((dir_ / "bms").c_str(), F_OK) == 0 && access((dir_ / "vimo").c_str(), F_OK) == 0; }));
    Start("normal", 200, {"--modbus-rtu-port", dir_ / "vimo" + " 19200 8E1"});
    Client tcp(port_, 1);
    ASSERT_TRUE(WaitFor(tcp, mb::kCommunicationOk)) << Log();
    modbus_t* rtu = modbus_new_rtu((dir_ / "bms").c_str(), 19200, 'E', 8, 1);
    ASSERT_NE(nullptr, rtu);
    modbus_set_slave(rtu, 1);
    modbus_set_response_timeout(rtu, 1, 0);
    ASSERT_EQ(0, modbus_connect(rtu));
    for (const mb::ServedBlock& b : mb::ServedBlocks()) {
        std::vector<uint16_t> words(b.count);
        std::vector<uint8_t> bits(b.count);
        const int n = b.bits ? modbus_read_bits(rtu, b.first, b.count, bits.data())
                             : modbus_read_input_registers(rtu, b.first, b.count, words.data());
        ASSERT_EQ(b.count, n) << b.first << ": " << modbus_strerror(errno);
        if (b.bits) words.assign(bits.begin(), bits.end());
        EXPECT_EQ(tcp.Get(b.bits ? 1 : 4, b.first, b.count).values, words) << b.first;
    }
    EXPECT_EQ(-1, modbus_write_register(rtu, 1, 5));
    EXPECT_EQ(MODBUS_ENOBASE + 1, errno);
    uint16_t word = 0;
    EXPECT_EQ(-1, modbus_read_input_registers(rtu, 41, 1, &word));
    EXPECT_EQ(MODBUS_ENOBASE + 2, errno);
    modbus_set_slave(rtu, 7);
    modbus_set_response_timeout(rtu, 0, 300000);
    EXPECT_EQ(-1, modbus_read_input_registers(rtu, 1, 1, &word));
    EXPECT_EQ(ETIMEDOUT, errno);
    modbus_close(rtu);
    modbus_free(rtu);
    EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
    socat.Stop();
}

// Modbus/TCP Security: a client certificate of an allowed role reads what a plain
// client reads; no certificate, a certificate without that role or one of another CA
// gets no answer.
TEST_F(ModbusServerEndToEnd, SecureListenerTakesRolesFromCertificates) {
    test_certs::Certs certs;
    ASSERT_TRUE(certs.ok());
    const std::string d = certs.dir();
    // Client certificates with the role extension, signed by the test CA.
    for (const std::string role : {"Operator", "Viewer"})
        ASSERT_EQ(0, std::system(("cd " + d + " && printf '1.3.6.1.4.1.50316.802.1=ASN1:UTF8String:" + role +
                                  "\\n' > " + role + ".ext && openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key "
                                  "-CAcreateserial -days 2 -extfile " + role + ".ext -out " + role + ".pem >/dev/null 2>&1")
                                     .c_str()));
    EXPECT_EQ("Operator", mb::CertificateRole(runner_test::ReadFile(certs.Path("Operator.pem"))));
    EXPECT_EQ("", mb::CertificateRole(runner_test::ReadFile(certs.Path("client.pem"))));
    Start("normal", 200, {"--modbus-tls-listen", "127.0.0.1:0", "--modbus-tls-certfile", certs.Path("both.pem"),
                          "--modbus-tls-ca", certs.Path("ca.pem"), "--modbus-tls-roles", "Operator"});
    const std::string tag = "Modbus/TCP Security server on 127.0.0.1:";
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", tag)) << Log();
    const std::string err = Log();
    const uint16_t secure = static_cast<uint16_t>(std::stoi(err.substr(err.find(tag) + tag.size())));
    Client plain(port_, 1);
    ASSERT_TRUE(WaitFor(plain, mb::kCommunicationOk)) << Log();
    const Client::Read want = plain.Get(4, 1, 40);
    const std::string request = std::string("\x00\x05\x00\x00\x00\x06\x01\x04\x00\x01\x00\x28", 12);
    // Columns: certificate (none: ""), whether the answer comes.
    const std::pair<std::string, bool> rows[] = {{"Operator", true}, {"Viewer", false}, {"client", false}, {"", false}};
    for (const auto& [cert, answered] : rows) {
        SCOPED_TRACE(cert.empty() ? "no certificate" : cert);
        tls_client::Client c(secure);
        ASSERT_TRUE(c.connected());
        const std::string handshake = cert.empty() ? c.Handshake(certs.Path("ca.pem"))
                                                   : c.Handshake(certs.Path("ca.pem"), certs.Path(cert + ".pem"), certs.Path("client.key"));
        c.Send(request);
        const std::string answer = handshake.empty() ? c.ReadBytes(9 + 80) : "";
        if (!answered) {
            EXPECT_EQ("", answer);
            continue;
        }
        ASSERT_EQ(9u + 80u, answer.size()) << handshake;
        for (size_t i = 0; i < 40; ++i)
            EXPECT_EQ(want.values[i], static_cast<uint8_t>(answer[9 + 2 * i]) << 8 | static_cast<uint8_t>(answer[10 + 2 * i]));
    }
    EXPECT_TRUE(runner_test::WaitForLine(dir_ / "err", "certificate role \"Viewer\" may not read")) << Log();
    EXPECT_TRUE(runner_test::WaitForLine(dir_ / "err", "certificate without a role")) << Log();
    EXPECT_TRUE(runner_test::WaitForLine(dir_ / "err", "TLS handshake failed")) << Log();
}

// Whole MBAP frames in `bytes`.
size_t Frames(const std::string& bytes) {
    size_t frames = 0;
    for (size_t at = 0; at + 6 <= bytes.size(); ++frames) {
        at += 6 + (static_cast<uint8_t>(bytes[at + 4]) << 8 | static_cast<uint8_t>(bytes[at + 5]));
        if (at > bytes.size()) break;
    }
    return frames;
}

// Raw bytes on a socket, sent in `pieces`; what comes back until the server closes,
// `ms` pass without a byte, or (when asked) `frames` whole frames have come.
std::string Exchange(int port, const std::string& bytes, int ms = 1000, size_t pieces = 1, size_t frames = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "no connection";
    }
    const size_t step = std::max<size_t>(1, bytes.size() / pieces);
    for (size_t at = 0; at < bytes.size(); at += step) {
        (void)!send(fd, bytes.data() + at, std::min(step, bytes.size() - at), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    timeval t{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    std::string out;
    char buffer[512];
    for (ssize_t n; (frames == 0 || Frames(out) < frames) && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    close(fd);
    return out;
}

TEST_F(ModbusServerEndToEnd, BadInputClosesTheConnection) {
    Start("normal", 200);
    Client c(port_, 1);
    ASSERT_TRUE(WaitFor(c, mb::kCommunicationOk)) << Log();
    const std::string read = std::string("\x00\x07\x00\x00\x00\x06\x01\x04\x00\x01\x00\x02", 12);
    // A frame split into twelve reads is one request, answered once.
    EXPECT_EQ(13u, Exchange(port_, read, 300, 12).size());
    // Bad headers: answered with nothing, the connection closed (well before the wait).
    for (const std::string& bad : {std::string("\x00\x07\x00\x01\x00\x06\x01\x04\x00\x01\x00\x02", 12),
                                   std::string("\x00\x07\x00\x00\xFF\xFF\x01\x04", 8),
                                   std::string("\x00\x07\x00\x00\x00\x01\x01", 7)}) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ("", Exchange(port_, bad + read, 3000));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    }
    // Every function code gets an answer (data or an exception), never silence; the
    // rate limit (bursts of 50) spreads them over a few seconds.
    std::string all;
    for (int f = 0; f < 256; ++f)
        all += std::string("\x00\x01\x00\x00\x00\x06\x01", 7) + static_cast<char>(f) + std::string("\x00\x01\x00\x01", 4);
    EXPECT_EQ(256u, Frames(Exchange(port_, all, 5000, 1, 256)));
    // The server still answers, and counted the bad frames.
    EXPECT_EQ(0, c.Get(4, 1, 40).exception);
    // The counters as /metrics shows them, once the server has seen the last socket close.
    std::string metrics;
    EXPECT_TRUE(runner_test::WaitUntil([&] {
        metrics = web_test::Get(web_port_, "/metrics").second;
        return metrics.find("vimohost_modbus_clients 1\n") != std::string::npos;
    })) << metrics.substr(0, 3000);
    EXPECT_NE(std::string::npos, metrics.find("vimohost_modbus_errors_total 3\n"));
    EXPECT_TRUE(std::regex_search(metrics, std::regex("vimohost_modbus_exceptions_total (2[5-9][0-9]|[3-9][0-9][0-9])\n")));
    const auto [api_status, api] = web_test::Get(web_port_, "/api/v1/devices");
    EXPECT_NE(std::string::npos, api.find("\"modbus_server\":{\"clients\":1,")) << api;
}

// Twenty clients hammer the server (and one sends without ever reading) while vimohost
// polls 40 rounds: the simulator sees those rounds and nothing else, in the table's order.
TEST_F(ModbusServerEndToEnd, TwentyClientsLeaveThePollingAlone) {
    constexpr size_t kRounds = 40;
    Start("normal", 50, {"--rounds", std::to_string(kRounds)});
    Client c(port_, 1);
    ASSERT_TRUE(WaitFor(c, mb::kCommunicationOk)) << Log();
    const int hog = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(hog, reinterpret_cast<sockaddr*>(&a), sizeof a));
    const std::string big = std::string("\x00\x01\x00\x00\x00\x06\x01\x04\x07\xD0\x00\x78", 12);
    for (int i = 0; i < 2000; ++i) (void)!send(hog, big.data(), big.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 20; ++i)
        clients.emplace_back([&] {
            Client each(port_, 1);
            while (!stop)
                for (const Client::Read& r : each.Round())
                    if (r.exception >= 0) (r.exception == 0 ? reads : failures)++;
        });
    const int status = vimohost_.Wait(60000);
    stop = true;
    for (auto& t : clients) t.join();
    close(hog);
    EXPECT_EQ(0, status) << Log();
    EXPECT_GT(reads.load(), 100);
    EXPECT_EQ(0, failures.load());  // no exception: the clients are held to the rate, not refused
    std::vector<std::string> requests;
    for (const std::string& line : runner_test::Lines(sim_.Stderr()))
        if (line.find("request ") != std::string::npos) requests.push_back(line);
    ASSERT_EQ(kRounds * mb::ServedBlocks().size(), requests.size()) << sim_.Stderr().substr(0, 2000);
    for (size_t i = 0; i < requests.size(); ++i) {
        const mb::ServedBlock& b = mb::ServedBlocks()[i % mb::ServedBlocks().size()];
        const std::string want = std::string("function 0") + (b.bits ? "1" : "4") + " at " +
                                 std::to_string(b.first) + " x" + std::to_string(b.count) + ",";
        ASSERT_NE(std::string::npos, requests[i].find(want)) << i << ": " << requests[i];
    }
}

}  // namespace
