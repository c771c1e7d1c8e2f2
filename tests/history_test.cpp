// The history: times and sizes as people write them, readings blobs, the upgrade from
// the landed version, the writer's behaviour when the database fails, retention, and
// the queries the command line and the web page use.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "history/reader.h"
#include "history/store.h"
#include "history/times.h"
#include "core/time_text.h"
#include "history/writer.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"
#include "history/readings_codec.h"
#include "tests/runner_processes.h"
#include "web/history_source.h"

namespace {

using novex::monitor::Measures;
using runner_test::TempDir;

// The local zone for a test's span; Berlin has summer time.
struct Zone {
    explicit Zone(const char* tz) {
        const char* old = std::getenv("TZ");
        saved = old ? old : "";
        had = old != nullptr;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved;
    bool had = false;
};

// The first measure with this id.
size_t MeasureById(const std::string& id) {
    size_t m = 0;
    while (m < Measures().size() && Measures()[m].id != id) ++m;
    return m;
}

// A record whose measure `id` (its first row) holds register value `raw`.
void SetRegister(std::vector<unsigned char>& record, const char* id, uint16_t raw) {
    const size_t m = MeasureById(id);
    ASSERT_LT(m, Measures().size()) << id;
    const size_t offset = novex::monitor::kMeasureRows[Measures()[m].row].offset;
    std::memcpy(record.data() + offset, &raw, sizeof raw);
}

vimo::HistoryEntry Round(uint32_t data_id, int64_t utc, uint16_t charge) {
    vimo::HistoryEntry e;
    e.data_id = data_id;
    e.utc = utc;
    e.local = vimo::UtcToLocalText(utc);
    e.record.assign(sizeof(NovexUPS_Data_t), 0);
    SetRegister(e.record, "battery_charge", charge);
    return e;
}

TEST(HistoryTime, TextsPeopleWrite) {
    Zone zone("Europe/Berlin");
    const int64_t now = 1765184400;  // 2025-12-08T09:00:00Z
    // Columns: text, accepted, the epoch it means.
    struct Row {
        const char* text;
        bool ok;
        int64_t epoch;
    };
    const Row kRows[] = {
        {"1h", true, now - 3600},
        {"90s", true, now - 90},
        {"2w", true, now - 14 * 86400},
        {"2025-12-08T09:00", true, now - 3600},  // winter: UTC+1
        {"2025-12-08 10:00:30", true, now + 30},
        {"2025-07-01T12:00", true, 1751364000},  // summer: UTC+2
        {"2025-12-08T09:00Z", true, now},
        {"2025-12-08T09:00:00+05:30", true, now - 19800},
        // The API's forms read alike: a compact offset, a fraction of a second.
        {"2025-12-08T09:00:00+0530", true, now - 19800},
        {"2025-12-08T09:00:00.250Z", true, now},
        {"2025-12-08", true, now - 10 * 3600},
        {"0h", false, 0},
        {"1y", true, now - 365 * 86400},
        {"1mo", false, 0},
        {"yesterday", false, 0},
        {"2025-13-01", false, 0},
        {"2025-12-08T25:00", false, 0},
        {"2025-12-08T09:00+1", false, 0},
    };
    for (const Row& r : kRows) {
        int64_t epoch = 0;
        EXPECT_EQ(r.ok, vimo::ParsePointInTime(r.text, now, epoch)) << r.text;
        if (r.ok) {
            EXPECT_EQ(r.epoch, epoch) << r.text;
        }
    }
    // Columns: text, bytes (0: refused).
    const std::pair<const char*, int64_t> kSizes[] = {
        {"2GB", 2LL << 30}, {"500M", 500LL << 20}, {"64KiB", 64 << 10}, {"4096", 4096},
        {"0", 0},           {"2XB", 0},            {"GB", 0},
    };
    for (const auto& s : kSizes) {
        int64_t bytes = 0;
        EXPECT_EQ(s.second != 0, vimo::ParseSize(s.first, bytes)) << s.first;
        if (s.second) {
            EXPECT_EQ(s.second, bytes) << s.first;
        }
    }
    // A round stamped in the repeated hour of the end of summer time: the text alone is
    // ambiguous, the moment it was stamped is not.
    const int64_t second_pass = 1761440400;  // 2025-10-26T01:00:00Z = 02:00 CET
    EXPECT_EQ(second_pass, vimo::UtcOfRecentLocalText("2025-10-26 02:00:00", second_pass + 1));
    EXPECT_EQ(second_pass - 3600,
              vimo::UtcOfRecentLocalText("2025-10-26 02:00:00", second_pass - 3600));
}

TEST(Readings, BlobKeepsEveryPresentValueAndNamesResolve) {
    std::vector<unsigned char> record(sizeof(NovexUPS_Data_t), 0);
    SetRegister(record, "input_voltage", 2203);
    SetRegister(record, "battery_charge", 87);
    SetRegister(record, "module_present", 0x8000);  // module 1 present
    SetRegister(record, "module_inverter_current", 0xFFF6);  // signed: -1.0 A
    const auto values = novex::monitor::DecodeMeasures(record.data());
    std::vector<size_t> all(Measures().size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<double> out(all.size(), 12345.0);
    std::vector<unsigned char> blob;
    for (int part = 0; part < vimo::kReadingParts; ++part) {
        blob.clear();
        vimo::EncodeReadings(values, part, blob);
        vimo::ReadingsDecoder decoder;
        ASSERT_TRUE(decoder.Bind(vimo::CurrentLayoutText(part), all));
        ASSERT_TRUE(decoder.Decode(blob.data(), blob.size(), out.data()));
        EXPECT_FALSE(decoder.Decode(blob.data(), blob.size() - 1, out.data()));
        ASSERT_TRUE(decoder.Decode(blob.data(), blob.size(), out.data()));
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (!values[i].present)
            EXPECT_TRUE(std::isnan(out[i])) << Measures()[i].name;
        else
            EXPECT_NEAR(values[i].value, out[i], 1e-9) << Measures()[i].name;
    }
    // A layout in another order with a measure this table lacks reads by name.
    vimo::ReadingsDecoder other;
    ASSERT_TRUE(other.Bind("battery_charge 0\n", {novex::monitor::FindMeasure("battery_charge"),
                                                   novex::monitor::FindMeasure("input_frequency")}));
    std::vector<unsigned char> one = {1, 50 * 2};
    double two[2] = {std::nan(""), std::nan("")};
    ASSERT_TRUE(other.Decode(one.data(), one.size(), two));
    EXPECT_EQ(50.0, two[0]);
    EXPECT_TRUE(std::isnan(two[1]));

    // Columns: --fields text, measures it selects (0: refused).
    const std::pair<const char*, size_t> kFields[] = {
        {"battery_charge,output_load", 4},
        {"output_load{phase=\"b\"},battery_charge,output_load", 4},
        {"module_present", 10},
        {"output_load.b,module_inverter_current.3.a,output_load{phase=\"b\"}", 2},  // headings
        {"battery_charge,nonsense", 0},
        {"", 0},
    };
    for (const auto& f : kFields) {
        std::vector<size_t> fields;
        std::string error;
        EXPECT_EQ(f.second != 0, vimo::ResolveFields(f.first, fields, error)) << f.first;
        EXPECT_EQ(f.second, fields.size()) << f.first;
        if (!f.second) {
            EXPECT_NE(std::string::npos, error.find("battery_runtime")) << error;
        }
    }
}

// The landed layout, as its vimohost created it.
const char kLandedSchema[] = R"(
CREATE TABLE rounds (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  time TEXT NOT NULL, record BLOB NOT NULL);
CREATE INDEX rounds_by_device ON rounds (data_id, id);
CREATE TABLE alarms (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  time TEXT NOT NULL, rule_id TEXT NOT NULL, rule TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')));
CREATE INDEX alarms_by_device ON alarms (data_id, id);
INSERT INTO rounds (data_id, time, record) VALUES (3, '2025-07-01 14:00:00', zeroblob(853));
INSERT INTO rounds (data_id, time, record) VALUES (3, '2025-12-08 10:00:05', zeroblob(853));
INSERT INTO alarms (data_id, time, rule_id, rule, state)
  VALUES (3, '2025-12-08 10:00:05', '12017', '过载', 'raised');
)";

bool Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

TEST(HistorySchema, LandedFileUpgradesAndNewerIsRefused) {
    Zone zone("Europe/Berlin");
    TempDir dir;
    ASSERT_TRUE(Sql(dir / "old.db", kLandedSchema));
    std::string error;
    {
        auto store = vimo::HistoryStore::Open(dir / "old.db", true, error);
        ASSERT_TRUE(store) << error;
        const auto rounds = store->List(std::nullopt, 0);
        ASSERT_EQ(2u, rounds.size());
        EXPECT_EQ(1751371200, rounds[0].utc);  // summer: 12:00Z
        EXPECT_EQ(1765184405, rounds[1].utc);  // winter: 09:00:05Z
        EXPECT_EQ("ups3", rounds[0].device);
        EXPECT_EQ(1u, store->AlarmStates(3).size());
    }
    auto reader = vimo::HistoryReader::Open(dir / "old.db", error);
    ASSERT_TRUE(reader) << error;
    std::vector<vimo::StoredEvent> events;
    ASSERT_TRUE(reader->Events({}, events, error)) << error;
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("overload", events[0].alarm);
    EXPECT_EQ("critical", events[0].severity);
    EXPECT_EQ("2025-12-08T10:00:05+01:00", events[0].local);
    int rows = 0;
    ASSERT_TRUE(reader->Readings(3, 0, 1LL << 40, {novex::monitor::FindMeasure("battery_charge")},
                                 [&](const vimo::ReadingRow&) { return ++rows > 0; }, error));
    EXPECT_EQ(2, rows);

    ASSERT_TRUE(Sql(dir / "new.db", "CREATE TABLE rounds (x); PRAGMA user_version = 5;"));
    EXPECT_FALSE(vimo::HistoryStore::Open(dir / "new.db", true, error));
    EXPECT_NE(std::string::npos, error.find("newer vimohost (history version 5")) << error;
    EXPECT_EQ(std::string::npos, error.find('\n'));
    ASSERT_TRUE(Sql(dir / "other.db", "CREATE TABLE rounds (x);"));
    EXPECT_FALSE(vimo::HistoryStore::Open(dir / "other.db", true, error));
}

// Each device's energy count: the last round of a batch that carries one is what the
// next start reads; a file without the table, a row that is no count, and a table of
// another shape.
TEST(HistoryEnergy, LastCountPerDeviceAndBadRows) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    EXPECT_FALSE(store->Energy(1));  // no table yet
    const auto counted = [](vimo::HistoryEntry e, double a, double b, double c) {
        e.energy.phase_joules = {a, b, c};
        e.energy.counted = true;
        return e;
    };
    std::vector<int64_t> ids;
    // Device 2's last round carries no count: its earlier one stands.
    ASSERT_TRUE(store->Write({counted(Round(1, 1000, 50), 1, 2, 3), counted(Round(2, 1000, 50), 7, 8, 9),
                              counted(Round(1, 1001, 50), 10, 20, 30.5), Round(2, 1001, 50)},
                             ids, error)) << error;
    auto one = store->Energy(1);
    ASSERT_TRUE(one);
    EXPECT_EQ((std::array<double, 3>{10, 20, 30.5}), one->phase_joules);
    EXPECT_DOUBLE_EQ(60.5, one->total_joules);
    EXPECT_TRUE(one->counted);
    ASSERT_TRUE(store->Energy(2));
    EXPECT_DOUBLE_EQ(7, store->Energy(2)->phase_joules[0]);
    EXPECT_FALSE(store->Energy(3));
    // Rows that are no count read as none; the next start counts from 0.
    for (const char* bad : {"UPDATE energy SET b_joules = -1 WHERE data_id = 1",
                            "UPDATE energy SET b_joules = 'x' WHERE data_id = 1",
                            "UPDATE energy SET b_joules = 1e999 WHERE data_id = 1"}) {
        ASSERT_TRUE(store->Execute(bad, error)) << error;
        EXPECT_FALSE(store->Energy(1)) << bad;
    }
    store.reset();
    // A table of that name without the columns: no history of ours.
    ASSERT_TRUE(Sql(dir / "h.db", "DROP TABLE energy; CREATE TABLE energy (data_id INTEGER PRIMARY KEY, kwh REAL)"));
    EXPECT_FALSE(vimo::HistoryStore::Open(dir / "h.db", true, error));
    EXPECT_NE(std::string::npos, error.find("table energy has no column")) << error;
}

// A locked database, then a full one: polling hands rounds over regardless; each
// failure is said once; the oldest rounds make room in a full queue; stores resume.
TEST(HistoryWriter, FailuresAreReportedOnceAndStoresResume) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    sqlite3* locker = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir / "h.db").c_str(), &locker));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    ASSERT_TRUE(store->Execute("PRAGMA busy_timeout = 20", error));
    vimo::HistoryWriterOptions options;
    options.capacity = 5;
    options.retry = std::chrono::milliseconds(20);
    options.retention.keep_seconds = 0;
    testing::internal::CaptureStderr();
    {
        vimo::HistoryWriter writer(*store, options);
        const int64_t now = std::time(nullptr);
        for (int i = 0; i < 12; ++i) writer.Submit(Round(1, now + i, static_cast<uint16_t>(i)));
        EXPECT_FALSE(writer.Flush(std::chrono::milliseconds(200)));
        EXPECT_EQ(0, writer.Stored(1));
        sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
        EXPECT_TRUE(writer.Flush(std::chrono::seconds(10)));
        const int64_t kept = writer.Stored(1);
        EXPECT_EQ(12, kept + writer.Dropped());
        EXPECT_EQ(kept, store->CountRounds(1u));
        EXPECT_EQ(12, store->List(1u, 1)[0].utc - now + 1);  // the newest survived

        // Full: no page may be added.
        ASSERT_TRUE(store->Execute("PRAGMA max_page_count = " +
                                       std::to_string(store->UsedBytes() / 4096),
                                   error));
        for (int i = 0; i < 40; ++i) writer.Submit(Round(1, now + 20 + i, 1));
        EXPECT_FALSE(writer.Flush(std::chrono::milliseconds(300)));
        ASSERT_TRUE(store->Execute("PRAGMA max_page_count = 1000000", error));
        EXPECT_TRUE(writer.Flush(std::chrono::seconds(10)));
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, runner_test::CountLines(err, "cannot store: database is locked")) << err;
    EXPECT_EQ(1u, runner_test::CountLines(err, "cannot store: database or disk is full")) << err;
    EXPECT_EQ(2u, runner_test::CountLines(err, "storing again")) << err;
    sqlite3_close(locker);
}

