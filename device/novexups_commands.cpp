// Device commands: the status document as text (801) or as a pointer (803), the
// setup commands handed on to the controller (310, 320), and the status word.
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include <json/reader.h>
#include <json/writer.h>

#include "device/novexups.h"

int NovexUPS::DeviceIoControl(int code, const void* input, int input_length, void* output,
                              int output_capacity, int& output_length) {
    // Nothing may escape into the controller: a failure of ours or of its handler
    // answers -1 with an output length of 0.
    try {
        switch (code) {
            case kCmdSetup1:
            case kCmdSetup2:
                return RunHostCommand(code, input, input_length, output, output_capacity,
                                      output_length);
            case kCmdDocumentText:
                return WriteDocumentText(output, output_capacity, output_length);
            case kCmdDocumentPointer:
                return WriteDocumentPointer(output, output_capacity, output_length);
            default:
                break;
        }
        if (output == nullptr || output_capacity < static_cast<int>(sizeof(int32_t))) {
            output_length = 0;
        } else {
            const int32_t status = command_status;
            std::memcpy(output, &status, sizeof status);
            output_length = sizeof status;
        }
        return VimoVDevice::DeviceIoControl(code, input, input_length, output, output_capacity,
                                            output_length);
    } catch (...) {
        // Whatever was set before the failure is no size to retry with.
        output_length = 0;
        return -1;
    }
}

int NovexUPS::RunHostCommand(int code, const void* input, int input_length, void* output,
                             int output_capacity, int& output_length) {
    poll_step = code;
    command_status = -1;
    VimoSPDevice::OpenPort();
    // A missing buffer or a negative length is an empty argument, which is no JSON.
    std::string text;
    if (input != nullptr && input_length > 0)
        text.assign(static_cast<const char*>(input), static_cast<size_t>(input_length));
    Json::Value argument;
    Json::Reader reader;
    bool parsed = false;
    try {
        parsed = reader.parse(text, argument, true);
    } catch (const std::exception&) {
        parsed = false;  // the reader throws on some inputs (nesting too deep)
    }
    // The argument is a command object; any other JSON has no meaning here.
    if (!parsed || !argument.isObject()) return -1;
    return VimoVDevice::DeviceIoControl(code, input, input_length, output, output_capacity,
                                        output_length);
}

// The document shows the round that completion last published, with that round's
// time; `record` itself may be half way through the next round on another thread.
// The time shown moves on only once the rebuild is complete, so a rebuild that
// throws is done again by the next command.
void NovexUPS::RefreshDocumentLocked() {
    NovexUPS_Data_t data;
    boost::posix_time::ptime time;
    TakeCompletedRound(data, time);
    if (time.is_special()) return;  // no round yet: the document stays null
    // A later round of the same second does not replace the one shown, and the first
    // 803 builds the tree of the round the text showed.
    if (time == render_time) {
        if (!document_shared_ || time == tree_time_) return;
        data = shown_record_;
    }
    if (document_shared_) {
        if (!status_document.isObject()) status_document = Json::Value(Json::objectValue);
        document_places_.Begin(status_document, false);
        RenderDocument(data, novex::render::Container{status_document, document_places_});
        document_places_.End(status_document);
        tree_time_ = time;
    } else {
        const bool may_pass = document_text_.Begin(DocumentTemplate());
        RenderDocument(data,
                       novex::render::Container{status_document, document_places_,
                                                &document_text_},
                       may_pass ? &shown_record_ : nullptr);
        document_text_.End();
    }
    shown_record_ = data;
    render_time = time;
}

int NovexUPS::WriteDocumentText(void* output, int output_capacity, int& output_length) {
    DocumentLock lock(*this);
    RefreshDocumentLocked();
    // Once the tree is out, its holder may have changed it since the last 801.
    std::string serialised;
    std::string_view text = document_text_.text();
    if (document_shared_ || render_time.is_special()) {
        serialised = Json::FastWriter().write(status_document);
        text = serialised;
    }
    const size_t length = text.size();
    output_length = static_cast<int>(length);
    if (output == nullptr || output_capacity < 0 || length > static_cast<size_t>(output_capacity))
        return -1;
    std::memcpy(output, text.data(), length);
    return 0;
}

int NovexUPS::WriteDocumentPointer(void* output, int output_capacity, int& output_length) {
    DocumentLock lock(*this);
    const Json::Value* document = &status_document;
    output_length = static_cast<int>(sizeof document);
    if (output == nullptr || output_capacity < static_cast<int>(sizeof document)) return -1;
    // From the first 803 on, the tree is kept and the text slots are no longer used.
    if (!document_shared_) {
        document_shared_ = true;
        document_text_ = novex::render::TextSlots();
    }
    RefreshDocumentLocked();
    std::memcpy(output, &document, sizeof document);
    return 0;
}
