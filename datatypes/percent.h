// percent!: a float! that reads and prints as a percentage; it holds the fraction (50% is
// 0.5) and inherits everything but its text forms.
#pragma once
#include <cstdint>

#include "evaluator/stack.h"
#include "runtime/cell.h"

namespace kel::percent {

void init();

inline double get(const cell* c) { return cell_float(c); }
// Keeps the header's flag bits.
inline cell* make_at(cell* c, double d) {
    set_type(c, TYPE_PERCENT);
    set_cell_float(c, d);
    return c;
}
inline cell* box(double d) {
    stack::arguments->header = TYPE_PERCENT;
    set_cell_float(stack::arguments, d);
    return stack::arguments;
}
inline cell* push(double d) {
    cell* c = stack::push_cell();
    c->header = TYPE_PERCENT;
    set_cell_float(c, d);
    return c;
}
// Appends at the block's tail.
cell* make_in(const cell* block, double d);

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace kel::percent
