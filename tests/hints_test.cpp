// The likely causes named beside errors: a port nobody listens on, a serial device
// closed to this user, a listening port taken.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/hints.h"
#include "modbus/modbus_line.h"
#include "tests/runner_processes.h"

namespace {

TEST(Hints, RefusedConnectionNamesThePort) {
    // A port that was just free: nothing listens there.
    vimo::LineSettings settings;
    settings.transport = "tcp";
    settings.port = "127.0.0.1:" + std::to_string(runner_test::FreePort());
    std::string error;
    EXPECT_FALSE(vimo::MakeLine(settings)->Open(error));
    EXPECT_EQ("Connection refused (the host answers but nothing listens on that port: check the "
              "port (502 usually) and that the gateway's Modbus TCP server is enabled)",
              error);
}

// A device file this user may not use: owner, group and mode, and what to do. Columns:
// mode, a part of the hint.
TEST(Hints, SerialAccessNamesOwnerGroupAndMode) {
    runner_test::TempDir dir;
    const std::string path = dir / "ttyUSB0";
    runner_test::WriteFile(path, "");
    const struct {
        mode_t mode;
        const char* part;
    } cases[] = {
        {0600, " is -rw------- "},
        {0600, "a member of "},  // the file's group is this process's own
        {0600, "but the group may not read and write it"},
        {0660, "; vimohost runs as "},
    };
    for (const auto& c : cases) {
        chmod(path.c_str(), c.mode);
        const std::string hint = vimo::SerialAccessHint(path);
        EXPECT_NE(std::string::npos, hint.find(c.part)) << hint;
    }
    chmod(path.c_str(), 0660);
    EXPECT_EQ(std::string::npos, vimo::SerialAccessHint(path).find("may not"));
    EXPECT_EQ("", vimo::SerialAccessHint(dir / "absent"));
    // Opening it as a serial line: Permission denied, then the hint.
    chmod(path.c_str(), 0);
    if (geteuid() != 0) {
        vimo::LineSettings settings;
        settings.port = path;
        std::string error;
        EXPECT_FALSE(vimo::MakeLine(settings)->Open(error));
        EXPECT_EQ(0u, error.rfind("Permission denied (" + path + " is -------", 0)) << error;
    }
}

TEST(Hints, AddressInUseNamesTheLikelyServer) {
    EXPECT_NE(std::string::npos, vimo::AddressInUseHint(3493, "--protocol-listen").find("such as upsd"));
    const std::string web = vimo::AddressInUseHint(8080, "--listen");
    EXPECT_EQ(std::string::npos, web.find("upsd"));
    EXPECT_NE(std::string::npos, web.find("ss -ltnp 'sport = :8080'"));
    EXPECT_NE(std::string::npos, web.find("with --listen)"));
}

}  // namespace
