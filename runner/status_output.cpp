#include "status_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <json/reader.h>

#include "console.h"
#include "status_summary.h"

namespace vimo {

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = temporary + ": cannot write";
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

void PublishStatus(DeviceSession& session, const std::string& path, const std::string& what) {
    const std::string& name = session.config().name;
    std::string text, error;
    if (!session.Document(text, error)) {
        Say("[" + name + "] " + what + " | " + error);
        return;
    }
    if (!path.empty() && !WriteFileAtomically(path, text, error))
        Say("[" + name + "] --status-out: " + error);
    Json::Value document;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string parse_error;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &document, &parse_error);
    } catch (const std::exception&) {
        parsed = false;
    }
    Say("[" + name + "] " + what + " | " +
        (parsed ? SummarizeDocument(document) : "status document is not JSON"));
}

}  // namespace vimo