// A stop on a full disk: the stop's flush does not wait for the disk, the writer's last
// tries end within its few seconds, and what could not be stored is counted.
TEST(HistoryWriter, StopOnAFullDiskEndsWithinSecondsAndCountsTheLoss) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Execute("PRAGMA max_page_count = " + std::to_string(store->UsedBytes() / 4096), error));
    vimo::HistoryWriterOptions options;
    options.retry = std::chrono::milliseconds(20);
    options.retention.keep_seconds = 0;
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    {
        vimo::HistoryWriter writer(*store, options);
        const int64_t now = std::time(nullptr);
        for (int i = 0; i < 40; ++i) writer.Submit(Round(1, now + i, 1));
        EXPECT_FALSE(writer.FlushUnlessFailing(std::chrono::seconds(10)));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, runner_test::CountLines(err, "40 entries were not stored")) << err;
}

// Line threads wake the writer only for the first entry queued, a full batch and an
// alarm change; in between it gathers its group. A wake-up missed either way would
// hold rounds for the whole group period (an hour here) instead of committing them,
// and an alarm change is never held back by the grouping.
TEST(HistoryWriter, FirstEntryFullBatchAndAlarmChangesWakeTheWriter) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    vimo::HistoryWriterOptions options;
    options.batch = 8;
    options.group = std::chrono::hours(1);
    vimo::HistoryWriter writer(*store, options);
    const auto stored_within = [&](int64_t rounds, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (writer.Stored(1) < rounds && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return writer.Stored(1) == rounds;
    };
    const int64_t now = std::time(nullptr);
    // Steps: rounds submitted, then an alarm change or not, rounds stored after them,
    // how long that may take, how long the count must then stay.
    struct Step {
        int submit;
        vimo::HistoryEntry::Kind then;
        int64_t stored;
        int wait_ms, hold_ms;
    };
    using Kind = vimo::HistoryEntry::Kind;
    const Step steps[] = {
        {0, Kind::kRound, 0, 0, 100},    // the writer waits for work
        {1, Kind::kRound, 1, 5000, 0},   // the first entry, with no commit yet: stored at once
        {3, Kind::kRound, 1, 0, 200},    // a group gathering: nothing until the batch is full
        {0, Kind::kEvent, 4, 5000, 0},   // an alarm event takes the group with it at once
        {2, Kind::kRule, 6, 5000, 0},    // so does a rule's raise or clear
        {7, Kind::kRound, 6, 0, 200},    // gathering again
        {1, Kind::kRound, 14, 5000, 0},  // the eighth fills the batch
    };
    static_assert(sizeof steps / sizeof steps[0] == 7, "seven steps");
    int n = 0;
    for (const Step& step : steps) {
        for (int i = 0; i < step.submit; ++i, ++n) writer.Submit(Round(1, now + n, 5));
        if (step.then != Kind::kRound) {
            vimo::HistoryEntry e;
            e.kind = step.then;
            e.data_id = 1;
            e.id = "overload";
            e.text = "overload";
            e.raised = true;
            e.utc = now + n;
            e.local = vimo::UtcToLocalText(e.utc);
            writer.Submit(std::move(e));
        }
        stored_within(step.stored, std::chrono::milliseconds(step.wait_ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(step.hold_ms));
        EXPECT_EQ(step.stored, writer.Stored(1)) << "after round " << n;
    }
}

// The most a power loss can cost is the group period (docs/vimohost.md): at one round
// every 100 ms and a period of 500 ms, no round waits in the queue much longer than
// the period (each commit syncs the log, so what is committed is on the disk).
TEST(HistoryWriter, NoRoundWaitsLongerThanTheGroupPeriod) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    vimo::HistoryWriterOptions options;
    options.group = std::chrono::milliseconds(500);
    vimo::HistoryWriter writer(*store, options);
    const int64_t now = std::time(nullptr);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    constexpr int kRounds = 15;
    std::vector<Clock::time_point> submitted;
    Clock::duration longest{};
    for (int64_t stored = 0; stored < kRounds && Clock::now() - start < std::chrono::seconds(10);) {
        const Clock::time_point tick = Clock::now();
        if (submitted.size() < kRounds && tick >= start + submitted.size() * std::chrono::milliseconds(100)) {
            writer.Submit(Round(1, now + static_cast<int64_t>(submitted.size()), 5));
            submitted.push_back(tick);
        }
        for (const int64_t now_stored = writer.Stored(1); stored < now_stored; ++stored)
            longest = std::max(longest, tick - submitted[static_cast<size_t>(stored)]);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(kRounds, writer.Stored(1));
    // The period and some room for a loaded machine; never the whole wait.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 1500);
}

TEST(HistoryWriter, RetentionRemovesOldRoundsAndKeepsTheFileWithinItsSize) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    const int64_t now = std::time(nullptr);
    vimo::HistoryWriterOptions options;
    options.prune_every = std::chrono::milliseconds(10);
    options.batch = 32;  // the file may exceed its size by one batch
    options.retention.keep_seconds = 86400;
    options.retention.max_bytes = 1 << 20;
    {
        vimo::HistoryWriter writer(*store, options);
        for (int i = 0; i < 50; ++i) writer.Submit(Round(1, now - 3 * 86400 + i, 5));
        // A soak: far more rounds than the size holds.
        for (int i = 0; i < 5000; ++i) {
            writer.Submit(Round(1 + i % 2, now - 5000 + i, static_cast<uint16_t>(i % 100)));
            if (i % 500 == 0) writer.Flush(std::chrono::seconds(10));
        }
        ASSERT_TRUE(writer.Flush(std::chrono::seconds(10)));
        EXPECT_EQ(0, writer.Dropped());
    }
    struct stat st {};
    ASSERT_EQ(0, stat((dir / "h.db").c_str(), &st));
    EXPECT_LE(st.st_size, (1 << 20) + (64 << 10)) << "file size";
    const auto oldest = store->List(std::nullopt, 0);
    ASSERT_FALSE(oldest.empty());
    EXPECT_GT(oldest.front().utc, now - 5000) << "the old day and the oldest rounds went first";
    EXPECT_EQ(now - 1, oldest.back().utc);
}

