// What to say of an output that keeps failing (a status file on a full disk, a hook,
// a listener): its first failure, then a reminder at most every few minutes with the
// count since the last line, and its recovery once; never a line per attempt.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vimo {

class FailureNote {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kRemindEvery{5};

    // The line to log for this failure of `what`, or "" when it is not to be said now.
    std::string Failed(const std::string& what, const std::string& error, Clock::time_point now) {
        ++failures_;
        ++unsaid_;
        if (failures_ > 1 && now - said_ < kRemindEvery) return "";
        const std::string line =
            failures_ == 1 ? what + ": " + error
                           : what + ": still failing, " + std::to_string(unsaid_) + " times since the last report: " + error;
        said_ = now;
        unsaid_ = 0;
        return line;
    }
    // The line to log when `what` works after failing, else "".
    std::string Worked(const std::string& what) {
        if (failures_ == 0) return "";
        const std::string line = what + ": works again after " + std::to_string(failures_) +
                                 (failures_ == 1 ? " failure" : " failures");
        failures_ = unsaid_ = 0;
        return line;
    }

    // At the end (a stop): the failures since the last line, if any, else "".
    std::string Unsaid(const std::string& what) const {
        if (unsaid_ == 0) return "";
        return what + ": " + std::to_string(unsaid_) + " more " +
               (unsaid_ == 1 ? "failure" : "failures") + " since the last report";
    }

private:
    int64_t failures_ = 0;  // in the current run of failures
    int64_t unsaid_ = 0;    // since the last line
    Clock::time_point said_{};
};

}  // namespace vimo
