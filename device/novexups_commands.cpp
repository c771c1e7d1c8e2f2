// Device commands: the status document as text (801) or as a pointer (803), the
// setup commands handed on to the controller (310, 320), and the status word.
#include <cstring>
#include <exception>
#include <string>

#include <json/reader.h>
#include <json/writer.h>

#include "novexups.h"

int NovexUPS::DeviceIoControl(int code, const void* input, int input_length, void* output,
                              int output_capacity, int& output_length) {
    // Nothing may escape into the controller: a failure of ours or of its handler
    // answers -1.
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
void NovexUPS::RefreshDocumentLocked() {
    NovexUPS_Data_t data;
    boost::posix_time::ptime time;
    TakeCompletedRound(data, time);
    if (time == render_time) return;
    render_time = time;
    document_text_valid_ = false;
    RenderDocument(data);
}

int NovexUPS::WriteDocumentText(void* output, int output_capacity, int& output_length) {
    std::lock_guard<std::mutex> lock(document_mutex);
    RefreshDocumentLocked();
    if (!document_text_valid_) {
        document_text_ = Json::FastWriter().write(status_document);
        document_text_valid_ = true;
    }
    const size_t length = document_text_.size();
    output_length = static_cast<int>(length);
    if (output == nullptr || output_capacity < 0 || length > static_cast<size_t>(output_capacity))
        return -1;
    std::memcpy(output, document_text_.data(), length);
    return 0;
}

int NovexUPS::WriteDocumentPointer(void* output, int output_capacity, int& output_length) {
    std::lock_guard<std::mutex> lock(document_mutex);
    RefreshDocumentLocked();
    const Json::Value* document = &status_document;
    output_length = static_cast<int>(sizeof document);
    if (output == nullptr || output_capacity < static_cast<int>(sizeof document)) return -1;
    std::memcpy(output, &document, sizeof document);
    // Whoever holds the pointer may change the document: serialise afresh next time,
    // and find the members by key from now on.
    document_text_valid_ = false;
    document_shared_ = true;
    return 0;
}