// --keep-events removes old events but never the one that says an alarm is active:
// without it the next start would raise the alarm, and run its hooks, again.
TEST(HistoryRetention, KeepsTheLastRaiseOfEveryActiveAlarm) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    const int64_t now = std::time(nullptr), day = 86400;
    // The events in order. Columns: data id, alarm, raised, age in seconds, kept.
    struct Row {
        uint32_t data_id;
        const char* alarm;
        bool raised;
        int64_t age;
        bool kept;
    };
    const Row rows[] = {
        {1, "a", true, 10 * day, true},    // still active
        {1, "b", true, 10 * day, false},   // cleared since
        {1, "b", false, 9 * day, false},
        {1, "c", true, 10 * day, false},   // raised again later: the later raise stays
        {1, "c", false, 9 * day, false},
        {1, "c", true, 8 * day, true},
        {2, "a", true, 10 * day, false},   // another device's alarm of that id, cleared
        {2, "a", false, 3600, true},       // young enough
    };
    for (const Row& r : rows) {
        vimo::AlarmEvent e;
        e.data_id = r.data_id;
        e.alarm = r.alarm;
        e.kind = r.raised ? vimo::AlarmEvent::Kind::kRaised : vimo::AlarmEvent::Kind::kCleared;
        e.time = now - r.age;
        ASSERT_TRUE(store->AddEvent(e, error)) << error;
        // The device's own rule alarms follow the same rule.
        ASSERT_TRUE(store->Execute(
            std::string("INSERT INTO alarms (data_id, time, rule_id, rule, state, utc) VALUES (") +
                std::to_string(r.data_id) + ", '2026-01-01 00:00:00', '" + r.alarm + "', 'rule " +
                r.alarm + "', '" + (r.raised ? "raised" : "cleared") + "', " +
                std::to_string(now - r.age) + ")",
            error)) << error;
    }
    while (store->PruneEventsBefore(now - day, 2, error) > 0) {
    }
    ASSERT_EQ("", error);
    for (const uint32_t id : {1u, 2u}) {
        std::vector<int64_t> kept, expected;
        for (const vimo::AlarmEvent& e : store->Events(id)) kept.push_back(now - e.time);
        for (const Row& r : rows)
            if (r.data_id == id && r.kept) expected.push_back(r.age);
        EXPECT_EQ(expected, kept) << "events of " << id;
        size_t rule_rows = 0;
        for (const Row& r : rows) rule_rows += r.data_id == id && r.kept;
        EXPECT_EQ(rule_rows, store->Alarms(id).size()) << "rule alarms of " << id;
    }
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), store->ActiveAlarms(1));
    EXPECT_TRUE(store->ActiveAlarms(2).empty());
}

