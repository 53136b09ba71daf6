#include "datatypes/date.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/locale.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// Division and remainder rounded toward minus infinity: the calendar runs on through year 0.
inline int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
inline int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

inline int64_t year_days(int64_t y) {
    return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
}

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline bool is_letter(uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

const int64_t DAYS_1970 = date::days_of(1970, 1, 1);

int32_t days_in_month(int32_t year, int32_t month) {
    static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && date::leap_year_q(year) ? 29 : days[month - 1];
}

int64_t iso_year_start(int64_t year) {
    int64_t start = date::days_of(year, 1, 1);
    int64_t w0 = floor_mod(start + 2, 7);
    return start - w0 + (w0 >= 4 ? 7 : 0);
}

int32_t iso_week(uint32_t d) {
    int64_t days = date::to_days(d);
    int32_t year = date::year_of(d);
    int64_t start = iso_year_start(year);
    if (days < start) {
        int64_t first = date::year_start_days(d);
        switch (date::weekday(first)) {
            case 5: return 53;
            case 6: return date::leap_year_q(year - 1) ? 53 : 52;
            default: return 52;
        }
    }
    if (days >= iso_year_start(int64_t{year} + 1)) return 1;
    return static_cast<int32_t>((days - start) / 7 + 1);
}

// Weeks run Sunday to Saturday and week 1 holds 1-Jan; s is 0 when 1-Jan is a Sunday.
int32_t week_shift(int64_t year_start) { return static_cast<int32_t>(floor_mod(year_start + 3, 7)); }

void store(cell* date, uint32_t d, double time) {
    date->w1 = d;
    set_cell_float(date, time);
}

void rebuild(cell* date, int64_t days) {
    uint32_t d = date->w1;
    date->w1 = date::from_days(days, date::zone_of(d), date::has_time_q(d));
}

uint32_t zone_of_value(const cell* value) {
    if (TYPE_OF(value) == TYPE_INTEGER) {
        int32_t n = integer::get(value);
        return date::make_zone(n % 16, 0);
    }
    if (TYPE_OF(value) != TYPE_TIME) fire(script_error::invalid_arg, value);
    double z = std::fmod(cell_float(value), 16 * SECONDS_PER_HOUR);
    if (!std::isfinite(z)) fire(script_error::invalid_arg, value);
    return date::make_zone(static_cast<int32_t>(std::trunc(z / SECONDS_PER_HOUR)),
                           static_cast<int32_t>(std::trunc(std::fmod(z, SECONDS_PER_HOUR) / 60)));
}

// --- block specs -----------------------------------------------------------------------

struct block_fields {
    int64_t day, month, year;
    double time;        // local
    bool has_time;
    bool hour_given, minute_given;
    int64_t hour, minute;
    int32_t zone_hours, zone_minutes;
};

// Reads the layouts [d m y], + time [zone], + h [m [s [zone]]]; the zone as hours [minutes]
// or as a time. Another layout raises bad-to-arg.
block_fields read_block(const cell* block) {
    series_buffer* b = node_buffer(series_node(block));
    size_t cells = b->used_bytes() / sizeof(cell);
    size_t head = series_head(block);
    size_t count = head < cells ? cells - head : 0;
    const cell* e = b->cells() + head;
    auto is = [&](size_t i, uint32_t type) { return i < count && TYPE_OF(e + i) == type; };
    if (count < 3 || !is(0, TYPE_INTEGER) || !is(1, TYPE_INTEGER) || !is(2, TYPE_INTEGER))
        raise_bad_to_arg(TYPE_DATE, block);
    block_fields f{integer::get(e), integer::get(e + 1), integer::get(e + 2), 0, count > 3,
                   false, false, 0, 0, 0, 0};
    size_t i = 3;
    bool zone_allowed = false;
    if (is(i, TYPE_TIME)) {
        f.time = cell_float(e + i++);
        zone_allowed = true;
    } else if (is(i, TYPE_INTEGER)) {
        f.hour_given = true;
        f.hour = integer::get(e + i++);
        double second = 0;
        if (is(i, TYPE_INTEGER)) {
            f.minute_given = true;
            f.minute = integer::get(e + i++);
            if (is(i, TYPE_INTEGER) || is(i, TYPE_FLOAT)) {
                second = TYPE_OF(e + i) == TYPE_INTEGER ? integer::get(e + i) : cell_float(e + i);
                i++;
                zone_allowed = true;
            }
        }
        f.time = static_cast<double>(f.hour) * SECONDS_PER_HOUR +
                 static_cast<double>(f.minute) * SECONDS_PER_MINUTE + second;
    }
    if (zone_allowed && is(i, TYPE_TIME)) {
        double z = cell_float(e + i++);
        f.zone_hours = static_cast<int32_t>(std::trunc(z / SECONDS_PER_HOUR));
        f.zone_minutes = static_cast<int32_t>(std::trunc(std::fmod(z, SECONDS_PER_HOUR) / 60));
        if (!std::isfinite(z) || std::fabs(z) >= 16 * SECONDS_PER_HOUR) raise_bad_to_arg(TYPE_DATE, block);
    } else if (zone_allowed && is(i, TYPE_INTEGER)) {
        f.zone_hours = integer::get(e + i++);
        if (is(i, TYPE_INTEGER)) f.zone_minutes = integer::get(e + i++);
        if (f.zone_hours < -15 || f.zone_hours > 15 || f.zone_minutes < -59 || f.zone_minutes > 59)
            raise_bad_to_arg(TYPE_DATE, block);
    }
    if (i != count) raise_bad_to_arg(TYPE_DATE, block);
    if (f.day > 99 && f.day > f.year) std::swap(f.day, f.year);
    return f;
}

// make checks that nothing carried; to lets it carry.
void from_block(cell* proto, const cell* block, bool check) {
    block_fields f = read_block(block);
    if (f.year < date::YEAR_MIN || f.year > date::YEAR_MAX || !std::isfinite(f.time))
        raise_bad_to_arg(TYPE_DATE, block);
    int64_t months = f.month - 1;
    int64_t year = f.year + floor_div(months, 12);
    int32_t month = static_cast<int32_t>(floor_mod(months, 12)) + 1;
    int64_t days = date::days_of(year, month, 0) + f.day;
    double local = f.time;
    double carry = std::floor(local / date::SECONDS_PER_DAY);
    if (std::fabs(carry) > 1e7) raise_bad_to_arg(TYPE_DATE, block);
    days += static_cast<int64_t>(carry);
    local -= carry * date::SECONDS_PER_DAY;
    if (days < date::days_of(date::YEAR_MIN, 3, 1) || days >= date::days_of(date::YEAR_MAX, 12, 1))
        raise_bad_to_arg(TYPE_DATE, block);
    uint32_t d = date::from_days(days, 0, f.has_time);
    if (check && (date::year_of(d) != f.year || date::month_of(d) != f.month ||
                  date::day_of(d) != f.day || (f.hour_given && (f.hour < 0 || f.hour > 23)) ||
                  (f.minute_given && time::minutes(local) != f.minute)))
        raise_bad_to_arg(TYPE_DATE, block);
    *proto = cell{TYPE_DATE, 0, 0, 0};
    uint32_t zone = date::make_zone(f.zone_hours, f.zone_minutes);
    store(proto, d | zone, 0);
    if (f.has_time) date::normalize(proto, local, true);
}

// --- text scanning ---------------------------------------------------------------------

struct text_reader {
    const uint8_t* text;
    size_t length;
    size_t i = 0;

    bool at(uint8_t c) const { return i < length && text[i] == c; }
    bool take(uint8_t c) {
        if (!at(c)) return false;
        i++;
        return true;
    }
    // Up to max digits; the count read (0 when none).
    size_t digits(size_t max, int32_t& value) {
        size_t n = 0;
        value = 0;
        while (n < max && i < length && is_digit(text[i])) {
            value = value * 10 + (text[i++] - '0');
            n++;
        }
        return n;
    }
    size_t digit_run() const {
        size_t n = i;
        while (n < length && is_digit(text[n])) n++;
        return n - i;
    }
};

// [.|, digits]: the fraction of the seconds, added to whole.
bool read_fraction(text_reader& r, double& seconds) {
    if (!r.at('.') && !r.at(',')) return true;
    r.i++;
    double scale = 0.1;
    size_t start = r.i;
    while (r.i < r.length && is_digit(r.text[r.i])) {
        seconds += (r.text[r.i++] - '0') * scale;
        scale /= 10;
    }
    return r.i > start;
}

struct clock_reading {
    double seconds = 0;
    int32_t zone_hours = 0, zone_minutes = 0;
};

// Z, or +h[:mm], +hhmm, -...: quarter hours up to 15:45.
bool read_zone(text_reader& r, clock_reading& c) {
    if (r.take('Z')) return true;
    if (!r.at('+') && !r.at('-')) return true;
    bool west = r.text[r.i++] == '-';
    int32_t h, m = 0;
    size_t n = r.digit_run();
    if (n == 4) {
        r.digits(2, h);
        r.digits(2, m);
    } else {
        if (n < 1 || n > 2) return false;
        r.digits(2, h);
        if (r.take(':') && r.digits(2, m) != 2) return false;
    }
    if (h > 15 || m > 59 || m % 15 != 0) return false;
    c.zone_hours = west ? -h : h;
    c.zone_minutes = west ? -m : m;
    return true;
}

// h:m[:s[.f]] or, compact, hhmm[ss[.f]]; then the zone.
bool read_clock(text_reader& r, clock_reading& c, bool compact) {
    int32_t h, m, s = 0;
    double fraction = 0;
    if (compact) {
        size_t n = r.digit_run();
        if (n != 4 && n != 6) return false;
        r.digits(2, h);
        r.digits(2, m);
        if (n == 6) {
            r.digits(2, s);
            if (!read_fraction(r, fraction)) return false;
        }
    } else {
        if (r.digits(2, h) == 0 || !r.take(':') || r.digits(2, m) == 0) return false;
        if (r.take(':')) {
            if (r.digits(2, s) == 0 || !read_fraction(r, fraction)) return false;
        }
    }
    if (h > 23 || m > 59 || s > 59) return false;
    c.seconds = h * SECONDS_PER_HOUR + m * SECONDS_PER_MINUTE + s + fraction;
    return read_zone(r, c);
}

// A number of up to 4 digits with an optional "-"; digits gives how many were written.
bool read_number(text_reader& r, int32_t& value, size_t& digits) {
    bool negative = r.take('-');
    digits = r.digit_run();
    if (digits < 1 || digits > 4) return false;
    r.digits(4, value);
    if (negative) value = -value;
    return true;
}

// A month as 1-2 digits or as 3 to 9 letters starting one of the month names.
bool read_month(text_reader& r, int32_t& month) {
    if (r.i < r.length && is_digit(r.text[r.i])) {
        size_t n = r.digit_run();
        return n <= 2 && r.digits(2, month) > 0;
    }
    size_t start = r.i;
    while (r.i < r.length && is_letter(r.text[r.i])) r.i++;
    size_t n = r.i - start;
    if (n < 3 || n > 9) return false;
    for (uint32_t m = 1; m <= locale::MONTHS_COUNT; m++) {
        const char* name = locale::month_name(m);
        if (std::strlen(name) < n) continue;
        size_t k = 0;
        while (k < n && (r.text[start + k] | 0x20) == (name[k] | 0x20)) k++;
        if (k == n) {
            month = static_cast<int32_t>(m);
            return true;
        }
    }
    return false;
}

}  // namespace

