// The protocol server on loopback: limits that keep one client from affecting
// another, then Debian's upsc and upsmon against a directory the test drives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "peer_skip.h"

#include "tests/protocol_fixture.h"
#include "protocol/server.h"
#include "tests/test_certs.h"
#include "tests/tls_client.h"
#include "tests/ups_clients.h"

namespace {

using namespace protocol_test;
using Clock = std::chrono::steady_clock;

// A blocking loopback client with bounded reads.
class Client {
public:
    // `from`: the loopback address to connect from, so that tests can be two hosts.
    explicit Client(uint16_t port, const char* from = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        (void)!bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::string& text) { (void)!send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // Reads until `text` holds `lines` line ends, the peer closes or `timeout_ms` pass.
    std::string Read(size_t lines, int timeout_ms = 3000) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::count(text_.begin(), text_.end(), '\n') < static_cast<long>(lines) && !eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !Wait(static_cast<int>(left.count()))) break;
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) eof_ = true;
            else text_.append(buffer, static_cast<size_t>(n));
        }
        size_t cut = 0;
        for (size_t i = 0; i < lines && cut < text_.size(); ++i) {
            const size_t nl = text_.find('\n', cut);
            cut = nl == std::string::npos ? text_.size() : nl + 1;
        }
        std::string out = text_.substr(0, cut);
        text_.erase(0, cut);
        return out;
    }
    // Whether the server closed the connection within `timeout_ms`.
    bool Closed(int timeout_ms) {
        Read(1000000, timeout_ms);
        return eof_;
    }

private:
    bool Wait(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, timeout_ms) > 0;
    }
    int fd_;
    bool connected_ = false;
    bool eof_ = false;
    std::string text_;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions options;
        options.port = 0;
        options.max_clients = 4;
        options.max_line = 64;
        options.idle_timeout_ms = 500;
        Start(options);
    }
    void Start(const ServerOptions& options) {
        server_ = std::make_unique<Server>(fake.directory, fake.users, options,
                                           [this](const std::string& line) { log_ += line + "\n"; });
        std::string error;
        ASSERT_TRUE(server_->Start(error)) << error;
    }
    void TearDown() override {
        server_->Stop();
        EXPECT_EQ(log_.find("s3cret"), std::string::npos) << log_;
    }
    uint16_t port() const { return server_->port(); }

    Directory fake;
    std::unique_ptr<Server> server_;
    std::string log_;  // written on the server's thread; read after Stop()
};

const std::string kStatus = "GET VAR u1 ups.status\n";
const std::string kStatusAnswer = "VAR u1 ups.status \"OL\"\n";

TEST_F(ServerTest, AnswersPipelinedRequestsInOrder) {
    Client c(port());
    ASSERT_TRUE(c.connected());
    c.Send("NETVER\n" + kStatus + "GET VAR u9 x\nLOGOUT\n");
    EXPECT_EQ(c.Read(4), "1.3\n" + kStatusAnswer + "ERR UNKNOWN-UPS\nOK Goodbye\n");
    EXPECT_TRUE(c.Closed(2000));
}

// Each bad client is closed or answered with an error while a good one, connected
// before, is answered at once. Columns: what the bad client sends, whether it is
// closed (else it gets the answer), the answer.
TEST_F(ServerTest, BadClientsDoNotAffectOthers) {
    struct Row {
        std::string send;
        bool closed;
        std::string answer;
    };
    std::string garbage;
    for (int i = 1; i < 32; ++i) garbage += static_cast<char>(i == '\n' ? 0 : i);  // controls, a NUL
    for (int i = 128; i < 160; ++i) garbage += static_cast<char>(i);
    const Row rows[] = {
        {std::string(65, 'A') + "\n", true, ""},       // over the line limit
        {std::string(200, 'A'), true, ""},             // over the limit, no line end yet
        {"GET VAR u1 ups.sta", true, ""},              // half a line, then silence: idle
        {garbage + "\n", false, "ERR UNKNOWN-COMMAND\n"},
        {"\"unterminated\n", false, "ERR INVALID-ARGUMENT\n"},
    };
    for (const Row& row : rows) {
        Client good(port());
        Client bad(port());
        bad.Send(row.send);
        good.Send(kStatus);
        EXPECT_EQ(good.Read(1, 400), kStatusAnswer);
        if (row.closed) EXPECT_TRUE(bad.Closed(2000)) << row.send;
        else EXPECT_EQ(bad.Read(1), row.answer);
    }
}

