// The time of a round: the clock that replays a stored round's time, and the text
// form stored in the history.
#pragma once

#include <string>

#include "host/host_services.h"

namespace vimo {

// The process's clock for get_ttime: the plain conversion, except on a thread that is
// replaying a stored round, where every conversion gives that round's time, so the
// record and its document carry the time the round was measured.
class ReplayClock : public HostServices {
public:
    ttime_t ToTTime(boost::posix_time::ptime t) override;

    class Scope {
    public:
        explicit Scope(const ttime_t& time);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        const ttime_t* previous_;
        ttime_t time_;
    };
};

// "YYYY-MM-DD HH:MM:SS" of a time stamp (zeros for a special value) and back.
std::string TimeText(const ttime_t& t);
bool ParseTimeText(const std::string& text, ttime_t& out);
// The time of the device's last round, or the present time if it has none.
std::string RoundTimeText(const VimoVDevice& device);

}  // namespace vimo
