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
                const unsigned char* shown, Container section) {
    RowPasses passes(section);
    for (const registers::Measurement& row : rows) {
        const size_t index = row.address - rows[0].address;
        const uint16_t value = RegisterAt(regs, index);
        if (!passes.Write(shown != nullptr && RegisterAt(shown, index) == value, kValueWrites))
            continue;
        // Divisor 1 is the register as it is; so is 0 to put_number, without a division.
        const uint16_t divisor = row.divisor == 1 ? 0 : row.divisor;
        put_number(section, row.key, value, divisor);
    }
    passes.Finish();
}

}  // namespace

void RenderUnitData(const unsigned char* regs, const unsigned char* shown, Container section) {
    RenderRows(registers::kUnitData, regs, shown, section);
}

void RenderParallelData(const unsigned char* regs, const unsigned char* shown,
                        Container section) {
    RenderRows(registers::kParallelData, regs, shown, section);
}

}  // namespace render
}  // namespace novex
