// Walks of the call stack that name its frames: for errors, stack traces and reflection.
#pragma once
#include <cstdint>

#include "runtime/stack.h"

namespace kel::stack {

// The word naming the innermost named frame, from the throw origin when one is set.
cell caller_name();
// The naming word and base of each named frame, top first down to the second record.
void collect_calls(cell* block);
// Bottom up to end (the top when null): the named frames' words; with level <= 1 only
// those whose value is a function!.
void trace_words(int32_t level, cell* block, const call_frame* end);
// The same walk, formed into string with one blank after each; returns the limit left.
int32_t trace_form(int32_t level, cell* string, const call_frame* end, int32_t limit);
// Unless its stack field holds a block, the error gets the current call-stack position.
void set_error_frame(cell* error);

}  // namespace kel::stack
