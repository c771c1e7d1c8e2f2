#include "session/round_time.h"

#include <cstdio>
#include <cstring>

#include "core/time_text.h"

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
    if (t.year > 9999 || t.month > 99 || t.day > 99 || t.hour > 99 || t.minute > 99 ||
        t.second > 99) {
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
        return text;
    }
    // Written by hand: this runs for every stored round, and formatting by snprintf cost
    // tens of microseconds a round at the real pace.
    const auto two = [](char* at, unsigned value) {
        at[0] = static_cast<char>('0' + value / 10);
        at[1] = static_cast<char>('0' + value % 10);
    };
    std::memcpy(text, "0000-00-00 00:00:00", 19);
    two(text, t.year / 100u);
    two(text + 2, t.year % 100u);
    two(text + 5, t.month);
    two(text + 8, t.day);
    two(text + 11, t.hour);
    two(text + 14, t.minute);
    two(text + 17, t.second);
    return std::string(text, 19);
}

bool ParseTimeText(const std::string& text, ttime_t& out) {
    novex::CivilTime c;
    if (!novex::ParseLocalText(text, c)) return false;
    out = ttime_t{static_cast<uint16_t>(c.year),  static_cast<uint8_t>(c.month),
                  static_cast<uint8_t>(c.day),    static_cast<uint8_t>(c.hour),
                  static_cast<uint8_t>(c.minute), static_cast<uint8_t>(c.second)};
    return true;
}

std::string RoundTimeText(const VimoVDevice& device) {
    const boost::posix_time::ptime t = device.round_time.is_special()
                                           ? boost::posix_time::second_clock::local_time()
                                           : device.round_time;
    return TimeText(ToTTimeFields(t));
}

}  // namespace vimo
