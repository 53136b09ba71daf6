// Walks of the call stack that name its frames: for errors, stack traces and reflection.
#pragma once
#include <cstdint>

#include "runtime/stack.h"

namespace kel::stack {

// The word naming the innermost named frame, from the throw origin when one is set.
cell caller_name();
// The naming word and base of each named frame, top first down to the second record.
void collect_calls(cell* block);
// The words naming the frames an error was raised in, bottom up to its call-stack
// position; with level <= 1 only those whose value is a function!.
void trace_words(int32_t level, cell* block, const cell* error);
// The same words, formed into string with one blank after each; returns the limit left.
int32_t trace_form(int32_t level, cell* string, const cell* error, int32_t limit);
// Unless its stack field holds a block, the error gets the current call-stack position,
// and its frames are taken for the two walks above.
void set_error_frame(cell* error);
// Keeps the last raised error's frames alive: the error datatype's marking calls it.
void mark_raised_frames();

}  // namespace kel::stack
