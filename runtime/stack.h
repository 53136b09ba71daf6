// The argument stack and the call stack.
//
// The argument stack is one fixed series buffer that never moves, so cell addresses into
// it stay valid. Slot 0 of a frame (the cell at stack::arguments) is both its first
// argument and its result; after the frame is popped the result stands at the caller's
// next free position.
//
// The call stack says who called whom: one record per active call, never in collected
// memory. Non-local exits walk it to find their target frame.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t ARGUMENT_STACK_SIZE = 20000;  // cells
constexpr uint32_t CALL_STACK_SIZE = 12000;      // records

// The node of the argument stack's buffer, for the collector.
extern node_id argument_stack;

// Frame types (header bits 24-27) and flags.
enum frame_type : uint32_t {
    FRAME_FUNCTION = 1,
    FRAME_NATIVE = 2,
    FRAME_TRY = 4,
    FRAME_TRY_ALL = 5,
    FRAME_CATCH = 6,
    FRAME_EVAL = 7,
    FRAME_LOOP = 8,
};
constexpr uint32_t FRAME_TYPE_SHIFT = 24;
constexpr uint32_t FRAME_TYPE_MASK = 0x0F000000;
constexpr uint32_t FRAME_BODY = 0x10000000;    // target of return and exit

struct call_frame {
    uint32_t header;    // type and flags
    uint32_t symbol;    // of the word that names the frame
    node_id word_ctx;   // context of the naming word
    node_id ctx;        // function frames: the locals context whose values it re-pointed
    uint32_t saved;     // that context's values word when the frame was pushed
    cell* base;         // the caller's stack::arguments (the stack never moves: no index to convert)
};

inline uint32_t frame_type_of(const call_frame* f) { return (f->header & FRAME_TYPE_MASK) >> FRAME_TYPE_SHIFT; }

