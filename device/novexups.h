// One modular three-phase UPS on one Modbus line.
#pragma once

#include <string>

#include "render/document_rules.h"
#include "render/document_text.h"
#include "device/novexups_data.h"
#include "device/uni_data_device.h"

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
    // document_mutex under a name the lock analysis follows (std::mutex has none): the
    // members below marked GUARDED_BY(DocumentGuard()) are touched only inside a
    // DocumentLock, which locks document_mutex itself.
    struct CAPABILITY("mutex") DocumentCapability {};
    DocumentCapability& DocumentGuard() const {
        static DocumentCapability name;
        return name;
    }
    void AssertDocumentHeld() const ASSERT_CAPABILITY(DocumentGuard()) {}
    class SCOPED_CAPABILITY DocumentLock {
    public:
        explicit DocumentLock(NovexUPS& ups) ACQUIRE(ups.DocumentGuard()) : lock_(ups.document_mutex) {}
        ~DocumentLock() RELEASE() {}
        DocumentLock(const DocumentLock&) = delete;
        DocumentLock& operator=(const DocumentLock&) = delete;

    private:
        std::lock_guard<std::mutex> lock_;
    };

    int RunHostCommand(int code, const void* input, int input_length, void* output,
                       int output_capacity, int& output_length);
    int WriteDocumentText(void* output, int output_capacity, int& output_length);
    int WriteDocumentPointer(void* output, int output_capacity, int& output_length);
    // With document_mutex held: brings what 801 and 803 show (the text slots, or the
    // tree once 803 has handed it out) up to the last completed round.
    void RefreshDocumentLocked() REQUIRES(DocumentGuard());
    // Writes every member of the document from `data` into `document`: a tree, or
    // the text slots. `shown`: the record the text slots show, when they may pass over
    // what is unchanged since (TextSlots::Begin); else nullptr.
    void RenderDocument(const NovexUPS_Data_t& data, novex::render::Container document,
                        const NovexUPS_Data_t* shown = nullptr) REQUIRES(DocumentGuard());
    // The template of the text, the same for every device; derived by the first
    // device that renders its text.
    const novex::render::TextTemplate& DocumentTemplate() REQUIRES(DocumentGuard());

    // Renderers of one power module and one battery cell. The first argument is the
    // block's bytes (any alignment), the last the number as text; the others are
    // unused and kept for the controller's calling convention. They write into the
    // container RenderDocument was given.
    void _novexups_ModuleData1(char* block, const char* unused_text, int unused_number,
                               const char* module_number) REQUIRES(DocumentGuard());
    void _novexups_BatteryInfo(char* cell, const char* unused_text, int unused_number,
                               const char* cell_number) REQUIRES(DocumentGuard());
    void _novexups_BatteryV(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number) REQUIRES(DocumentGuard());
    void _novexups_BatteryT(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number) REQUIRES(DocumentGuard());
    void _novexups_BatteryR(char* reg, const char* unused_text, int unused_number,
                            const char* cell_number) REQUIRES(DocumentGuard());
    novex::render::Container Document() REQUIRES(DocumentGuard()) { return *rendering_into_; }

    // Until 803 hands out the tree, 801's text comes from the text slots and there is
    // no tree (status_document stays null). The first 803 builds the tree; from then
    // on each new round rebuilds it, finding every member by key (its holder may
    // remove or replace members at any time), and every 801 serialises it as it is
    // then. All guarded by document_mutex.
    novex::render::TextSlots document_text_ GUARDED_BY(DocumentGuard());
    bool document_shared_ GUARDED_BY(DocumentGuard()) = false;
    boost::posix_time::ptime tree_time_ GUARDED_BY(DocumentGuard());  // the round the tree shows
    NovexUPS_Data_t shown_record_ GUARDED_BY(DocumentGuard()){};      // the round at render_time
    novex::render::MemberPlaces document_places_ GUARDED_BY(DocumentGuard());
    const novex::render::Container* rendering_into_ GUARDED_BY(DocumentGuard()) = nullptr;
    // While a text rebuild passes over unchanged values: the bytes the text shows of the
    // module or cell being rendered.
    const unsigned char* shown_block_ GUARDED_BY(DocumentGuard()) = nullptr;
    // Writes of each unit section in a text rebuild, as last counted.
    static constexpr size_t kUnitSectionCount = 8;
    size_t section_writes_[kUnitSectionCount] GUARDED_BY(DocumentGuard()) = {};
};
