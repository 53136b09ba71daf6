// Wall-clock time, the local calendar with its zone offset, and sleeping.
#pragma once
#include <cstdint>

namespace kel {

struct wall_time {
    int64_t seconds;      // since the epoch, UTC
    int32_t nanoseconds;  // below one second
};

struct civil_date {
    int32_t year;
    int32_t month;  // 1..12
    int32_t day;    // 1..31
    int32_t zone_minutes;  // offset from UTC, daylight saving included; 0 for UTC
};

wall_time clock_now();
// Today's date in UTC or in the local zone.
civil_date calendar_today(bool utc);
void sleep_milliseconds(uint32_t milliseconds);

}  // namespace kel
