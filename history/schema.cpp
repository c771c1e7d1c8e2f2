#include "history/schema.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "monitor/alarms.h"
#include "board/alarm_event.h"
#include "history/times.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"
#include "history/readings_codec.h"

namespace vimo {

namespace {

// Version 2. Times: `utc` is epoch seconds; `time` (rounds, alarms) the local time
// text the device stamped on the round; `local` (events) local time with its offset.
// readings, readings_detail: one row per round, the round's measures of the unit and
// of its modules and cells as blobs (see readings_codec.h) in the layout they name.
// Kept apart from the records so that a query over readings reads no record bytes,
// apart from each other so that one over unit figures reads no detail, and keyed by
// device and time so that a device's span is one range of one b-tree, in time order
// even across a clock set back.
const char* const kTables = R"(
CREATE TABLE IF NOT EXISTS rounds (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL,
  utc INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS rounds_by_device ON rounds (data_id, id);
CREATE TABLE IF NOT EXISTS alarms (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  rule_id TEXT NOT NULL,
  rule TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
  utc INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (data_id, id);
)";

// Upgraded files keep the two round indexes version 2 had: their rounds wait in the
// rounds table until the writer has moved them into chunks, and retention finds the
// oldest by time meanwhile. New files hold a few hundred rounds per device there.
const char* const kVersion2RoundIndexes = R"(
CREATE INDEX IF NOT EXISTS rounds_by_time ON rounds (data_id, utc);
CREATE INDEX IF NOT EXISTS rounds_oldest ON rounds (utc);
)";

const char* const kVersion2Tables = R"(
CREATE TABLE IF NOT EXISTS readings (
  data_id INTEGER NOT NULL,
  utc INTEGER NOT NULL,
  round INTEGER NOT NULL,
  layout INTEGER NOT NULL,
  vals BLOB NOT NULL,
  PRIMARY KEY (data_id, utc, round)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS readings_detail (
  data_id INTEGER NOT NULL,
  utc INTEGER NOT NULL,
  round INTEGER NOT NULL,
  layout INTEGER NOT NULL,
  vals BLOB NOT NULL,
  PRIMARY KEY (data_id, utc, round)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS layouts (
  id INTEGER PRIMARY KEY,
  measures TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS devices (
  data_id INTEGER PRIMARY KEY,
  name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  alarm TEXT NOT NULL,
  text TEXT NOT NULL,
  severity TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
  utc INTEGER NOT NULL,
  local TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events (utc);
CREATE INDEX IF NOT EXISTS events_by_device ON events (data_id, id);
)";

// Indexes that came after version 2 first shipped, made wherever a writer opens a file
// without them: they only speed queries up, so the version stays. events_by_alarm finds
// each alarm's last event before a time with one seek (the alarms still active then).
const char* const kLaterIndexes[] = {
    "CREATE INDEX IF NOT EXISTS events_by_alarm ON events (data_id, alarm, utc)",
};
static_assert(sizeof kLaterIndexes / sizeof kLaterIndexes[0] == 1, "later indexes");

// Version 3. rounds (with readings and readings_detail) hold each device's newest
// rounds, up to a chunk's worth; the writer then moves them into one row of chunks
// (history/chunk_codec.h), keyed by the id of its last round: round ids are unique
// across devices, and the writer assigns them (max of both tables, plus one).
// history_state: `clean` is 1 while no writer has the file open, so that a start
// after a clean stop skips the whole-file check.
const char* const kVersion3Tables = R"(
CREATE TABLE IF NOT EXISTS chunks (
  last_id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  first_id INTEGER NOT NULL,
  rounds INTEGER NOT NULL,
  first_utc INTEGER NOT NULL,
  last_utc INTEGER NOT NULL,
  meta BLOB NOT NULL,
  data BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS chunks_by_device ON chunks (data_id, last_id);
CREATE INDEX IF NOT EXISTS chunks_by_time ON chunks (data_id, last_utc);
CREATE INDEX IF NOT EXISTS chunks_oldest ON chunks (last_utc);
CREATE TABLE IF NOT EXISTS history_state (
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL);
)";

// Version 4. aggregates: per device and hour (`hour`, the epoch seconds of its start),
// the minute aggregates of its `minutes` minutes in one compressed blob
// (history/aggregates.h): the count, min, max and sum of each measure over each
// minute's rounds. An hour's row is rewritten as each of its minutes ends, read in time
// order per device, and pruned whole by age, which aggregates_oldest finds without a
// scan.
const char* const kVersion4Tables = R"(
CREATE TABLE IF NOT EXISTS aggregates (
  data_id INTEGER NOT NULL,
  hour INTEGER NOT NULL,
  minutes INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (data_id, hour));
CREATE INDEX IF NOT EXISTS aggregates_oldest ON aggregates (hour);
)";

}  // namespace

const char* const kEnergyTable = R"(
CREATE TABLE IF NOT EXISTS energy (
  data_id INTEGER PRIMARY KEY,
  utc INTEGER NOT NULL,
  a_joules REAL NOT NULL,
  b_joules REAL NOT NULL,
  c_joules REAL NOT NULL);
)";

namespace {

// What each version adds to the one before, from version 3 on. Columns: the version,
// its new tables. A file of version 2 or later is upgraded by these alone, in one
// transaction, which takes no time whatever the file's size.
struct VersionStep {
    int version;
    const char* tables;
};
const VersionStep kVersionSteps[] = {
    {3, kVersion3Tables},
    {4, kVersion4Tables},
};
static_assert(sizeof kVersionSteps / sizeof kVersionSteps[0] == kHistorySchemaVersion - 2,
              "a step per version after 2");

// The upgrade's statements after the new columns and tables exist, in order.
const char* const kUpgradeSteps[] = {
    "UPDATE rounds SET utc = vimo_local_to_utc(time)",
    "UPDATE alarms SET utc = vimo_local_to_utc(time)",
    "INSERT OR IGNORE INTO devices (data_id, name) SELECT DISTINCT data_id, 'ups' || data_id "
    "FROM (SELECT data_id FROM rounds UNION SELECT data_id FROM alarms)",
    "INSERT INTO events (data_id, alarm, text, severity, state, utc, local) "
    "SELECT data_id, vimo_alarm_id(rule_id, rule), rule, vimo_alarm_severity(rule), state, utc, "
    "vimo_local_iso(utc) FROM alarms ORDER BY id",
};
static_assert(sizeof kUpgradeSteps / sizeof kUpgradeSteps[0] == 4, "upgrade steps");

bool Exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

bool MakeLaterIndexes(sqlite3* db, std::string& error) {
    for (const char* sql : kLaterIndexes)
        if (!Exec(db, sql, error)) return false;
    return true;
}

// One integer from `sql`, or -1.
int64_t Integer(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    int64_t out = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        out = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return out;
}

std::string Text(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? reinterpret_cast<const char*>(t) : "";
}

void LocalToUtc(sqlite3_context* c, int, sqlite3_value** v) {
    int64_t epoch = 0;
    LocalTextToUtc(Text(v[0]), epoch);
    sqlite3_result_int64(c, epoch);
}

void LocalIso(sqlite3_context* c, int, sqlite3_value** v) {
    const std::string text = IsoTime(sqlite3_value_int64(v[0]), false);
    sqlite3_result_text(c, text.c_str(), -1, SQLITE_TRANSIENT);
}

// The alarm table's entry whose text the device's rule name equals, if any.
const novex::monitor::Alarm* AlarmByText(const std::string& text) {
    for (const novex::monitor::Alarm& a : novex::monitor::Alarms())
        if (a.text == text) return &a;
    return nullptr;
}

void AlarmId(sqlite3_context* c, int, sqlite3_value** v) {
    const novex::monitor::Alarm* a = AlarmByText(Text(v[1]));
    const std::string id = a ? a->id : Text(v[0]);
    sqlite3_result_text(c, id.c_str(), -1, SQLITE_TRANSIENT);
}

void AlarmSeverity(sqlite3_context* c, int, sqlite3_value** v) {
    const novex::monitor::Alarm* a = AlarmByText(Text(v[0]));
    sqlite3_result_text(c, a ? novex::monitor::SeverityName(a->severity) : "", -1, SQLITE_STATIC);
}

// SQL functions the upgrade uses. Columns: name, arguments, function.
struct FunctionRow {
    const char* name;
    int arguments;
    void (*function)(sqlite3_context*, int, sqlite3_value**);
};
const FunctionRow kFunctions[] = {
    {"vimo_local_to_utc", 1, LocalToUtc},
    {"vimo_local_iso", 1, LocalIso},
    {"vimo_alarm_id", 2, AlarmId},
    {"vimo_alarm_severity", 1, AlarmSeverity},
};
static_assert(sizeof kFunctions / sizeof kFunctions[0] == 4, "functions of the upgrade");

// Readings of every stored round, decoded from its record (shorter records: none).
bool BackfillReadings(sqlite3* db, std::string& error) {
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* insert[kReadingParts] = {};
    int64_t layout_id[kReadingParts] = {};
    bool ok = sqlite3_prepare_v2(db, "SELECT id, data_id, utc, record FROM rounds", -1, &select,
                                 nullptr) == SQLITE_OK;
    for (int part = 0; ok && part < kReadingParts; ++part) {
        // Layout texts hold no quotes: names are ASCII ids and label values.
        const std::string& text = CurrentLayoutText(part);
        ok = Exec(db, ("INSERT OR IGNORE INTO layouts (measures) VALUES ('" + text + "')").c_str(),
                  error) &&
             sqlite3_prepare_v2(db, kInsertReading[part], -1, &insert[part], nullptr) == SQLITE_OK;
        layout_id[part] =
            Integer(db, ("SELECT id FROM layouts WHERE measures = '" + text + "'").c_str());
    }
    std::vector<unsigned char> blob;
    while (ok && sqlite3_step(select) == SQLITE_ROW) {
        const auto* record = static_cast<const unsigned char*>(sqlite3_column_blob(select, 3));
        if (!record || sqlite3_column_bytes(select, 3) < static_cast<int>(sizeof(NovexUPS_Data_t)))
            continue;
        const auto values = novex::monitor::DecodeMeasures(record);
        for (int part = 0; ok && part < kReadingParts; ++part) {
            blob.clear();
            EncodeReadings(values, part, blob);
            sqlite3_stmt* s = insert[part];
            for (int c = 0; c < 3; ++c) sqlite3_bind_int64(s, c + 1, sqlite3_column_int64(select, c));
            sqlite3_bind_int64(s, 4, layout_id[part]);
            sqlite3_bind_blob(s, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
            ok = sqlite3_step(s) == SQLITE_DONE;
            sqlite3_reset(s);
        }
    }
    if (!ok) error = sqlite3_errmsg(db);
    sqlite3_finalize(select);
    for (sqlite3_stmt* s : insert) sqlite3_finalize(s);
    return ok;
}

bool Upgrade(sqlite3* db, bool had_tables, std::string& error) {
    for (const FunctionRow& f : kFunctions)
        sqlite3_create_function(db, f.name, f.arguments, SQLITE_UTF8, nullptr, f.function, nullptr,
                                nullptr);
    if (!Exec(db, "BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    if (had_tables) {
        // Version 1 had neither utc column; a file that has them is not version 1.
        const bool has_utc =
            Integer(db, "SELECT count(*) FROM pragma_table_info('rounds') WHERE name = 'utc'") > 0;
        ok = has_utc || (Exec(db, "ALTER TABLE rounds ADD COLUMN utc INTEGER NOT NULL DEFAULT 0",
                              error) &&
                         Exec(db, "ALTER TABLE alarms ADD COLUMN utc INTEGER NOT NULL DEFAULT 0",
                              error));
    }
    // A file that already has events keeps them; the rule reports become events only
    // where there were none.
    const bool had_events =
        Integer(db, "SELECT count(*) FROM sqlite_master WHERE name = 'events'") > 0;
    ok = ok && Exec(db, kTables, error) && Exec(db, kVersion2Tables, error) &&
         (!had_tables || Exec(db, kVersion2RoundIndexes, error)) &&
         MakeLaterIndexes(db, error);
    for (const VersionStep& step : kVersionSteps) ok = ok && Exec(db, step.tables, error);
    if (ok && had_tables) {
        for (const char* step : kUpgradeSteps)
            ok = ok && ((had_events && step == kUpgradeSteps[3]) || Exec(db, step, error));
        ok = ok && BackfillReadings(db, error);
    }
    ok = ok && Exec(db, ("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion)).c_str(),
                    error);
    std::string ignored;
    if (!ok) {
        Exec(db, "ROLLBACK", ignored);
        return false;
    }
    return Exec(db, "COMMIT", error);
}

// Version 2 on adds tables only: from 2, the rounds already stored stay where they are
// and the writer moves them into chunks a few at a time, beside polling; from 3, the
// minute aggregates start with the rounds stored from then on.
bool UpgradeFrom(sqlite3* db, int64_t version, std::string& error) {
    if (!Exec(db, "BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    for (const VersionStep& step : kVersionSteps)
        ok = ok && (step.version <= version || Exec(db, step.tables, error));
    std::string ignored;
    if (ok && Exec(db, ("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion)).c_str(),
                   error))
        return Exec(db, "COMMIT", error);
    Exec(db, "ROLLBACK", ignored);
    return false;
}

// The columns this program uses, per table. Columns: table, its columns separated by
// spaces.
struct ShapeRow {
    const char* table;
    const char* columns;
};
// Tables added within version 4, which a file may lack; when there they must have these.
const ShapeRow kLaterTables[] = {
    {"energy", "data_id utc a_joules b_joules c_joules"},
};
static_assert(sizeof kLaterTables / sizeof kLaterTables[0] == 1, "tables added within version 4");
const ShapeRow kShape[] = {
    {"rounds", "id data_id time record utc"},
    {"alarms", "id data_id time rule_id rule state utc"},
    {"readings", "data_id utc round layout vals"},
    {"readings_detail", "data_id utc round layout vals"},
    {"layouts", "id measures"},
    {"devices", "data_id name"},
    {"events", "id data_id alarm text severity state utc local"},
    {"chunks", "last_id data_id first_id rounds first_utc last_utc meta data"},
    {"history_state", "name value"},
    {"aggregates", "data_id hour minutes data"},
};
static_assert(sizeof kShape / sizeof kShape[0] == 10, "tables of version 4");
// The tables of kShape each version has, from version 2 on. Columns: version, tables.
struct ShapeOfVersion {
    int64_t version;
    size_t tables;
};
const ShapeOfVersion kShapeOfVersion[] = {{2, 7}, {3, 9}, {4, 10}};
static_assert(sizeof kShapeOfVersion / sizeof kShapeOfVersion[0] == kHistorySchemaVersion - 1,
              "a shape per version from 2");

size_t TablesOfVersion(int64_t version) {
    for (const ShapeOfVersion& v : kShapeOfVersion)
        if (v.version == version) return v.tables;
    return 0;
}

// "" when the first `tables` tables of kShape, and those of kLaterTables the file has,
// have their columns, else the first one missing.
std::string MissingColumn(sqlite3* db, size_t tables = sizeof kShape / sizeof kShape[0]) {
    std::vector<const ShapeRow*> rows;
    for (size_t t = 0; t < tables; ++t) rows.push_back(&kShape[t]);
    for (const ShapeRow& later : kLaterTables) {
        const std::string sql = std::string("SELECT count(*) FROM sqlite_master WHERE name = '") +
                                later.table + "'";
        if (Integer(db, sql.c_str()) > 0) rows.push_back(&later);
    }
    for (const ShapeRow* shape : rows) {
        const ShapeRow& row = *shape;
        const std::string columns = row.columns;
        size_t at = 0;
        while (at < columns.size()) {
            const size_t end = std::min(columns.find(' ', at), columns.size());
            const std::string column = columns.substr(at, end - at);
            at = end + 1;
            const std::string sql = std::string("SELECT count(*) FROM pragma_table_info('") +
                                    row.table + "') WHERE name = '" + column + "'";
            if (Integer(db, sql.c_str()) != 1)
                return std::string("table ") + row.table + " has no column " + column;
        }
    }
    return "";
}

}  // namespace

bool CheckHistoryPath(const std::string& path, std::string& error) {
    struct stat st;
    // A link to nothing would have the new file made wherever it points: vimohost makes
    // no file through a link. A link to an existing history is the owner's own setup.
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) {
        error = "history " + path + ": a symbolic link to nothing; vimohost does not create a "
                "file through a link";
        return false;
    }
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    error = "history " + path + ": not a regular file" +
            (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? " (a device)"
             : S_ISFIFO(st.st_mode)                     ? " (a FIFO)"
             : S_ISDIR(st.st_mode)                      ? " (a directory)"
                                                        : "");
    return false;
}

bool QuickCheckHistory(sqlite3* db, std::string& error) {
    sqlite3_stmt* s = nullptr;
    // One finding is enough to refuse the file.
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &s, nullptr);
    std::string result;
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(s, 0);
        result = t ? reinterpret_cast<const char*>(t) : "";
    }
    if (rc != SQLITE_ROW) result = sqlite3_errmsg(db);
    sqlite3_finalize(s);
    if (result == "ok") return true;
    for (char& c : result)
        if (c == '\n') c = ' ';
    error = "damaged (" + result + ")";
    return false;
}

bool PrepareHistorySchema(sqlite3* db, bool writable, std::string& error) {
    const int64_t version = Integer(db, "PRAGMA user_version");
    if (version < 0) {
        error = std::string("not a history file (") + sqlite3_errmsg(db) + ")";
        return false;
    }
    if (version > kHistorySchemaVersion) {
        error = "written by a newer vimohost (history version " + std::to_string(version) +
                "; this one reads up to " + std::to_string(kHistorySchemaVersion) + ")";
        return false;
    }
    const int64_t tables = Integer(
        db, "SELECT count(*) FROM sqlite_master WHERE name IN ('rounds', 'alarms')");
    if (tables < 0) {
        error = std::string("not a history file (") + sqlite3_errmsg(db) + ")";
        return false;
    }
    // Readers take the version before as it is: its rounds read the same, and it has no
    // minute aggregates yet (the writer adds their table when it opens the file).
    if (version == kHistorySchemaVersion || (!writable && version == kHistorySchemaVersion - 1)) {
        const std::string missing = MissingColumn(db, TablesOfVersion(version));
        if (missing.empty()) {
            // Without them queries are slower, not wrong: a file another process holds
            // locked just now is still opened.
            std::string ignored;
            if (writable) MakeLaterIndexes(db, ignored);
            return true;
        }
        error = "not a vimohost history file (" + missing + ")";
        return false;
    }
    if (tables == 1 || (tables == 0 && Integer(db, "SELECT count(*) FROM sqlite_master") > 0)) {
        error = "not a vimohost history file";
        return false;
    }
    if (!writable) {
        error = "history version " + std::to_string(version == 0 && tables ? 1 : version) +
                ": open it once with vimohost to upgrade it";
        return false;
    }
    if (version >= 2) {
        const std::string missing = MissingColumn(db, TablesOfVersion(version));
        if (!missing.empty()) {
            error = "not a vimohost history file (" + missing + ")";
            return false;
        }
        if (UpgradeFrom(db, version, error)) return true;
        error = "cannot upgrade to history version " + std::to_string(kHistorySchemaVersion) +
                ": " + error;
        return false;
    }
    if (!Upgrade(db, tables == 2, error)) {
        error = (tables == 2 ? "cannot upgrade to history version " +
                                   std::to_string(kHistorySchemaVersion) + ": "
                             : std::string("cannot create: ")) +
                error;
        return false;
    }
    return true;
}

}  // namespace vimo