bool scan_date(const uint8_t* text, size_t length, cell* out) {
    text_reader r{text, length};
    int32_t year, month = 1, day = 1;
    int64_t days = 0;  // for the week and ordinal forms
    bool by_days = false;
    clock_reading c;
    bool has_time = false;

    if (r.digit_run() == 8 && length > 8 && text[8] == 'T') {
        r.digits(4, year);
        r.digits(2, month);
        r.digits(2, day);
        r.i++;
        if (!read_clock(r, c, true)) return false;
        has_time = true;
    } else {
        int32_t first, third;
        size_t first_digits, third_digits;
        if (!read_number(r, first, first_digits)) return false;
        if (!r.at('-') && !r.at('/')) return false;
        uint8_t separator = r.text[r.i++];
        bool iso_year = separator == '-' && first_digits == 4 && first >= 0;
        if (iso_year && r.take('W')) {
            int32_t week, weekday = 1;
            if (r.digit_run() != 2) return false;
            r.digits(2, week);
            if (r.take('-') && r.digits(1, weekday) != 1) return false;
            if (week < 1 || week > 53 || weekday < 1 || weekday > 7) return false;
            year = first;
            days = iso_year_start(year) + 7 * (week - 1) + (weekday - 1);
            by_days = true;
        } else if (iso_year && r.digit_run() == 3) {
            int32_t ordinal;
            r.digits(3, ordinal);
            year = first;
            if (ordinal < 1 || ordinal > (date::leap_year_q(year) ? 366 : 365)) return false;
            days = date::days_of(year, 1, ordinal);
            by_days = true;
        } else {
            if (!read_month(r, month) || !r.take(separator)) return false;
            if (!read_number(r, third, third_digits)) return false;
            size_t year_digits;
            if (third < 0 || third > 31 || first <= 99) {
                day = first;
                year = third;
                year_digits = third_digits;
            } else {
                day = third;
                year = first;
                year_digits = first_digits;
            }
            if (year_digits <= 2 && year >= 0 && year <= 99) year += year > 49 ? 1900 : 2000;
        }
        if (r.at('/') || r.at('T')) {
            r.i++;
            if (!read_clock(r, c, false)) return false;
            has_time = true;
        }
    }
    if (r.i != length) return false;
    if (by_days) {
        uint32_t d = date::from_days(days, 0, false);
        year = date::year_of(d);
        month = date::month_of(d);
        day = date::day_of(d);
    }
    if (year < -9999 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month))
        return false;
    *out = cell{TYPE_DATE, 0, 0, 0};
    date::make_at(out, year, month, day, c.seconds, c.zone_hours, c.zone_minutes, has_time);
    return true;
}

