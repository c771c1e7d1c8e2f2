// The unit's and the parallel system's measurements: plain scaled numbers, one member
// per register of the register description.
#include <cstddef>

#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

// `regs` holds the rows' registers from the first row's address on.
template <size_t N>
void RenderRows(const registers::Measurement (&rows)[N], const unsigned char* regs,
                Container section) {
    for (const registers::Measurement& row : rows) {
        // Divisor 1 is the register as it is; so is 0 to put_number, without a division.
        const uint16_t divisor = row.divisor == 1 ? 0 : row.divisor;
        put_number(section, row.key, RegisterAt(regs, row.address - rows[0].address), divisor);
    }
}

}  // namespace

void RenderUnitData(const unsigned char* regs, Container section) {
    RenderRows(registers::kUnitData, regs, section);
}

void RenderParallelData(const unsigned char* regs, Container section) {
    RenderRows(registers::kParallelData, regs, section);
}

}  // namespace render
}  // namespace novex
