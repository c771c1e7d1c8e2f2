#include "history/readings_codec.h"

#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "core/command_line.h"

namespace vimo {

using novex::monitor::Measure;
using novex::monitor::MeasureValue;
using novex::monitor::Measures;

namespace {

const double kPowersOfTen[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
static_assert(sizeof kPowersOfTen / sizeof kPowersOfTen[0] == 10, "decimals 0..9");

}  // namespace

void PutVarint(uint64_t v, std::vector<unsigned char>& out) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

bool GetVarint(const unsigned char* blob, size_t size, size_t& at, uint64_t& v) {
    v = 0;
    for (int shift = 0;; shift += 7) {
        if (at >= size || shift > 63) return false;
        const unsigned char b = blob[at++];
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
}

int64_t ScaledReading(double value, int decimals) {
    const double scaled = value * kPowersOfTen[decimals];
    return std::isfinite(scaled) && std::fabs(scaled) < 9e18 ? static_cast<int64_t>(std::llround(scaled))
                                                             : 0;
}

double ReadingScale(int decimals) { return 1.0 / kPowersOfTen[decimals]; }

bool ParseLayout(const std::string& layout, std::vector<std::string>& names,
                 std::vector<int>& decimals) {
    names.clear();
    decimals.clear();
    std::istringstream in(layout);
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.rfind(' ');
        if (space == std::string::npos || space + 2 != line.size() || line[space + 1] < '0' ||
            line[space + 1] > '9')
            return false;
        names.push_back(line.substr(0, space));
        decimals.push_back(line[space + 1] - '0');
    }
    return true;
}

const char* const kReadingTables[kReadingParts] = {"readings", "readings_detail"};
const char* const kInsertReading[kReadingParts] = {
    "INSERT INTO readings (round, data_id, utc, layout, vals) VALUES (?, ?, ?, ?, ?)",
    "INSERT INTO readings_detail (round, data_id, utc, layout, vals) VALUES (?, ?, ?, ?, ?)",
};

int ReadingPart(size_t measure) {
    return Measures()[measure].scope == novex::monitor::Scope::kUnit ? 0 : 1;
}

const std::string& CurrentLayoutText(int part) {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> t(kReadingParts);
        for (size_t i = 0; i < Measures().size(); ++i)
            t[static_cast<size_t>(ReadingPart(i))] +=
                Measures()[i].name + " " + std::to_string(Measures()[i].decimals) + "\n";
        return t;
    }();
    return texts[static_cast<size_t>(part)];
}

namespace {

// Per part, the measures it holds in table order and their decimals: made once, as
// every round of the history is encoded with them.
struct PartPosition {
    size_t measure;
    int decimals;
};
const std::vector<PartPosition>& PartPositions(int part) {
    static const std::vector<std::vector<PartPosition>> parts = [] {
        std::vector<std::vector<PartPosition>> p(kReadingParts);
        for (size_t i = 0; i < Measures().size(); ++i)
            p[static_cast<size_t>(ReadingPart(i))].push_back({i, Measures()[i].decimals});
        return p;
    }();
    return parts[static_cast<size_t>(part)];
}

}  // namespace

void EncodeReadings(const std::vector<MeasureValue>& values, int part,
                    std::vector<unsigned char>& out) {
    const std::vector<PartPosition>& positions = PartPositions(part);
    // A shorter list has a shorter bitmap; values beyond the table have no place.
    size_t count = positions.size();
    while (count > 0 && positions[count - 1].measure >= values.size()) --count;
    const size_t bitmap = out.size();
    out.reserve(bitmap + (count + 7) / 8 + 2 * count);
    out.resize(bitmap + (count + 7) / 8, 0);
    for (size_t p = 0; p < count; ++p) {
        const MeasureValue& v = values[positions[p].measure];
        if (!v.present) continue;
        out[bitmap + p / 8] = static_cast<unsigned char>(out[bitmap + p / 8] | (1u << (p % 8)));
        PutVarint(Zigzag(ScaledReading(v.value, positions[p].decimals)), out);
    }
}

bool LayoutSlots::Bind(const std::string& layout, const std::vector<size_t>& fields) {
    std::vector<std::string> names;
    std::vector<int> decimals;
    if (!ParseLayout(layout, names, decimals)) return false;
    count = names.size();
    slot.assign(count, -1);
    scale.assign(fields.size(), 1.0);
    owned.clear();
    last_wanted = 0;
    const std::vector<Measure>& measures = Measures();
    for (size_t f = 0; f < fields.size(); ++f)
        for (size_t p = 0; p < count; ++p)
            if (fields[f] < measures.size() && names[p] == measures[fields[f]].name) {
                slot[p] = static_cast<int64_t>(f);
                scale[f] = ReadingScale(decimals[p]);
                owned.push_back(f);
                if (p + 1 > last_wanted) last_wanted = p + 1;
            }
    return true;
}

bool ReadingsDecoder::Decode(const unsigned char* blob, size_t size, double* out) const {
    for (const size_t f : slots_.owned) out[f] = std::numeric_limits<double>::quiet_NaN();
    const size_t bitmap = (slots_.count + 7) / 8;
    if (size < bitmap) return false;
    size_t at = bitmap;
    for (size_t p = 0; p < slots_.last_wanted; ++p) {
        if (!(blob[p / 8] & (1u << (p % 8)))) continue;
        uint64_t v = 0;
        if (!GetVarint(blob, size, at, v)) return false;
        const int64_t f = slots_.slot[p];
        if (f < 0) continue;
        out[f] = static_cast<double>(Unzigzag(v)) * slots_.scale[static_cast<size_t>(f)];
    }
    return true;
}

bool ResolveFields(const std::string& list, std::vector<size_t>& fields, std::string& error) {
    const std::vector<Measure>& measures = Measures();
    std::set<size_t> seen;
    fields.clear();
    // Commas inside braces belong to a name's labels.
    std::vector<std::string> items(1);
    int depth = 0;
    for (const char c : list) {
        depth += c == '{' ? 1 : c == '}' ? -1 : 0;
        if (c == ',' && depth == 0)
            items.emplace_back();
        else
            items.back() += c;
    }
    for (const std::string& item : items) {
        bool found = false;
        for (size_t i = 0; i < measures.size(); ++i) {
            if (measures[i].id != item && measures[i].name != item && PlainName(measures[i]) != item)
                continue;
            found = true;
            if (seen.insert(i).second) fields.push_back(i);
        }
        if (!found) {
            fields.clear();
            error = "unknown measure " + novex::QuoteText(item) + "; measures: " + MeasureIdList();
            return false;
        }
    }
    return true;
}

std::string PlainName(const Measure& measure) {
    std::string out = measure.id;
    for (const novex::monitor::Label& label : measure.labels) out += "." + label.value;
    return out;
}

std::string MeasureIdList() {
    std::string out;
    std::set<std::string> seen;
    for (const Measure& m : Measures())
        if (seen.insert(m.id).second) out += (out.empty() ? "" : ",") + m.id;
    return out;
}

}  // namespace vimo