namespace date {

namespace {

const field_name date_fields[] = {
    {"date", FIELD_DATE},       {"year", FIELD_YEAR},         {"month", FIELD_MONTH},
    {"day", FIELD_DAY},         {"zone", FIELD_ZONE},         {"time", FIELD_TIME},
    {"hour", FIELD_HOUR},       {"minute", FIELD_MINUTE},     {"second", FIELD_SECOND},
    {"weekday", FIELD_WEEKDAY}, {"yearday", FIELD_YEARDAY},   {"julian", FIELD_YEARDAY},
    {"timezone", FIELD_TIMEZONE}, {"week", FIELD_WEEK},       {"isoweek", FIELD_ISOWEEK},
};

int32_t need_integer(const cell* value) {
    if (TYPE_OF(value) != TYPE_INTEGER) fire(script_error::invalid_arg, value);
    return integer::get(value);
}

// Slot 0 (a date) plus or minus slot 1.
void do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    uint32_t d = left->w1;
    double t = cell_float(left);
    int64_t days = to_days(d);
    bool has_time = has_time_q(d);
    int64_t sign = op == OP_ADD ? 1 : -1;
    switch (TYPE_OF(right)) {
        case TYPE_INTEGER:
            days += sign * integer::get(right);
            break;
        case TYPE_TIME:
            t += static_cast<double>(sign) * cell_float(right);
            has_time = true;
            break;
        case TYPE_DATE: {
            if (op == OP_ADD) {
                // The action's word joins arg1 once words exist.
                cell type{TYPE_DATATYPE, TYPE_DATE, 0, 0};
                fire(script_error::not_related, nullptr, &type);
            }
            days -= to_days(right->w1);
            t -= cell_float(right);
            // Both times are measured in UTC, so no zone shifts the count.
            days = normalize_zone_time(days, t, 0);
            *left = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(days)), 0};
            return;
        }
        default: {
            cell type{TYPE_DATATYPE, TYPE_OF(right), 0, 0};
            fire(script_error::invalid_type, &type);
        }
    }
    // A date without a time stays at midnight whatever its zone.
    if (has_time) days = normalize_zone_time(days, t, zone_of(d));
    store(left, from_days(days, zone_of(d), has_time), t);
}

}  // namespace

