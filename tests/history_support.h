// What the history tests share: records of a busy unit, and figures read straight
// from a history file with SQL.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/novexups_data.h"
#include "monitor/measures.h"

namespace history_test {

// A record with `modules` modules present: each presence word set, each other measure
// register reading `base + (n * 7919 + row * 13) % spread`, so `n` moves every figure.
inline std::vector<unsigned char> BusyRecord(int64_t n, int modules, int base, int spread) {
    namespace m = novex::monitor;
    std::vector<unsigned char> record(sizeof(NovexUPS_Data_t), 0);
    for (const m::Measure& measure : m::Measures()) {
        const auto& row = m::kMeasureRows[measure.row];
        if (measure.scope == m::Scope::kModule && measure.instance > modules) continue;
        const size_t stride = measure.scope == m::Scope::kModule
                                  ? sizeof(uint16_t) * 21 * static_cast<size_t>(measure.instance - 1)
                              : measure.scope == m::Scope::kCell
                                  ? 8 * static_cast<size_t>(measure.instance - 1)
                                  : 0;
        const uint16_t v = static_cast<uint16_t>(
            row.read == m::Read::kPresence ? 0xFFFF
                                           : base + (n * 7919 + measure.row * 13) % spread);
        std::memcpy(record.data() + row.offset + stride, &v, sizeof v);
    }
    return record;
}

// The first column of the first row `sql` answers over the file; -1 when none.
inline int64_t Count(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* q = nullptr;
    int64_t n = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
        n = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_close(db);
    return n;
}

}  // namespace history_test
