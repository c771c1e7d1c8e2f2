// "更新时间": when the round shown was completed, as plain numbers without padding.
#include <cstdint>
#include <cstring>

#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

// `number` in decimal at `at`, without padding; returns the end.
char* Decimal(unsigned number, char* at) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) *at++ = digits[--count];
    return at;
}

}  // namespace

void RenderUpdateTime(const unsigned char* time, Container document) {
    uint16_t year;
    std::memcpy(&year, time, sizeof year);
    // Six numbers of at most five digits each, the separators and the terminator.
    char text[48];
    const unsigned numbers[] = {year, time[2], time[3], time[4], time[5], time[6]};
    const char separators[] = "-- ::";
    char* at = text;
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0) *at++ = separators[i - 1];
        at = Decimal(numbers[i], at);
    }
    *at = '\0';
    put_formatted_text(document, "更新时间", text);
}

}  // namespace render
}  // namespace novex