void init() {
    register_datatype(TYPE_DATE, 0, "date!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), 0,
        entry<ACT_ADD>(add), 0, 0, 0, 0, 0, 0, entry<ACT_SUBTRACT>(subtract), 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

uint32_t make_zone(int32_t hours, int32_t minutes) {
    uint32_t h = static_cast<uint32_t>(hours < 0 ? -hours : hours) & 0xF;
    uint32_t q = static_cast<uint32_t>(minutes < 0 ? -minutes : minutes) / 15 & 3;
    if (h == 0 && q == 0) return 0;
    bool west = hours < 0 || (hours == 0 && minutes < 0);
    return (west ? ZONE_WEST : 0) | h << 2 | q;
}

int32_t zone_seconds(uint32_t zone) {
    int32_t s = static_cast<int32_t>((zone >> 2 & 0xF) * 3600 + (zone & 3) * 900);
    return zone & ZONE_WEST ? -s : s;
}

bool leap_year_q(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t days_of(int64_t year, int32_t month, int64_t day) {
    int64_t m = (month + 9) % 12;  // March is 0
    int64_t y = year - (m >= 10);
    return year_days(y) + (306 * m + 5) / 10 + (day - 1);
}

int32_t to_days(uint32_t d) {
    return static_cast<int32_t>(days_of(year_of(d), month_of(d), day_of(d)));
}

uint32_t from_days(int64_t days, uint32_t zone, bool has_time) {
    int64_t y = floor_div(10000 * days + 14780, 3652425);
    int64_t d = days - year_days(y);
    if (d < 0) {
        y--;
        d = days - year_days(y);
    }
    int64_t mi = (100 * d + 52) / 3060;
    int64_t year = y + (mi + 2) / 12;
    if (year < YEAR_MIN || year > YEAR_MAX) fire(math_error::overflow);
    return pack(static_cast<int32_t>(year), static_cast<int32_t>((mi + 2) % 12 + 1),
                static_cast<int32_t>(d - (306 * mi + 5) / 10 + 1), zone, has_time);
}

int32_t year_start_days(uint32_t d) { return static_cast<int32_t>(days_of(year_of(d), 1, 1)); }

int32_t yearday(uint32_t d) { return to_days(d) - year_start_days(d) + 1; }

int32_t weekday(int64_t days) { return static_cast<int32_t>(floor_mod(days + 2, 7)) + 1; }

int64_t normalize_zone_time(int64_t days, double& time, uint32_t zone) {
    double k = std::floor((time + zone_seconds(zone)) / SECONDS_PER_DAY);
    if (!(std::fabs(k) < 1e8)) fire(math_error::overflow);
    time -= k * SECONDS_PER_DAY;
    return days + static_cast<int64_t>(k);
}

void normalize(cell* date, double time, bool to_utc) {
    uint32_t d = date->w1;
    if (to_utc) time -= zone_seconds(zone_of(d));
    int64_t days = normalize_zone_time(to_days(d), time, zone_of(d));
    store(date, from_days(days, zone_of(d), has_time_q(d)), time);
}

void set_month(cell* date, int32_t month) {
    uint32_t d = date->w1;
    int64_t months = int64_t{month} - 1;
    int64_t year = year_of(d) + floor_div(months, 12);
    rebuild(date, days_of(year, static_cast<int32_t>(floor_mod(months, 12)) + 1, day_of(d)));
}

void set_week(cell* date, int32_t week) {
    rebuild(date, iso_year_start(year_of(date->w1)) + 7 * (int64_t{week} - 1));
}

void set_weekday(cell* date, int32_t n) {
    int64_t days = to_days(date->w1);
    rebuild(date, days - (weekday(days) - 1) + (int64_t{n} - 1));
}

void set_yearday(cell* date, int32_t n) {
    rebuild(date, year_start_days(date->w1) + (int64_t{n} - 1));
}

cell* make_at(cell* c, int32_t year, int32_t month, int32_t day, double local_time,
              int32_t zone_hours, int32_t zone_minutes, bool has_time) {
    set_type(c, TYPE_DATE);
    uint32_t zone = make_zone(zone_hours, zone_minutes);
    store(c, pack(year, month, day, zone, has_time), has_time ? local_time - zone_seconds(zone) : 0);
    return c;
}

cell* make_at_fields(cell* c, int32_t year, int32_t month, int32_t day, int32_t hour,
                     int32_t minute, int32_t second, int32_t nanoseconds) {
    c->header = TYPE_DATE;
    store(c, pack(year, month, day, 0, true),
          hour * SECONDS_PER_HOUR + minute * SECONDS_PER_MINUTE + second + nanoseconds * 1e-9);
    return c;
}

cell* make_in(const cell* block, uint32_t d, double time) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_DATE, d, 0, 0};
    set_cell_float(c, time);
    return c;
}

cell* push(uint32_t d, double time) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_DATE, d, 0, 0};
    set_cell_float(c, time);
    return c;
}

