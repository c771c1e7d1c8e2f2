// The plug-in prints its own lines ("rvSize is N") on standard output, every round of
// every device. Under a service manager whose journal takes standard output they would
// flood it, so vimohost takes them there instead: standard output becomes a pipe whose
// lines a thread of its own logs at debug level ("[plug-in] rvSize is 0"). The plug-in
// prints as before; elsewhere (a terminal, a file, a pipe) standard output is left alone.
#pragma once

#include <atomic>
#include <thread>

namespace vimo {

class StdoutCapture {
public:
    // Takes standard output when it is the journal's stream (JOURNAL_STREAM names it).
    // False when it was left alone (not the journal, or no pipe to be had).
    bool StartIfJournal();
    // Gives standard output back and logs what was left in the pipe. Idempotent.
    void Stop();
    ~StdoutCapture() { Stop(); }

private:
    int saved_ = -1;  // the journal's stream, given back at Stop
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace vimo
