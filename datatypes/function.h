// function!: a user function. w1 the node of its locals context (CTX_FUNCTION, values on
// the argument stack, no self; the context's owner cell holds a copy of the function),
// w2 the node of its spec block (head 0), w3 the node of its more block (MORE_* cells).
// Header flags: FUNC_NO_TRACE and FUNC_TRACE from the spec's attribute block.
//
// routine!: C++ code bound to a spec. The same layout; more cell 2 holds the index of its
// code in the routine entries. Header flags: ROUTINE_HAS_RETURN and the count of its
// top-level argument words in bits 25-29.
//
// As in the series code, cell arguments must stay put across allocation (argument-stack
// slots or root guards); values are returned pushed on the argument stack.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t FUNC_NO_TRACE = 0x200;
constexpr uint32_t FUNC_TRACE = 0x400;
constexpr uint32_t ROUTINE_HAS_RETURN = 0x8000;
constexpr uint32_t ROUTINE_ARGS_SHIFT = 25;
constexpr uint32_t ROUTINE_ARGS_MASK = 0x1Fu << ROUTINE_ARGS_SHIFT;

// The more block of a function or routine.
enum more_cell : uint32_t {
    MORE_BODY = 0,   // the body block (a deep copy), or none
    MORE_ARGS = 1,   // the compiled argument spec, cached by the interpreter; unset until then,
                     // or a paren! on a one-cell box that copies of a method share until compiled
    MORE_CODE = 2,   // integer!: compiled body or routine entry; unset for an interpreted function
    MORE_OP = 3,     // the function itself once an op! wraps it, else unset
    MORE_EXTRA = 4,  // integer!: the owner object's context (functions), the return type (routines)
};
constexpr uint32_t FUNCTION_MORE_SIZE = 5;

inline cell* more_at(const cell* value, uint32_t n) { return series_cell(value->w3, n); }

namespace function {

void init();

// Applies the spec grammar; returns the attribute flags (FUNC_TRACE, FUNC_NO_TRACE).
// script/bad-func-def, invalid-type-spec, no-value or dup-vars on a bad spec.
uint32_t validate_spec(const cell* spec);

// Pushes a new function and returns its context node. body: a block or null; ctx 0 makes
// the context from the spec and binds the body copy to it; compiled and extra are stored
// when not 0.
node_id push(const cell* spec, const cell* body, node_id ctx, int32_t compiled, int32_t extra,
             uint32_t flags);

// What the `function` native does before it makes the function: appends /local and the
// body's undeclared set-words (and loop words) to spec, cutting spec at /extern. The
// collected words are pushed as a block.
cell* collect_locals(cell* spec, const cell* body);

// From start: 0 without /local, else 1 for /local plus 1 per word after it; -1 with
// require and no /local.
int32_t count_locals(node_id spec, uint32_t start, bool require);

// Parameter n (words and refinements counted from 0) of the spec of a native, action,
// op, function or routine; none when there is no such parameter. Good until the next
// allocation.
const cell* param_word_at(const cell* callee, int32_t n);

// For object copies: rebuilds the function in slot index of the object context ctx, with
// a copy of its body bound to ctx (self) and then to a copy of its locals context. The
// rebuilt function runs interpreted. script/bad-func-def when it has no body.
void rebind_function(node_id ctx, uint32_t index);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* reflect(cell* value, uint32_t field_symbol);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace function

// An unused refinement with its arguments, or the locals of a call: false, then count - 1
// nones.
void push_unused_refinement(int32_t count);

namespace routine {

void init();

// Pushes a new routine: body (a value or null) in more cell 0, entry and extra as integers
// in cells 2 and 4.
cell* push(const cell* spec, const cell* body, int32_t entry, int32_t extra, bool has_return);
// Records the number of top-level word! entries of its spec in the header.
cell* count_args(cell* value);
inline uint32_t arg_count(const cell* value) {
    return (value->header & ROUTINE_ARGS_MASK) >> ROUTINE_ARGS_SHIFT;
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace routine
}  // namespace kel
