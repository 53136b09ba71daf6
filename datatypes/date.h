// date!: a proleptic Gregorian date with an optional time of day and zone, written
// 9-Dec-2026 or 9-Dec-2026/7:12:26+01:00. w1 packs the fields; w2-w3 hold the stored time,
// the local time of day less the zone offset, so local time = stored time + zone offset.
// Calendar arithmetic goes through a day number (day 0 is 1-Mar of year 0).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Date literal text on ASCII bytes: d-m-y or y-m-d with "-" or "/" (the month as a number or
// a name), yyyymmddThhmm[ss[.f]], yyyy-Www[-d] and yyyy-ddd, then an optional time after "/"
// or "T" and a zone (Z, +h[:mm], -hhmm). False when the text is not a valid date.
bool scan_date(const uint8_t* text, size_t length, cell* out);

namespace date {

// The packed date word: year in bits 17-31 (signed), has-time 16, month 12-15, day 7-11,
// zone 0-6 (bit 6 west of UTC, 4 bits of hours, 2 bits of quarter hours).
constexpr uint32_t HAS_TIME = 1u << 16;
constexpr uint32_t ZONE_MASK = 0x7F;
constexpr uint32_t ZONE_WEST = 0x40;
constexpr double SECONDS_PER_DAY = 86400;
constexpr int32_t YEAR_MIN = -16384;
constexpr int32_t YEAR_MAX = 16383;

enum field : int32_t {
    FIELD_DATE = 1,
    FIELD_YEAR,
    FIELD_MONTH,
    FIELD_DAY,
    FIELD_ZONE,
    FIELD_TIME,
    FIELD_HOUR,
    FIELD_MINUTE,
    FIELD_SECOND,
    FIELD_WEEKDAY,
    FIELD_YEARDAY,  // also julian
    FIELD_TIMEZONE,
    FIELD_WEEK,
    FIELD_ISOWEEK,
};

void init();

inline int32_t year_of(uint32_t d) { return static_cast<int32_t>(d) >> 17; }
inline int32_t month_of(uint32_t d) { return static_cast<int32_t>((d >> 12) & 0xF); }
inline int32_t day_of(uint32_t d) { return static_cast<int32_t>((d >> 7) & 0x1F); }
inline uint32_t zone_of(uint32_t d) { return d & ZONE_MASK; }
inline bool has_time_q(uint32_t d) { return (d & HAS_TIME) != 0; }

inline uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone, bool has_time) {
    return static_cast<uint32_t>(year) << 17 | (has_time ? HAS_TIME : 0) |
           static_cast<uint32_t>(month) << 12 | static_cast<uint32_t>(day) << 7 | zone;
}

// Zone bits from signed hours and minutes (minutes div 15 as quarters); the sign is the
// hours', or the minutes' when the hours are 0, so -0:30 keeps it.
uint32_t make_zone(int32_t hours, int32_t minutes);
// The zone's offset from UTC in seconds.
int32_t zone_seconds(uint32_t zone);

bool leap_year_q(int32_t year);
// The day number of a day of a month (1..12); days outside the month carry over.
int64_t days_of(int64_t year, int32_t month, int64_t day);
int32_t to_days(uint32_t d);
// The packed word of a day number; a year outside YEAR_MIN..YEAR_MAX raises math overflow.
uint32_t from_days(int64_t days, uint32_t zone, bool has_time);
int32_t year_start_days(uint32_t d);
int32_t yearday(uint32_t d);
// 1 Monday .. 7 Sunday.
int32_t weekday(int64_t days);

// Carries whole days out of the time so that 0 <= time + zone offset < 86400.
int64_t normalize_zone_time(int64_t days, double& time, uint32_t zone);
// Stores the time (a local time of day when to_utc is set) and carries it into the date.
void normalize(cell* date, double time, bool to_utc);
// Months outside 1..12 carry into the year; the day carries into the next month.
void set_month(cell* date, int32_t month);
// To the Monday of ISO week n, to weekday n of its Monday-based week, to day n of its year.
void set_week(cell* date, int32_t week);
void set_weekday(cell* date, int32_t weekday);
void set_yearday(cell* date, int32_t yearday);

// Keeps the header's flag bits. With a time, stores the local time less the zone offset.
cell* make_at(cell* c, int32_t year, int32_t month, int32_t day, double local_time,
              int32_t zone_hours, int32_t zone_minutes, bool has_time);
// A date with a time of day and no zone.
cell* make_at_fields(cell* c, int32_t year, int32_t month, int32_t day, int32_t hour,
                     int32_t minute, int32_t second, int32_t nanoseconds);
cell* make_in(const cell* block, uint32_t d, double time);
cell* push(uint32_t d, double time);

// Turns the date into the time! from the other date to it.
void difference(cell* date, const cell* other);

// The field a word names, or -1.
int32_t field_index(const cell* word);
// Pushes the field's value.
cell* get_field(const cell* date, int32_t field);
// Sets a field in place; a value of the wrong type raises script invalid-arg.
void set_field(cell* date, int32_t field, const cell* value);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* pick(cell* series, int32_t index, cell* index_cell);
// Frame actions: the date in slot 0, days, a time or (subtract) a date in slot 1.
void add();
void subtract();

}  // namespace date

namespace integer {

// Seconds since 1-Jan-1970 (the zone not applied); beyond the 32-bit range raises script
// type-limit.
int32_t from_date(const cell* value);

}  // namespace integer
}  // namespace kel
