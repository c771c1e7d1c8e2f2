// The mDNS announcement through a real Avahi daemon that the test starts on a private
// system bus of its own: avahi-browse finds the UPS protocol server and the page with
// their ports, a name taken already is renamed, a daemon restart is survived, and a
// stop withdraws the services.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mdns/announcer.h"
#include "tests/peer_skip.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::ReadFile;
using runner_test::Simulator;
using runner_test::TempDir;
using runner_test::WaitUntil;
using runner_test::WriteFile;

// A bus like the system's, on a socket of the test's, that lets anyone own any name.
const char kBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

const char kAvahiConfig[] = "[server]\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
                            "[publish]\npublish-hinfo=no\npublish-workstation=no\n";

// avahi-daemon keeps one pid file per machine.
constexpr char kAvahiPidFile[] = "/run/avahi-daemon/pid";

class Mdns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vimo::MdnsBuiltIn()) GTEST_SKIP() << "this vimohost was built without Avahi's client library";
        NOVEX_NEED_PEER(access("/usr/bin/dbus-daemon", X_OK) == 0, "dbus-daemon not installed (dbus-daemon)");
        NOVEX_NEED_PEER(access("/usr/sbin/avahi-daemon", X_OK) == 0, "avahi-daemon not installed (avahi-daemon)");
        NOVEX_NEED_PEER(access("/usr/bin/avahi-browse", X_OK) == 0, "avahi-browse not installed (avahi-utils)");
        const std::string other = ReadFile(kAvahiPidFile);
        if (!other.empty() && kill(std::atoi(other.c_str()), 0) == 0)
            GTEST_SKIP() << "an avahi-daemon runs on this machine already (pid " << std::atoi(other.c_str())
                         << "), and a second cannot start beside it: its pid file " << kAvahiPidFile
                         << " is one per machine";
        std::string config = kBusConfig;
        config.replace(config.find("@SOCKET@"), 8, dir_ / "bus");
        WriteFile(dir_ / "bus.conf", config);
        WriteFile(dir_ / "avahi.conf", kAvahiConfig);
        std::string error;
        ASSERT_TRUE(bus_.Start({"/usr/bin/dbus-daemon", "--config-file=" + (dir_ / "bus.conf"), "--nofork",
                                "--nopidfile"},
                               runner_test::OutputIn(dir_ / "bus.out", dir_ / "bus.err"), error))
            << error;
        ASSERT_TRUE(WaitUntil([&] { return access((dir_ / "bus").c_str(), F_OK) == 0; }))
            << ReadFile(dir_ / "bus.err");
        StartAvahi();
    }

    // Starts the daemon; skips when this machine cannot run it (the reason its log's).
    void StartAvahi() {
        std::string error;
        const std::string log = dir_ / ("avahi" + std::to_string(++avahi_starts_) + ".err");
        ASSERT_TRUE(avahi_.Start(WithBus({"/usr/sbin/avahi-daemon", "-f", dir_ / "avahi.conf", "--no-drop-root",
                                          "--no-chroot", "--no-rlimits"}),
                                 runner_test::OutputIn(dir_ / "avahi.out", log), error))
            << error;
        const bool up = WaitUntil([&] {
            return !avahi_.running() || ReadFile(log).find("Server startup complete") != std::string::npos;
        });
        if (!up || !avahi_.running()) {
            avahi_.Stop(500);
            GTEST_SKIP() << "avahi-daemon cannot run in this machine: " << ReadFile(log);
        }
    }

    std::vector<std::string> WithBus(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"/usr/bin/env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "bus")});
        return argv;
    }

    // avahi-browse's resolved lines ("=;lo;IPv4;NAME;TYPE;local;HOST;ADDRESS;PORT;TXT") of
    // `type` (-k: the type as it is, not its description).
    std::string Browse(const std::string& type) {
        vimo::ChildProcess browse;
        std::string error;
        EXPECT_TRUE(browse.Start(WithBus({"/usr/bin/avahi-browse", "-rtpk", type}),
                                 runner_test::OutputIn(dir_ / "browse.out", dir_ / "browse.err"), error))
            << error;
        EXPECT_EQ(0, browse.Wait(15000)) << ReadFile(dir_ / "browse.err");
        std::string resolved;
        for (const std::string& line : runner_test::Lines(ReadFile(dir_ / "browse.out")))
            if (line.rfind("=;", 0) == 0) resolved += line + "\n";
        return resolved;
    }

    TempDir dir_;
    vimo::ChildProcess bus_, avahi_;
    int avahi_starts_ = 0;
};

// The port a vimohost line "WHAT on 127.0.0.1:PORT" or "... on http://127.0.0.1:PORT/" names.
std::string PortSaid(const std::string& text, const std::string& what) {
    const size_t at = text.find(what + " on ");
    if (at == std::string::npos) return "?";
    std::string address = text.substr(at, text.find('\n', at) - at);
    if (address.back() == '/') address.pop_back();  // the page's URL
    return address.substr(address.rfind(':') + 1);
}