// A full server makes room: a newcomer takes the place of the longest idle client.
TEST_F(ServerTest, ClientLimitAndIdleTimeout) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<Client>(port()));
    for (auto& c : clients) {
        c->Send(kStatus);
        EXPECT_EQ(c->Read(1), kStatusAnswer);
    }
    Client extra(port());
    extra.Send(kStatus);
    EXPECT_EQ(extra.Read(1), kStatusAnswer);
    EXPECT_TRUE(clients[0]->Closed(2000));
    // Idle clients go after 500 ms; then there is room again.
    EXPECT_TRUE(clients[1]->Closed(3000));
    Client later(port());
    later.Send(kStatus);
    EXPECT_EQ(later.Read(1), kStatusAnswer);
}

// A client that floods LIST VAR and reads nothing is held back, not served at the
// expense of others, and its answers arrive whole once it reads.
TEST_F(ServerTest, FloodOfListsFromAClientThatDoesNotRead) {
    server_->Stop();
    ServerOptions options;
    options.port = 0;
    Start(options);
    Client flood(port());
    std::string requests;
    for (int i = 0; i < 4000; ++i) requests += "LIST VAR u1\n";
    std::thread sender([&] { flood.Send(requests); });
    Client good(port());
    for (int i = 0; i < 5; ++i) {
        good.Send(kStatus);
        EXPECT_EQ(good.Read(1, 1000), kStatusAnswer);
    }
    const std::string first = flood.Read(19);
    EXPECT_EQ(first.rfind("END LIST VAR u1\n"), first.size() - 16) << first;
    server_->Stop();  // closes the connection, which ends the sender's send()
    sender.join();
}

// One host may hold only its share of the connections: each further one from
// 127.0.0.1 takes the place of its longest idle one, while 127.0.0.2 is served as
// before; the burst is logged once.
TEST_F(ServerTest, ConnectionsPerAddress) {
    server_->Stop();
    ServerOptions options;
    options.port = 0;
    options.max_clients_per_address = 4;
    Start(options);
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Client>(port()));
    for (auto& c : held) {
        c->Send(kStatus);
        ASSERT_EQ(c->Read(1), kStatusAnswer);
    }
    std::vector<std::unique_ptr<Client>> newcomers;
    for (int i = 0; i < 3; ++i) {
        newcomers.push_back(std::make_unique<Client>(port()));
        newcomers.back()->Send(kStatus);
        EXPECT_EQ(newcomers.back()->Read(1), kStatusAnswer);
        EXPECT_TRUE(held[i]->Closed(2000));
    }
    Client other(port(), "127.0.0.2");
    other.Send(kStatus);
    EXPECT_EQ(other.Read(1), kStatusAnswer);
    server_->Stop();
    EXPECT_EQ(std::count(log_.begin(), log_.end(), '\n'), 1) << log_;
}

// Not logged in, a connection has request_timeout_ms for each whole request however it
// drips bytes; logged in (upsmon), idle_timeout_ms.
TEST_F(ServerTest, ShortDeadlineUntilLoggedIn) {
    server_->Stop();
    ServerOptions options;
    options.port = 0;
    options.request_timeout_ms = 300;
    Start(options);
    Client monitor(port());
    monitor.Send("USERNAME mon\nPASSWORD s3cret\nLOGIN u1\n");
    ASSERT_EQ(monitor.Read(3), "OK\nOK\nOK\n");
    Client dripping(port());
    const auto start = Clock::now();
    bool closed = false;
    for (int i = 0; i < 20 && !closed; ++i) {
        dripping.Send("G");
        closed = dripping.Closed(100);
    }
    EXPECT_TRUE(closed) << "a byte now and then kept the connection";
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    monitor.Send(kStatus);
    EXPECT_EQ(monitor.Read(1), kStatusAnswer);
}

// One wrong LOGIN over a fresh connection; the answer's line, read within `timeout_ms`.
std::string TryLogin(uint16_t port, const char* from, const std::string& password,
                     int timeout_ms = 3000) {
    Client c(port, from);
    c.Send("USERNAME mon\nPASSWORD " + password + "\nLOGIN u1\n");
    const std::string answer = c.Read(3, timeout_ms);
    return answer.substr(answer.find("OK\nOK\n") == 0 ? 6 : 0);
}

