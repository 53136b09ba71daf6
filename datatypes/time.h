// time!: a duration or a time of day, seconds in a double (w2-w3), written h:mm:ss. It is a
// float! underneath and reuses the float arithmetic; a date's time of day is a time too.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

constexpr double SECONDS_PER_HOUR = 3600;
constexpr double SECONDS_PER_MINUTE = 60;

struct field_name {
    const char* name;
    int32_t index;
};

// The index of the field a word's symbol names (letter case ignored), or -1.
int32_t lookup_field(const cell* word, const field_name* fields, size_t count);


// After a tracked path set of a field: an object owner's field-change notification runs
// with the old and the new value.
void notify_owner(cell* owner, cell* word, cell* old_value, cell* new_value);

// Time literal text on ASCII bytes: [+|-]h:m, h:m:s, h:m:s.f or m:s.f, the whole numbers with
// "'" separators, "." or "," as the decimal mark. False when the text is not time text.
bool scan_time(const uint8_t* text, size_t length, double* seconds);

namespace time {

enum field : int32_t { FIELD_HOUR = 1, FIELD_MINUTE = 2, FIELD_SECOND = 3 };

void init();

inline double get(const cell* c) { return cell_float(c); }
// Keeps the header's flag bits.
inline cell* make_at(cell* c, double seconds) {
    set_type(c, TYPE_TIME);
    set_cell_float(c, seconds);
    return c;
}
inline cell* push(double seconds) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_TIME, 0, 0, 0};
    set_cell_float(c, seconds);
    return c;
}
// Appends at the block's tail.
cell* make_in(const cell* block, double seconds);

// The fields read from a time: hours truncated toward zero (signed), minutes within the hour
// (never negative), seconds within the minute (signed). Hours beyond the 32-bit range raise
// script type-limit.
int32_t hours(double seconds);
int32_t minutes(double seconds);
double seconds_of(double seconds);

// The time with one field replaced, the exact inverse of reading it: the hour carries the
// sign of the whole time (an hour of 0 keeps it), the minute is a magnitude, the second is
// taken in the sign of the time; values beyond a field's range carry into the others.
// A value of the wrong type raises script invalid-arg.
double set_field(double seconds, int32_t field, const cell* value);

// 1..3 for hour, minute, second; any other word gives -1, or raises script cannot-use when
// the parent (path or time) is a time!.
int32_t field_index(const cell* word, const cell* parent);
// Pushes the field's value.
cell* get_field(double seconds, int32_t field);

// Seconds whose text would show 60 seconds (six significant digits) carried into the next
// minute; seconds >= 0.
double carry_seconds(double seconds);
// Writes h:mm:ss[.fraction] and returns the budget less the characters written.
int32_t form_text(double seconds, cell* buffer, int32_t part);

const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
bool even_q(cell* value);
bool odd_q(cell* value);
const cell* pick(cell* series, int32_t index, cell* index_cell);
// Frame actions: slot 0 and slot 1 of the current frame, the result in slot 0.
void add();
void subtract();
void multiply();
void divide();

}  // namespace time
}  // namespace kel
