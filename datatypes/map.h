// map!: a dictionary of key/value pairs. w1 and w2 are the backing block (head, node),
// which holds the entries as consecutive key and value cells; w3 the node of its hash
// table (kind 1), whose size field is the number of live entries.
//
// A removed entry stays in the block, and in the table, with its value cell's header
// cleared to 0: every walk skips it, and setting the same key again revives it in place.
// Keys are normalised on insertion: string-like keys are copied, the word types are
// stored as set-word!.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::map {

void init();

// The key types a map accepts.
bool valid_key_type_q(uint32_t type);
// Normalises the key at a block position in place; raises invalid-path for a type the
// map does not accept.
void check_key(node_id block, uint32_t position);

// Makes the cell (which stays put) a map! over the block (a copy the map may keep and
// whose keys are normalised), or over a new empty block with room for size entries when
// block is null or none; the table is made for size entries.
cell* make_at(cell* value, const cell* block, int32_t size);
// Makes the block cell (a fresh block at its head holding key/value pairs) a map in place,
// as make map! does: a repeated key keeps its first place and takes the last value.
cell* make_over_block(cell* block);
cell* push(const cell* map);
// Live entries.
int32_t ks_length_q(const cell* map);
// Adds or sets each key/value pair of the block (looked up strictly with case_q).
const cell* extend(cell* map, cell* block, bool case_q);
// One step of foreach: sets the count words of the block `words` (from its head) from
// the next pairs, skipping dead ones by moving the map value's head; words left over
// become none. Answers whether any word was set.
bool foreach_next(cell* words, cell* map, int32_t count);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* reflect(cell* value, uint32_t field_symbol);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* clear(cell* value);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                 bool any, cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);
int32_t length_q(cell* value);
const cell* put(cell* map, cell* key, cell* value, bool case_q);
const cell* remove(cell* map, cell* part, cell* key);
const cell* select(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                   bool any, cell* with, cell* skip, bool last, bool reverse);

}  // namespace kel::map