// 200 wrong passwords from one address over fresh connections: after three free ones
// each waits its slot, which costs the guesser time; the log holds two lines, not 200.
// Another address logs in at once while the first one's next guess is parked.
TEST_F(ServerTest, WrongPasswordsSlowDownPerAddress) {
    server_->Stop();
    ServerOptions options;
    options.port = 0;
    options.attempts.first_delay_ms = 1;
    options.attempts.max_delay_ms = 8;
    Start(options);
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(TryLogin(port(), "127.0.0.1", "guess" + std::to_string(i)), "ERR ACCESS-DENIED\n");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(took.count(), 190 * 8 - 100) << "guesses were not slowed down";
    server_->Stop();
    EXPECT_EQ(std::count(log_.begin(), log_.end(), '\n'), 2) << log_;

    log_.clear();
    options.attempts.first_delay_ms = 3000;
    options.attempts.max_delay_ms = 3000;
    Start(options);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(TryLogin(port(), "127.0.0.1", "guess"), "ERR ACCESS-DENIED\n");
    {
        // A guess parked, then the guesser hangs up: its line must not take the slot.
        Client gone(port());
        gone.Send("USERNAME mon\nPASSWORD guess\nLOGIN u1\n");
        EXPECT_EQ(gone.Read(2, 300), "OK\nOK\n");
    }
    Client parked(port());
    parked.Send("USERNAME mon\nPASSWORD s3cret\nLOGIN u1\n");
    EXPECT_EQ(parked.Read(3, 500), "OK\nOK\n") << "the LOGIN was answered before its slot";
    EXPECT_EQ(TryLogin(port(), "127.0.0.2", "s3cret", 500), "OK\n");
    Client reader(port());
    reader.Send(kStatus);
    EXPECT_EQ(reader.Read(1, 500), kStatusAnswer) << "reading needs no slot";
    EXPECT_EQ(parked.Read(1, 5000), "OK\n");
}

// STARTTLS with a certificate, TLS required for passwords.
class TlsServerTest : public ServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(certs.ok()) << "openssl could not make the test certificates";
        novex::tls::TlsSettings tls;
        tls.cert_file = tls.key_file = certs.Path("both.pem");
        std::string error;
        options.tls = novex::tls::ServerTls::Create(tls, error);
        ASSERT_TRUE(options.tls) << error;
        options.port = 0;
        options.require_tls = true;
        options.handshake_timeout_ms = 300;
        Start(options);
    }
    test_certs::Certs certs;
    ServerOptions options;
};

TEST_F(TlsServerTest, PasswordsOnlyOverTls) {
    Client plain(port());
    plain.Send("USERNAME mon\nPASSWORD s3cret\nLOGIN u1\n");
    EXPECT_EQ(plain.Read(3), "OK\nERR ACCESS-DENIED\nERR ACCESS-DENIED\n");

    tls_client::Client secure(port());
    secure.SendPlain("STARTTLS\n");
    ASSERT_EQ(secure.ReadPlainLine(), "OK STARTTLS\n");
    ASSERT_EQ(secure.Handshake(certs.Path("ca.pem")), "");
    secure.Send("USERNAME mon\nPASSWORD s3cret\nLOGIN u1\nSTARTTLS\n" + kStatus);
    EXPECT_EQ(secure.Read(5), "OK\nOK\nOK\nERR ALREADY-SSL-MODE\n" + kStatusAnswer);

    tls_client::Client wrong_ca(port());
    wrong_ca.SendPlain("STARTTLS\n");
    ASSERT_EQ(wrong_ca.ReadPlainLine(), "OK STARTTLS\n");
    EXPECT_EQ(wrong_ca.Handshake(certs.Path("other-ca.pem")), "certificate verify failed");
}

