#include "datatypes/time.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/transcode.h"
#include "runtime/error_catalog.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel {

namespace {

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// A whole number of digits with single "'" separators between them, at most 2147483647.
bool scan_whole(const uint8_t* text, size_t length, size_t& i, int64_t& value) {
    if (i >= length || !is_digit(text[i])) return false;
    value = 0;
    while (i < length) {
        if (is_digit(text[i])) {
            value = value * 10 + (text[i++] - '0');
            if (value > INT32_MAX) return false;
        } else if (text[i] == '\'' && i + 1 < length && is_digit(text[i + 1])) {
            i++;
        } else {
            break;
        }
    }
    return true;
}

// Seconds: a whole number, then an optional "." or "," and fraction digits, to the end.
bool scan_seconds(const uint8_t* text, size_t length, size_t i, double& seconds) {
    int64_t whole;
    if (!scan_whole(text, length, i, whole)) return false;
    std::string digits = std::to_string(whole);
    if (i < length && (text[i] == '.' || text[i] == ',')) {
        digits += '.';
        for (i++; i < length && is_digit(text[i]); i++) digits += static_cast<char>(text[i]);
    }
    if (i != length || digits.size() > FLOAT_TEXT_MAX) return false;
    std::ptrdiff_t unread;
    seconds = parse_float_text(digits.data(), digits.data() + digits.size(), 0, unread);
    return unread == 0;
}

[[noreturn]] void raise_not_related(uint32_t type) {
    // The action's word joins arg1 once words exist.
    cell t{TYPE_DATATYPE, type, 0, 0};
    fire(script_error::not_related, nullptr, &t);
}

// [hours minutes seconds]; only the hours carry a sign, which the whole time takes.
double from_block(const cell* block) {
    series_buffer* b = node_buffer(series_node(block));
    size_t cells = b->used_bytes() / sizeof(cell);
    size_t head = series_head(block);
    size_t count = head < cells ? cells - head : 0;
    if (count > 3) raise_bad_to_arg(TYPE_TIME, block);
    const cell* c = b->cells() + head;
    double parts[3] = {0, 0, 0};
    bool negative = false;
    for (size_t i = 0; i < count; i++) {
        uint32_t type = TYPE_OF(c + i);
        double v;
        if (type == TYPE_INTEGER) v = integer::get(c + i);
        else if (type == TYPE_FLOAT && i == 2) v = cell_float(c + i);
        else raise_bad_to_arg(TYPE_TIME, block);
        if (v < 0) {
            if (i > 0) raise_bad_to_arg(TYPE_TIME, block);
            negative = true;
            v = -v;
        }
        parts[i] = v;
    }
    double seconds = parts[0] * SECONDS_PER_HOUR + parts[1] * SECONDS_PER_MINUTE + parts[2];
    return negative ? -seconds : seconds;
}

const field_name time_fields[] = {
    {"hour", time::FIELD_HOUR}, {"minute", time::FIELD_MINUTE}, {"second", time::FIELD_SECOND}};

}  // namespace

int32_t lookup_field(const cell* word, const field_name* fields, size_t count) {
    size_t length;
    const uint8_t* name = symbol::name_bytes(symbol::resolve(word->w2), &length);
    for (size_t f = 0; f < count; f++) {
        const char* candidate = fields[f].name;
        size_t i = 0;
        while (i < length && candidate[i] && lower(static_cast<char>(name[i])) == candidate[i]) i++;
        if (i == length && !candidate[i]) return fields[f].index;
    }
    return -1;
}

// Owners that are series hear of changes through the ownership table, which has no
// set-path action yet. The new value may lie in the owner's own fields, which the
// handler's run may move: the handler gets a copy.
void notify_owner(cell* owner, cell* word, cell* old_value, cell* new_value) {
    if (owner && TYPE_OF(owner) == TYPE_OBJECT && _context::fire_on_set)
        _context::fire_on_set(owner, word, old_value, stack::push(new_value));
}

