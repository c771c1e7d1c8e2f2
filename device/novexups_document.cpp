// The status document: which section is rendered from which part of the record, in
// which order. The sections themselves are table-driven renderers under render/.
#include "novexups.h"

void NovexUPS::RenderDocument(const NovexUPS_Data_t&) {}

void NovexUPS::_novexups_ModuleData1(char*, const char*, int, const char*) {}
void NovexUPS::_novexups_BatteryInfo(char*, const char*, int, const char*) {}
void NovexUPS::_novexups_BatteryV(char*, const char*, int, const char*) {}
void NovexUPS::_novexups_BatteryT(char*, const char*, int, const char*) {}
void NovexUPS::_novexups_BatteryR(char*, const char*, int, const char*) {}
