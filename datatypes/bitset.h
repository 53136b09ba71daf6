// bitset!: a set of non-negative integers (mostly code points). Bit n lives in byte n >> 3
// of a byte buffer under mask 0x80 >> (n & 7); the buffer flag BITSET_NOT says whether the
// bits past the array's end are members. The bytes inside the array always hold true
// membership. The node is in w2; w1 and w3 are 0.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::bitset {

void init();

inline bool complemented_q(const series_buffer* b) { return (b->flags & BITSET_NOT) != 0; }

// Membership of bit n: the array's bit, or the complemented flag past its end.
inline bool bit_q(const series_buffer* b, uint32_t n) {
    if (n >= b->used_bytes() * 8) return complemented_q(b);
    return (b->offset[n >> 3] & (0x80u >> (n & 7))) != 0;
}
inline bool bit_q(const cell* bitset, uint32_t n) { return bit_q(node_buffer(series_node(bitset)), n); }

// A plain set of `bytes` zero bytes, into the cell.
cell* make_at(cell* value, uint32_t bytes);

// Frame: slot 0 becomes slot 0 combined with slot 1 (a bitset!) under a bitwise code
// (the or/and/xor actions' and the set natives' codes).
void do_bitwise(int32_t code);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* reflect(cell* value, uint32_t field_symbol);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q, bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* complement(cell* value);
void and_();
void or_();
void xor_();
const cell* append(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool append_q);
const cell* clear(cell* value);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same, bool any,
                 cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);
int32_t length_q(cell* value);
const cell* pick(cell* series, int32_t index, cell* index_cell);
const cell* poke(cell* series, int32_t index, cell* value, cell* index_cell);
const cell* remove(cell* series, cell* part, cell* key);
const cell* modify(cell* target, cell* field, cell* value, bool case_q);

}  // namespace kel::bitset
