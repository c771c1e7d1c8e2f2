// A round's decoded measures as stored in the history: one blob per round. A bitmap
// says which measures are present; each present value follows as a zigzag varint of
// the value at its register's resolution (220.3 V at one decimal is 2203). Values of
// absent modules and cells take no room, and most figures fit in one or two bytes.
//
// A round has two blobs: the unit's own measures, which plots and reports mostly ask
// for, and the measures of modules and cells, four times as many bytes. A query for
// unit figures reads only the first.
//
// Which measure each position holds is the layout, stored once in the history as
// text ("name decimals" a line); a reading names its layout, so a later measure table
// with rows added or removed still reads older readings correctly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/measures.h"

namespace vimo {

// The two parts: 0 the unit's measures, 1 those of modules and cells.
constexpr int kReadingParts = 2;
// The tables of the parts, and their statements, in part order.
extern const char* const kReadingTables[kReadingParts];
extern const char* const kInsertReading[kReadingParts];
// The part a measure (index into Measures()) is stored in.
int ReadingPart(size_t measure);
// The layout of part `part` of the measure table this program has.
const std::string& CurrentLayoutText(int part);

// Appends the blob of part `part` of `values` (aligned with Measures()) to `out`.
void EncodeReadings(const std::vector<novex::monitor::MeasureValue>& values, int part,
                    std::vector<unsigned char>& out);

// The pieces the readings and the minute aggregates (history/aggregates.h) share.
// A value at its register's resolution (220.3 at one decimal is 2203; 0 for what is
// not finite or out of range), and back.
int64_t ScaledReading(double value, int decimals);
double ReadingScale(int decimals);  // 10^-decimals
void PutVarint(uint64_t v, std::vector<unsigned char>& out);
// Reads a varint at `at` and moves past it; false at the blob's end or beyond 64 bits.
bool GetVarint(const unsigned char* blob, size_t size, size_t& at, uint64_t& v);
inline uint64_t Zigzag(int64_t n) {
    return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}
inline int64_t Unzigzag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}
// A layout text's measure names and decimals, by position; false when it is none.
bool ParseLayout(const std::string& layout, std::vector<std::string>& names,
                 std::vector<int>& decimals);

// Where a layout's positions go among chosen fields: what the decoders of readings and
// of minute aggregates both need from a layout text.
struct LayoutSlots {
    // `fields` are indexes into Measures(); false when `layout` is no layout text.
    bool Bind(const std::string& layout, const std::vector<size_t>& fields);

    size_t count = 0;             // positions in the layout
    std::vector<int64_t> slot;    // per position: index in `fields`, -1 if not wanted
    std::vector<double> scale;    // per field: 10^-decimals
    std::vector<size_t> owned;    // the fields the layout has
    size_t last_wanted = 0;       // one past the last wanted position
};

// Reads chosen measures from blobs of one layout.
class ReadingsDecoder {
public:
    // `fields` are indexes into Measures(); a field the layout lacks always reads absent.
    // False when `layout` is no layout text.
    bool Bind(const std::string& layout, const std::vector<size_t>& fields) {
        return slots_.Bind(layout, fields);
    }
    // Writes the value of each field the layout has to `out` (one slot per field), NaN
    // where absent, and leaves the other slots; false for a damaged blob.
    bool Decode(const unsigned char* blob, size_t size, double* out) const;

private:
    LayoutSlots slots_;
};

// "battery_charge,output_load" or names with labels ("output_load{phase=\"a\"}"):
// every measure with that id (in table order), or the one with that name, in the order
// given and without repeats. False with a one-line error naming the unknown item and the valid ids.
bool ResolveFields(const std::string& list, std::vector<size_t>& fields, std::string& error);
// A measure's name without quotes or commas, for CSV and table headings: the id and
// each label's value after a dot ("output_load.a", "module_inverter_current.3.a").
// ResolveFields takes it too.
std::string PlainName(const novex::monitor::Measure& measure);
// The measure ids, each once, comma separated.
std::string MeasureIdList();

}  // namespace vimo
