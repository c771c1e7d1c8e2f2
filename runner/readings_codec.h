// A round's decoded measures as stored in the history: one blob per round. A bitmap
// says which measures are present; each present value follows as a zigzag varint of
// the value at its register's resolution (220.3 V at one decimal is 2203). Values of
// absent modules and cells take no room, and most figures fit in one or two bytes.
//
// Which measure each position holds is the layout, stored once in the history as
// text ("name decimals" a line); a reading names its layout, so a later measure table
// with rows added or removed still reads older readings correctly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measures.h"

namespace vimo {

// The layout of the measure table this program has.
const std::string& CurrentLayoutText();

// Appends the blob of `values` (aligned with Measures()) to `out`.
void EncodeReadings(const std::vector<novex::monitor::MeasureValue>& values,
                    std::vector<unsigned char>& out);

// Reads chosen measures from blobs of one layout.
class ReadingsDecoder {
public:
    // `fields` are indexes into Measures(); a field the layout lacks always reads absent.
    // False when `layout` is no layout text.
    bool Bind(const std::string& layout, const std::vector<size_t>& fields);
    // Writes one value per field to `out`, NaN where absent; false for a damaged blob.
    bool Decode(const unsigned char* blob, size_t size, double* out) const;

private:
    size_t count_ = 0;                  // positions in the layout
    std::vector<int64_t> slot_;         // per position: index in `fields`, -1 if not wanted
    std::vector<double> scale_;         // per field: 10^-decimals
    size_t fields_ = 0;
    size_t last_wanted_ = 0;            // one past the last wanted position
};

// "battery_charge,output_load" or names with labels ("output_load{phase=\"a\"}"):
// every measure with that id (in table order), or the one with that name, in the order
// given and without repeats. False with a one-line error naming the unknown item and the valid ids.
bool ResolveFields(const std::string& list, std::vector<size_t>& fields, std::string& error);
// The measure ids, each once, comma separated.
std::string MeasureIdList();

}  // namespace vimo
