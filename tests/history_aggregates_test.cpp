// Minute aggregates: what the writer stores equals a direct min/mean/max/count over the
// rounds themselves, a minute split by a restart included; they are pruned by their own
// age; a query older than the rounds answers from them and says so; a file of the
// version before gains their table.
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "device/novexups_data.h"
#include "history/aggregates.h"
#include "history/reader.h"
#include "history/schema.h"
#include "history/store.h"
#include "history/times.h"
#include "history/writer.h"
#include "monitor/measures.h"
#include "tests/history_support.h"
#include "tests/runner_processes.h"
#include "web/history_source.h"

namespace {

using novex::monitor::Measures;
using history_test::Count;
using runner_test::TempDir;

constexpr int64_t kT0 = 1765152000;  // 2025-12-08T00:00:00Z, a minute's start

// A unit with `modules` modules present, every figure moving with `n`.
vimo::HistoryEntry Busy(uint32_t data_id, int64_t utc, int64_t n, int modules) {
    vimo::HistoryEntry e;
    e.data_id = data_id;
    e.utc = utc;
    e.local = vimo::UtcToLocalText(utc);
    e.record = history_test::BusyRecord(n, modules, 1000, 997);
    return e;
}

std::vector<size_t> AllFields() {
    std::vector<size_t> all(Measures().size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
}

// Per minute, per field: the direct summary over the rows `reader` answers.
using Minutes = std::map<int64_t, std::vector<vimo::FieldSummary>>;

Minutes ByMinute(vimo::HistoryReader& reader, uint32_t data_id, bool from_minutes,
                 std::map<int64_t, int64_t>& rounds) {
    Minutes out;
    std::string error;
    rounds.clear();
    const std::vector<size_t> fields = AllFields();
    EXPECT_TRUE(reader.Readings(data_id, 0, kT0 + 86400, fields, [&](const vimo::ReadingRow& row) {
        EXPECT_EQ(from_minutes, row.minute) << row.utc;
        auto& minute = out[vimo::MinuteOf(row.utc)];
        minute.resize(fields.size());
        rounds[vimo::MinuteOf(row.utc)] += row.rounds;
        for (size_t f = 0; f < fields.size(); ++f) {
            vimo::FieldSummary& s = minute[f];
            if (row.minute) {
                s = row.spread[f];
                continue;
            }
            const double v = row.values[f];
            if (std::isnan(v)) continue;
            if (s.count == 0 || v < s.min) s.min = v;
            if (s.count == 0 || v > s.max) s.max = v;
            s.mean = (s.mean * static_cast<double>(s.count) + v) / static_cast<double>(s.count + 1);
            ++s.count;
        }
        return true;
    }, error)) << error;
    return out;
}

// A trace over four minutes of two devices, one of them restarted in the middle of its
// second minute and losing two modules in the third, every round kept in between.
// Columns: device, seconds after kT0, modules present, writer run.
struct TraceRow {
    uint32_t data_id;
    int64_t at;
    int modules;
    int run;
};

TEST(HistoryAggregates, EqualTheRoundsTheyWereMadeOf) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    std::vector<TraceRow> trace;
    for (int64_t s = 0; s < 240; s += 3) {
        const int run = s < 85 ? 0 : 1;  // the restart falls at 1:25
        trace.push_back({1, s, s >= 120 && s % 2 ? 2 : 4, run});
        if (s % 9 == 0) trace.push_back({2, s + 1, 1, run});
    }
    vimo::HistoryWriterOptions options;
    options.retention.keep_seconds = 0;  // 2025 is older than any window
    options.retention.keep_aggregates_seconds = 0;
    options.group = std::chrono::milliseconds(0);
    for (int run = 0; run < 2; ++run) {
        vimo::HistoryWriter writer(*store, options);
        int64_t n = 0;
        for (const TraceRow& r : trace) {
            if (r.run != run) continue;
            vimo::HistoryEntry e = Busy(r.data_id, kT0 + r.at, ++n * r.data_id, r.modules);
            // After the restart the rounds come as the poller hands them on, with the
            // figures the monitor decoded: the writer takes those as they are.
            if (run == 1) e.measures = novex::monitor::DecodeMeasures(e.record.data());
            writer.Submit(std::move(e));
        }
        ASSERT_TRUE(writer.Flush(std::chrono::seconds(10)));
    }
    // Four minutes each: the restart's minute merged, the last stored at the clean stop.
    EXPECT_EQ(8, Count(dir / "h.db", "SELECT sum(minutes) FROM aggregates"));

    auto reader = vimo::HistoryReader::Open(dir / "h.db", error);
    ASSERT_TRUE(reader) << error;
    std::map<int64_t, int64_t> raw_rounds[2], minute_rounds[2];
    Minutes direct[2];
    for (uint32_t device : {1u, 2u}) {
        direct[device - 1] = ByMinute(*reader, device, false, raw_rounds[device - 1]);
        ASSERT_EQ(4u, direct[device - 1].size());
        EXPECT_EQ(0, reader->MinutesUntil(device, 0, kT0 + 86400)) << "the rounds cover it";
    }
    // Every round gone: the same span now answers from the minutes alone.
    while (store->PruneRoundsBefore(kT0 + 86400, 500, error) > 0) {
    }
    for (uint32_t device : {1u, 2u}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(kT0 + 86400, reader->MinutesUntil(device, 0, kT0 + 86400));
        const Minutes stored = ByMinute(*reader, device, true, minute_rounds[device - 1]);
        EXPECT_EQ(raw_rounds[device - 1], minute_rounds[device - 1]);
        ASSERT_EQ(direct[device - 1].size(), stored.size());
        for (const auto& [minute, fields] : direct[device - 1]) {
            const std::vector<vimo::FieldSummary>& got = stored.at(minute);
            for (size_t f = 0; f < fields.size(); ++f) {
                SCOPED_TRACE(Measures()[f].name + " at " + std::to_string(minute - kT0));
                ASSERT_EQ(fields[f].count, got[f].count);
                if (fields[f].count == 0) continue;
                EXPECT_EQ(fields[f].min, got[f].min);
                EXPECT_EQ(fields[f].max, got[f].max);
                EXPECT_NEAR(fields[f].mean, got[f].mean, 1e-9 * (1 + std::fabs(fields[f].mean)));
            }
        }
    }
    // The modules that came and went count only the rounds they were there.
    const Minutes& third = direct[0];
    size_t gone = 0, kept = Measures().size();
    while (Measures()[gone].scope != novex::monitor::Scope::kModule || Measures()[gone].instance != 3 ||
           novex::monitor::kMeasureRows[Measures()[gone].row].read == novex::monitor::Read::kPresence)
        ++gone;
    for (size_t m = 0; m < Measures().size(); ++m)
        if (Measures()[m].row == Measures()[gone].row && Measures()[m].instance == 1) kept = m;
    ASSERT_LT(kept, Measures().size());
    EXPECT_LT(third.at(kT0 + 180)[gone].count, third.at(kT0 + 180)[kept].count);
}

// Rounds go at --keep, minutes at --keep-aggregates, each by its own age.
TEST(HistoryAggregates, RetentionPrunesMinutesByTheirOwnAge) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    const int64_t now = vimo::MinuteOf(std::time(nullptr));
    vimo::HistoryWriterOptions options;
    options.prune_every = std::chrono::milliseconds(10);
    options.retention.keep_seconds = 600;
    options.retention.keep_aggregates_seconds = 3 * 3600;
    {
        vimo::HistoryWriter writer(*store, options);
        // One round a minute from five hours back; the next minute's round stores each.
        for (int64_t t = now - 5 * 3600; t < now - 60; t += 60) writer.Submit(Busy(1, t, t, 1));
        ASSERT_TRUE(writer.Flush(std::chrono::seconds(10)));
        const std::string old = "SELECT count(*) FROM aggregates WHERE hour <= " +
                                std::to_string(now - 4 * 3600);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Count(dir / "h.db", old.c_str()) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto reader = vimo::HistoryReader::Open(dir / "h.db", error);
    ASSERT_TRUE(reader) << error;
    std::vector<int64_t> minutes;
    ASSERT_TRUE(reader->Readings(1, 0, now, {}, [&](const vimo::ReadingRow& row) {
        if (row.minute) minutes.push_back(row.utc);
        return true;
    }, error)) << error;
    ASSERT_FALSE(minutes.empty());
    // Whole hours go: the first left is the one that still holds a minute of the window.
    EXPECT_EQ(vimo::HourOf(now - 3 * 3600), minutes.front());
    // The rounds of the last 10 minutes are still there, and their minutes are not read twice.
    const int64_t until = reader->MinutesUntil(1, 0, now);
    EXPECT_GT(until, now - 3600);
    EXPECT_LT(minutes.back(), until);
}

// The web answer marks the buckets the minutes gave.
TEST(HistoryAggregates, WebBucketsFromMinutesSaySo) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    vimo::MinuteAggregator minutes;
    std::vector<vimo::MinuteAggregate> finished;
    std::vector<vimo::HistoryEntry> rounds;
    for (int64_t s = 0; s < 600; s += 10) {
        const vimo::HistoryEntry e = Busy(3, kT0 + s, s, 1);
        minutes.Add(3, e.utc, novex::monitor::DecodeMeasures(e.record.data()), finished);
        if (s >= 300) rounds.push_back(e);  // the older half's rounds are gone
    }
    std::vector<int64_t> ids;
    ASSERT_TRUE(store->Write(rounds, ids, error, finished)) << error;
    auto web = novex::web::WebHistory::Open(dir / "h.db", error);
    ASSERT_TRUE(web) << error;
    std::vector<novex::web::ReadingSeries> series;
    const size_t charge = novex::monitor::FindMeasure("battery_charge");
    ASSERT_TRUE(web->Readings({3, {charge}, kT0, kT0 + 600, 10}, series, error)) << error;
    ASSERT_EQ(1u, series.size());
    ASSERT_EQ(10u, series[0].buckets.size());
    for (const novex::web::ReadingBucket& b : series[0].buckets) {
        EXPECT_EQ(b.start_utc < kT0 + 300, b.minutes) << b.start_utc - kT0;
        EXPECT_EQ(6u, b.count);
    }
}

