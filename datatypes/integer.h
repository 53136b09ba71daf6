// integer!: a 32-bit signed number in w2. Also the integer arithmetic core shared by the
// char, pair, tuple and vector types, and the dispatcher that hands an integer-left
// operation with another type on the right to the type that owns the rule.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

// Arithmetic operation codes, shared by every numeric type's arithmetic.
enum math_op : int32_t {
    OP_ADD = 0,
    OP_SUBTRACT = 1,
    OP_MULTIPLY = 2,
    OP_DIVIDE = 3,
    OP_REMAINDER = 4,
    OP_OR = 5,
    OP_AND = 6,
    OP_XOR = 7,
};

// Decimal text of n in a static buffer, valid until the next call.
const char* form_signed(int32_t n);

namespace integer {

void init();

inline int32_t get(const cell* c) { return static_cast<int32_t>(c->w2); }
inline int32_t get_arg() { return get(stack::arguments); }
inline int32_t get_arg_or_zero() {
    return TYPE_OF(stack::arguments) == TYPE_INTEGER ? get_arg() : 0;
}

// Keeps the header's flag bits.
inline cell* make_at(cell* c, int32_t value) {
    set_type(c, TYPE_INTEGER);
    c->w2 = static_cast<uint32_t>(value);
    return c;
}
inline cell* box(int32_t value) {
    *stack::arguments = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
    return stack::arguments;
}
inline cell* push(int32_t value) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
    return c;
}
// Appends at the block's tail.
cell* make_in(const cell* block, int32_t value);

inline int32_t sign(int32_t n) { return (n > 0) - (n < 0); }
// The minimum value raises math overflow.
int32_t abs(int32_t n);
// Above 2147483647.0, below -2147483648.0, or NaN.
bool float_out_of_range_q(const cell* value);

// left op right. With a result cell, an overflowing add, subtract or multiply and an inexact
// divide turn the cell into a float! holding the exact double result (its header exactly
// float!); otherwise the int32 result is stored in its w2. Without one, divide truncates
// and an overflow raises math overflow. Zero divisors raise math zero-divide.
int32_t do_math_op(int32_t left, int32_t right, int32_t op, cell* result);

// Slot 0 (integer! or char!) op slot 1 into slot 0; returns slot 0.
cell* do_math(int32_t op);
// A pair, point or tuple on the right: its own rule computes, with the operands swapped.
cell* do_math_spatial(int32_t op, bool refuse_subtract);

// base ** exponent for exponent >= 0 by squaring; THROW_POWER_OVERFLOW when it leaves the
// 32-bit range, else 0 with the power in result.
[[nodiscard]] uint32_t power_int(int32_t base, int32_t exponent, int32_t& result);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* negate(cell* value);
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
const cell* complement(cell* value);
bool even_q(cell* value);
bool odd_q(cell* value);
// Frame actions: slot 0 and slot 1 of the current frame, the result in slot 0.
void absolute();
void add();
void subtract();
void multiply();
void divide();
void remainder();
void power();
void and_();
void or_();
void xor_();

}  // namespace integer
}  // namespace kel
