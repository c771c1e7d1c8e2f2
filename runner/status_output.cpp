#include "status_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <json/value.h>
#include <json/writer.h>

namespace vimo {

namespace {

std::string VimohostMember(const novex::monitor::DeviceSnapshot& s) {
    Json::Value member(Json::objectValue);
    member["communication"] = novex::monitor::CommunicationName(s.communication);
    member["stale"] = s.stale;
    member["rounds_completed"] = Json::UInt64(s.rounds_completed);
    member["rounds_failed"] = Json::UInt64(s.rounds_failed);
    member["last_round_utc"] = Json::Int64(s.last_round_utc);
    member["last_round_local"] = s.last_round_local;
    member["last_error"] = s.last_error;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return "\"vimohost\":" + Json::writeString(writer, member);
}

}  // namespace

std::string StatusFileText(const novex::monitor::DeviceSnapshot& snapshot) {
    const std::string& doc = snapshot.document;
    const size_t open = doc.find_first_not_of(" \t\r\n");
    const size_t close = doc.find_last_not_of(" \t\r\n");
    if (open == std::string::npos) return "{" + VimohostMember(snapshot) + "}\n";
    if (doc[open] != '{' || doc[close] != '}') return doc;
    // An empty object takes the member without a comma.
    const size_t last = doc.find_last_not_of(" \t\r\n", close - 1);
    const std::string comma = last == open ? "" : ",";
    return doc.substr(0, close) + comma + VimohostMember(snapshot) + doc.substr(close);
}

bool CheckStatusPath(const std::string& path, std::string& error) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        error = "--status-out " + path + ": directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

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

}  // namespace vimo
