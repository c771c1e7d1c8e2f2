// One battery cell: three members of the document itself, named after the cell.
#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {
constexpr const registers::Measurement& kVoltage = registers::kCellData[0];
constexpr const registers::Measurement& kTemperature = registers::kCellData[1];
constexpr const registers::Measurement& kResistance = registers::kCellData[2];
static_assert(!kVoltage.is_signed && kTemperature.is_signed && kTemperature.divisor == 1 &&
                  !kResistance.is_signed,
              "a cell's registers as the renderers read them");
}  // namespace

void RenderCellVoltage(uint16_t reg, const char* number, Container document) {
    put_number(document, Key(kVoltage.key, number), reg, kVoltage.divisor);
}

// The only signed register of the document: temperatures go below zero.
void RenderCellTemperature(int16_t reg, const char* number, Container document) {
    put_signed_number(document, Key(kTemperature.key, number), reg);
}

void RenderCellResistance(uint16_t reg, const char* number, Container document) {
    put_number(document, Key(kResistance.key, number), reg, kResistance.divisor);
}

}  // namespace render
}  // namespace novex
