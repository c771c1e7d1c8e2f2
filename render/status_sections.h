// Renderers of the sections of the status document. Each reads a slice of the raw
// record (bytes at any alignment: the record is packed) and writes its members into
// the container it is given, in its fixed order of writing. A rebuild of the text
// that may pass over unchanged values (TextSlots::Begin) gives in `shown` the slice its
// text shows, and the members whose values are equal there are passed over; else
// nullptr.
#pragma once

#include <cstdint>

#include "render/document_rules.h"

namespace novex {
namespace render {

// Section "整机状态位" from the 31 status bits (one byte each, coils 1..31).
void RenderUnitStatusBits(const unsigned char* bits, const unsigned char* shown,
                          Container section);
// Section "整机告警位" from the 33 alarm bits (coils 65..97).
void RenderUnitAlarmBits(const unsigned char* bits, const unsigned char* shown,
                         Container section);

// Section "整机数据" from input registers 1..40.
void RenderUnitData(const unsigned char* regs, const unsigned char* shown, Container section);
// Section "并机数据" from input registers 61..68.
void RenderParallelData(const unsigned char* regs, const unsigned char* shown,
                        Container section);

// Section "整机状态数据" from input register 81.
void RenderRunState(const unsigned char* reg, const unsigned char* shown, Container section);
// Section "整机状态位" (again, after the status bits) from input registers 82..85.
void RenderStatusFlags(const unsigned char* regs, const unsigned char* shown,
                       Container section);
// Section "整机告警位位" from input registers 86..89.
void RenderAlarmFlags(const unsigned char* regs, const unsigned char* shown, Container section);
// Section "整机系统状态" from input registers 90 and 91.
void RenderSystemStatus(const unsigned char* regs, const unsigned char* shown,
                        Container section);

// The 94 members of one power module, written into the document itself, its alarm
// booleans into the document's "AlertArray". `regs` are the module's 21 registers,
// `number` the module number as text ("1".."10"); `shown` as above, as registers.
void RenderPowerModule(const uint16_t* regs, const uint16_t* shown, const char* number,
                       Container document);

// The three members of one battery cell, written into the document itself.
void RenderCellVoltage(uint16_t reg, const char* number, Container document);
void RenderCellTemperature(int16_t reg, const char* number, Container document);
void RenderCellResistance(uint16_t reg, const char* number, Container document);

// "更新时间" of the document from the 7-byte time of the round (year as native
// 16-bit word, then month, day, hour, minute, second), e.g. "2024-3-5 7:4:9".
void RenderUpdateTime(const unsigned char* time, Container document);

}  // namespace render
}  // namespace novex
