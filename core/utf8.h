// Reading UTF-8 text from outside (a configuration, a request): where it is
// well-formed, and what each character is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace novex {

// The code point starting at text[i], with its length in bytes in `size`; -1 when
// the bytes there are no well-formed UTF-8 (overlong forms, surrogates and code points
// past U+10FFFF are not).
int32_t NextCodePoint(const std::string& text, size_t i, size_t& size);

bool ValidUtf8(const std::string& text);

}  // namespace novex
