// none!: the "no value" that series operations return when there is nothing to return.
// Header only.
#pragma once
#include <cstdint>

#include "datatypes/unset.h"
#include "runtime/cell.h"

namespace kel::none {

void init();

cell* set_result();
cell* alloc_tail(const cell* block);
cell* push();

const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
using unset::compare;

// Series actions on none answer none, whatever their arguments.
const cell* clear(cell* series);
const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                 bool any, cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);
const cell* remove(cell* series, cell* part, cell* key);
const cell* select(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                   bool any, cell* with, cell* skip, bool last, bool reverse);
const cell* take(cell* series, cell* part, bool deep, bool last);
// -1: no length, so length? answers none.
int32_t length_q(cell* series);

}  // namespace kel::none
