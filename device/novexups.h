// One modular three-phase UPS on one Modbus line.
#pragma once

#include <string>

#include "document_rules.h"
#include "novexups_data.h"
#include "uni_data_device.h"

constexpr int kNovexUPSDataId = 5156;

class NovexUPS : public UniDataDevice<NovexUPS_Data_t, SPModbus, kNovexUPSDataId> {
public:
    NovexUPS();
    ~NovexUPS() override;

    double Get_Value(unsigned int id, const std::string& name) const override;
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& output_length) override;
    int RefreshStatus() override;
    int process_payload(SPModbus::tab_type table, unsigned int length) override;
    void RunCheckThreshold() override;

    // Command codes the device serves itself.
    static constexpr int kCmdSetup1 = 310;
    static constexpr int kCmdSetup2 = 320;
    static constexpr int kCmdDocumentText = 801;
    static constexpr int kCmdDocumentPointer = 803;

    int command_status;

private:
    int RunHostCommand(int code, const void* input, int input_length, void* output,
                       int output_capacity, int& output_length);
    int WriteDocumentText(void* output, int output_capacity, int& output_length);
    int WriteDocumentPointer(void* output, int output_capacity, int& output_length);
    // With document_mutex held: rebuilds status_document from the last completed
    // round if it is not the one rendered last.
    void RefreshDocumentLocked();
    // Writes every member of status_document from `data`.
    void RenderDocument(const NovexUPS_Data_t& data);

    // Renderers of one power module and one battery cell. The first argument is the
    // block's bytes (any alignment), the last the number as text; the others are
    // unused and kept for the controller's calling convention.
    void _novexups_ModuleData1(char* block, const char* unused_text, int unused_number,
                               const char* module_number);
    void _novexups_BatteryInfo(char* cell, const char* unused_text, int unused_number,
                               const char* cell_number);
    void _novexups_BatteryV(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number);
    void _novexups_BatteryT(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number);
    void _novexups_BatteryR(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number);

    // Compact text of status_document, kept until the document may have changed
    // (a rebuild, or a pointer handed out by 803). Guarded by document_mutex.
    std::string document_text_;
    bool document_text_valid_ = false;
    // Where the document's members live, so that a rebuild need not look them up.
    // Only the device changes the document until 803 hands out its address; from
    // then on whoever holds it may remove or replace members, so every rebuild
    // finds its members by key.
    novex::render::MemberPlaces document_places_;
    bool document_shared_ = false;
    novex::render::Container Document() { return {status_document, document_places_}; }
};
