// OS services: platform start-up, the command line, environment, current directory,
// sleeping, time of day, date with zone, and angle reduction for the trigonometric natives.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

void platform_init();

// Argument count, the NULL-terminated UTF-8 arguments, and the raw command line they came
// from (program path included), which start-up splits again.
struct arg_record {
    int32_t count;
    char** args;
    const char* raw;
};

// Builds the record from main's arguments in the tracked heap and keeps it for the process.
const arg_record& parse_command_line(int argc, const char* const* argv);
// The record, or an empty one before parse_command_line.
const arg_record& command_line_args();

// A new tracked-heap buffer with the current directory (UTF-8, NUL-terminated) and its
// length in bytes (release with heap_free); null with length 0 when it cannot be read.
char* os_get_current_dir(size_t* length);
namespace platform {
bool set_current_dir(const char* path);
}  // namespace platform

// A null value removes the variable. The OS result.
bool os_set_env(const char* name, const char* value);
// The value's length including its terminator, 0 when not set; the value is copied when a
// buffer of at least that size is given.
size_t os_get_env(const char* name, char* buffer, size_t size);

// Milliseconds to sleep for a number of seconds: at least 1, truncated.
uint32_t os_sleep_milliseconds(double seconds);
void os_sleep(double seconds);

// Seconds since midnight UTC; the precise form adds the fraction of the second.
double os_get_time(bool precise);

// The zone bits of a date: sign (0x40), 4 bits of hours, 2 bits of quarter hours.
uint32_t pack_zone(int32_t offset_minutes);
// year << 17 | month << 12 | day << 7 | zone; the zone is 0 in UTC.
uint32_t os_get_date(bool utc);

// Degrees reduced for the function (mode 0 tangent, 1 cosine, 2 sine), in radians.
double normalize_angle(double degrees, int32_t mode);

}  // namespace kel
