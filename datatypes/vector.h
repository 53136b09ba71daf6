// vector!: a packed array of numbers or characters of one element type and size. It
// shares the text value layout (head index in w1, buffer node in w2) and keeps the element
// type in w3: char!, integer!, float! or percent!. The buffer's unit is the element size:
// 1, 2 or 4 bytes for chars and integers, 4 or 8 for floats, 8 for percents. Integers are
// stored little-endian and read back sign-extended; a percent holds its fraction.
//
// Vector arguments are cells that stay put across allocation (argument-stack slots or
// root guards).
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::vector {

void init();

inline uint32_t element_type(const cell* value) { return value->w3; }
inline bool float_family_q(uint32_t type) { return type == TYPE_FLOAT || type == TYPE_PERCENT; }

// An empty vector of the element type and size (bytes) with room for capacity elements,
// head 0. A capacity whose bytes pass the series limit raises internal/no-memory.
cell* make_at(cell* value, uint32_t type, uint32_t unit, int64_t capacity);

// Appends one element of a 4-byte vector (the rich-text layout's runs are kept so).
void ks_append_int(cell* value, int32_t n);

// Element n counted from the buffer's offset, as a value of the element type, in a shared
// cell valid until the next call.
const cell* get_value(const cell* value, int32_t n);
// What a vector accepts as an element: a value of its own numeric family. The other
// family raises script/invalid-arg, any other type script/invalid-type.
void check_value(const cell* value, const cell* element);
// Stores a checked element at the address.
void set_value(const cell* value, uint8_t* at, const cell* element);

// A new block of the elements from the head as values, pushed on the argument stack.
cell* to_block(const cell* value);

// Frame arithmetic with a scalar in slot 0 and the vector in slot 1 (the scalar types'
// arithmetic hands it over): the vector is computed in place and becomes slot 0.
void do_math_scalar_first(int32_t op);

}  // namespace kel::vector
