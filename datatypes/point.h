// point2D! and point3D!: coordinates as single-precision floats, x in w1, y in w2 and (for
// point3D!) z in w3, written (1.5, 2) and (1, 2, 3). Components are computed in double
// precision and rounded once when stored.
#pragma once
#include <cstdint>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

// Component i (0 x, 1 y, 2 z) of a point cell.
inline float point_component(const cell* c, uint32_t i) {
    float f;
    std::memcpy(&f, &c->w1 + i, sizeof f);
    return f;
}
inline void set_point_component(cell* c, uint32_t i, double d) {
    float f = static_cast<float>(d);
    std::memcpy(&c->w1 + i, &f, sizeof f);
}

// Slot 0 (a point) op slot 1 into slot 0, with the operation codes 0-4 of integer.h; the
// bitwise codes raise script cannot-use. A zero divisor gives infinities or NaN.
void point2D_do_math(int32_t op);
void point3D_do_math(int32_t op);

namespace point2D {

void init();

// Sets the type (keeping the header's flag bits) and both components.
inline cell* set(cell* c, double x, double y) {
    set_type(c, TYPE_POINT2D);
    set_point_component(c, 0, x);
    set_point_component(c, 1, y);
    c->w3 = 0;
    return c;
}
inline cell* push(double x, double y) {
    cell* c = stack::push_cell();
    c->header = TYPE_POINT2D;
    return set(c, x, y);
}
// Appends at the block's tail.
cell* make_in(const cell* block, double x, double y);

// make and to alike.
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// value: the value to set, null for a read. Returns the component read or the value set.
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* negate(cell* value);
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
const cell* pick(cell* value, int32_t index, cell* index_cell);
const cell* reverse(cell* value, cell* part, cell* skip);
// Frame actions: slot 0 and slot 1 of the current frame, the result in slot 0.
void absolute();
void add();
void subtract();
void multiply();
void divide();
void remainder();

}  // namespace point2D

namespace point3D {

void init();

// Sets the type (keeping the header's flag bits) and the three components.
inline cell* make_at(cell* c, double x, double y, double z) {
    set_type(c, TYPE_POINT3D);
    set_point_component(c, 0, x);
    set_point_component(c, 1, y);
    set_point_component(c, 2, z);
    return c;
}
inline cell* push(double x, double y, double z) {
    cell* c = stack::push_cell();
    c->header = TYPE_POINT3D;
    return make_at(c, x, y, z);
}
// Appends at the block's tail.
cell* make_in(const cell* block, double x, double y, double z);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* negate(cell* value);
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
const cell* pick(cell* value, int32_t index, cell* index_cell);
const cell* reverse(cell* value, cell* part, cell* skip);
void absolute();
void add();
void subtract();
void multiply();
void divide();
void remainder();

}  // namespace point3D
}  // namespace kel
