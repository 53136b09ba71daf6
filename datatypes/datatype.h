// datatype! values name a type: w1 holds the type id.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::datatype {

void init();

// Loads every registered type's name as a global word; the word module calls it once
// the global context exists (after installing load_type_word).
void names_init();

cell* push(uint32_t type);
cell* alloc_tail(const cell* block, uint32_t type);

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace kel::datatype
