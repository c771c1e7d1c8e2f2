// The compact JSON text of the document's numbers, written without printf.
//
// The JSON writer shows a real as printf's "%.17g" (17 significant digits of the
// exact binary value, rounded to nearest, ties to even; trailing zeros dropped) with
// ".0" added when that shows neither a point nor an exponent. Every number of the
// document is a single-precision value widened to double, whose exact value is a
// short integer times a power of two: such values are written here from that integer,
// digit by digit, at a small part of printf's cost. Any other value is left to the
// writer itself, so the text is the writer's in every case.
#pragma once

#include <cstddef>

namespace novex {
namespace render {

// Room for any text RealText writes.
constexpr size_t kRealTextRoom = 32;

// Writes the writer's text of `value` into `out` (not terminated); returns its length.
size_t RealText(double value, char (&out)[kRealTextRoom]);

}  // namespace render
}  // namespace novex
