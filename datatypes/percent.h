// percent!: a float! that reads and prints as a percentage; it holds the fraction (50% is
// 0.5) and inherits everything but its text forms.
#pragma once
#include <cstdint>

#include "datatypes/float.h"
#include "runtime/cell.h"

namespace kel::percent {

void init();

using float_::get;
// Keeps the header's flag bits.
inline cell* make_at(cell* c, double d) { return float_::make_at(c, d, TYPE_PERCENT); }
inline cell* box(double d) { return float_::box(d, TYPE_PERCENT); }
inline cell* push(double d) { return float_::push(d, TYPE_PERCENT); }
// Appends at the block's tail.
inline cell* make_in(const cell* block, double d) { return float_::make_in(block, d, TYPE_PERCENT); }

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace kel::percent
