// hash!: a block whose every cell is indexed by a hash table (w3, kind 0), so that find,
// select and the set operations need no scan; otherwise it behaves as a block.
//
// The block actions keep the table in step through reindex. Every function here takes
// any block-like value and leaves values that are not a hash! with a table alone.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::hash {

void init();

// The table of a hash! value, or 0.
inline node_id table_of(const cell* value) { return TYPE_OF(value) == TYPE_HASH ? value->w3 : 0; }

// After an edit of the block: `removed` cells at `at` were replaced by `added` ones (an
// insertion removes none, a removal adds none, an overwrite or a move within the range
// replaces n by n). The positions behind the range shift, the new cells are indexed; an
// edit too large for an incremental refresh, or a stale index, rebuilds the table.
void reindex(const cell* value, int32_t at, int32_t removed, int32_t added);
// Rebuilds the table from the whole block.
void rebuild(const cell* value);
// Makes the value (a block-like cell that stays put) a hash! with a new table over its
// whole buffer; returns it.
cell* index(cell* value);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable);
const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all,
                 cell* with);

}  // namespace kel::hash
