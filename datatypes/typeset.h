// typeset!: a set of datatypes in one cell, a 96-bit map over w1-w3 (see typeset_has in
// runtime/cell.h). No series, no node: copying the cell copies the set.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::typeset {

// The set operations' codes, as the bitwise actions and the set natives pass them.
enum bitwise_code : int32_t {
    BITS_OR = 5,
    BITS_AND = 6,
    BITS_XOR = 7,
    BITS_UNIQUE = 8,
    BITS_UNION = 9,
    BITS_INTERSECT = 10,
    BITS_EXCLUDE = 11,
    BITS_DIFFERENCE = 12,
};

void init();

cell* clear(cell* value);
// Members among the registered type ids.
uint32_t count(const cell* value);
// Adds a datatype!, a typeset!, or a word! whose value is one of them.
void add(cell* value, const cell* element);
// Appended at the tail of a block value.
cell* make_in(const cell* block, uint32_t w1, uint32_t w2, uint32_t w3);
// Every type but unset!: what an untyped argument accepts.
cell* make_in_default(const cell* block);
// From a function spec's type block: a word whose value is a word! adds object!, nested
// blocks are skipped, anything else is script/invalid-type-spec.
cell* make_in_from_spec(const cell* block, const cell* spec);
// A new block of the member datatypes in type-id order, into result.
cell* to_block(const cell* value, cell* result);
int32_t mold_core(cell* value, cell* buffer, bool only, int32_t part);

const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
// Frame: slot 0 becomes slot 0 combined with slot 1 (a typeset! or a datatype!).
void do_bitwise(int32_t code);
void and_();
void or_();
void xor_();
const cell* complement(cell* value);
const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same, bool any,
                 cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);

}  // namespace kel::typeset
