#include "platform/clock.h"

#include <errno.h>
#include <time.h>

namespace kel {

wall_time clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec)};
}

civil_date calendar_today(bool utc) {
    time_t now = time(nullptr);
    tm parts{};
    if (utc) gmtime_r(&now, &parts);
    else localtime_r(&now, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            utc ? 0 : static_cast<int32_t>(parts.tm_gmtoff / 60)};
}

void sleep_milliseconds(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace kel
