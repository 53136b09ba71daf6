// series!: the base that carries the actions every series type shares (blocks, strings,
// binaries, vectors, images), whatever the unit size of its buffer.
//
// Series arguments are cells that stay put across allocation (argument-stack slots or
// root guards); every action re-reads buffers through them after anything that may
// allocate or run Kel code (owner notifications included).
#pragma once
#include <algorithm>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel {

inline bool any_block_q(uint32_t type) {
    return type == TYPE_BLOCK || type == TYPE_PAREN || (type >= TYPE_PATH && type <= TYPE_GET_PATH) ||
           type == TYPE_HASH;
}
inline bool any_string_q(uint32_t type) {
    return (type >= TYPE_STRING && type <= TYPE_URL) || type == TYPE_TAG || type == TYPE_EMAIL ||
           type == TYPE_REF;
}
inline bool series_type_q(uint32_t type) {
    return any_block_q(type) || any_string_q(type) || type == TYPE_BINARY || type == TYPE_VECTOR ||
           type == TYPE_IMAGE;
}

// Integer payload: w2.
inline int32_t int_of(const cell* value) { return static_cast<int32_t>(value->w2); }
inline cell integer_value(int32_t n) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }

namespace series {

void init();

// script/invalid-refine-arg for a refinement's argument of the wrong kind.
[[noreturn]] void refine_arg_error(const cell* value);

inline series_buffer* buffer_of(const cell* value) { return node_buffer(series_node(value)); }
inline int32_t head_of(const cell* value) { return static_cast<int32_t>(value->w1); }

// Elements between the buffer's offset and tail.
inline int32_t buffer_length(const cell* value) {
    series_buffer* b = buffer_of(value);
    return static_cast<int32_t>(b->used_bytes() / b->unit());
}
inline bool head_at_tail_q(const cell* value) { return head_of(value) >= buffer_length(value); }

// Moves the head by n unless that passes the tail; answers whether the head is at the tail.
bool advance(cell* value, int32_t n);
// From the head (or the first element); a head past the tail is pulled back to it.
int32_t length(cell* value, bool from_start = false);
// The new head for at (at = true) or skip from the frame's second argument.
int32_t offset_arg(bool at);

// A /part argument as a count from the series' head: an integer!, or a position in the
// same series (negative when it lies before the head). Anything else raises
// invalid-refine-arg.
int32_t part_count(const cell* value, const cell* part);

// Frame actions: slot 0 in place (or its answer) is the result.
void at();
void back();
void head();
void head_q();
void index_q();
void next();
void skip();
void tail();
void tail_q();

const cell* random(cell* value, bool seed, bool secure, bool only);
const cell* clear(cell* value);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
int32_t length_q(cell* value);
const cell* move(cell* origin, cell* target, cell* part);
// `modify ... 'owned`: none releases the value, [object word] gives it that owner through mark.
const cell* modify_owned(cell* target, cell* field, cell* value,
                         void (*mark)(const cell*, const cell*, const cell*));
const cell* modify(cell* target, cell* field, cell* value, bool case_q);
const cell* pick(cell* value, int32_t index, cell* index_cell);
const cell* poke(cell* value, int32_t index, cell* new_value, cell* index_cell);
const cell* remove(cell* value, cell* part, cell* key);
const cell* reverse(cell* value, cell* part, cell* skip);
// The taken elements as a new series, pushed on the argument stack; none when empty.
const cell* take(cell* value, cell* part, bool deep, bool last);

// A new series of the value's type holding count elements from start (no owner mark).
// The result cell must stay put across allocation.
cell* copy_range(const cell* value, cell* result, int32_t start, int32_t count);

// --- Set operations ----------------------------------------------------------------------

enum set_op : int32_t { SET_UNIQUE = 8, SET_UNION, SET_INTERSECT, SET_EXCLUDE, SET_DIFFERENCE };

// Elements per record: 1, or the /skip argument, an integer! of at least 1 (else
// invalid-refine-arg).
int32_t set_record_size(const cell* skip);

// The walk of every set operation, whatever the element: records of n elements from the
// first series' head (then from the second's, for union and difference), each judged by
// its first element, its key. key_in(series, from, i) answers whether the key at element
// i of `from` is among the record keys of `series` from its head; add(from, i, count)
// appends a record to the result, which so holds each key once. Positions are re-read
// every step, so add may allocate.
template <class KeyIn, class Add>
void set_walk(cell* first, cell* second, const cell* result, int32_t op, int32_t n, KeyIn key_in,
              Add add) {
    auto pass = [&](cell* from, cell* other) {
        for (int64_t i = head_of(from); i < buffer_length(from); i += n) {
            int32_t at = static_cast<int32_t>(i);
            bool keep = true;
            if (op == SET_INTERSECT) keep = key_in(other, from, at);
            else if (op == SET_EXCLUDE || op == SET_DIFFERENCE) keep = !key_in(other, from, at);
            if (keep && !key_in(result, from, at)) add(from, at, std::min(n, buffer_length(from) - at));
        }
    };
    pass(first, second);
    if (op == SET_UNION || op == SET_DIFFERENCE) pass(second, first);
}

}  // namespace series
}  // namespace kel
