// vimohost as a service: the log levels and their journal prefixes, and the datagrams a
// service manager receives on its notify socket.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "service_notify.h"

namespace {

using vimo::Level;

// Columns: the level's name, its prefix under the journal.
struct LevelRow {
    const char* name;
    const char* prefix;
};
const LevelRow kLevels[] = {
    {"error", "<3>"}, {"warning", "<4>"}, {"notice", "<5>"}, {"info", "<6>"}, {"debug", "<7>"},
};

TEST(LogLevels, NamesParseAndCarryTheirSyslogPriority) {
    for (const LevelRow& row : kLevels) {
        Level level{};
        ASSERT_TRUE(vimo::ParseLevel(row.name, level)) << row.name;
        EXPECT_EQ(vimo::FormatLine(level, "x", true), std::string(row.prefix) + "x\n") << row.name;
        EXPECT_EQ(vimo::FormatLine(level, "x", false), "x\n") << row.name;
    }
    for (const char* bad : {"", "Notice", "warn", "7", "info "}) {
        Level level{};
        EXPECT_FALSE(vimo::ParseLevel(bad, level)) << bad;
    }
    EXPECT_EQ(vimo::LevelChoices(), "error|warning|notice|info|debug");
}

TEST(LogLevels, AChosenLevelShowsItselfAndWhatIsMoreUrgent) {
    vimo::SetConsoleLevel(Level::kWarning);
    EXPECT_TRUE(vimo::ConsoleShows(Level::kError));
    EXPECT_TRUE(vimo::ConsoleShows(Level::kWarning));
    EXPECT_FALSE(vimo::ConsoleShows(Level::kNotice));
    vimo::SetConsoleLevel(Level::kNotice);
    EXPECT_FALSE(vimo::ConsoleShows(Level::kInfo));
}

TEST(LogLevels, TheJournalIsRecognisedByDeviceAndInode) {
    char path[] = "/tmp/vimohost-journal-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    const std::string ours = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    // Columns: JOURNAL_STREAM (null: unset), whether it names the file.
    const std::pair<const char*, bool> rows[] = {
        {nullptr, false}, {ours.c_str(), true}, {"0:0", false}, {"garbage", false},
        {(ours + "x").c_str(), false},
    };
    for (const auto& [value, journal] : rows) {
        if (value) setenv("JOURNAL_STREAM", value, 1); else unsetenv("JOURNAL_STREAM");
        EXPECT_EQ(vimo::StreamIsJournal(fd), journal) << (value ? value : "(unset)");
    }
    unsetenv("JOURNAL_STREAM");
    close(fd);
    unlink(path);
}

// A service manager's end of the notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : name_(name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') address.sun_path[0] = '\0';
        bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    }
    ~NotifySocket() {
        close(fd_);
        if (name_[0] == '/') unlink(name_.c_str());
    }
    bool bound() const { return bound_; }
    // The datagrams received so far.
    std::vector<std::string> Received() {
        std::vector<std::string> out;
        char buffer[512];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            out.emplace_back(buffer, static_cast<size_t>(n));
        return out;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotifier, SendsToAPathOrAnAbstractSocket) {
    const std::string names[] = {"/tmp/vimohost-notify-" + std::to_string(getpid()),
                                 "@vimohost-notify-" + std::to_string(getpid())};
    for (const std::string& name : names) {
        NotifySocket manager(name);
        ASSERT_TRUE(manager.bound()) << name;
        vimo::ServiceNotifier notifier(name, std::chrono::microseconds(0));
        EXPECT_TRUE(notifier.Send("READY=1\nSTATUS=1 device"));
        EXPECT_EQ(manager.Received(), std::vector<std::string>{"READY=1\nSTATUS=1 device"}) << name;
    }
    EXPECT_FALSE(vimo::ServiceNotifier("", std::chrono::microseconds(0)).Send("READY=1"));
    EXPECT_FALSE(vimo::ServiceNotifier("relative", std::chrono::microseconds(0)).Send("READY=1"));
}

TEST(ServiceNotifier, KeepAliveAtHalfTheWatchdogInterval) {
    const std::string name = "@vimohost-watchdog-" + std::to_string(getpid());
    NotifySocket manager(name);
    ASSERT_TRUE(manager.bound());
    vimo::ServiceNotifier notifier(name, std::chrono::milliseconds(100));
    // Columns: ms since start of the poll loop's tick, whether WATCHDOG=1 goes out.
    const std::pair<int, bool> ticks[] = {
        {0, true}, {10, false}, {49, false}, {50, true}, {99, false}, {160, true}, {161, false},
    };
    const auto start = vimo::ServiceNotifier::Clock::now();
    for (const auto& [ms, sent] : ticks) {
        notifier.KeepAlive(start + std::chrono::milliseconds(ms));
        EXPECT_EQ(manager.Received().size(), sent ? 1u : 0u) << "at " << ms << " ms";
    }
}

TEST(ServiceNotifier, TakesTheEnvironmentOnlyWhenTheWatchdogIsOurs) {
    // Columns: WATCHDOG_USEC, WATCHDOG_PID (null: unset; "self": ours), the interval in us.
    const std::string self = std::to_string(getpid());
    const std::tuple<const char*, const char*, long> rows[] = {
        {"30000000", nullptr, 30000000}, {"30000000", "self", 30000000}, {"30000000", "1", 0},
        {"0", nullptr, 0}, {"x", nullptr, 0}, {nullptr, nullptr, 0},
    };
    setenv("NOTIFY_SOCKET", "@x", 1);
    for (const auto& [usec, pid, interval] : rows) {
        if (usec) setenv("WATCHDOG_USEC", usec, 1); else unsetenv("WATCHDOG_USEC");
        if (pid) setenv("WATCHDOG_PID", std::strcmp(pid, "self") == 0 ? self.c_str() : pid, 1);
        else unsetenv("WATCHDOG_PID");
        const vimo::ServiceNotifier notifier = vimo::ServiceNotifier::FromEnvironment();
        EXPECT_TRUE(notifier.active());
        EXPECT_EQ(notifier.watchdog().count(), interval) << (usec ? usec : "-") << " " << (pid ? pid : "-");
    }
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
    EXPECT_FALSE(vimo::ServiceNotifier::FromEnvironment().active());
}

}  // namespace
