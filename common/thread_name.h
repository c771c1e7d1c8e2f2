// Names the calling thread as `ps -L`, `top -H` and /proc/PID/task/TID/comm show it, so
// that an operator (or a benchmark) can tell the threads of vimohost apart: "vimo-" and
// the work, cut to the 15 bytes the kernel keeps.
//
//   vimo-line       a serial line or TCP gateway's polling (one per line)
//   vimo-history    the history writer
//   vimo-<face>     a face's own thread: console, status-file, mqtt-state, hooks, ...
#pragma once

#include <pthread.h>

#include <cctype>
#include <string>

namespace vimo {

inline void NameThisThread(const std::string& work) {
    std::string name = "vimo-";
    for (const char c : work) {
        if (name.size() == 15) break;
        name += c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace vimo
