// What a hostile run of vimohost found, run again: files that are not what they seem,
// damaged or foreign histories, a process limit, closed standard descriptors, a locked
// history, a stop in mid-round, and temporary files left behind.
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "history/store.h"
#include "poll/status_output.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::Lines;
using runner_test::Outcome;
using runner_test::ReadFile;
using runner_test::RunVimohost;
using runner_test::TempDir;
using runner_test::WriteFile;

bool Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// A history of 200 rounds, closed.
void MakeHistory(const std::string& path) {
    std::string error;
    auto store = vimo::HistoryStore::Open(path, false, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
        "INSERT INTO rounds (data_id, time, record, utc) "
        "SELECT 1, '2026-01-01 00:00:00', randomblob(853), i FROM n", error)) << error;
}

// The same history with garbage over pages 3 to 20 (of the rounds' records).
void MakeGarbledHistory(const std::string& path) {
    MakeHistory(path);
    std::string garbage(18 * 4096, '\x5a');
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(garbage.size()), pwrite(fd, garbage.data(), garbage.size(), 2 * 4096));
    close(fd);
}

bool IsFifo(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// What the test directory holds before the run: "x" as named, or (kNone) no "x" and
// an empty folder "sub".
enum class Setup { kNone, kFifo, kLinkToFile, kHistory, kGarbledHistory, kForeignHistory };

void Prepare(Setup setup, const TempDir& dir) {
    switch (setup) {
        case Setup::kNone:
            std::filesystem::create_directory(dir / "sub");
            break;
        case Setup::kFifo:
            ASSERT_EQ(0, mkfifo((dir / "x").c_str(), 0600));
            break;
        case Setup::kLinkToFile:
            WriteFile(dir / "target", "keep");
            ASSERT_EQ(0, symlink("target", (dir / "x").c_str()));
            break;
        case Setup::kHistory:
            MakeHistory(dir / "x");
            break;
        case Setup::kGarbledHistory:
            MakeGarbledHistory(dir / "x");
            break;
        case Setup::kForeignHistory:
            ASSERT_TRUE(Sql(dir / "x", "CREATE TABLE rounds (a); CREATE TABLE alarms (b); "
                                       "PRAGMA user_version = 2;"));
            break;
    }
}

// Whether the file "x" is as the setup left it, and nothing was made beside it.
bool Intact(Setup setup, const TempDir& dir, const std::string& before) {
    for (const char* beside : {"x-journal", "x-wal", "x-shm", "vimohost.db"})
        if (Exists(dir / beside)) return false;
    switch (setup) {
        case Setup::kFifo:
            return IsFifo(dir / "x");
        case Setup::kLinkToFile: {
            struct stat st;
            return lstat((dir / "x").c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
                   ReadFile(dir / "target") == "keep";
        }
        case Setup::kNone:
            return !Exists(dir / "x");
        default:
            return ReadFile(dir / "x") == before;
    }
}

// Refused at start: one line, the exit code, and the file left as it was. Columns:
// what "x" is, the arguments, the exit code, a part of the error line.
struct Refusal {
    Setup setup;
    std::vector<std::string> args;
    int exit_code;
    const char* message;
};
const Refusal kRefusals[] = {
    {Setup::kFifo, {"--serial", "/dev/null", "--no-history", "--status-out", "x"}, 2,
     "--status-out x: a FIFO, not a regular file"},
    {Setup::kLinkToFile, {"--serial", "/dev/null", "--no-history", "--status-out", "x"}, 2,
     "--status-out x: a symbolic link, not a regular file"},
    {Setup::kHistory, {"--serial", "/dev/null", "--history", "x", "--status-out", "./x"}, 2,
     "--status-out ./x is the history file"},
    {Setup::kFifo, {"--serial", "/dev/null", "--history", "x"}, 1,
     "history x: not a regular file (a FIFO)"},
    {Setup::kGarbledHistory, {"--serial", "/dev/null", "--history", "x"}, 1, "history x: damaged ("},
    {Setup::kForeignHistory, {"--serial", "/dev/null", "--history", "x"}, 1,
     "not a vimohost history file (table rounds has no column id)"},
    {Setup::kFifo, {"history", "--history", "x"}, 1, "history x: not a regular file (a FIFO)"},
    {Setup::kGarbledHistory, {"history", "--history", "x", "--last", "0"}, 1, "history x: damaged ("},
    {Setup::kForeignHistory, {"history", "--history", "x"}, 1, "not a vimohost history file"},
    {Setup::kForeignHistory, {"history", "events", "--history", "x"}, 1,
     "not a vimohost history file"},
    // Times outside the range every query shares are refused where they are read.
    {Setup::kHistory, {"history", "readings", "--history", "x", "--since", "1000000w"}, 2,
     "--since must be a duration back from now (90s, 15m, 12h, 30d, 2w) or a local time "
     "YYYY-MM-DD[THH:MM[:SS]], optionally with Z or an offset such as +01:00, from "
     "1970-01-01T00:00:00Z to 9999-12-31T23:59:59Z, not \"1000000w\""},
    {Setup::kHistory, {"history", "events", "--history", "x", "--until", "9999-12-31T23:59:59-00:01"}, 2,
     "--until must be"},
    {Setup::kGarbledHistory, {"history", "--history", "x", "--json"}, 1, "history x: damaged ("},
    // The history not made yet, spelt another way: the status file would replace it.
    {Setup::kNone, {"--serial", "/dev/null", "--history", "x", "--status-out", "./x"}, 2,
     "--status-out ./x is the history file"},
    {Setup::kNone, {"--serial", "/dev/null", "--history", "x", "--status-out", "sub/../x"}, 2,
     "--status-out sub/../x is the history file"},
    {Setup::kNone, {"--serial", "/dev/null", "--history", "x", "--status-out", "x-wal"}, 2,
     "--status-out x-wal is the history file"},
    // Files vimohost reads: nothing but a regular file of bounded size, without waiting.
    {Setup::kFifo, {"--config", "x", "--no-history"}, 2, "x: is a FIFO, not a regular file"},
    {Setup::kNone, {"--config", "/dev/zero", "--no-history"}, 2,
     "/dev/zero: is a character device, not a regular file"},
    {Setup::kFifo,
     {"--serial", "/dev/null", "--no-history", "--protocol-listen", "127.0.0.1:0",
      "--protocol-users", "x"},
     2, "x: is a FIFO, not a regular file"},
    {Setup::kNone,
     {"--serial", "/dev/null", "--no-history", "--protocol-listen", "127.0.0.1:0",
      "--protocol-users", "/dev/zero"},
     2, "/dev/zero: is a character device, not a regular file"},
    // A hook given as a path that cannot run.
    {Setup::kNone, {"--serial", "/dev/null", "--no-history", "--on-event", "./no-such-hook"}, 2,
     "event hook ./no-such-hook: No such file or directory"},
    {Setup::kNone, {"--serial", "/dev/null", "--no-history", "--on-event", "./sub"}, 2,
     "event hook ./sub: a directory, not a program"},
    {Setup::kLinkToFile, {"--serial", "/dev/null", "--no-history", "--on-event", "./x"}, 2,
     "event hook ./x: not executable"},
};
static_assert(sizeof kRefusals / sizeof kRefusals[0] == 23, "refusals");

TEST(VimohostHardening, TargetsThatAreNoFileOrNoHistoryAreRefusedUntouched) {
    for (const Refusal& c : kRefusals) {
        SCOPED_TRACE(c.message);
        TempDir dir;
        Prepare(c.setup, dir);
        const std::string before = c.setup == Setup::kFifo ? "" : ReadFile(dir / "x");
        const Outcome run = RunVimohost(c.args, dir, 20000, dir.path());
        EXPECT_EQ(c.exit_code, run.exit_code);
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(1u, lines.size()) << run.err;
        EXPECT_NE(std::string::npos, lines[0].find(c.message)) << lines[0];
        EXPECT_EQ("", run.out);
        EXPECT_TRUE(Intact(c.setup, dir, before));
    }
}

// Runs build/vimohost in a child of the test that `restrict`s itself first (drops
// root, limits processes, closes descriptors), output in dir/out and dir/err; `during`
// is called with its process id while it runs.
Outcome RunRestricted(const std::vector<std::string>& args, const TempDir& dir,
                      const std::function<void()>& restrict,
                      const std::function<void(pid_t)>& during = nullptr) {
    const int timeout_ms = 60000;
    std::vector<std::string> argv =
        novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost");
    const std::vector<std::string> shown = runner_test::WithRounds(args);
    argv.insert(argv.end(), shown.begin(), shown.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (chdir(dir.path().c_str()) != 0 || out < 0 || err < 0) _exit(127);
        dup2(out, 1);
        dup2(err, 2);
        restrict();
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    if (during) during(pid);
    Outcome run;
    int status = 0;
    for (int waited = 0; waited < timeout_ms && waitpid(pid, &status, WNOHANG) == 0; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "vimohost did not finish in " << timeout_ms << " ms";
    }
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadFile(dir / "out");
    run.err = ReadFile(dir / "err");
    return run;
}

// As an ordinary user: root ignores process limits and file modes.
void BecomeNobody() {
    if (getuid() != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

// 300 lines under a limit of 100 processes: the threads run out; one line, exit 1,
// and not a round polled.
TEST(VimohostHardening, ThreadsRunningOutIsAFailureToStart) {
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    std::string devices;
    for (int i = 1; i <= 300; ++i)
        devices += std::string(i > 1 ? "," : "") + "{\"transport\": \"tcp\", \"port\": \"127.0.0.1:" +
                   std::to_string(i) + "\"}";
    WriteFile(dir / "ups.json", "[" + devices + "]");
    const Outcome run = RunRestricted({"--config", "ups.json", "--no-history"}, dir, [] {
        BecomeNobody();
        // The leak check at exit needs a thread of its own, which the limit refuses.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_NPROC, &limit);
    });
    EXPECT_EQ(1, run.exit_code) << run.err;
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(1u, lines.size()) << run.err;
    EXPECT_NE(std::string::npos, lines[0].find("vimohost: cannot start a thread for tcp 127.0.0.1:"))
        << lines[0];
}

// A history that this user may read but not write is still listed.
TEST(VimohostHardening, ReadOnlyHistoryIsListed) {
    TempDir dir;
    MakeHistory(dir / "h.db");
    chmod((dir / "h.db").c_str(), 0444);
    chmod(dir.path().c_str(), 0777);
    const Outcome run =
        RunRestricted({"history", "--history", "h.db", "--last", "3"}, dir, BecomeNobody);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(4u, Lines(run.out).size()) << run.out;  // the heading and three rounds
}

// A history that is missing, unreadable or behind a folder this user may not enter:
// each says which, with the owner, mode and user where access is the matter.
// Columns: file mode, folder mode, the path given, a part of the error.
TEST(VimohostHardening, HistoryCommandsTellMissingFromForbidden) {
    struct Case {
        mode_t file, folder;
        const char* path;
        const char* error;
    };
    const Case cases[] = {
        {0644, 0777, "none.db", "history none.db: no such file (the service's history is /var/lib/vimohost/history.db"},
        {0600, 0777, "h.db", "history h.db: Permission denied (h.db is -rw------- root:root; vimohost runs as nobody, not in group root, and may not read it"},
        {0644, 0700, "sub/h.db", "history sub/h.db: Permission denied (the folder sub is drwx------ root:root; vimohost runs as nobody"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::filesystem::create_directory(dir / "sub");
        MakeHistory(dir / "h.db");
        MakeHistory(dir / "sub/h.db");
        chmod((dir / "h.db").c_str(), c.file);
        chmod((dir / "sub").c_str(), c.folder);
        chmod(dir.path().c_str(), 0777);
        const Outcome run = RunRestricted({"history", "--history", c.path}, dir, BecomeNobody);
        EXPECT_EQ(1, run.exit_code) << run.err;
        EXPECT_NE(std::string::npos, run.err.find(c.error)) << run.err;
        EXPECT_EQ(std::string::npos, run.err.find("unable to open")) << run.err;
    }
}

// Started with standard input and output closed, the socket must not take their
// numbers: the plug-in's prints would go onto the wire.
TEST(VimohostHardening, ClosedStandardDescriptorsAreNotTakenBySockets) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    runner_test::Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"})) << sim.stdout_line();
    TempDir dir;
    std::string standard[2];
    const Outcome run = RunRestricted(
        {"--tcp", sim.address(), "--rounds", "3", "--interval-ms", "300", "--no-history"}, dir,
        [] {
            close(0);
            close(1);
        },
        [&](pid_t pid) {
            EXPECT_TRUE(runner_test::WaitForLine(dir / "err", "[ups1] round 1 "));
            for (int fd = 0; fd < 2; ++fd) {
                const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
                char target[256] = {};
                if (readlink(link.c_str(), target, sizeof target - 1) > 0) standard[fd] = target;
            }
        });
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("/dev/null", standard[0]);
    EXPECT_EQ("/dev/null", standard[1]);
}

// Killed with SIGKILL, a run leaves nothing in $TMPDIR: without --simulate it makes no
// file there, and the simulator's log is unlinked once the simulator has it open.
// Columns: the arguments, the line after which the run is killed.
struct Killed {
    std::vector<std::string> args;
    const char* after;
};
const Killed kKilled[] = {
    {{"--tcp", "127.0.0.1:1", "--no-history", "--interval-ms", "100"}, "[ups1] round 1"},
    {{"--simulate", "--no-history"}, "[ups1] round 1"},
};
static_assert(sizeof kKilled / sizeof kKilled[0] == 2, "killed runs");

TEST(VimohostHardening, KilledRunLeavesNoTemporaryFile) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    for (const Killed& c : kKilled) {
        SCOPED_TRACE(c.args[0]);
        TempDir dir;
        TempDir temporary;
        setenv("TMPDIR", temporary.path().c_str(), 1);
        vimo::ChildProcess vimohost;
        const bool started = runner_test::StartVimohost(vimohost, dir, c.args);
        unsetenv("TMPDIR");
        ASSERT_TRUE(started);
        EXPECT_TRUE(runner_test::WaitForLine(dir / "err", c.after)) << ReadFile(dir / "err");
        kill(vimohost.pid(), SIGKILL);
        vimohost.Wait(10000);
        EXPECT_TRUE(std::filesystem::is_empty(temporary.path()));
    }
}

// A simulator that does not get ready is explained by its own line, also when $TMPDIR
// cannot take its log.
TEST(VimohostHardening, SimulatorReasonIsShownWithoutATemporaryDirectory) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    TempDir dir;
    setenv("TMPDIR", "/nonexistent/tmp", 1);
    const Outcome run = RunVimohost({"--simulate", "--scenario", "sunny"}, dir, 20000, dir.path());
    unsetenv("TMPDIR");
    EXPECT_EQ(1, run.exit_code);
    EXPECT_NE(std::string::npos, run.err.find("novexups-sim: scenario sunny: cannot open")) << run.err;
}

// Temporary status files that killed runs left are removed at start: those whose
// process is gone or is another program; names of another pattern stay.
TEST(VimohostHardening, StaleTemporaryStatusFilesAreRemoved) {
    TempDir dir;
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    std::vector<std::string> removed = {"s.json.tmp." + std::to_string(gone)};
    // This test program is a live process of another name; under an emulator every
    // process bears the emulator's name, so it would pass for another vimohost.
    if (novex_test::ProgramsCanStartPrograms())
        removed.push_back("s.json.tmp." + std::to_string(getpid()));
    const std::string kept[] = {"s.json.tmp." + std::to_string(gone) + "x",
                                "other.json.tmp." + std::to_string(gone), "s.json.tmp."};
    for (const std::string& name : removed) WriteFile(dir / name, "{}");
    for (const std::string& name : kept) WriteFile(dir / name, "{}");
    const Outcome run = RunVimohost({"--serial", "/dev/null", "--no-history", "--status-out",
                                     "s.json", "--max-failures", "1"},
                                    dir, 20000, dir.path());
    EXPECT_EQ(3, run.exit_code) << run.err;
    for (const std::string& name : removed) EXPECT_FALSE(Exists(dir / name)) << name;
    for (const std::string& name : kept) EXPECT_TRUE(Exists(dir / name)) << name;
}

// What another user may have planted at the temporary status file's name before a
// write. Columns: what is planted, the planting.
struct Planted {
    const char* what;
    std::function<void(const std::string& temporary, const std::string& victim)> plant;
};
const Planted kPlanted[] = {
    {"a link to a file", [](const std::string& t, const std::string& v) {
         WriteFile(v, "keep");
         ASSERT_EQ(0, symlink(v.c_str(), t.c_str()));
     }},
    {"a link to a file not made yet",
     [](const std::string& t, const std::string& v) { ASSERT_EQ(0, symlink(v.c_str(), t.c_str())); }},
    {"a FIFO", [](const std::string& t, const std::string&) { ASSERT_EQ(0, mkfifo(t.c_str(), 0600)); }},
    {"a file", [](const std::string& t, const std::string&) { WriteFile(t, "stale"); }},
};
static_assert(sizeof kPlanted / sizeof kPlanted[0] == 4, "planted names");

// The status file is written whole, and nothing planted is followed or written into.
TEST(VimohostHardening, TemporaryStatusFileFollowsNoPlantedName) {
    for (const Planted& c : kPlanted) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string status = dir / "s.json";
        const std::string temporary = status + ".tmp." + std::to_string(getpid());
        const std::string victim = dir / "victim";
        c.plant(temporary, victim);
        const std::string victim_before = Exists(victim) ? ReadFile(victim) : "";
        std::string error;
        EXPECT_TRUE(vimo::WriteFileAtomically(status, "{\"new\": 1}", error)) << error;
        EXPECT_EQ("{\"new\": 1}", ReadFile(status));
        EXPECT_EQ(victim_before, Exists(victim) ? ReadFile(victim) : "");
        EXPECT_FALSE(Exists(temporary));
    }
}

// vimohost polling `sim` `rounds` times, `interval_ms` apart, into dir/h.db, once it
// has said its round `shown`: where the tests that upset the history in use start.
void StartStoring(runner_test::Simulator& sim, const TempDir& dir, vimo::ChildProcess& vimohost,
                  int rounds, int interval_ms, int shown) {
    ASSERT_TRUE(sim.Start({"--tcp", "0"})) << sim.stdout_line();
    ASSERT_TRUE(runner_test::StartVimohost(
        vimohost, dir,
        {"--tcp", sim.address(), "--rounds", std::to_string(rounds), "--interval-ms",
         std::to_string(interval_ms), "--history", dir / "h.db"}));
    ASSERT_TRUE(runner_test::WaitForLine(dir / "err", "[ups1] round " + std::to_string(shown) + " "));
}

// The history deleted while rounds are stored: said once, nothing more is stored (the
// rounds after it count as not stored), and no file appears at its name.
TEST(VimohostHardening, DeletedHistoryIsNoticedAndNotCountedAsStored) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    runner_test::Simulator sim;
    TempDir dir;
    vimo::ChildProcess vimohost;
    ASSERT_NO_FATAL_FAILURE(StartStoring(sim, dir, vimohost, 12, 150, 3));
    for (const char* name : {"h.db", "h.db-wal", "h.db-shm"}) unlink((dir / name).c_str());
    EXPECT_EQ(0, vimohost.Wait(30000));
    const std::string err = ReadFile(dir / "err");
    EXPECT_EQ(1u, runner_test::CountLines(err, "h.db was deleted or moved while in use")) << err;
    EXPECT_EQ(std::string::npos, err.find("12 stored")) << err;
    EXPECT_NE(std::string::npos, err.find("entries were not stored")) << err;
    EXPECT_FALSE(Exists(dir / "h.db"));
}

// Another connection holds the history's write lock longer than the writer waits for
// it (until the writer has said so and 20 more rounds have passed): rounds go on at
// their pace meanwhile, each is stored once the lock ends, and the failure is said once. (What a full queue drops is counted in
// history_test.)
TEST(VimohostHardening, LockedHistoryDelaysStoringNotPolling) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    runner_test::Simulator sim;
    TempDir dir;
    vimo::ChildProcess vimohost;
    // Long enough for the lock to end well before the last round: the first commit
    // waits for its group (5 s) and then for the lock (5 s) before it fails.
    ASSERT_NO_FATAL_FAILURE(StartStoring(sim, dir, vimohost, 60, 250, 2));
    sqlite3* locker = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir / "h.db").c_str(), &locker));
    sqlite3_busy_timeout(locker, 5000);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    const size_t before = runner_test::CountLines(ReadFile(dir / "err"), "[ups1] round ");
    size_t during = 0;
    EXPECT_TRUE(runner_test::WaitUntil(
        [&] {
            const std::string err = ReadFile(dir / "err");
            during = runner_test::CountLines(err, "[ups1] round ") - before;
            return during >= 20 && err.find("database is locked") != std::string::npos;
        },
        20000));
    sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
    EXPECT_EQ(0, vimohost.Wait(30000));
    const std::string err = ReadFile(dir / "err");
    EXPECT_GE(during, 20u) << err;
    EXPECT_NE(std::string::npos, err.find("60 rounds completed, 0 failed, 60 stored")) << err;
    EXPECT_EQ(1u, runner_test::CountLines(err, "database is locked")) << err;
    EXPECT_EQ(1u, runner_test::CountLines(err, "storing again")) << err;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", true, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(60, store->CountRounds(1u));
}

// SIGTERM in mid-round, and the UPS gone while that round waits for an answer (a
// service manager stops both): the round counts neither as completed nor as failed.
TEST(VimohostHardening, RoundStoppedBySignalCountsNeitherWay) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    runner_test::Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--fault-delay-ms", "400"})) << sim.stdout_line();
    TempDir dir;
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(runner_test::StartVimohost(
        vimohost, dir, {"--tcp", sim.address(), "--no-history", "--status-out", dir / "s.json"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    kill(vimohost.pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(sim.pid(), SIGKILL);
    EXPECT_EQ(0, vimohost.Wait(20000));
    const std::string err = ReadFile(dir / "err");
    EXPECT_NE(std::string::npos, err.find("[ups1] 0 rounds completed, 0 failed")) << err;
    EXPECT_EQ(std::string::npos, err.find("failed after")) << err;
}

}  // namespace