TEST(HistoryReader, DownsamplesAndListsActiveEvents) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->SetDeviceName(4, "east", error));
    std::vector<vimo::HistoryEntry> batch;
    const int64_t t0 = 1765184400;
    // Charge 0..9 over ten seconds, one round a second, then a gap of a minute.
    for (int i = 0; i < 10; ++i) batch.push_back(Round(4, t0 + i, static_cast<uint16_t>(i)));
    batch.push_back(Round(4, t0 + 70, 50));
    // Columns of each event: alarm, raised, seconds after t0.
    const std::tuple<const char*, bool, int> kEvents[] = {
        {"overload", true, 1}, {"fan_fault", true, 2}, {"overload", false, 3}, {"overload", true, 9},
    };
    for (const auto& [alarm, raised, at] : kEvents) {
        vimo::HistoryEntry e;
        e.kind = vimo::HistoryEntry::Kind::kEvent;
        e.data_id = 4;
        e.id = alarm;
        e.raised = raised;
        e.utc = t0 + at;
        batch.push_back(e);
    }
    std::vector<int64_t> ids;
    ASSERT_TRUE(store->Write(batch, ids, error)) << error;
    EXPECT_EQ(11u, ids.size());

    auto reader = vimo::HistoryReader::Open(dir / "h.db", error);
    ASSERT_TRUE(reader) << error;
    vimo::HistoryDevice device;
    ASSERT_TRUE(reader->FindDevice("", device, error)) << error;
    EXPECT_EQ("east", device.name);
    EXPECT_FALSE(reader->FindDevice("west", device, error));
    EXPECT_NE(std::string::npos, error.find("east (4)")) << error;
    std::vector<vimo::ReadingBucket> buckets;
    const size_t charge = novex::monitor::FindMeasure("battery_charge");
    ASSERT_TRUE(reader->DownsamplePoints(4, t0, t0 + 80, 8, {charge}, buckets, error)) << error;
    // Columns: bucket start after t0, rounds, min, mean, max.
    const double kBuckets[][5] = {{0, 10, 0, 4.5, 9}, {70, 1, 50, 50, 50}};
    ASSERT_EQ(2u, buckets.size());
    for (size_t b = 0; b < 2; ++b) {
        EXPECT_EQ(t0 + kBuckets[b][0], buckets[b].start);
        EXPECT_EQ(kBuckets[b][1], buckets[b].rounds);
        EXPECT_EQ(kBuckets[b][2], buckets[b].fields[0].min);
        EXPECT_EQ(kBuckets[b][3], buckets[b].fields[0].mean);
        EXPECT_EQ(kBuckets[b][4], buckets[b].fields[0].max);
    }
    // A unit figure and a module's, from the two parts of each round.
    std::vector<std::pair<double, double>> rows;
    ASSERT_TRUE(reader->Readings(4, t0 + 8, t0 + 71, {MeasureById("module_present"), charge},
                                 [&](const vimo::ReadingRow& r) {
                                     rows.emplace_back(r.values[0], r.values[1]);
                                     return true;
                                 },
                                 error));
    const std::vector<std::pair<double, double>> kRows = {{0, 8}, {0, 9}, {0, 50}};
    EXPECT_EQ(kRows, rows);
    std::vector<vimo::StoredEvent> events;
    vimo::EventQuery active;
    active.active_only = true;
    ASSERT_TRUE(reader->Events(active, events, error)) << error;
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("fan_fault", events[0].alarm);
    EXPECT_EQ(t0 + 9, events[1].utc);
    vimo::EventQuery span;
    span.since = t0 + 2;
    span.until = t0 + 9;
    ASSERT_TRUE(reader->Events(span, events, error)) << error;
    EXPECT_EQ(2u, events.size());

    // The web page's view: series per measure, and raises paired with their clears.
    auto web = novex::web::WebHistory::Open(dir / "h.db", error);
    ASSERT_TRUE(web) << error;
    std::vector<novex::web::ReadingSeries> series;
    ASSERT_TRUE(web->Readings({4, {charge}, t0, t0 + 80, 8}, series, error)) << error;
    ASSERT_EQ(1u, series.size());
    ASSERT_EQ(2u, series[0].buckets.size());
    EXPECT_EQ(4.5, series[0].buckets[0].mean);
    EXPECT_EQ(t0 + 10, series[0].buckets[0].end_utc);
    novex::web::EventList list;
    const std::vector<novex::web::AlarmEvent>& spans = list.events;
    ASSERT_TRUE(web->Events({4, t0 + 5, t0 + 100, false}, list, error)) << error;
    ASSERT_EQ(2u, spans.size());  // the first overload ended before the window
    EXPECT_EQ(novex::monitor::FindAlarm("fan_fault"), spans[0].alarm);
    EXPECT_EQ(0, spans[0].cleared_utc);
    EXPECT_EQ(t0 + 9, spans[1].raised_utc);
    ASSERT_TRUE(web->Events({4, t0, t0 + 100, false}, list, error)) << error;
    ASSERT_EQ(3u, spans.size());
    EXPECT_EQ(t0 + 3, spans[0].cleared_utc);
}

