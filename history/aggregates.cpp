#include "history/aggregates.h"

#include <cmath>
#include <limits>

#include "core/time_text.h"
#include "history/chunk_codec.h"

namespace vimo {

using novex::monitor::Measures;

namespace {

// Saturating: a damaged row merged with a sound one must not overflow.
int64_t AddClamped(int64_t a, int64_t b) {
    int64_t out = 0;
    if (!__builtin_add_overflow(a, b, &out)) return out;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

void Spread::Add(int64_t value) {
    if (count == 0 || value < min) min = value;
    if (count == 0 || value > max) max = value;
    sum = AddClamped(sum, value);
    ++count;
}

void Spread::Merge(const Spread& other) {
    if (other.count == 0) return;
    if (count == 0 || other.min < min) min = other.min;
    if (count == 0 || other.max > max) max = other.max;
    sum = AddClamped(sum, other.sum);
    count = AddClamped(count, other.count);
}

void MinuteAggregate::Merge(const MinuteAggregate& other) {
    rounds = AddClamped(rounds, other.rounds);
    if (measures.size() < other.measures.size()) measures.resize(other.measures.size());
    for (size_t i = 0; i < other.measures.size(); ++i) measures[i].Merge(other.measures[i]);
}

int64_t MinuteOf(int64_t utc) {
    const int64_t r = utc % kAggregateSeconds;
    return utc - (r < 0 ? r + kAggregateSeconds : r);
}

int64_t HourOf(int64_t utc) {
    const int64_t r = utc % 3600;
    return utc - (r < 0 ? r + 3600 : r);
}

bool EncodeHour(const std::vector<StoredMinute>& minutes, int64_t hour,
                std::vector<unsigned char>& out) {
    std::vector<unsigned char> plain;
    PutVarint(minutes.size(), plain);
    for (const StoredMinute& m : minutes) {
        PutVarint(static_cast<uint64_t>((m.minute - hour) / kAggregateSeconds), plain);
        PutVarint(static_cast<uint64_t>(m.rounds), plain);
        for (int part = 0; part < kReadingParts; ++part) {
            PutVarint(static_cast<uint64_t>(m.layout[part]), plain);
            PutVarint(m.vals[part].size(), plain);
            plain.insert(plain.end(), m.vals[part].begin(), m.vals[part].end());
        }
    }
    return Compress(plain, out);
}

bool DecodeHour(const unsigned char* blob, size_t size, int64_t hour,
                std::vector<StoredMinute>& minutes) {
    minutes.clear();
    std::vector<unsigned char> plain;
    // The key comes from the file too: a damaged one must not overflow a minute's time.
    if (!novex::TimeInRange(hour) || !Decompress(blob, size, plain)) return false;
    size_t at = 0;
    uint64_t count = 0;
    if (!GetVarint(plain.data(), plain.size(), at, count) || count > 3600 / kAggregateSeconds)
        return false;
    for (uint64_t i = 0; i < count; ++i) {
        StoredMinute m;
        uint64_t v[2] = {};
        for (uint64_t& x : v)
            if (!GetVarint(plain.data(), plain.size(), at, x)) return false;
        if (v[0] >= 3600 / kAggregateSeconds || v[1] > (uint64_t{1} << 62)) return false;
        m.minute = hour + static_cast<int64_t>(v[0]) * kAggregateSeconds;
        if (!minutes.empty() && m.minute <= minutes.back().minute) return false;
        m.rounds = static_cast<int64_t>(v[1]);
        for (int part = 0; part < kReadingParts; ++part) {
            uint64_t layout = 0, length = 0;
            if (!GetVarint(plain.data(), plain.size(), at, layout) ||
                !GetVarint(plain.data(), plain.size(), at, length) || layout > (uint64_t{1} << 62) ||
                length > plain.size() - at)
                return false;
            m.layout[part] = static_cast<int64_t>(layout);
            m.vals[part].assign(plain.begin() + static_cast<std::ptrdiff_t>(at),
                                plain.begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
        minutes.push_back(std::move(m));
    }
    return at == plain.size();
}

void MinuteAggregator::Add(uint32_t data_id, int64_t utc,
                           const std::vector<novex::monitor::MeasureValue>& values,
                           std::vector<MinuteAggregate>& finished) {
    // A round stamped by a clock gone wild keeps its round but makes no minute: the
    // times a query can ask for are those of the shared range.
    if (!novex::TimeInRange(utc)) return;
    const int64_t minute = MinuteOf(utc);
    auto it = open_.find(data_id);
    if (it != open_.end() && it->second.minute != minute) {
        finished.push_back(std::move(it->second));
        open_.erase(it);
        it = open_.end();
    }
    if (it == open_.end()) {
        MinuteAggregate a;
        a.data_id = data_id;
        a.minute = minute;
        a.measures.resize(Measures().size());
        it = open_.emplace(data_id, std::move(a)).first;
    }
    MinuteAggregate& a = it->second;
    ++a.rounds;
    const size_t n = std::min(values.size(), a.measures.size());
    for (size_t i = 0; i < n; ++i)
        if (values[i].present)
            a.measures[i].Add(ScaledReading(values[i].value, Measures()[i].decimals));
}

void MinuteAggregator::TakeAll(std::vector<MinuteAggregate>& finished) {
    for (auto& entry : open_) finished.push_back(std::move(entry.second));
    open_.clear();
}

void EncodeAggregate(const MinuteAggregate& minute, int part, std::vector<unsigned char>& out) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < Measures().size(); ++i)
        if (ReadingPart(i) == part) positions.push_back(i);
    const size_t bitmap = out.size();
    out.resize(bitmap + (positions.size() + 7) / 8, 0);
    for (size_t p = 0; p < positions.size(); ++p) {
        if (positions[p] >= minute.measures.size()) break;
        const Spread& s = minute.measures[positions[p]];
        if (s.count <= 0) continue;
        out[bitmap + p / 8] = static_cast<unsigned char>(out[bitmap + p / 8] | (1u << (p % 8)));
        PutVarint(static_cast<uint64_t>(s.count), out);
        PutVarint(Zigzag(s.min), out);
        PutVarint(static_cast<uint64_t>(s.max) - static_cast<uint64_t>(s.min), out);
        PutVarint(Zigzag(s.sum), out);
    }
}

bool AggregateDecoder::Decode(const unsigned char* blob, size_t size, Spread* out) const {
    const size_t bitmap = (slots_.count + 7) / 8;
    if (size < bitmap) return false;
    size_t at = bitmap;
    for (size_t p = 0; p < slots_.count; ++p) {
        if (!(blob[p / 8] & (1u << (p % 8)))) continue;
        uint64_t v[4] = {};
        for (uint64_t& x : v)
            if (!GetVarint(blob, size, at, x)) return false;
        const int64_t f = slots_.slot[p];
        if (f < 0) continue;
        Spread s;
        s.count = static_cast<int64_t>(v[0] & (std::numeric_limits<uint64_t>::max() >> 1));
        s.min = Unzigzag(v[1]);
        s.max = static_cast<int64_t>(static_cast<uint64_t>(s.min) + v[2]);
        s.sum = Unzigzag(v[3]);
        // A count of 0 or a max below the min is no spread this program wrote.
        if (s.count == 0 || s.max < s.min) return false;
        out[f].Merge(s);
    }
    return at == size;
}

FieldSummary Summarize(const Spread& spread, double scale) {
    FieldSummary out;
    out.count = spread.count;
    if (spread.count <= 0) {
        out.min = out.mean = out.max = std::nan("");
        out.count = 0;
        return out;
    }
    out.min = static_cast<double>(spread.min) * scale;
    out.max = static_cast<double>(spread.max) * scale;
    out.mean = static_cast<double>(spread.sum) / static_cast<double>(spread.count) * scale;
    return out;
}

}  // namespace vimo