void difference(cell* date, const cell* other) {
    double seconds = double(int64_t{to_days(date->w1)} - to_days(other->w1)) * SECONDS_PER_DAY +
                     (cell_float(date) - cell_float(other));
    *date = cell{TYPE_TIME, 0, 0, 0};
    set_cell_float(date, seconds);
}

int32_t field_index(const cell* word) {
    return lookup_field(word, date_fields, std::size(date_fields));
}

cell* get_field(const cell* date, int32_t field) {
    uint32_t d = date->w1;
    double u = has_time_q(d) ? cell_float(date) + zone_seconds(zone_of(d)) : 0;
    switch (field) {
        case FIELD_DATE: return push(pack(year_of(d), month_of(d), day_of(d), 0, false), 0);
        case FIELD_YEAR: return integer::push(year_of(d));
        case FIELD_MONTH: return integer::push(month_of(d));
        case FIELD_DAY: return integer::push(day_of(d));
        case FIELD_ZONE:
        case FIELD_TIMEZONE:
            if (!has_time_q(d)) return stack::push(&none_value);
            return time::push(zone_seconds(zone_of(d)));
        case FIELD_TIME:
            if (!has_time_q(d)) return stack::push(&none_value);
            return time::push(u);
        case FIELD_HOUR: return integer::push(time::hours(u));
        case FIELD_MINUTE: return integer::push(time::minutes(u));
        case FIELD_SECOND: return float_::push(time::seconds_of(u));
        case FIELD_WEEKDAY: return integer::push(weekday(to_days(d)));
        case FIELD_YEARDAY: return integer::push(yearday(d));
        case FIELD_WEEK: {
            int32_t s = week_shift(year_start_days(d));
            int32_t yd = yearday(d);
            return integer::push(yd <= 7 - s ? 1 : (yd + s - 1) / 7 + 1);
        }
        default: return integer::push(iso_week(d));
    }
}

