// block!: the series of value cells (unit 16) that code and data are made of; paren!,
// the path family and hash! share its layout.
//
// As everywhere in the series code, value arguments are cells that stay put across
// allocation (argument-stack slots or root guards). Compare entries never allocate, so
// a scan may hold cell addresses across comparisons; anything that may allocate (mold,
// copies, growth, owner notifications) is followed by a re-read through the node.
#pragma once
#include <cstdint>

#include "datatypes/series.h"
#include "runtime/cell.h"

namespace kel::block {

void init();

// --- Low-level accessors (no type checks) ----------------------------------------------

inline cell* ks_abs_at(const cell* block, int32_t n) { return series::buffer_of(block)->cells() + n; }
inline cell* ks_tail(const cell* block) { return series::buffer_of(block)->cells_tail(); }
// May be negative when the head lies past the tail.
inline int32_t ks_length_q(const cell* block) {
    return series::buffer_length(block) - series::head_of(block);
}
inline bool ks_tail_q(const cell* block) { return ks_length_q(block) <= 0; }
inline cell* ks_head(cell* block) {
    int32_t len = series::buffer_length(block);
    if (series::head_of(block) > len) block->w1 = static_cast<uint32_t>(len);
    return ks_abs_at(block, series::head_of(block));
}
inline bool ks_next(cell* block) {
    if (ks_length_q(block) > 0) block->w1++;
    return ks_tail_q(block);
}
inline void ks_set_tail(const cell* block, int32_t n) {
    series_buffer* b = series::buffer_of(block);
    b->tail = reinterpret_cast<uint8_t*>(b->cells() + n);
}
inline void ks_clear(const cell* block) { ks_set_tail(block, series::head_of(block)); }
void ks_remove_last(cell* block);
// A copy of the value in a new cell at the tail; the value may lie in any buffer.
cell* ks_append(const cell* block, const cell* value);
// Every cell of other from its head, at the tail of block.
void ks_append_block(const cell* block, const cell* other);

// --- Constructors ----------------------------------------------------------------------

// An empty block! with room for n cells (room for 1 below that).
cell* make_at(cell* value, int32_t n);
// The same; fixed allocates outside the collector's frames, otherwise the room is unset cells.
cell* make_at_opt(cell* value, int32_t n, bool fixed);
cell* push_only(int32_t n);
cell* push_value(const cell* value);

// --- Insertion helpers -----------------------------------------------------------------

// Inserts a copy of the value before the head (before the first cell with at_start);
// advance moves the head past it.
void insert_value(cell* block, const cell* value, bool advance, bool at_start);
// Every cell of other from its head, inserted in order before the block's head.
void insert_block(cell* block, const cell* other);
// The frame's first cell into the block held just below the frame.
void insert_frame_value();
void append_frame_value();
// The frame's second cell appended to the block in its first.
void append_arg();

// --- Search ----------------------------------------------------------------------------

// The cell after the first one the value finds equal (find match), or none.
const cell* find_equal(cell* block, cell* value);
// Removes the first matching cell; 0 when none matched, else 1 plus 1 when it lay before
// the head.
int32_t remove_equal(cell* block, cell* value, bool from_start);
// The clone of the block from its head: with deep, nested block! cells are cloned too,
// and with any_block their paren! and path cells as well. The result is pushed on the
// argument stack. A block that contains itself raises internal no-cycle; the walk keeps
// its frames on the argument stack, so nesting never deepens the machine stack.
cell* clone(const cell* block, bool deep, bool any_block);

const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                 bool any, cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);
const cell* select(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                   bool any, cell* with, cell* skip, bool last, bool reverse);

// op: 8 unique, 9 union, 10 intersect, 11 exclude, 12 difference; the second series is
// the frame's second argument. The result replaces the first argument's buffer.
using series::set_op;
using series::SET_UNIQUE;
using series::SET_UNION;
using series::SET_INTERSECT;
using series::SET_EXCLUDE;
using series::SET_DIFFERENCE;
const cell* set_operation(cell* first, bool case_q, cell* skip, int32_t op);

// --- Actions ---------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// The cells from the head with spaces, new-line markers and indentation, no brackets.
int32_t mold_each(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg,
                  int32_t part, int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
int32_t compare_each(cell* value1, cell* value2, int32_t op);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
const cell* insert(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool append);
const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup);
const cell* put(cell* series, cell* key, cell* value, bool case_q);
const cell* take(cell* series, cell* part, bool deep, bool last);
const cell* swap(cell* series1, cell* series2);
const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all,
                 cell* with);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable);

// Sort comparators. context1 is the compare op (7, or 8 with /case); context2 the flags:
// bit 0 reverse, bit 1 all, the rest the record size (all) or the compared cell's offset.
int32_t sort_compare(const void* a, const void* b, uintptr_t op, uintptr_t flags);
// Calls a function! comparator with (b, a), or (a, b) reversed; installed by the evaluator.
// Returns the function's result cell.
using sort_function_call = const cell* (*)(cell* function, const cell* first, const cell* second);
extern sort_function_call call_sort_function;

}  // namespace kel::block
