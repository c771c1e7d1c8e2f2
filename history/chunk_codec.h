// Many stored rounds of one device in one row of the history (the chunks table).
// Consecutive rounds of a device differ in a few registers, so each round's record and
// readings are stored as the difference from the round before (16-bit word deltas of
// equal-length records, byte deltas of equal-length reading blobs, the bytes as they
// are when the length changed) and the lot compressed with zstd. The round list reads
// only the small `meta` blob (ids, times, record sizes); a round's record or readings
// need the `data` blob too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "history/readings_codec.h"

namespace vimo {

// Rounds per chunk once a device's chunk is full: a chunk of 512 busy rounds is some
// 700 KB to decompress, well under a millisecond.
constexpr size_t kChunkRounds = 512;

struct ChunkRound {
    int64_t id = 0;
    int64_t utc = 0;
    std::string time;  // local time text of the round
    size_t record_size = 0;
    std::vector<unsigned char> record;  // with the data blob only
    // Per reading part: its layout id (0: the round has no readings), the blob's size
    // and the blob (with the data blob only).
    int64_t layout[kReadingParts] = {};
    size_t vals_size[kReadingParts] = {};
    std::vector<unsigned char> vals[kReadingParts];
};

// zstd with its checksum of the content: a flipped byte in a stored blob is found, not
// read back as other figures. Decompress refuses a blob that would be larger than a
// chunk may be.
bool Compress(const std::vector<unsigned char>& plain, std::vector<unsigned char>& out);
bool Decompress(const unsigned char* blob, size_t size, std::vector<unsigned char>& out);

// The two blobs of `rounds` (in id order, at least one). False when zstd fails.
bool EncodeChunk(const std::vector<ChunkRound>& rounds, std::vector<unsigned char>& meta,
                 std::vector<unsigned char>& data);

// What of a chunk's data blob to decode, as bits of `want`.
constexpr unsigned kChunkRecords = 1u;
constexpr unsigned ChunkReadingPart(int part) { return 2u << part; }
constexpr unsigned kChunkEverything = 1u | (((1u << kReadingParts) - 1) << 1);

// The rounds of a chunk: always ids, times, sizes and layouts; the records and each
// part's readings as `want` asks (the data blob's other frames are not decompressed).
// False for a damaged blob (nothing of it is trusted: lengths are checked, sizes are
// bounded, zstd's checksum is verified).
bool DecodeChunk(const unsigned char* meta, size_t meta_size, const unsigned char* data,
                 size_t data_size, unsigned want, std::vector<ChunkRound>& rounds);

}  // namespace vimo
