// Notifications against real peers on loopback, each started by the test on private
// ports with its own files and stopped by its process id: aiosmtpd (STARTTLS required,
// AUTH, relaying only to example.org), rsyslog (UDP, TCP with octet counting, TLS) and
// an HTTPS sink written here. `notify test` through every kind and its failures with
// their hints; the quick start's outage followed on three channels; a mail server down
// across a restart of vimohost, every message delivered once afterwards.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "tests/peer_skip.h"
#include "tests/runner_processes.h"
#include "tests/test_certs.h"
#include "tests/web_support.h"

namespace {

using runner_test::CountLines;
using runner_test::FreePort;
using runner_test::Lines;
using runner_test::ReadFile;
using runner_test::TempDir;
using runner_test::WriteFile;

const char kMailServer[] = R"(
import email, email.header, ssl, sys, time
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword
port, cert, key, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
class Handler:
    async def handle_RCPT(self, server, session, envelope, address, options):
        if not address.endswith('@example.org'):
            return '550 5.7.1 relaying denied'
        envelope.rcpt_tos.append(address)
        return '250 OK'
    async def handle_DATA(self, server, session, envelope):
        m = email.message_from_bytes(envelope.content)
        subject = str(email.header.make_header(email.header.decode_header(m['Subject'])))
        with open(out, 'a') as f:
            f.write('%s %d %s\n' % (m['Message-ID'], len(envelope.rcpt_tos), subject))
        return '250 OK'
def check(server, session, envelope, mechanism, data):
    return AuthResult(success=isinstance(data, LoginPassword) and data.login == b'ups'
                      and data.password == b'pw', handled=False)
context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(cert, key)
Controller(Handler(), hostname='127.0.0.1', port=port, tls_context=context, require_starttls=True,
           authenticator=check, auth_required=True, auth_require_tls=True).start()
while True:
    time.sleep(3600)
)";

// Writes "PATH ID BODY" a line per POST and answers with the status of argv[4].
const char kWebhookSink[] = R"(
import http.server, ssl, sys
port, cert, key, out, status = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
class Sink(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with open(out, 'a') as f:
            f.write('%s %s %s\n' % (self.path, self.headers.get('X-Vimo-Message-Id'), body.decode()))
        self.send_response(status)
        if status == 302:
            self.send_header('Location', 'https://elsewhere.example/')
        self.end_headers()
        self.wfile.write(b'sink says no' if status >= 300 else b'ok')
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', port), Sink)
context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
)";

bool HavePython(const char* module) {
    return access("/usr/bin/python3", X_OK) == 0 &&
           std::system(("/usr/bin/python3 -c 'import " + std::string(module) + "' 2>/dev/null").c_str()) == 0;
}

bool Listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool WaitListening(int port) {
    for (int i = 0; i < 200 && !Listening(port); ++i) usleep(50 * 1000);
    return Listening(port);
}

template <typename F>
bool Within(int ms, F done) {
    for (int waited = 0; !done(); waited += 50) {
        if (waited > ms) return false;
        usleep(50 * 1000);
    }
    return true;
}

class NotifyPeers : public ::testing::Test {
protected:
    void SetUp() override {
        NOVEX_NEED_PEER(HavePython("aiosmtpd"), "python3-aiosmtpd is not installed");
        NOVEX_NEED_PEER(access("/usr/sbin/rsyslogd", X_OK) == 0 &&
                            access("/usr/lib/x86_64-linux-gnu/rsyslog/lmnsd_ossl.so", F_OK) == 0,
                        "rsyslog with rsyslog-openssl is not installed");
        ASSERT_TRUE(certs_.ok());
        WriteFile(dir_ / "password", "pw\n");
        chmod((dir_ / "password").c_str(), 0600);
        WriteFile(dir_ / "mail.py", kMailServer);
        WriteFile(dir_ / "sink.py", kWebhookSink);
        smtp_port_ = FreePort();
    }
    void TearDown() override {
        for (vimo::ChildProcess* p : {&mail_, &sink_, &rsyslog_})
            if (p->running()) p->Stop(2000);
    }

