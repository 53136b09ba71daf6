// pair!: two signed 32-bit integers, x in w2 and y in w3, written 3x4. Its arithmetic moves
// to point2D! whenever a component result is not a 32-bit integer, so it never wraps and
// never drops the fraction of a division.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

// 1, 2 or 3 for a word naming x, y or z (in either case) among the first count components;
// 0 otherwise.
uint32_t axis_index(const cell* word, uint32_t count);

// The component (1..count) a path element selects: an integer! or a component word;
// anything else raises script invalid-path with the path and the element.
uint32_t path_axis(cell* element, cell* path, uint32_t count);
// The component (1..count) pick selects: the index, or a component word in the index cell
// (another word raises script cannot-use); another index raises script out-of-range.
uint32_t pick_axis(cell* value, int32_t index, cell* index_cell, uint32_t count);

// The first n values from the block's head, each an integer! or a float!, as doubles;
// false when the block holds fewer or another type.
bool block_numbers(const cell* block, double* numbers, uint32_t n);

namespace pair {

void init();

inline int32_t x_of(const cell* c) { return static_cast<int32_t>(c->w2); }
inline int32_t y_of(const cell* c) { return static_cast<int32_t>(c->w3); }

// Keeps the header's flag bits.
inline cell* make_at(cell* c, int32_t x, int32_t y) {
    set_type(c, TYPE_PAIR);
    c->w2 = static_cast<uint32_t>(x);
    c->w3 = static_cast<uint32_t>(y);
    return c;
}
inline cell* push(int32_t x, int32_t y) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    return c;
}
// Appends at the block's tail.
cell* make_in(const cell* block, int32_t x, int32_t y);

// Slot 0 (a pair!) op slot 1 into slot 0, with the operation codes of integer.h. A point2D!
// operand, a float multiplier or divisor, or a component result that is not an integer
// gives a point2D!.
void do_math(int32_t op);

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
void and_();
void or_();
void xor_();

}  // namespace pair
}  // namespace kel
