#include "history/chunk_codec.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

namespace vimo {

namespace {

// zstd level 3: within a few percent of the higher levels on rounds (deltas are
// mostly zeros), at a fraction of their CPU.
constexpr int kZstdLevel = 3;
// No blob of a sound chunk decompresses to more: 512 rounds of a few KB each. A
// damaged frame header must not make the reader allocate gigabytes.
constexpr size_t kMaxPlain = 64u << 20;
// Longest record or reading blob a chunk holds; anything longer is damage.
constexpr uint64_t kMaxItem = 1u << 20;

void PutSigned(int64_t v, std::vector<unsigned char>& out) { PutVarint(Zigzag(v), out); }

// Differences and sums that wrap instead of overflowing: a time far off (a device
// clock set to nonsense) or a damaged blob must not be undefined behaviour.
int64_t Difference(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t Sum(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// `item` as the difference from `previous` when both have its length (16-bit words,
// then a last odd byte), else as it is. Differences wrap, so decoding is exact.
void PutDelta(const std::vector<unsigned char>& item, const std::vector<unsigned char>* previous,
              std::vector<unsigned char>& out) {
    const size_t at = out.size();
    out.insert(out.end(), item.begin(), item.end());
    if (!previous || previous->size() != item.size()) return;
    unsigned char* d = out.data() + at;
    const unsigned char* p = previous->data();
    size_t i = 0;
    for (; i + 1 < item.size(); i += 2) {
        const uint16_t v = static_cast<uint16_t>((item[i] | item[i + 1] << 8) - (p[i] | p[i + 1] << 8));
        d[i] = static_cast<unsigned char>(v);
        d[i + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (i < item.size()) d[i] = static_cast<unsigned char>(item[i] - p[i]);
}

// The inverse of PutDelta, in place.
void UndoDelta(std::vector<unsigned char>& item, const std::vector<unsigned char>* previous) {
    if (!previous || previous->size() != item.size()) return;
    unsigned char* d = item.data();
    const unsigned char* p = previous->data();
    size_t i = 0;
    for (; i + 1 < item.size(); i += 2) {
        const uint16_t v = static_cast<uint16_t>((d[i] | d[i + 1] << 8) + (p[i] | p[i + 1] << 8));
        d[i] = static_cast<unsigned char>(v);
        d[i + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (i < item.size()) d[i] = static_cast<unsigned char>(d[i] + p[i]);
}

}  // namespace

bool Compress(const std::vector<unsigned char>& plain, std::vector<unsigned char>& out) {
    // One context a thread, kept: making one allocates and clears its tables, which
    // cost as much as compressing a chunk's records.
    thread_local std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(),
                                                                            ZSTD_freeCCtx);
    if (!context ||
        ZSTD_isError(ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kZstdLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1)))
        return false;
    // Compressed into a room kept with the context, then copied out at its size: sizing
    // `out` to the bound would clear the bound's bytes (most of a chunk's size) each time.
    thread_local std::vector<unsigned char> room;
    const size_t bound = ZSTD_compressBound(plain.size());
    if (room.size() < bound) room.resize(bound);
    const size_t n = ZSTD_compress2(context.get(), room.data(), bound, plain.data(), plain.size());
    if (ZSTD_isError(n)) return false;
    out.assign(room.data(), room.data() + n);
    return true;
}

bool Decompress(const unsigned char* blob, size_t size, std::vector<unsigned char>& out) {
    if (!blob) return false;
    const unsigned long long n = ZSTD_getFrameContentSize(blob, size);
    if (n == ZSTD_CONTENTSIZE_ERROR || n == ZSTD_CONTENTSIZE_UNKNOWN || n > kMaxPlain)
        return false;
    out.resize(static_cast<size_t>(n));
    const size_t got = ZSTD_decompress(out.data(), out.size(), blob, size);
    return !ZSTD_isError(got) && got == n;
}

namespace {

// Reads what Put* wrote, failing (and staying failed) at the end of its bytes.
struct Cursor {
    const unsigned char* at;
    const unsigned char* end;
    bool ok = true;

    uint64_t Varint() {
        uint64_t v = 0;
        for (int shift = 0; ok && shift < 64; shift += 7) {
            if (at == end) break;
            const unsigned char b = *at++;
            v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    int64_t Signed() {
        const uint64_t v = Varint();
        return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
    }
    bool Bytes(size_t n, std::vector<unsigned char>& out) {
        if (!ok || static_cast<size_t>(end - at) < n) return ok = false;
        out.assign(at, at + n);
        at += n;
        return true;
    }
};

}  // namespace

bool EncodeChunk(const std::vector<ChunkRound>& rounds, std::vector<unsigned char>& meta,
                 std::vector<unsigned char>& data) {
    std::vector<unsigned char> plain;
    PutVarint(rounds.size(), plain);
    int64_t id = 0, utc = 0;
    for (const ChunkRound& r : rounds) {
        PutSigned(Difference(r.id, id), plain);
        PutSigned(Difference(r.utc, utc), plain);
        id = r.id;
        utc = r.utc;
        PutVarint(r.time.size(), plain);
        plain.insert(plain.end(), r.time.begin(), r.time.end());
        PutVarint(r.record.size(), plain);
        for (int part = 0; part < kReadingParts; ++part) {
            PutVarint(static_cast<uint64_t>(r.layout[part]), plain);
            PutVarint(r.vals[part].size(), plain);
        }
    }
    if (!Compress(plain, meta)) return false;
    // Three frames, each after its length: the records, then each part's readings, so
    // that a query of unit figures decompresses neither records nor module figures.
    data.clear();
    // Sized once for the largest frame: grown as it is written, the text of a chunk's
    // records would be copied over and over, into fresh pages each time.
    size_t largest = 0;
    for (int item = 0; item <= kReadingParts; ++item) {
        size_t size = 0;
        for (const ChunkRound& r : rounds)
            size += item == 0 ? r.record.size() : r.vals[item - 1].size();
        largest = std::max(largest, size);
    }
    plain.reserve(largest);
    std::vector<unsigned char> frame;
    for (int item = 0; item <= kReadingParts; ++item) {
        plain.clear();
        for (size_t i = 0; i < rounds.size(); ++i) {
            const auto& get = [&](size_t k) -> const std::vector<unsigned char>& {
                return item == 0 ? rounds[k].record : rounds[k].vals[item - 1];
            };
            PutDelta(get(i), i ? &get(i - 1) : nullptr, plain);
        }
        if (!Compress(plain, frame)) return false;
        PutVarint(frame.size(), data);
        data.insert(data.end(), frame.begin(), frame.end());
    }
    return true;
}

bool DecodeChunk(const unsigned char* meta, size_t meta_size, const unsigned char* data,
                 size_t data_size, unsigned want, std::vector<ChunkRound>& rounds) {
    rounds.clear();
    std::vector<unsigned char> plain;
    if (!Decompress(meta, meta_size, plain)) return false;
    Cursor c{plain.data(), plain.data() + plain.size()};
    const uint64_t count = c.Varint();
    // Every round takes several bytes of meta: a count beyond them is damage.
    if (!c.ok || count == 0 || count > plain.size()) return false;
    rounds.resize(static_cast<size_t>(count));
    int64_t id = 0, utc = 0;
    std::vector<unsigned char> text;
    for (ChunkRound& r : rounds) {
        r.id = id = Sum(id, c.Signed());
        r.utc = utc = Sum(utc, c.Signed());
        const uint64_t length = c.Varint();
        if (!c.Bytes(static_cast<size_t>(length > kMaxItem ? kMaxItem + 1 : length), text))
            return false;
        r.time.assign(text.begin(), text.end());
        r.record_size = static_cast<size_t>(c.Varint());
        for (int part = 0; part < kReadingParts; ++part) {
            r.layout[part] = static_cast<int64_t>(c.Varint());
            const uint64_t size = c.Varint();
            if (size > kMaxItem) return false;
            r.vals_size[part] = static_cast<size_t>(size);
        }
        if (!c.ok || r.record_size > kMaxItem) return false;
    }
    if (!data || want == 0) return c.at == c.end;
    Cursor frames{data, data + data_size};
    for (int item = 0; item <= kReadingParts; ++item) {
        const uint64_t size = frames.Varint();
        if (!frames.ok || size > static_cast<uint64_t>(frames.end - frames.at)) return false;
        const unsigned char* frame = frames.at;
        frames.at += size;
        if (!(want & (1u << item))) continue;
        if (!Decompress(frame, static_cast<size_t>(size), plain)) return false;
        Cursor d{plain.data(), plain.data() + plain.size()};
        for (size_t i = 0; i < rounds.size(); ++i) {
            std::vector<unsigned char>& v = item == 0 ? rounds[i].record : rounds[i].vals[item - 1];
            const size_t n = item == 0 ? rounds[i].record_size : rounds[i].vals_size[item - 1];
            if (!d.Bytes(n, v)) return false;
            const auto& before = item == 0 ? rounds[i - (i ? 1 : 0)].record
                                           : rounds[i - (i ? 1 : 0)].vals[item - 1];
            UndoDelta(v, i ? &before : nullptr);
        }
        if (d.at != d.end) return false;
    }
    return frames.at == frames.end;
}

}  // namespace vimo