// A stored hour read back whole, and a damaged one refused whatever byte is cut or
// changed (zstd's checksum, every length bounded), never read as other figures.
TEST(HistoryAggregates, DamagedHourIsRefused) {
    vimo::MinuteAggregator minutes;
    std::vector<vimo::MinuteAggregate> finished;
    for (int64_t s = 0; s < 300; s += 7) {
        const vimo::HistoryEntry e = Busy(1, kT0 + s, s, 3);
        minutes.Add(1, e.utc, novex::monitor::DecodeMeasures(e.record.data()), finished);
    }
    minutes.Add(1, std::numeric_limits<int64_t>::min(), {}, finished);  // a wild clock
    minutes.TakeAll(finished);
    std::vector<vimo::StoredMinute> hour;
    for (const vimo::MinuteAggregate& m : finished) {
        vimo::StoredMinute stored;
        stored.minute = m.minute;
        stored.rounds = m.rounds;
        for (int part = 0; part < vimo::kReadingParts; ++part) {
            stored.layout[part] = part + 1;
            vimo::EncodeAggregate(m, part, stored.vals[part]);
        }
        hour.push_back(std::move(stored));
    }
    std::vector<unsigned char> blob;
    ASSERT_TRUE(vimo::EncodeHour(hour, kT0, blob));
    std::vector<vimo::StoredMinute> back;
    ASSERT_TRUE(vimo::DecodeHour(blob.data(), blob.size(), kT0, back));
    ASSERT_EQ(hour.size(), back.size());
    EXPECT_EQ(hour.back().vals[1], back.back().vals[1]);
    for (size_t cut = 0; cut < blob.size(); ++cut)
        EXPECT_FALSE(vimo::DecodeHour(blob.data(), cut, kT0, back)) << cut;
    // A changed bit of the frame's header may leave it sound (a window size): then the
    // figures read are those stored.
    for (size_t at = 0; at < blob.size(); ++at) {
        std::vector<unsigned char> bad = blob;
        bad[at] ^= 0x10;
        if (!vimo::DecodeHour(bad.data(), bad.size(), kT0, back)) continue;
        ASSERT_EQ(hour.size(), back.size()) << at;
        for (size_t m = 0; m < hour.size(); ++m)
            EXPECT_TRUE(hour[m].vals[0] == back[m].vals[0] && hour[m].vals[1] == back[m].vals[1] &&
                        hour[m].rounds == back[m].rounds && hour[m].minute == back[m].minute)
                << at;
    }
    // A minute's blob cut short or with a count of nothing reads as damaged too.
    vimo::AggregateDecoder decoder;
    ASSERT_TRUE(decoder.Bind(vimo::CurrentLayoutText(0), AllFields()));
    std::vector<vimo::Spread> spreads(Measures().size());
    const std::vector<unsigned char>& vals = hour[0].vals[0];
    EXPECT_TRUE(decoder.Decode(vals.data(), vals.size(), spreads.data()));
    EXPECT_FALSE(decoder.Decode(vals.data(), vals.size() - 1, spreads.data()));
}

