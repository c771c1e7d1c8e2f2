// Plain value types shared by the controller and its device plug-ins.
#pragma once

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// Symbols of the controller runtime: visible to plug-ins that link against it.
#define VIMO_API __attribute__((visibility("default")))

// Date-time as devices store it in their raw records: 7 bytes, no padding.
#pragma pack(push, 1)
struct ttime_t {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(ttime_t) == 7, "ttime_t is stored in records and must stay 7 bytes");

// Converts a time stamp into the record form. The controller owns the clock and may
// substitute its own time (for instance when it replays stored history); a
// not-a-date-time value converts to all zeros.
VIMO_API ttime_t get_ttime(boost::posix_time::ptime t);

// One pending threshold check, queued by the controller between rounds and handed
// back to it in one batch. Devices count and pass these records but never look inside.
struct rule_value {
    std::string rule_id;
    std::string name;
    float value = 0.0f;
    int level = 0;
};

// Line parity of a serial port.
enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };
