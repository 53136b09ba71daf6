// paren!: a block that the interpreter evaluates where it stands; written in parentheses.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::paren {

void init();

// Pushes a copy of the block-like value, retyped, on the argument stack.
cell* push(const cell* block);

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace kel::paren