// Windows an attacker may ask for: the step is computed without overflow, an answer
// holds at most `points` buckets and an events answer at most its cap, and the alarms
// active at a window's start are found without reading the events before it.
TEST(HistoryReader, HostileWindowsStayBounded) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    // Columns: since, until, points, step.
    const std::tuple<int64_t, int64_t, int64_t, int64_t> kSteps[] = {
        {0, novex::kLatestTime, 1000, 253402301},
        {kMin, kMax, 1, kMax},
        {kMin, kMax, 1000, 18446744073709552},
        {0, 10, 0, 10},
        {10, 0, 10, 1},
    };
    for (const auto& [since, until, points, step] : kSteps)
        EXPECT_EQ(step, vimo::StepForPoints(since, until, points)) << since << " " << until;

    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    const int64_t t0 = 1765184400;
    std::vector<vimo::HistoryEntry> batch;
    // Rounds from 1970 to the last second there is, and a second apart at t0.
    for (const int64_t utc : {int64_t{0}, int64_t{86400}, novex::kLatestTime - 1})
        batch.push_back(Round(1, utc, 50));
    for (int i = 0; i < 100; ++i) batch.push_back(Round(1, t0 + i, static_cast<uint16_t>(i)));
    // fan_fault raised long ago and never cleared; overload flapping 3000 times before
    // the window and 6 times within it.
    const auto event = [&](const char* alarm, bool raised, int64_t utc) {
        vimo::HistoryEntry e;
        e.kind = vimo::HistoryEntry::Kind::kEvent;
        e.data_id = 1;
        e.id = alarm;
        e.raised = raised;
        e.utc = utc;
        batch.push_back(e);
    };
    event("fan_fault", true, t0 - 1000000);
    for (int i = 0; i < 3000; ++i) event("overload", i % 2 == 0, t0 - 100000 + i);
    for (int i = 0; i < 6; ++i) event("overload", i % 2 == 0, t0 + 10 + i);
    std::vector<int64_t> ids;
    ASSERT_TRUE(store->Write(batch, ids, error)) << error;

    auto web = novex::web::WebHistory::Open(dir / "h.db", error);
    ASSERT_TRUE(web) << error;
    const size_t charge = novex::monitor::FindMeasure("battery_charge");
    // Columns: since, until, points, buckets wanted.
    const std::tuple<int64_t, int64_t, size_t, size_t> kWindows[] = {
        {0, novex::kLatestTime, 1000, 3},  // 1970, the hundred rounds at t0, 9999
        {0, novex::kLatestTime, 1, 1},
        {t0, t0 + 100, 1000, 100},
        {t0, t0 + 100, 7, 7},
    };
    for (const auto& [since, until, points, wanted] : kWindows) {
        std::vector<novex::web::ReadingSeries> series;
        ASSERT_TRUE(web->Readings({1, {charge}, since, until, points}, series, error)) << error;
        EXPECT_EQ(wanted, series[0].buckets.size()) << since << " " << points;
    }
    auto reader = vimo::HistoryReader::Open(dir / "h.db", error);
    ASSERT_TRUE(reader) << error;
    std::vector<vimo::ReadingBucket> buckets;
    EXPECT_FALSE(reader->Downsample(1, t0, t0 + 100, 1, t0, {charge}, buckets, error, 50));
    EXPECT_NE(std::string::npos, error.find("more than 50")) << error;
    EXPECT_FALSE(reader->Downsample(1, -1, t0, 60, 0, {charge}, buckets, error));
    EXPECT_FALSE(reader->Downsample(1, 0, kMax, 60, 0, {charge}, buckets, error));

    // Columns: since, until, cap, events (alarm, raised after t0, cleared after t0 or
    // 0 while active), truncated.
    struct Case {
        int64_t since, until;
        size_t cap;
        std::vector<std::tuple<const char*, int64_t, int64_t>> spans;
        bool truncated;
    };
    const Case kCases[] = {
        {t0, t0 + 100, 100, {{"fan_fault", -1000000, 0}, {"overload", 10, 11}, {"overload", 12, 13}, {"overload", 14, 15}}, false},
        {t0 + 11, t0 + 13, 100, {{"fan_fault", -1000000, 0}, {"overload", 10, 11}, {"overload", 12, 0}}, false},
        {t0, t0 + 100, 2, {{"fan_fault", -1000000, 0}, {"overload", 10, 11}}, true},
        {t0 - 100000 + 2999, t0 + 1, 100, {{"fan_fault", -1000000, 0}, {"overload", -100000 + 2998, -100000 + 2999}}, false},
    };
    for (const Case& c : kCases) {
        novex::web::EventsQuery query{1, c.since, c.until, false, c.cap};
        novex::web::EventList list;
        ASSERT_TRUE(web->Events(query, list, error)) << error;
        EXPECT_EQ(c.truncated, list.truncated) << c.since - t0;
        ASSERT_EQ(c.spans.size(), list.events.size()) << c.since - t0;
        for (size_t i = 0; i < c.spans.size(); ++i) {
            const auto& [alarm, raised, cleared] = c.spans[i];
            EXPECT_EQ(novex::monitor::FindAlarm(alarm), list.events[i].alarm) << i;
            EXPECT_EQ(t0 + raised, list.events[i].raised_utc) << i;
            EXPECT_EQ(cleared == 0 ? 0 : t0 + cleared, list.events[i].cleared_utc) << i;
        }
    }
}

}  // namespace