void set_field(cell* date, int32_t field, const cell* value) {
    uint32_t d = date->w1;
    double t = cell_float(date);
    uint32_t zone = zone_of(d);
    int32_t z = zone_seconds(zone);
    switch (field) {
        case FIELD_DATE: {
            if (TYPE_OF(value) != TYPE_DATE) fire(script_error::invalid_arg, value);
            uint32_t other = value->w1;
            bool timed = has_time_q(other);
            store(date, pack(year_of(other), month_of(other), day_of(other), zone, timed),
                  timed ? t : 0);
            return;
        }
        case FIELD_YEAR:
            rebuild(date, days_of(need_integer(value), month_of(d), day_of(d)));
            return;
        case FIELD_MONTH:
            set_month(date, need_integer(value));
            return;
        case FIELD_DAY:
            rebuild(date, days_of(year_of(d), month_of(d), 0) + need_integer(value));
            return;
        case FIELD_ZONE: {
            uint32_t to_zone = zone_of_value(value);
            date->w1 = (d & ~ZONE_MASK) | to_zone;
            if (has_time_q(d)) normalize(date, t + z, true);
            return;
        }
        case FIELD_TIMEZONE:
            date->w1 = (d & ~ZONE_MASK) | zone_of_value(value);
            if (has_time_q(d)) normalize(date, t, false);
            return;
        case FIELD_TIME:
            if (TYPE_OF(value) == TYPE_NONE) {
                store(date, d & ~HAS_TIME, 0);
                return;
            }
            if (TYPE_OF(value) != TYPE_TIME) fire(script_error::invalid_arg, value);
            date->w1 = d | HAS_TIME;
            normalize(date, cell_float(value), true);
            return;
        case FIELD_HOUR:
        case FIELD_MINUTE:
        case FIELD_SECOND: {
            // Fields of the local time of day: the stored time is offset by the zone.
            double u = has_time_q(d) ? t + z : 0;
            double local = time::set_field(u, field - FIELD_HOUR + time::FIELD_HOUR, value);
            date->w1 = d | HAS_TIME;
            normalize(date, local, true);
            return;
        }
        case FIELD_WEEKDAY:
            set_weekday(date, need_integer(value));
            return;
        case FIELD_YEARDAY:
            set_yearday(date, need_integer(value));
            return;
        case FIELD_WEEK: {
            int32_t n = need_integer(value);
            int64_t start = year_start_days(d);
            rebuild(date, n <= 1 ? start : start + 7 * (int64_t{n} - 1) - week_shift(start));
            return;
        }
        default:
            set_week(date, need_integer(value));
            return;
    }
}

