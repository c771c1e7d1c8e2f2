// Rounds in chunks: written and read back byte for byte whichever way they were
// encoded, retention by whole chunks, the upgrade of a version 2 file, damaged chunks.
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "device/novexups_data.h"
#include "history/chunk_codec.h"
#include "history/reader.h"
#include "history/schema.h"
#include "history/store.h"
#include "history/times.h"
#include "monitor/measures.h"
#include "tests/history_support.h"
#include "tests/runner_processes.h"

namespace {

using novex::monitor::Measures;
using history_test::Count;
using runner_test::TempDir;

constexpr int64_t kStart = 1765152000;  // 2025-12-08T00:00:00Z

// A busy unit's record: `modules` modules present, figures jittering with `n`.
std::vector<unsigned char> Record(int64_t n, int modules) {
    return history_test::BusyRecord(n, modules, 2200, 5);
}

vimo::HistoryEntry Entry(uint32_t data_id, int64_t utc, std::vector<unsigned char> record) {
    vimo::HistoryEntry e;
    e.data_id = data_id;
    e.utc = utc;
    e.local = vimo::UtcToLocalText(utc);
    e.record = std::move(record);
    return e;
}

// Every round of `written` (by id) is stored as it was: record and times by id, in the
// list, the newest per device, and its readings equal to a decoding of its record.
void ExpectIntact(const std::string& path, const std::map<int64_t, vimo::HistoryEntry>& written) {
    std::string error;
    auto store = vimo::HistoryStore::OpenReadOnly(path, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(static_cast<int64_t>(written.size()), store->CountRounds(std::nullopt));
    std::map<uint32_t, int64_t> newest;
    for (const auto& [id, e] : written) {
        newest[e.data_id] = id;
        // By id: a fifth of the rounds, and every one near a change of encoding.
        const int64_t at = e.utc - kStart;
        if (id % 5 != 0 && !(at >= 695 && at <= 705) && !(at >= 898 && at <= 904)) continue;
        const auto r = store->Round(id);
        ASSERT_TRUE(r) << "round " << id << " " << store->ReadError();
        ASSERT_EQ(e.record, r->record) << "round " << id;
        ASSERT_EQ(e.utc, r->utc);
        ASSERT_EQ(e.local, r->time);
        ASSERT_EQ(e.data_id, r->data_id);
    }
    for (const auto& [data_id, id] : newest) EXPECT_EQ(id, store->Newest(data_id)->id);
    auto at = written.begin();
    EXPECT_TRUE(store->ListEach(std::nullopt, 0, [&](const vimo::StoredRound& r) {
        EXPECT_TRUE(at != written.end() && at->first == r.id) << r.id;
        EXPECT_EQ(at->second.record.size(), r.record.size());
        ++at;
        return true;
    }));
    EXPECT_TRUE(at == written.end());

    auto reader = vimo::HistoryReader::Open(path, error);
    ASSERT_TRUE(reader) << error;
    std::vector<size_t> all(Measures().size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    for (const auto& [data_id, unused] : newest) {
        size_t rows = 0;
        std::string wrong;  // the first value that differs
        ASSERT_TRUE(reader->Readings(data_id, 0, INT64_MAX, all, [&](const vimo::ReadingRow& row) {
            const auto found = written.find(row.round);
            if (found == written.end()) {
                wrong = "round " + std::to_string(row.round) + " was not written";
                return false;
            }
            const auto values = novex::monitor::DecodeMeasures(found->second.record.data());
            for (size_t i = 0; i < values.size() && wrong.empty(); ++i) {
                const bool same = values[i].present
                                      ? std::fabs(values[i].value - row.values[i]) < 1e-9
                                      : std::isnan(row.values[i]);
                if (!same) wrong = "round " + std::to_string(row.round) + " " + Measures()[i].name;
            }
            ++rows;
            return wrong.empty();
        }, error)) << error;
        EXPECT_EQ("", wrong);
        size_t expected = 0;
        for (const auto& [id, e] : written)
            expected += e.data_id == data_id && e.record.size() >= sizeof(NovexUPS_Data_t);
        EXPECT_EQ(expected, rows) << "device " << data_id;
    }
}

TEST(HistoryChunks, RoundsReadBackByteIdenticalThroughEveryEncoding) {
    TempDir dir;
    std::string error;
    std::map<int64_t, vimo::HistoryEntry> written;
    {
        auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
        ASSERT_TRUE(store) << error;
        // Two devices in step, so that their ids interleave. Device 1 changes its
        // module count mid-chunk (readings of another length), sends one short record
        // (no readings, a record of another length) and repeats a round unchanged;
        // device 2 stays the same. Batches like the writer's.
        std::vector<vimo::HistoryEntry> batch;
        std::vector<unsigned char> previous;
        for (int64_t i = 0; i < 1300; ++i) {
            const int modules = i < 700 ? 4 : 6;
            previous = i == 900 ? std::vector<unsigned char>(100, 7)
                       : i == 902 ? previous
                                  : Record(i, modules);
            batch.push_back(Entry(1, kStart + i, previous));
            // Most rounds come with the monitor's figures, as vimohost hands them on, and
            // their readings are made from those; the others' from their records.
            if (i % 3 != 0 && previous.size() == sizeof(NovexUPS_Data_t))
                batch.back().measures = novex::monitor::DecodeMeasures(previous.data());
            if (i < 600) {
                batch.push_back(Entry(2, kStart + i, Record(i * 3, 2)));
                batch.back().measures = novex::monitor::DecodeMeasures(batch.back().record.data());
            }
            if (batch.size() >= 100 || i == 1299) {
                std::vector<int64_t> ids;
                ASSERT_TRUE(store->Write(batch, ids, error)) << error;
                ASSERT_EQ(batch.size(), ids.size());
                for (size_t k = 0; k < ids.size(); ++k) written[ids[k]] = batch[k];
                batch.clear();
            }
        }
    }
    // Device 1: two full chunks and the rest in the rounds table; device 2: one chunk.
    EXPECT_EQ(3, Count(dir / "h.db", "SELECT count(*) FROM chunks"));
    EXPECT_EQ(1900 - 3 * 512, Count(dir / "h.db", "SELECT count(*) FROM rounds"));
    ExpectIntact(dir / "h.db", written);
}

TEST(HistoryChunks, RetentionRemovesWholeChunksAndKeepsTheWindow) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    // Written a hundred at a time, so that each write moves at least the chunk that is
    // due whatever the machine's speed (a write spends at most a budget on moving).
    std::vector<vimo::HistoryEntry> batch;
    std::vector<int64_t> ids;
    for (int64_t i = 0; i < 1200; ++i) batch.push_back(Entry(1, kStart + i, Record(i, 4)));
    for (size_t from = 0; from < batch.size(); from += 100) {
        const std::vector<vimo::HistoryEntry> part(batch.begin() + from, batch.begin() + from + 100);
        std::vector<int64_t> part_ids;
        ASSERT_TRUE(store->Write(part, part_ids, error)) << error;
        ids.insert(ids.end(), part_ids.begin(), part_ids.end());
    }
    // The window starts at round 600: the first chunk (0..511) goes whole, the second
    // (512..1023) holds rounds of the window and stays whole.
    int64_t removed = 0;
    for (int64_t n = 1; n > 0; removed += n) {
        n = store->PruneRoundsBefore(kStart + 600, 500, error);
        ASSERT_GE(n, 0) << error;
    }
    EXPECT_EQ(512, removed);
    EXPECT_EQ(1200 - 512, store->CountRounds(1u));
    EXPECT_EQ(kStart + 512, store->List(1u, 0).front().utc);
    for (int64_t i = 600; i < 1200; i += 97) EXPECT_EQ(batch[i].record, store->Round(ids[i])->record);
}

// Round ids are never handed out twice: not after retention removed every chunk and
// every round, by this store or by the next one to open the file.
TEST(HistoryChunks, IdsStayUniqueOnceEveryRoundIsPruned) {
    TempDir dir;
    std::string error;
    std::vector<int64_t> ids;
    {
        auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
        ASSERT_TRUE(store) << error;
        std::vector<vimo::HistoryEntry> batch;
        for (int64_t i = 0; i < 600; ++i) batch.push_back(Entry(1, kStart + i, Record(i, 4)));
        ASSERT_TRUE(store->Write(batch, ids, error)) << error;
        ASSERT_EQ(600, ids.back());
        for (int64_t n = 1; n > 0;) {
            n = store->PruneOldestRounds(500, error);
            ASSERT_GE(n, 0) << error;
        }
        ASSERT_EQ(0, store->CountRounds(1u));
        ASSERT_TRUE(store->Write({Entry(1, kStart + 600, Record(600, 4))}, ids, error)) << error;
        EXPECT_EQ(std::vector<int64_t>{601}, ids);
        ASSERT_EQ(1, store->PruneOldestRounds(500, error)) << error;
    }
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->Write({Entry(1, kStart + 601, Record(601, 4))}, ids, error)) << error;
    EXPECT_EQ(std::vector<int64_t>{602}, ids);
}

// The tables of version 2 as it landed, with AUTOINCREMENT round ids.
const char kVersion2[] = R"(
CREATE TABLE rounds (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  time TEXT NOT NULL, record BLOB NOT NULL, utc INTEGER NOT NULL DEFAULT 0);
CREATE INDEX rounds_by_device ON rounds (data_id, id);
CREATE TABLE alarms (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  time TEXT NOT NULL, rule_id TEXT NOT NULL, rule TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')), utc INTEGER NOT NULL DEFAULT 0);
CREATE INDEX alarms_by_device ON alarms (data_id, id);
CREATE INDEX rounds_by_time ON rounds (data_id, utc);
CREATE INDEX rounds_oldest ON rounds (utc);
CREATE TABLE readings (data_id INTEGER NOT NULL, utc INTEGER NOT NULL, round INTEGER NOT NULL,
  layout INTEGER NOT NULL, vals BLOB NOT NULL, PRIMARY KEY (data_id, utc, round)) WITHOUT ROWID;
CREATE TABLE readings_detail (data_id INTEGER NOT NULL, utc INTEGER NOT NULL,
  round INTEGER NOT NULL, layout INTEGER NOT NULL, vals BLOB NOT NULL,
  PRIMARY KEY (data_id, utc, round)) WITHOUT ROWID;
CREATE TABLE layouts (id INTEGER PRIMARY KEY, measures TEXT NOT NULL UNIQUE);
CREATE TABLE devices (data_id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, data_id INTEGER NOT NULL,
  alarm TEXT NOT NULL, text TEXT NOT NULL, severity TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')), utc INTEGER NOT NULL,
  local TEXT NOT NULL);
CREATE INDEX events_by_time ON events (utc);
CREATE INDEX events_by_device ON events (data_id, id);
PRAGMA user_version = 2;
)";

TEST(HistoryChunks, VersionTwoFileUpgradesAndItsRoundsMoveIntoChunks) {
    TempDir dir;
    std::map<int64_t, vimo::HistoryEntry> written;
    {
        // 700 rounds of one device as version 2 stored them, ids from 101 on (rows
        // pruned before), with their readings.
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open((dir / "h.db").c_str(), &db));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, kVersion2, nullptr, nullptr, nullptr));
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (int part = 0; part < vimo::kReadingParts; ++part) {
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO layouts (id, measures) VALUES (?, ?)", -1, &s, nullptr);
            sqlite3_bind_int(s, 1, part + 1);
            sqlite3_bind_text(s, 2, vimo::CurrentLayoutText(part).c_str(), -1, SQLITE_STATIC);
            ASSERT_EQ(SQLITE_DONE, sqlite3_step(s));
            sqlite3_finalize(s);
        }
        for (int64_t i = 0; i < 700; ++i) {
            const int64_t id = 101 + i;
            written[id] = Entry(5, kStart + i, Record(i, 3));
            const vimo::HistoryEntry& e = written[id];
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO rounds (id, data_id, time, record, utc) "
                               "VALUES (?, 5, ?, ?, ?)", -1, &s, nullptr);
            sqlite3_bind_int64(s, 1, id);
            sqlite3_bind_text(s, 2, e.local.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_blob(s, 3, e.record.data(), static_cast<int>(e.record.size()), SQLITE_STATIC);
            sqlite3_bind_int64(s, 4, e.utc);
            ASSERT_EQ(SQLITE_DONE, sqlite3_step(s));
            sqlite3_finalize(s);
            const auto values = novex::monitor::DecodeMeasures(e.record.data());
            for (int part = 0; part < vimo::kReadingParts; ++part) {
                std::vector<unsigned char> blob;
                vimo::EncodeReadings(values, part, blob);
                sqlite3_prepare_v2(db, vimo::kInsertReading[part], -1, &s, nullptr);
                const int64_t columns[] = {id, 5, e.utc, part + 1};
                for (int c = 0; c < 4; ++c) sqlite3_bind_int64(s, c + 1, columns[c]);
                sqlite3_bind_blob(s, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
                ASSERT_EQ(SQLITE_DONE, sqlite3_step(s));
                sqlite3_finalize(s);
            }
        }
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "COMMIT; DELETE FROM rounds WHERE id = 800; "
                                          "DELETE FROM readings WHERE round = 800; "
                                          "DELETE FROM readings_detail WHERE round = 800;",
                                          nullptr, nullptr, nullptr));
        written.erase(800);  // the newest row deleted: its id is not handed out again
        sqlite3_close(db);
    }
    std::string error;
    {
        auto store = vimo::HistoryStore::Open(dir / "h.db", true, error);
        ASSERT_TRUE(store) << error;
        EXPECT_EQ(699, store->CountRounds(5u));
        // The next stored round moves the oldest 512 into a chunk.
        std::vector<int64_t> ids;
        const vimo::HistoryEntry next = Entry(5, kStart + 700, Record(700, 3));
        ASSERT_TRUE(store->Write({next}, ids, error)) << error;
        ASSERT_EQ(1u, ids.size());
        EXPECT_EQ(801, ids[0]);
        written[ids[0]] = next;
    }
    EXPECT_EQ(vimo::kHistorySchemaVersion, Count(dir / "h.db", "PRAGMA user_version"));
    EXPECT_EQ(1, Count(dir / "h.db", "SELECT count(*) FROM chunks"));
    ExpectIntact(dir / "h.db", written);
}