    void StartMail() {
        std::string error;
        ASSERT_TRUE(mail_.Start({"/usr/bin/python3", dir_ / "mail.py", std::to_string(smtp_port_),
                                 certs_.Path("server.pem"), certs_.Path("server.key"), dir_ / "mail.out"},
                                runner_test::OutputIn(dir_ / "mail.log", dir_ / "mail.err"), error))
            << error;
        ASSERT_TRUE(WaitListening(smtp_port_)) << ReadFile(dir_ / "mail.err");
    }
    void StartSink(int status) {
        sink_port_ = FreePort();
        std::string error;
        ASSERT_TRUE(sink_.Start({"/usr/bin/python3", dir_ / "sink.py", std::to_string(sink_port_),
                                 certs_.Path("server.pem"), certs_.Path("server.key"), dir_ / "sink.out",
                                 std::to_string(status)},
                                runner_test::OutputIn(dir_ / "sink.log", dir_ / "sink.err"), error))
            << error;
        ASSERT_TRUE(WaitListening(sink_port_)) << ReadFile(dir_ / "sink.err");
    }
    void StartRsyslog() {
        udp_port_ = FreePort(SOCK_DGRAM);
        tcp_port_ = FreePort();
        tls_port_ = FreePort();
        mkdir((dir_ / "work").c_str(), 0700);
        WriteFile(dir_ / "rsyslog.conf",
                  "global(workDirectory=\"" + dir_ / "work" + "\" defaultNetstreamDriverCAFile=\"" +
                      certs_.Path("ca.pem") + "\" defaultNetstreamDriverCertFile=\"" + certs_.Path("server.pem") +
                      "\" defaultNetstreamDriverKeyFile=\"" + certs_.Path("server.key") +
                      "\")\n"
                      "module(load=\"imudp\")\nmodule(load=\"imtcp\" maxSessions=\"10\")\n"
                      "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" + std::to_string(udp_port_) + "\")\n"
                      "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(tcp_port_) + "\")\n"
                      "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(tls_port_) +
                      "\" streamDriver.name=\"ossl\" streamDriver.mode=\"1\" streamDriver.authMode=\"anon\")\n"
                      "template(name=\"t\" type=\"string\" string=\"%inputname% %msgid% %app-name% "
                      "%structured-data% %msg%\\n\")\n"
                      "action(type=\"omfile\" file=\"" + dir_ / "syslog.out" + "\" template=\"t\")\n");
        std::string error;
        ASSERT_TRUE(rsyslog_.Start({"/usr/sbin/rsyslogd", "-n", "-f", dir_ / "rsyslog.conf", "-i", dir_ / "rsyslog.pid"},
                                   runner_test::OutputIn(dir_ / "rsyslog.log", dir_ / "rsyslog.err"), error))
            << error;
        ASSERT_TRUE(WaitListening(tcp_port_) && WaitListening(tls_port_)) << ReadFile(dir_ / "rsyslog.err");
    }

    std::string Mail(const std::string& to = "a@example.org,b@example.org", const std::string& extra = "") const {
        return "smtp://ups@127.0.0.1:" + std::to_string(smtp_port_) + "?to=" + to +
               "&from=ups@example.org&password_file=" + dir_ / "password" + "&ca=" + certs_.Path("ca.pem") + extra;
    }
    std::string Hook(const std::string& query) const {
        return "https://127.0.0.1:" + std::to_string(sink_port_) + "/ups-alerts?" + query;
    }

    runner_test::Outcome NotifyTest(const std::vector<std::string>& urls) {
        std::vector<std::string> args = {"notify", "test"};
        for (const std::string& url : urls) args.insert(args.end(), {"--notify", url});
        return runner_test::RunVimohost(args, dir_, 60000);
    }

    TempDir dir_;
    test_certs::Certs certs_;
    vimo::ChildProcess mail_, sink_, rsyslog_;
    int smtp_port_ = 0, sink_port_ = 0, udp_port_ = 0, tcp_port_ = 0, tls_port_ = 0;
};

