// A cached statement of the history store in use: reset on every way out, so that it
// never holds a read lock.
#pragma once

#include <sqlite3.h>

#include <string>

namespace vimo {

struct Use {
    sqlite3_stmt* s;
    explicit Use(sqlite3_stmt* statement) : s(statement) {}
    ~Use() {
        if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
};

inline std::string ColumnText(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace vimo
