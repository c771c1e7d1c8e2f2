// "更新时间": when the round shown was completed, as plain numbers without padding.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

void RenderUpdateTime(const unsigned char* time, Container document) {
    uint16_t year;
    std::memcpy(&year, time, sizeof year);
    // Six numbers of at most five digits each and the separators.
    char text[48];
    std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u", static_cast<unsigned>(year),
                  static_cast<unsigned>(time[2]), static_cast<unsigned>(time[3]),
                  static_cast<unsigned>(time[4]), static_cast<unsigned>(time[5]),
                  static_cast<unsigned>(time[6]));
    put_formatted_text(document, "更新时间", text);
}

}  // namespace render
}  // namespace novex
