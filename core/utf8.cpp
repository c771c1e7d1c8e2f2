#include "core/utf8.h"

namespace novex {

int32_t NextCodePoint(const std::string& text, size_t i, size_t& size) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    // The four forms. Columns: lead byte mask, the bits it must show, the lead's payload
    // mask, length in bytes, least code point (a smaller one is an overlong form).
    struct Form {
        unsigned char mask, bits, payload;
        size_t length;
        int32_t least;
    };
    static const Form kForms[] = {
        {0x80, 0x00, 0x7f, 1, 0},
        {0xe0, 0xc0, 0x1f, 2, 0x80},
        {0xf0, 0xe0, 0x0f, 3, 0x800},
        {0xf8, 0xf0, 0x07, 4, 0x10000},
    };
    static_assert(sizeof kForms / sizeof kForms[0] == 4, "UTF-8 forms");
    for (const Form& f : kForms) {
        if ((lead & f.mask) != f.bits) continue;
        if (i + f.length > text.size()) return -1;
        int32_t cp = lead & f.payload;
        for (size_t k = 1; k < f.length; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xc0) != 0x80) return -1;
            cp = (cp << 6) | (c & 0x3f);
        }
        if (cp < f.least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
        size = f.length;
        return cp;
    }
    return -1;
}

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0, size = 1; i < text.size(); i += size)
        if (NextCodePoint(text, i, size) < 0) return false;
    return true;
}

}  // namespace novex