bool scan_time(const uint8_t* text, size_t length, double* seconds) {
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t first, second;
    if (!scan_whole(text, length, i, first)) return false;
    if (i >= length || text[i++] != ':') return false;
    size_t second_start = i;
    if (!scan_whole(text, length, i, second)) return false;
    double h = static_cast<double>(first), m = static_cast<double>(second), s = 0;
    if (i < length && (text[i] == '.' || text[i] == ',')) {
        // m:s.f
        h = 0;
        m = static_cast<double>(first);
        if (!scan_seconds(text, length, second_start, s)) return false;
    } else if (i < length && text[i] == ':') {
        if (!scan_seconds(text, length, i + 1, s)) return false;
    } else if (i != length) {
        return false;
    }
    double value = h * SECONDS_PER_HOUR + m * SECONDS_PER_MINUTE + s;
    *seconds = negative ? 0 - value : value;
    return true;
}

namespace time {

void init() {
    register_datatype(TYPE_TIME, TYPE_FLOAT, "time!", {
        entry<ACT_MAKE>(make), INHERIT, 0, entry<ACT_TO>(make),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        INHERIT, INHERIT,
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        INHERIT, 0, INHERIT,
        entry<ACT_ROUND>(round), entry<ACT_SUBTRACT>(subtract), entry<ACT_EVEN_Q>(even_q),
        entry<ACT_ODD_Q>(odd_q),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, double seconds) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_TIME, 0, 0, 0};
    set_cell_float(c, seconds);
    return c;
}

int32_t hours(double seconds) {
    double h = std::trunc(seconds / SECONDS_PER_HOUR);
    if (!(h <= 2147483647.0 && h >= -2147483648.0)) {
        cell t{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
        fire(script_error::type_limit, &t);
    }
    return static_cast<int32_t>(h);
}

int32_t minutes(double seconds) {
    return static_cast<int32_t>(
        std::floor(std::fmod(std::fabs(seconds), SECONDS_PER_HOUR) / SECONDS_PER_MINUTE));
}

double seconds_of(double seconds) { return std::fmod(seconds, SECONDS_PER_MINUTE); }

double set_field(double seconds, int32_t field, const cell* value) {
    double sign = seconds < 0 ? -1 : 1;
    double a = std::fabs(seconds);
    double h = std::trunc(a / SECONDS_PER_HOUR);
    double m = std::floor(std::fmod(a, SECONDS_PER_HOUR) / SECONDS_PER_MINUTE);
    double s = std::fmod(a, SECONDS_PER_MINUTE);
    uint32_t type = TYPE_OF(value);
    if (type != TYPE_INTEGER && !(field == FIELD_SECOND && type == TYPE_FLOAT))
        fire(script_error::invalid_arg, value);
    double v = type == TYPE_INTEGER ? integer::get(value) : cell_float(value);
    switch (field) {
        case FIELD_HOUR:
            if (v != 0) sign = v < 0 ? -1 : 1;
            h = std::fabs(v);
            break;
        case FIELD_MINUTE:
            m = v;
            break;
        default:
            s = sign * v;
            break;
    }
    return sign * (h * SECONDS_PER_HOUR + m * SECONDS_PER_MINUTE + s);
}

int32_t field_index(const cell* word, const cell* parent) {
    int32_t field = lookup_field(word, time_fields, std::size(time_fields));
    if (field < 0 && parent && TYPE_OF(parent) == TYPE_TIME)
        fire(script_error::cannot_use, word, parent);
    return field;
}

cell* get_field(double seconds, int32_t field) {
    switch (field) {
        case FIELD_HOUR: return integer::push(hours(seconds));
        case FIELD_MINUTE: return integer::push(minutes(seconds));
        default: return float_::push(seconds_of(seconds));
    }
}

double carry_seconds(double seconds) {
    double s = std::fmod(seconds, SECONDS_PER_MINUTE);
    if (s < 1e-6 || std::strcmp(float_::form_float(s, FORM_TIME), "60") != 0) return seconds;
    return seconds - s + SECONDS_PER_MINUTE;
}

int32_t form_text(double seconds, cell* buffer, int32_t part) {
    if (!std::isfinite(seconds))
        return string::form_text(buffer, float_::form_float(seconds, FORM_TIME), part);
    char text[400];
    int n = 0;
    double t = carry_seconds(std::fabs(seconds));
    double s = std::fmod(t, SECONDS_PER_MINUTE);
    const char* second_text = s < 1e-6 ? "00" : float_::form_float(s, FORM_TIME);
    // A time that writes as zero has no sign: "-0:00:00" would read back as zero anyway.
    if (seconds < 0 && (t >= SECONDS_PER_MINUTE || s >= 1e-6)) text[n++] = '-';
    n += std::snprintf(text + n, sizeof text - n, "%.0f:%02d:",
                       std::floor(t / SECONDS_PER_HOUR), minutes(t));
    if (second_text[1] == '\0' || second_text[1] == '.') text[n++] = '0';
    std::snprintf(text + n, sizeof text - n, "%s", second_text);
    return string::form_text(buffer, text, part);
}

const cell* make(cell* proto, cell* spec, uint32_t) {
    double seconds;
    switch (TYPE_OF(spec)) {
        case TYPE_TIME:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            seconds = cell_float(spec);
            break;
        case TYPE_INTEGER:
            seconds = integer::get(spec);
            break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            seconds = from_block(spec);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            return load_first_value(spec, {TYPE_TIME}, TYPE_TIME);
        default:
            raise_bad_to_arg(TYPE_TIME, spec);
    }
    *proto = cell{TYPE_TIME, 0, 0, 0};
    set_cell_float(proto, seconds);
    return proto;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return form_text(get(value), buffer, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return form_text(get(value), buffer, part);
}

// Reading pushes the field; setting changes the time in place and answers the value set.
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    uint32_t type = TYPE_OF(element);
    int32_t field = -1;
    if (type == TYPE_INTEGER) {
        int32_t n = integer::get(element);
        if (n >= FIELD_HOUR && n <= FIELD_SECOND) field = n;
    } else if (any_word_q(type)) {
        field = field_index(element, path);
    }
    if (field < 0) fire(script_error::invalid_path, path, element);
    if (!value) return get_field(get(parent), field);
    cell* old = evt_q ? stack::push(parent) : nullptr;
    set_cell_float(parent, set_field(get(parent), field, value));
    if (old) notify_owner(prev_value, prev_element, old, parent);
    return value;
}

const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    if (refinement_q(scale) && TYPE_OF(scale) == TYPE_MONEY)
        raise_not_related(TYPE_MONEY);
    float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
    double seconds = TYPE_OF(value) == TYPE_INTEGER ? integer::get(value) : cell_float(value);
    *value = cell{TYPE_TIME, 0, 0, 0};
    set_cell_float(value, seconds);
    return value;
}

// The parity of the whole seconds within the minute; the nudge keeps 2.9999999 at 3.
bool even_q(cell* value) {
    double t = get(value);
    double x = t >= 0 ? t + 1e-6 : t - 1e-6;
    return static_cast<int64_t>(std::fmod(x, SECONDS_PER_MINUTE)) % 2 == 0;
}

bool odd_q(cell* value) { return !even_q(value); }

const cell* pick(cell* series, int32_t index, cell* index_cell) {
    int32_t field = index;
    if (index_cell && any_word_q(TYPE_OF(index_cell))) field = field_index(index_cell, series);
    if (field < FIELD_HOUR || field > FIELD_SECOND) {
        cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
        fire(script_error::out_of_range, index_cell ? index_cell : &n);
    }
    return get_field(get(series), field);
}

void add() {
    cell* left = stack::arguments;
    cell* right = left + 1;
    if (TYPE_OF(right) == TYPE_DATE) {
        cell seconds = *left;
        *left = *right;
        *right = cell{TYPE_TIME, 0, seconds.w2, seconds.w3};
        date::add();
        return;
    }
    float_::do_math(OP_ADD);
}

void subtract() {
    if (TYPE_OF(stack::arguments + 1) == TYPE_DATE) raise_not_related(TYPE_TIME);
    float_::do_math(OP_SUBTRACT);
}

void multiply() {
    if (TYPE_OF(stack::arguments + 1) == TYPE_TIME) raise_not_related(TYPE_TIME);
    float_::do_math(OP_MULTIPLY);
}

void divide() {
    bool by_time = TYPE_OF(stack::arguments + 1) == TYPE_TIME;
    float_::do_math(OP_DIVIDE);
    if (by_time) stack::arguments->header = TYPE_FLOAT;
}

}  // namespace time
}  // namespace kel