TEST_F(NotifyPeers, TestCommandSendsThroughEveryKindAndExplainsFailures) {
    StartMail();
    StartSink(200);
    StartRsyslog();
    const std::string ca = "ca=" + certs_.Path("ca.pem");
    const runner_test::Outcome ok = NotifyTest(
        {Mail(), Hook("format=ntfy&" + ca), "syslog://127.0.0.1:" + std::to_string(udp_port_),
         "syslog+tcp://127.0.0.1:" + std::to_string(tcp_port_),
         "syslog+tls://localhost:" + std::to_string(tls_port_) + "?" + ca});
    EXPECT_EQ(0, ok.exit_code) << ok.out << ok.err;
    EXPECT_EQ(5u, CountLines(ok.out, "): sent")) << ok.out;
    const std::vector<std::string> mail = Lines(ReadFile(dir_ / "mail.out"));
    ASSERT_EQ(1u, mail.size());
    EXPECT_NE(std::string::npos, mail[0].find(" 2 [INFO] vimohost test message")) << mail[0];
    const std::string posted = ReadFile(dir_ / "sink.out");
    EXPECT_EQ(0u, posted.find("/ ")) << posted;  // ntfy: to the root, the topic inside
    EXPECT_NE(std::string::npos, posted.find("\"topic\":\"ups-alerts\"")) << posted;
    ASSERT_TRUE(Within(5000, [&] { return Lines(ReadFile(dir_ / "syslog.out")).size() == 3; }))
        << ReadFile(dir_ / "syslog.out") << ReadFile(dir_ / "rsyslog.err");
    for (const std::string& line : Lines(ReadFile(dir_ / "syslog.out"))) {
        EXPECT_NE(std::string::npos, line.find(" vimohost [vimo@32473 ")) << line;
        EXPECT_NE(std::string::npos, line.find("test message")) << line;
    }

    // Each failure with its hint: columns url, what the line says.
    const std::pair<std::string, const char*> failures[] = {
        {Mail("x@elsewhere.net"), "relay denied"},
        {"smtp://nobody@127.0.0.1:" + std::to_string(smtp_port_) + "?to=a@example.org&from=u@example.org" +
             "&password_file=" + dir_ / "password" + "&" + ca,
         "authentication refused"},
        {Hook("name=no-ca"), "TLS verification failed"},
        {"syslog+tls://localhost:" + std::to_string(tls_port_) + "?ca=" + certs_.Path("other-ca.pem"),
         "TLS verification failed"},
        {"syslog+tcp://127.0.0.1:" + std::to_string(FreePort()), "connection refused"},
        {"https://no-such-host.invalid/x", "name not resolved"},
    };
    for (const auto& [url, hint] : failures) {
        const runner_test::Outcome failed = NotifyTest({url});
        EXPECT_EQ(1, failed.exit_code) << url;
        EXPECT_EQ(1u, CountLines(failed.out, hint)) << url << "\n" << failed.out << failed.err;
    }
    EXPECT_EQ(1u, Lines(ReadFile(dir_ / "mail.out")).size());  // nothing relayed or sent unauthenticated
}

TEST_F(NotifyPeers, WebhookRefusalsSayTheStatusAndTheBody) {
    for (const auto& [status, says] : std::vector<std::pair<int, std::string>>{
             {500, "HTTP 500: sink says no"}, {404, "HTTP 404: sink says no"},
             {302, "HTTP 302 redirect to https://elsewhere.example/ (not followed"}}) {
        StartSink(status);
        const runner_test::Outcome failed = NotifyTest({Hook("ca=" + certs_.Path("ca.pem"))});
        EXPECT_EQ(1, failed.exit_code);
        EXPECT_EQ(1u, CountLines(failed.out, says)) << failed.out;
        sink_.Stop(2000);
    }
}

