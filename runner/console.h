// Lines for the person watching: standard error, one whole line at a time even when
// several line threads report at once. Standard output belongs to the plug-in.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vimo {

inline void Say(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace vimo
