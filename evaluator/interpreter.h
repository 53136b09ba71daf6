// The interpreter: evaluates blocks of values directly, expression by expression.
//
// Calling convention. Every function here returns an exit code: 0 for normal completion,
// else THROW_BREAK, THROW_CONTINUE, THROW_RETURN, THROW_EXIT or THROW_THROW, which the
// raiser has already unwound the stacks for; the caller returns it at once, touching
// neither stack, until a catcher takes it. Errors travel as the kel_exit exception.
//
// Positions: code is a block-like value in a cell that does not move and that the
// collector updates (an argument-stack cell or a root), pc and end are indexes into its
// buffer; the buffer itself may move at any allocation and is re-read.
//
// Results are pushed on the argument stack (sub), or written into slot 0 of the current
// frame with the top just above it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "runtime/cell.h"

namespace kel {

// The block being evaluated and where its current expression starts: errors take it as
// their near field. Each evaluation loop links its own on the C++ stack; block is a cell
// that does not move and that the collector updates.
struct near_frame {
    const cell* block;
    uint32_t pc;
    near_frame* outer;
};
extern near_frame* near_position;  // null outside any block

// The near field of an error made now: the block positioned at the expression, or none.
cell near_value();

// Hooks the interpreter into objects, sort and the tracer; once at start-up.
void interpreter_init();

// Evaluates the whole block. chain: the result is copied into the caller's slot 0;
// otherwise it is pushed as the caller's next value.
[[nodiscard]] uint32_t eval_block(cell* block, bool chain);
// As eval_block without chain.
[[nodiscard]] uint32_t eval_block_pushed(cell* block);
// As eval_block, without a call record of its own.
[[nodiscard]] uint32_t eval_block_here(cell* block, bool chain);

// A loop's rounds: before each, the step (a type of evaluator/rounds.h) sets the round up
// or ends the rounds. Each round evaluates the block into the loop frame's slot 0 as
// eval_block_here with chain does. Continue goes on to the next round; break, its value in
// slot 0, and the other exits end the rounds with their code.
template <class Step>
[[nodiscard]] uint32_t eval_rounds(cell* block, Step& step);

// One expression from pc under a frame named <body>; pc moves past it.
[[nodiscard]] uint32_t eval_next(cell* code, uint32_t& pc, uint32_t end, bool sub);
// One expression from the block's head, which moves past it; an empty block gives unset.
[[nodiscard]] uint32_t do_next(cell* block);

// One expression, then (unless prefix) the infix operators that follow it.
// literal_functions: a function value standing in the block is a value, not a call.
[[nodiscard]] uint32_t eval_expression(cell* code, uint32_t& pc, uint32_t end, bool prefix, bool sub,
                                       bool literal_functions = false);

// How apply hands its block to a call: APPLY_BLOCK, the arguments come from apply's
// block (no code position to report); APPLY_ALL, every argument and refinement of the
// spec in order (a refinement as its truth, then its arguments), the tail completed with
// false and none; APPLY_SAFER, each argument one value, an inactive refinement's
// arguments skipped unevaluated.
constexpr uint32_t APPLY_ALL = 1;
constexpr uint32_t APPLY_BLOCK = 2;
constexpr uint32_t APPLY_SAFER = 4;

// Calls a native, action, function or op value; pushes the result. fn is copied first,
// an op retyped to what it wraps: an infix call, whose left operand is the top cell.
// path: a path whose elements from path_from on are refinements, or null. name: the
// word that named the callee (or not a word: <anon>). apply: the APPLY_ bits, for apply.
[[nodiscard]] uint32_t eval_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                 uint32_t path_from, const cell* name, bool infix, uint32_t apply = 0);

// Runs a function! whose arguments, refinements and locals are in the current frame;
// the result is left in slot 0. fn must not move.
[[nodiscard]] uint32_t exec_function(cell* fn);

// The C++ code of routine! values, by the entry index their more block holds; start-up
// fills it. An entry reads its arguments from the frame and leaves its result in slot 0.
using routine_code = void (*)();
extern const routine_code* routine_entries;
extern uint32_t routine_entry_count;
// Runs a routine whose arguments are in the current frame; without a return type its
// result is unset.
void exec_routine(const cell* value);

// Evaluates the path value at pc (its type says plain, get or set); pushes the result.
// A set-path takes the value to set from the next expression.
[[nodiscard]] uint32_t eval_path(cell* code, uint32_t& pc, uint32_t end);

// Runs f on a thread with a large, lazily committed machine stack, so that the stacks'
// own limits are reached, and raised as errors, long before the machine stack overflows.
void run_on_interpreter_thread(const std::function<void()>& f, size_t stack_bytes = size_t{512} << 20);

}  // namespace kel