// The page's test button through the running service: refused without the page's
// header, then the channel's row says how it went; the outage's messages carry the
// page's link.
TEST_F(NotifyPeers, TheRunningServiceSendsATestWhenThePageAsks) {
    StartSink(200);
    WriteFile(dir_ / "token", "s3cret\n");
    chmod((dir_ / "token").c_str(), 0600);
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(runner_test::StartVimohost(
        vimohost, dir_,
        {"--simulate", "--scenario", "outage", "--interval-ms", "200", "--no-history", "--listen", "127.0.0.1:0",
         "--http-token-file", dir_ / "token", "--page-url", "https://ups.example.net/", "--notify",
         Hook("format=json&name=chat&ca=" + certs_.Path("ca.pem"))}));
    const std::string web = "status page on http://127.0.0.1:";
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", web)) << ReadFile(dir_ / "err");
    const std::string err = ReadFile(dir_ / "err");
    const int port = std::stoi(err.substr(err.find(web) + web.size()));
    const std::string post = "POST /api/v1/notify/test?channel=chat HTTP/1.1\r\nHost: x\r\n"
                             "Authorization: Bearer s3cret\r\nContent-Length: 0\r\nConnection: close\r\n";
    EXPECT_EQ(0u, web_test::RawExchange(port, post + "\r\n").find("HTTP/1.1 403 ")) << "without X-Requested-With";
    EXPECT_EQ(0u, web_test::RawExchange(port, post + "X-Requested-With: vimohost\r\n\r\n").find("HTTP/1.1 202 "));
    const std::string get =
        "GET /api/v1/devices HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer s3cret\r\nConnection: close\r\n\r\n";
    EXPECT_TRUE(Within(10000, [&] { return web_test::RawExchange(port, get).find("\"test\":\"sent\"") != std::string::npos; }))
        << web_test::RawExchange(port, get);
    EXPECT_EQ(1u, CountLines(ReadFile(dir_ / "sink.out"), "test message")) << ReadFile(dir_ / "sink.out");
    EXPECT_EQ(1u, CountLines(ReadFile(dir_ / "err"), "notify chat: test sent")) << ReadFile(dir_ / "err");
    EXPECT_TRUE(Within(10000, [&] {
        return CountLines(ReadFile(dir_ / "sink.out"), "\"link\":\"https://ups.example.net/\"") > 0;
    })) << ReadFile(dir_ / "sink.out");
    EXPECT_EQ(0, vimohost.Stop(10000));
}

// The ids of the messages in a file of lines "PREFIX ID ...", the id at `field`.
std::multiset<std::string> Ids(const std::string& text, size_t field) {
    std::multiset<std::string> ids;
    for (const std::string& line : Lines(text)) {
        std::istringstream in(line);
        std::string word;
        for (size_t i = 0; i <= field; ++i) in >> word;
        ids.insert(word);
    }
    return ids;
}

// The quick start's outage (mains fails in round 11, battery low, mains back in round
// 54): each round with events is one message on each channel, the events of the round
// in it, each message once.
TEST_F(NotifyPeers, OutageReachesMailWebhookAndSyslogOncePerRound) {
    StartMail();
    StartSink(200);
    StartRsyslog();
    const runner_test::Outcome run = runner_test::RunVimohost(
        {"--simulate", "--scenario", "outage", "--interval-ms", "0", "--rounds", "60", "--no-history", "--notify",
         Mail(), "--notify", Hook("format=json&ca=" + certs_.Path("ca.pem")), "--notify",
         "syslog+tcp://127.0.0.1:" + std::to_string(tcp_port_)},
        dir_, 60000);
    ASSERT_EQ(0, run.exit_code) << run.err;
    // The rounds with events, from the console: each event line carries its round's time,
    // so count the rounds by their event groups in the webhook's documents instead and
    // check the events add up.
    const size_t events = CountLines(run.err, "] alarm raised: ") + CountLines(run.err, "] alarm cleared: ");
    const std::vector<std::string> posted = Lines(ReadFile(dir_ / "sink.out"));
    size_t posted_events = 0;
    for (const std::string& line : posted) {
        for (size_t at = line.find("\"event\":"); at != std::string::npos; at = line.find("\"event\":", at + 1))
            ++posted_events;
    }
    EXPECT_EQ(events, posted_events);
    EXPECT_EQ(4u, posted.size()) << ReadFile(dir_ / "sink.out");  // fails, low, back, low cleared
    EXPECT_EQ(1u, CountLines(ReadFile(dir_ / "sink.out"), "\"alarm\":\"run_state.on_battery\",\"description\":"
                                                          "\"On battery: mains failed\",\"event\":\"raised\""));
    const std::vector<std::string> mails = Lines(ReadFile(dir_ / "mail.out"));
    EXPECT_EQ(posted.size(), mails.size()) << ReadFile(dir_ / "mail.out");
    EXPECT_EQ(1u, CountLines(ReadFile(dir_ / "mail.out"), "[CRITICAL] ups1: Battery voltage low"));
    ASSERT_TRUE(Within(5000, [&] { return Lines(ReadFile(dir_ / "syslog.out")).size() == posted.size(); }))
        << ReadFile(dir_ / "syslog.out");
    for (const auto& ids : {Ids(ReadFile(dir_ / "sink.out"), 1), Ids(ReadFile(dir_ / "mail.out"), 0),
                            Ids(ReadFile(dir_ / "syslog.out"), 1)})
        EXPECT_EQ(ids.size(), std::set<std::string>(ids.begin(), ids.end()).size());
}

