#include "runtime/os.h"

#include <cmath>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/process_env.h"
#include "runtime/console.h"
#include "runtime/heap.h"

namespace kel {

namespace {

char* no_args[] = {nullptr};
arg_record recorded_args{0, no_args, ""};

char* heap_copy(const char* text, size_t length) {
    auto* copy = static_cast<char*>(heap_alloc(length + 1));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

void platform_init() { init_console_output(); }

const arg_record& parse_command_line(int argc, const char* const* argv) {
    auto** args = static_cast<char**>(heap_alloc((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    for (int i = 0; i < argc; i++) args[i] = heap_copy(argv[i], std::strlen(argv[i]));
    args[argc] = nullptr;
    std::string raw = join_command_line(argc, argv);
    recorded_args = {argc, args, heap_copy(raw.data(), raw.size())};
    return recorded_args;
}

const arg_record& command_line_args() { return recorded_args; }

char* os_get_current_dir(size_t* length) {
    std::string dir = current_dir();
    *length = dir.size();
    return dir.empty() ? nullptr : heap_copy(dir.data(), dir.size());
}

bool platform::set_current_dir(const char* path) { return change_dir(path); }

bool os_set_env(const char* name, const char* value) { return env_assign(name, value); }

size_t os_get_env(const char* name, char* buffer, size_t size) {
    const char* value = env_lookup(name);
    if (!value) return 0;
    size_t needed = std::strlen(value) + 1;
    if (buffer && size >= needed) std::memcpy(buffer, value, needed);
    return needed;
}

uint32_t os_sleep_milliseconds(double seconds) {
    double ms = seconds * 1000;
    if (!(ms >= 1)) return 1;
    if (ms >= 4294967295.0) return 0xFFFFFFFF;
    return static_cast<uint32_t>(ms);
}

void os_sleep(double seconds) { sleep_milliseconds(os_sleep_milliseconds(seconds)); }

double os_get_time(bool precise) {
    wall_time now = clock_now();
    double t = static_cast<double>(((now.seconds % 86400) + 86400) % 86400);
    if (precise) t += now.nanoseconds / 1e9;
    return t;
}

uint32_t pack_zone(int32_t offset_minutes) {
    uint32_t magnitude = static_cast<uint32_t>(offset_minutes < 0 ? -offset_minutes : offset_minutes);
    uint32_t hours = (magnitude / 60) & 0xF;
    // The sign comes from the offset itself, so -0:30 keeps it.
    if (offset_minutes < 0) hours |= 0x10;
    return hours << 2 | (magnitude % 60) / 15;
}

uint32_t os_get_date(bool utc) {
    civil_date today = calendar_today(utc);
    return static_cast<uint32_t>(today.year) << 17 | static_cast<uint32_t>(today.month) << 12 |
           static_cast<uint32_t>(today.day) << 7 | (utc ? 0 : pack_zone(today.zone_minutes));
}

double normalize_angle(double degrees, int32_t mode) {
    double a = std::fmod(degrees, 360);
    if (a > 180 || a < -180) a += a >= 0 ? -360 : 360;
    if (a > 90 || a < -90) {
        if (mode == 0) a += a >= 0 ? -180 : 180;
        else if (mode == 2) a = a >= 0 ? 180 - a : -180 - a;
    }
    return a * 3.141592653589793 / 180;
}

}  // namespace kel