const cell* make(cell* proto, cell* spec, uint32_t) {
    switch (TYPE_OF(spec)) {
        case TYPE_DATE:
            return spec;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            from_block(proto, spec, true);
            return proto;
        default:
            raise_bad_to_arg(TYPE_DATE, spec);
    }
}

const cell* to(cell* proto, cell* spec, uint32_t) {
    switch (TYPE_OF(spec)) {
        case TYPE_DATE:
            return spec;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            from_block(proto, spec, false);
            return proto;
        case TYPE_INTEGER: {
            int64_t n = integer::get(spec);
            uint32_t d = from_days(DAYS_1970 + floor_div(n, 86400), 0, true);
            *proto = cell{TYPE_DATE, 0, 0, 0};
            store(proto, d, static_cast<double>(floor_mod(n, 86400)));
            return proto;
        }
        default:
            raise_bad_to_arg(TYPE_DATE, spec);
    }
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    uint32_t d = value->w1;
    double t = cell_float(value);
    if (seed) {
        random_seed(d + static_cast<uint32_t>(static_cast<int64_t>(t)));
        return &unset_value;
    }
    int32_t days = random_int(secure, to_days(d)) - 1;
    if (!has_time_q(d)) {
        store(value, from_days(days, zone_of(d), false), 0);
        return value;
    }
    uint32_t zone = random_next() & ZONE_MASK;
    double local = (random_int(secure, 3601) - 1) * 24.0;
    store(value, from_days(days, zone, true), 0);
    normalize(value, local, true);
    return value;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    uint32_t d = value->w1;
    int32_t z = zone_seconds(zone_of(d));
    double u = cell_float(value) + z;
    // Seconds that write as 60 carry into the next minute, and at the day's end into the next day.
    if (has_time_q(d) && std::isfinite(u)) {
        u = time::carry_seconds(u);
        if (u >= SECONDS_PER_DAY && year_of(d) == 9999 && month_of(d) == 12 && day_of(d) == 31) {
            u = SECONDS_PER_DAY - 1e-4;  // the last day a date literal reaches keeps its day
        } else if (u >= SECONDS_PER_DAY) {
            d = from_days(to_days(d) + 1, zone_of(d), true);
            u -= SECONDS_PER_DAY;
        }
    }
    int32_t year = year_of(d);
    const char* name = locale::month_name(static_cast<uint32_t>(month_of(d)));
    if (!name) fire(script_error::invalid_months);
    char separator = year < 0 ? '/' : '-';
    char text[48];
    const char* format = year < 0 ? "%d%c%.3s%c-%d" : year <= 99 ? "%d%c%.3s%c%04d" : "%d%c%.3s%c%d";
    std::snprintf(text, sizeof text, format, day_of(d), separator, name, separator,
                  year < 0 ? -year : year);
    part = string::form_text(buffer, text, part);
    if (!has_time_q(d)) return part;
    part = string::form_text(buffer, "/", part);
    part = time::form_text(u, buffer, part);
    // A zone only means something with a time; alone it would not read back.
    if (zone_of(d) == 0) return part;
    int32_t a = z < 0 ? -z : z;
    std::snprintf(text, sizeof text, "%c%02d:%02d", z < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
    return string::form_text(buffer, text, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    uint32_t type = TYPE_OF(element);
    int32_t field = -1;
    if (type == TYPE_INTEGER) {
        int32_t n = integer::get(element);
        if (n >= FIELD_DATE && n <= FIELD_ISOWEEK) field = n;
    } else if (any_word_q(type)) {
        field = field_index(element);
    }
    if (field < 0) fire(script_error::invalid_path, path, element);
    if (!value) return get_field(parent, field);
    cell* old = evt_q ? stack::push(parent) : nullptr;
    set_field(parent, field, value);
    if (old) notify_owner(prev_value, prev_element, old, parent);
    return value;
}

// Dates order by the moment they name: the day number and stored time together, so the
// same moment written in two zones is equal.
int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_DATE) return INCOMPARABLE;
    uint32_t a = value1->w1, b = value2->w1;
    double t1 = cell_float(value1), t2 = cell_float(value2);
    if (op == COMP_SAME) {
        uint64_t x, y;
        std::memcpy(&x, &t1, sizeof x);
        std::memcpy(&y, &t2, sizeof y);
        return (a >> 7) == (b >> 7) && x == y ? 0 : 1;
    }
    int64_t day_difference = int64_t{to_days(a)} - to_days(b);
    bool equal;
    int32_t order;
    if (day_difference == 0) {
        equal = float_almost_equal(t1, t2);
        order = (t1 > t2) - (t1 < t2);
    } else {
        double moment = double(day_difference) * SECONDS_PER_DAY + (t1 - t2);
        equal = moment == 0;
        order = (moment > 0) - (moment < 0);
    }
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_FIND:
            return equal ? 0 : 1;
        default:
            return equal ? 0 : order;
    }
}

const cell* pick(cell* series, int32_t index, cell* index_cell) {
    int32_t field = index;
    if (index_cell && any_word_q(TYPE_OF(index_cell))) field = field_index(index_cell);
    if (field < FIELD_DATE || field > FIELD_ISOWEEK) {
        cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
        fire(script_error::out_of_range, index_cell ? index_cell : &n);
    }
    return get_field(series, field);
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }

}  // namespace date

namespace integer {

int32_t from_date(const cell* value) {
    double seconds = double(date::to_days(value->w1) - DAYS_1970) * date::SECONDS_PER_DAY +
                     std::trunc(cell_float(value) + 0.5);
    if (!(seconds <= 2147483647.0 && seconds >= -2147483648.0)) {
        cell t{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
        fire(script_error::type_limit, &t);
    }
    return static_cast<int32_t>(seconds);
}

}  // namespace integer
}  // namespace kel
