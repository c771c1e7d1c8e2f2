#include "session/round_time.h"

#include <cstdio>

namespace vimo {

namespace {
thread_local const ttime_t* t_replay_time = nullptr;
}

ttime_t ReplayClock::ToTTime(boost::posix_time::ptime t) {
    return t_replay_time ? *t_replay_time : ToTTimeFields(t);
}

ReplayClock::Scope::Scope(const ttime_t& time) : previous_(t_replay_time), time_(time) {
    t_replay_time = &time_;
}

ReplayClock::Scope::~Scope() { t_replay_time = previous_; }

std::string TimeText(const ttime_t& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

bool ParseTimeText(const std::string& text, ttime_t& out) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) !=
            6 ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
        return false;
    out = ttime_t{static_cast<uint16_t>(y), static_cast<uint8_t>(mo), static_cast<uint8_t>(d),
                  static_cast<uint8_t>(h),  static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
    return true;
}

std::string RoundTimeText(const VimoVDevice& device) {
    const boost::posix_time::ptime t = device.round_time.is_special()
                                           ? boost::posix_time::second_clock::local_time()
                                           : device.round_time;
    return TimeText(ToTTimeFields(t));
}

}  // namespace vimo
