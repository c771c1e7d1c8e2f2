#include "mqtt/topics.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace vimo {
namespace mqtt {

namespace {

// FNV-1a, 32 bits: stable across builds and machines.
uint32_t Hash(const std::string& text) {
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

template <typename Allowed>
std::string Safe(const std::string& text, Allowed allowed) {
    std::string out = text;
    bool changed = text.empty() || text[0] == '$';
    for (char& c : out)
        if (!allowed(static_cast<unsigned char>(c))) {
            c = '_';
            changed = true;
        }
    if (!changed) return out;
    if (!out.empty() && out[0] == '$') out[0] = '_';
    char tail[16];
    std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(Hash(text)));
    return (out.empty() ? std::string("_") : out) + tail;
}

}  // namespace

std::string TopicLevel(const std::string& name) {
    return Safe(name, [](unsigned char c) { return c != '+' && c != '#' && c != '/' && c != 0; });
}

std::string DiscoveryId(const std::string& text) {
    return Safe(text, [](unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; });
}

}  // namespace mqtt
}  // namespace vimo