namespace stack {

extern cell* bottom;
extern cell* end;
extern cell* top;        // first free cell
extern cell* arguments;  // base of the current frame

extern call_frame* cbottom;
extern call_frame* ctop;  // first free record
extern call_frame* cend;
// Set by throw to the frame where it started; consumed by caller_name.
extern call_frame* throw_origin;

// Allocates the argument stack, empties both stacks, makes the call frames collector roots.
void init();

[[noreturn]] void overflow();
[[noreturn]] void call_overflow();

inline uint32_t index_of(const cell* c) { return static_cast<uint32_t>(c - bottom); }

// --- Argument stack --------------------------------------------------------------------

// The new cell is a root at once: it is made unset, so that a collection before the caller
// fills it never marks what an earlier push left there.
inline cell* push_cell() {
    cell* c = top;
    if (++top >= end) overflow();
    c->header = TYPE_UNSET;
    return c;
}

inline cell* push(const cell* value) {
    cell* c = top;
    if (++top >= end) overflow();
    *c = *value;
    return c;
}

inline cell* top_cell() { return top == bottom ? bottom : top - 1; }
inline uint32_t top_type() { return TYPE_OF(top_cell()); }

inline void pop(uint32_t n) { top = static_cast<uint32_t>(top - bottom) > n ? top - n : bottom; }

// The statement boundary: drops everything above the frame base.
inline cell* reset() { return top = arguments; }
// Keeps slot 0 only.
inline void keep() { top = arguments + 1; }

inline cell* set_last(const cell* value) { return copy_cell(value, arguments); }
inline cell* set_last_keep(const cell* value) {
    copy_cell(value, arguments);
    top = arguments + 1;
    return arguments;
}
// An error! on top becomes the result; then only slot 0 stays.
void set_last_top();

// --- Call stack ------------------------------------------------------------------------

inline void mark(const cell* word, uint32_t flags) {
    if (ctop >= cend) call_overflow();
    call_frame* f = ctop++;
    // Field by field: a whole-record initializer went through vector shuffles.
    f->header = flags;
    f->symbol = word->w2;
    f->base = arguments;
    f->word_ctx = word->w1;
    f->ctx = 0;
    f->saved = 0;
    arguments = top;
}

// A function frame that restores ctx's values pointer when popped (ctx may be 0).
void mark_func(const cell* word, node_id ctx);
inline void mark_native(const cell* word) { mark(word, FRAME_NATIVE << FRAME_TYPE_SHIFT); }
inline void mark_try(const cell* word) { mark(word, FRAME_TRY << FRAME_TYPE_SHIFT); }
inline void mark_try_all(const cell* word) { mark(word, FRAME_TRY_ALL << FRAME_TYPE_SHIFT); }
inline void mark_catch(const cell* word) { mark(word, FRAME_CATCH << FRAME_TYPE_SHIFT); }
inline void mark_eval(const cell* word) { mark(word, FRAME_EVAL << FRAME_TYPE_SHIFT); }
inline void mark_loop(const cell* word) { mark(word, FRAME_LOOP << FRAME_TYPE_SHIFT); }
// A function frame whose context the call points itself (point_context).
inline void mark_function(const cell* word) { mark(word, FRAME_FUNCTION << FRAME_TYPE_SHIFT); }
// A native frame whose arguments start at base, made after they were pushed: a record that
// waited until something that can fail or be seen needed it.
inline void mark_native_at(cell* base, const cell* word) {
    cell* pushed = top;
    top = base;
    mark_native(word);
    top = pushed;
}

inline call_frame* current_frame() { return ctop - 1; }

// Points a function context at the top frame's arguments; popping the frame, or unwinding
// past it, points the context back.
inline void point_context(node_id ctx) {
    call_frame* f = ctop - 1;
    cell* c = series_cell(ctx, 0);
    f->ctx = ctx;
    f->saved = c->w2;
    c->w2 = index_of(arguments);
}
inline void set_ctop(call_frame* f) { ctop = f; }

// The first argument of a frame: the current base for the top frame, else the base the
// frame above it recorded.
inline cell* base_of(const call_frame* f) { return f == ctop - 1 ? arguments : f[1].base; }

// Writes the saved values pointer back into the context a function frame re-pointed.
inline void restore_context(const call_frame* f) { series_cell(f->ctx, 0)->w2 = f->saved; }
// As restore_context, for any frame: only a function frame that re-pointed a context has one.
inline void restore(const call_frame* f) {
    if (f->ctx && frame_type_of(f) == FRAME_FUNCTION) restore_context(f);
}

// Pops the top frame; its result stays as the caller's next value.
inline void unwind() {
    call_frame* f = --ctop;
    top = arguments + 1;
    arguments = f->base;
}
inline void unwind_func() {
    restore(ctop - 1);
    unwind();
}
// As unwind, and the result is copied into the caller's slot 0.
inline void unwind_last() {
    cell result = *arguments;
    unwind();
    *arguments = result;
}
inline void unwind_func_last() {
    restore(ctop - 1);
    unwind_last();
}
// Pops the top frame, dropping its result and the caller's values.
inline void unwind_drop() {
    call_frame* f = --ctop;
    arguments = top = f->base;
}
inline void unwind_func_drop() {
    restore(ctop - 1);
    unwind_drop();
}
void unwind_any();
void unwind_to(uint32_t type, bool keep);
void unwind_to_last(uint32_t type);
inline void unwind_to_loop(bool keep) { unwind_to(FRAME_LOOP, keep); }
// Pops every frame from the top down to f included, restoring function contexts: what a
// catcher does when an error passed its frames as an exception. The caller puts its own
// base back.
void unwind_down_to(call_frame* f);

// For the collector: the nodes every frame holds.
void mark_gc();

}  // namespace stack

// A refinement's argument cell: present when it lies above the frame base.
inline bool refinement_q(const cell* arg) { return arg && arg > stack::arguments; }

}  // namespace kel