// A webhook that accepts the connection and never answers holds its own channel only:
// the rounds keep their pace, the other channel gets every message, and the stop waits
// a few seconds for it, not its 30 s limit.
TEST_F(NotifyPeers, AHungChannelDelaysNoRoundAndNoOtherChannel) {
    StartSink(200);
    const int hung_port = FreePort();
    const int hung = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(hung_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(hung, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, listen(hung, 16));  // the kernel accepts; nobody reads or answers
    const auto start = std::chrono::steady_clock::now();
    const runner_test::Outcome run = runner_test::RunVimohost(
        {"--simulate", "--scenario", "outage", "--interval-ms", "0", "--rounds", "60", "--no-history", "--notify",
         "http://127.0.0.1:" + std::to_string(hung_port) + "/hook?name=hung", "--notify",
         Hook("ca=" + certs_.Path("ca.pem"))},
        dir_, 60000);
    const auto took = std::chrono::steady_clock::now() - start;
    close(hung);
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(4u, Lines(ReadFile(dir_ / "sink.out")).size()) << ReadFile(dir_ / "sink.out");
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_EQ(1u, CountLines(run.err, "60 rounds completed, 0 failed")) << run.err;
}

// The mail server is down through the outage and vimohost stops with the messages in
// its outbox; once the server is up, the next start sends each of them, once.
TEST_F(NotifyPeers, MailDownAcrossARestartArrivesOnceWhenBack) {
    const std::string history = dir_ / "h.db";
    const runner_test::Outcome first = runner_test::RunVimohost(
        {"--simulate", "--scenario", "outage", "--interval-ms", "0", "--rounds", "60", "--history", history,
         "--notify", Mail()},
        dir_, 60000);
    ASSERT_EQ(0, first.exit_code) << first.err;
    EXPECT_EQ(1u, CountLines(first.err, "Couldn't connect to server")) << first.err;  // said once
    const runner_test::Outcome status = runner_test::RunVimohost({"notify", "status", "--history", history}, dir_);
    EXPECT_EQ(0, status.exit_code) << status.err;
    EXPECT_NE(std::string::npos, status.out.find(": 4 waiting")) << status.out;

    StartMail();
    const runner_test::Outcome second = runner_test::RunVimohost(
        {"--simulate", "--scenario", "normal", "--interval-ms", "0", "--rounds", "1", "--history", history,
         "--notify", Mail()},
        dir_, 60000);
    ASSERT_EQ(0, second.exit_code) << second.err;
    const std::string mail = ReadFile(dir_ / "mail.out");
    EXPECT_EQ(4u, Lines(mail).size()) << mail;
    const std::multiset<std::string> ids = Ids(mail, 0);
    EXPECT_EQ(ids.size(), std::set<std::string>(ids.begin(), ids.end()).size()) << mail;
    const runner_test::Outcome after = runner_test::RunVimohost({"notify", "status", "--history", history}, dir_);
    EXPECT_NE(std::string::npos, after.out.find("no message waits")) << after.out;
}

}  // namespace