TEST(HistoryChunks, DamagedChunkIsRefused) {
    std::vector<vimo::ChunkRound> rounds(20);
    for (size_t i = 0; i < rounds.size(); ++i) {
        rounds[i].id = static_cast<int64_t>(i) + 1;
        rounds[i].utc = kStart + static_cast<int64_t>(i);
        rounds[i].time = vimo::UtcToLocalText(rounds[i].utc);
        rounds[i].record = Record(static_cast<int64_t>(i), 2);
    }
    std::vector<unsigned char> meta, data;
    ASSERT_TRUE(vimo::EncodeChunk(rounds, meta, data));
    std::vector<vimo::ChunkRound> back;
    ASSERT_TRUE(vimo::DecodeChunk(meta.data(), meta.size(), data.data(), data.size(),
                                  vimo::kChunkEverything, back));
    EXPECT_EQ(rounds.back().record, back.back().record);
    // Columns: which blob is damaged, how (a cut at this length, or this byte flipped).
    struct Row {
        bool meta;
        bool cut;
        size_t at;
    };
    const Row rows[] = {
        {true, true, 0},  {true, true, meta.size() / 2}, {true, false, meta.size() - 6},
        {false, true, 5}, {false, true, data.size() - 1}, {false, false, data.size() / 2},
    };
    static_assert(sizeof rows / sizeof rows[0] == 6, "damages");
    for (const Row& row : rows) {
        std::vector<unsigned char> m = meta, d = data;
        std::vector<unsigned char>& hit = row.meta ? m : d;
        if (row.cut)
            hit.resize(row.at);
        else
            hit[row.at] ^= 0x5a;
        EXPECT_FALSE(vimo::DecodeChunk(m.data(), m.size(), d.data(), d.size(),
                                       vimo::kChunkEverything, back))
            << (row.meta ? "meta " : "data ") << (row.cut ? "cut at " : "flipped at ") << row.at;
    }
}

}  // namespace