TEST_F(Mdns, BrowsedRenamedKeptAcrossADaemonRestartAndWithdrawn) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string name = std::string("vimohost\\032on\\032") + host;  // as avahi-browse escapes it
    // Another program holds the name for _nut._tcp: vimohost takes "... #2" for it.
    vimo::ChildProcess holder;
    std::string error;
    ASSERT_TRUE(holder.Start(WithBus({"/usr/bin/avahi-publish", "-s", std::string("vimohost on ") + host,
                                      "_nut._tcp", "9"}),
                             runner_test::OutputIn(dir_ / "holder.out", dir_ / "holder.err"), error))
        << error;
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir_ / "holder.err").find("Established") != std::string::npos; }))
        << ReadFile(dir_ / "holder.err");

    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir_ / "sim.log"));
    vimo::ChildProcess vimohost;
    std::vector<std::string> argv = WithBus(novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost"));
    for (const char* a : {"--log-level", "info", "--no-history", "--mdns", "--protocol-listen", "127.0.0.1:0",
                          "--listen", "127.0.0.1:0", "--tcp"})
        argv.push_back(a);
    argv.push_back(sim.address());
    ASSERT_TRUE(vimohost.Start(argv, runner_test::OutputIn(dir_ / "out", dir_ / "err"), error)) << error;
    const auto announced = [&](size_t times) {
        return WaitUntil([&] { return runner_test::CountLines(ReadFile(dir_ / "err"), "mDNS: announcing") >= times; });
    };
    ASSERT_TRUE(announced(1)) << ReadFile(dir_ / "err");
    const std::string said = ReadFile(dir_ / "err");
    const std::string protocol_port = PortSaid(said, "UPS protocol server");
    const std::string web_port = PortSaid(said, "status page");
    EXPECT_NE(std::string::npos, said.find("is taken on the network")) << said;

    const auto expect_found = [&] {
        const std::string nut = Browse("_nut._tcp");
        EXPECT_NE(std::string::npos, nut.find(";" + name + "\\032\\0352;_nut._tcp;local;")) << nut;
        EXPECT_NE(std::string::npos, nut.find(";" + protocol_port + ";")) << nut;
        EXPECT_NE(std::string::npos, nut.find(";" + name + ";_nut._tcp;local;")) << "the holder's own";
        const std::string http = Browse("_http._tcp");
        EXPECT_NE(std::string::npos, http.find(";" + web_port + ";\"path=/\"")) << http;
    };
    expect_found();

    // The daemon restarts: vimohost says so once and registers again by itself.
    holder.Stop(1000);
    avahi_.Stop(3000);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir_ / "err").find("the Avahi daemon went away") != std::string::npos; }));
    StartAvahi();
    ASSERT_TRUE(announced(2)) << ReadFile(dir_ / "err");
    EXPECT_EQ(0u, runner_test::CountLines(ReadFile(dir_ / "err"), "no Avahi daemon runs"));  // said once, as a notice
    EXPECT_NE(std::string::npos, Browse("_nut._tcp").find(";" + protocol_port + ";"));

    // A stop withdraws both services: gone once their goodbyes' second has passed.
    EXPECT_EQ(0, vimohost.Stop(5000)) << ReadFile(dir_ / "err");
    const auto gone = [&](const std::string& type, const std::string& port) {
        for (int tries = 0; tries < 5; ++tries)
            if (Browse(type).find(";" + port + ";") == std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(gone("_nut._tcp", protocol_port));
    EXPECT_TRUE(gone("_http._tcp", web_port));
    avahi_.Stop(3000);
    bus_.Stop(1000);
}

// Without a bus (and so without a daemon) vimohost says so in one warning and polls on.
TEST(MdnsWithoutDaemon, OneWarningAndPollingGoesOn) {
    if (!vimo::MdnsBuiltIn()) GTEST_SKIP() << "this vimohost was built without Avahi's client library";
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    std::vector<std::string> argv = {"/usr/bin/env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus")};
    for (const std::string& a : novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost")) argv.push_back(a);
    for (const char* a : {"--no-history", "--mdns", "--protocol-listen", "127.0.0.1:0", "--rounds", "3",
                          "--interval-ms", "0", "--tcp"})
        argv.push_back(a);
    argv.push_back(sim.address());
    vimo::ChildProcess vimohost;
    std::string error;
    ASSERT_TRUE(vimohost.Start(argv, runner_test::OutputIn(dir / "out", dir / "err"), error)) << error;
    EXPECT_EQ(0, vimohost.Wait(30000));
    const std::string err = ReadFile(dir / "err");
    EXPECT_EQ(1u, runner_test::CountLines(err, "mDNS: cannot reach the Avahi daemon")) << err;
    EXPECT_EQ(2u, runner_test::CountLines(err, "mDNS")) << err;  // and the loopback warning
    EXPECT_NE(std::string::npos, err.find("3 rounds completed")) << err;
}

}  // namespace
