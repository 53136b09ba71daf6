// unset!: the value of a word that has none and the result of expressions that return
// nothing. Header only.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::unset {

void init();

cell* set_result();
cell* alloc_tail(const cell* block);
cell* push();

const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// For unset! and none! alike: two values of the one type are equal and sort together;
// they have no order, and no other type compares with them.
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace kel::unset