// Clients that abuse STARTTLS are closed while a client connected before is answered
// at once; the failed handshakes of one address are logged once. Columns: what the
// client sends after the STARTTLS line, whether it reads "OK STARTTLS" first.
TEST_F(TlsServerTest, BadHandshakesAreClosed) {
    struct Row {
        std::string send;
        bool read_ok;
    };
    const Row rows[] = {
        {"GET VAR u1 ups.status\n", false},       // plain text pipelined after STARTTLS
        {"GET VAR u1 ups.status\n", true},        // plain text instead of a hello
        {std::string(300, '\x16'), true},         // garbage shaped like a record start
        {"", true},                               // starts TLS, then stalls
    };
    for (const Row& row : rows) {
        Client good(port());
        Client bad(port());
        if (row.read_ok) {
            bad.Send("STARTTLS\n");
            EXPECT_EQ(bad.Read(1), "OK STARTTLS\n");
            bad.Send(row.send);
        } else {
            bad.Send("STARTTLS\n" + row.send);
        }
        good.Send(kStatus);
        EXPECT_EQ(good.Read(1, 400), kStatusAnswer);
        EXPECT_TRUE(bad.Closed(2000)) << row.send;
    }
    server_->Stop();
    EXPECT_EQ(log_.find("TLS handshake failed"), log_.rfind("TLS handshake failed")) << log_;
}

// Debian's upsmon with FORCESSL and CERTVERIFY: it logs in over TLS and sees the UPS go
// on battery; trusting another CA only, it never logs in. Columns: the CA upsmon
// trusts, whether it must log in.
TEST_F(TlsServerTest, UpsmonOverTls) {
    NOVEX_NEED_PEER(ups_clients::Upsmon::Available(),
                    "needs Debian's upsmon (nut-client) and root (it runs as one root process)");
    struct Row {
        const char* ca;
        bool logs_in;
    };
    const Row rows[] = {{"ca.pem", true}, {"other-ca.pem", false}};
    for (const Row& row : rows) {
        fake.directory.Publish("u1", OnMains());
        ups_clients::Upsmon upsmon;
        const std::string db = upsmon.TrustOnly(certs.Path(row.ca));
        NOVEX_NEED_PEER(!db.empty(), "needs certutil (Debian package libnss3-tools)");
        std::string error;
        ASSERT_TRUE(upsmon.Start("u1@127.0.0.1:" + std::to_string(port()), "mon", "s3cret", error,
                                 "CERTPATH " + db + "\nFORCESSL 1\nCERTVERIFY 1\n"))
            << error;
        Client probe(port());
        const auto logins = [&] {
            probe.Send("GET NUMLOGINS u1\n");
            return probe.Read(1);
        };
        if (!row.logs_in) {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            EXPECT_EQ(logins(), "NUMLOGINS u1 0\n") << upsmon.Output();
            continue;
        }
        EXPECT_TRUE(ups_clients::Eventually([&] { return logins() == "NUMLOGINS u1 1\n"; }))
            << upsmon.Output();
        fake.directory.Publish("u1", OnBattery(60));
        EXPECT_TRUE(ups_clients::Eventually([&] { return upsmon.Notified("ONBATT"); })) << upsmon.Output();
    }
}

// Debian's clients (nut-client). Where a client is missing the test says so and skips.
using ups_clients::Eventually;
using ups_clients::RunClient;

class RealClients : public ServerTest {
protected:
    void SetUp() override {
        ServerOptions options;
        options.port = 0;
        Start(options);
    }
    std::string Ups(const char* name) const { return std::string(name) + "@127.0.0.1:" + std::to_string(port()); }
};

TEST_F(RealClients, Upsc) {
    const std::string upsc = ups_clients::Upsc();
    NOVEX_NEED_PEER(!upsc.empty(), "upsc not installed (Debian package nut-client)");
    const ups_clients::Run all = RunClient({upsc, Ups("u1")});
    EXPECT_EQ(all.exit_code, 0) << all.err;
    for (const char* line : {"battery.charge: 85\n", "ups.status: OL\n", "device.model: NX \"3\" phase\n",
                             "input.voltage: 220.4\n"})
        EXPECT_NE(all.out.find(line), std::string::npos) << line << " not in\n" << all.out;

    fake.directory.Publish("u1", OnBattery(18));
    // Columns: arguments after the program, exit code, standard output.
    struct Row {
        std::vector<std::string> args;
        int exit_code;
        std::string out;
    };
    const Row rows[] = {
        {{Ups("u1"), "ups.status"}, 0, "OB LB DISCHRG\n"},
        {{Ups("u1"), "battery.charge"}, 0, "18\n"},
        {{"-l", "127.0.0.1:" + std::to_string(port())}, 0, "u1\nu2\n"},
        {{"-L", "127.0.0.1:" + std::to_string(port())}, 0, "u1: Main UPS \"A\" \\ rack\nu2: Unavailable\n"},
        {{"-c", Ups("u1")}, 0, ""},
        {{Ups("u1"), "no.such"}, 1, ""},
        {{Ups("u2")}, 1, ""},
        {{Ups("u9"), "ups.status"}, 1, ""},
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv{upsc};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const ups_clients::Run run = RunClient(argv);
        EXPECT_EQ(run.exit_code, row.exit_code) << row.args.back() << ": " << run.err;
        EXPECT_EQ(run.out, row.out) << row.args.back() << ": " << run.err;
    }
}

