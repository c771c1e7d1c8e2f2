// One battery cell: three members of the document itself, named after the cell.
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {
constexpr uint16_t kCellDivisor = 100;
}  // namespace

void RenderCellVoltage(uint16_t reg, const char* number, Container document) {
    put_number(document, Key("#%s电池电压", number), reg, kCellDivisor);
}

// The only signed register of the document: temperatures go below zero.
void RenderCellTemperature(int16_t reg, const char* number, Container document) {
    put_signed_number(document, Key("#%s电池温度", number), reg);
}

void RenderCellResistance(uint16_t reg, const char* number, Container document) {
    put_number(document, Key("#%s电池内阻", number), reg, kCellDivisor);
}

}  // namespace render
}  // namespace novex
