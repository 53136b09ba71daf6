// The argument stack: arguments, locals and results of every active call.
//
// One fixed series buffer that never moves, so cell addresses into it stay valid.
// Slot 0 of a frame (the cell at stack::arguments) is both its first argument and
// its result.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr uint32_t ARGUMENT_STACK_SIZE = 20000;  // cells

// The node of the stack's buffer, for the collector.
extern node_id argument_stack;

namespace stack {

extern cell* bottom;
extern cell* end;
extern cell* top;        // first free cell
extern cell* arguments;  // base of the current frame

// Allocates the buffer and empties the stack.
void init();

[[noreturn]] void overflow();

inline cell* push_cell() {
    cell* c = top;
    if (++top >= end) overflow();
    return c;
}

inline cell* push(const cell* value) {
    cell* c = push_cell();
    *c = *value;
    return c;
}

inline cell* top_cell() { return top == bottom ? bottom : top - 1; }

inline cell* set_last(const cell* value) { return copy_cell(value, arguments); }

inline void pop(uint32_t n) { top = static_cast<uint32_t>(top - bottom) > n ? top - n : bottom; }

}  // namespace stack
}  // namespace kel