// 64 connections from eight loopback addresses that send nothing, besides a client
// logged in as upsmon is: upsc is still answered, and the logged-in client is never
// the one closed to make room.
TEST_F(RealClients, IdleConnectionsCannotLockOutUpsc) {
    const std::string upsc = ups_clients::Upsc();
    if (upsc.empty()) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") FAIL() << "upsc missing in CI";
        GTEST_SKIP() << "upsc not installed (Debian package nut-client)";
    }
    Client monitor(port(), "127.0.0.9");
    monitor.Send("USERNAME mon\nPASSWORD s3cret\nLOGIN u1\n");
    ASSERT_EQ(monitor.Read(3), "OK\nOK\nOK\n");
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 64; ++i)
        idle.push_back(std::make_unique<Client>(port(), ("127.0.0." + std::to_string(1 + i % 8)).c_str()));
    const ups_clients::Run run = RunClient({upsc, Ups("u1"), "ups.status"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "OL\n") << run.err;
    monitor.Send("GET NUMLOGINS u1\n");
    EXPECT_EQ(monitor.Read(1), "NUMLOGINS u1 1\n");
}

// upsmon as primary, in the foreground: it must log in, notice lost data and its
// return, go on battery, see the battery low, set forced shutdown and run its
// shutdown command.
TEST_F(RealClients, UpsmonShutsDownWhenTheBatteryRunsLow) {
    NOVEX_NEED_PEER(ups_clients::Upsmon::Available(),
                    "needs Debian's upsmon (nut-client) and root (it runs as one root process)");
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(Ups("u1"), "mon", "s3cret", error)) << error;
    Client probe(port());
    const auto status = [&] {
        probe.Send(kStatus);
        return probe.Read(1);
    };
    const auto logins = [&] {
        probe.Send("GET NUMLOGINS u1\n");
        return probe.Read(1);
    };
    EXPECT_TRUE(Eventually([&] { return logins() == "NUMLOGINS u1 1\n"; })) << upsmon.Output();

    // Columns: what the UPS does next, the notification upsmon must then give.
    struct Step {
        std::function<void()> change;
        const char* notify;
    };
    const Step steps[] = {
        {[&] { fake.directory.PublishStale("u1"); }, "COMMBAD"},
        {[&] { fake.directory.Publish("u1", OnMains()); }, "COMMOK"},
        {[&] { fake.directory.Publish("u1", OnBattery(50)); }, "ONBATT"},
        {[&] { fake.directory.Publish("u1", OnBattery(15)); }, "SHUTDOWN"},
    };
    for (const Step& step : steps) {
        step.change();
        EXPECT_TRUE(Eventually([&] { return upsmon.Notified(step.notify); }))
            << step.notify << " not notified; " << upsmon.Output();
    }
    EXPECT_TRUE(Eventually([&] { return upsmon.ShutdownRan(); })) << upsmon.Output();
    EXPECT_EQ(status(), "VAR u1 ups.status \"FSD OB LB DISCHRG\"\n");
}

TEST(ServerAddress, Parse) {
    struct Row {
        const char* text;
        bool ok;
        const char* address;
        uint16_t port;
    };
    const Row rows[] = {
        {"0.0.0.0:3494", true, "0.0.0.0", 3494}, {"192.168.1.5", true, "192.168.1.5", 3493},
        {":4000", true, "127.0.0.1", 4000},      {"[::1]:3495", true, "::1", 3495},
        {"[::]", true, "::", 3493},              {"host:70000", false, "", 0},
        {"::", false, "", 0},                    {"3494", true, "127.0.0.1", 3494},
        {"host:", false, "", 0},                 {"[::1", false, "", 0},
    };
    for (const Row& row : rows) {
        ServerOptions options;
        std::string error;
        EXPECT_EQ(ParseListen(row.text, options, error), row.ok) << row.text;
        if (!row.ok) continue;
        EXPECT_EQ(options.address, row.address) << row.text;
        EXPECT_EQ(options.port, row.port) << row.text;
    }
}

}  // namespace