// A file of the version before: readers take it as it is, a writer adds the table and
// keeps every round.
TEST(HistoryAggregates, VersionThreeFileGainsTheTable) {
    TempDir dir;
    std::string error;
    {
        auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
        ASSERT_TRUE(store) << error;
        std::vector<vimo::HistoryEntry> batch;
        for (int64_t s = 0; s < 700; ++s) batch.push_back(Busy(1, kT0 + s, s, 2));
        std::vector<int64_t> ids;
        ASSERT_TRUE(store->Write(batch, ids, error)) << error;
        // What version 3 made: the same tables less the aggregates.
        ASSERT_TRUE(store->Execute("DROP TABLE aggregates; PRAGMA user_version = 3", error)) << error;
    }
    const auto rows = [&](int64_t& count) {
        auto reader = vimo::HistoryReader::Open(dir / "h.db", error);
        count = -1;
        if (!reader) return;
        count = 0;
        reader->Readings(1, 0, kT0 + 86400, {0}, [&](const vimo::ReadingRow&) { return ++count; },
                         error);
    };
    int64_t count = 0;
    rows(count);
    EXPECT_EQ(700, count) << error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", true, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(700, store->CountRounds(1u));
    std::vector<int64_t> ids;
    vimo::MinuteAggregator minutes;
    std::vector<vimo::MinuteAggregate> finished;
    minutes.Add(1, kT0 - 60, novex::monitor::DecodeMeasures(Busy(1, 0, 0, 2).record.data()), finished);
    minutes.TakeAll(finished);
    ASSERT_TRUE(store->Write({}, ids, error, finished)) << error;
    store.reset();
    rows(count);
    EXPECT_EQ(701, count) << "the minute before the rounds, then the rounds";
}

}  // namespace
