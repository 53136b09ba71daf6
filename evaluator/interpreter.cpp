#include "evaluator/interpreter.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/control.h"
#include "evaluator/natives.h"
#include "evaluator/rounds.h"
#include "evaluator/throw.h"
#include "evaluator/trace.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

namespace kel {

near_frame* near_position = nullptr;

cell near_value() {
    if (!near_position) return none_value;
    cell near = *near_position->block;
    near.w1 = near_position->pc;
    return near;
}

namespace {

// Argument kinds of the compiled spec, in the typeset cell's header bits 20-21.
constexpr uint32_t ARG_KIND_SHIFT = 20;
constexpr uint32_t ARG_KIND_MASK = 3u << ARG_KIND_SHIFT;
enum arg_kind : uint32_t { ARG_PLAIN = 0, ARG_GET = 1, ARG_LIT = 2 };
// The compiled spec lives in cell 1 of the callee's more block.
constexpr uint32_t MORE_SPEC = 1;

// --- Positions ---------------------------------------------------------------------------

inline cell* at(const cell* code, uint32_t i) { return node_buffer(series_node(code))->cells() + i; }
// The cell at i, or null at end or past the block's current length (one read of the node).
inline cell* at_within(const cell* code, uint32_t i, uint32_t end) {
    if (i >= end) return nullptr;  // at an expression's end, without reading the node
    series_buffer* b = node_buffer(series_node(code));
    cell* c = b->cells() + i;
    // A buffer's cell is never null: its callers' tests of the result are the bounds tests.
    if (!c) __builtin_unreachable();
    return c < b->cells_tail() ? c : nullptr;
}
// A block's cells from its buffer's start, whatever its head: a shift, where the series
// length divides by the unit.
inline uint32_t cells_in(const cell* block) {
    return static_cast<uint32_t>(node_buffer(series_node(block))->used_bytes() / sizeof(cell));
}
// end, or less when the block was cut meanwhile.
inline uint32_t limit(const cell* code, uint32_t end) {
    uint32_t length = cells_in(code);
    return end < length ? end : length;
}

inline bool callable_q(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

// Whether a word holding a value of type t does more than push it (a call, or unset's and
// an op's errors): one read of a table by the type's byte.
constexpr auto word_runs = [] {
    std::array<bool, 256> runs{};
    for (uint32_t t : {TYPE_UNSET, TYPE_OP, TYPE_NATIVE, TYPE_ACTION, TYPE_FUNCTION, TYPE_ROUTINE}) runs[t] = true;
    return runs;
}();
inline bool word_runs_q(uint32_t t) { return word_runs[t & 0xFF]; }

// The natives whose calls through a word take their own call paths: told by number, one compare.
constexpr uint32_t NATIVE_IF = 1;
constexpr uint32_t NATIVE_EITHER = 3;
constexpr uint32_t NATIVE_ANY = 4;
constexpr uint32_t NATIVE_ALL = 5;

using _context::bound_value;
using _context::settable_value;

// Arithmetic (division, remainder and bitwise included) and comparison of two integers, and add,
// subtract and multiply of floats with integers or floats, computed here: an operator whose
// right operand is a literal or a word skips the call machinery, any other call of these
// skips the action once its arguments are fetched. The actions and natives compute the
// same, and none of these cases can fail (a division or remainder that would fail is left
// to the action for its errors; float comparison keeps its tolerance rule in the natives).
constexpr uint32_t NATIVE_EQUAL_Q = 25;  // equal? .. greater-or-equal? are 25 .. 31
// A comparison of two integers as the outcomes it is true for: bit 0 less, bit 1 equal, bit 2
// greater; by native number from equal?, which computes the same.
constexpr uint32_t LESS = 1, SAME = 2, MORE = 4;
constexpr int32_t infix_compare_outcomes[7] = {SAME, LESS | MORE, SAME, LESS, MORE, LESS | SAME, MORE | SAME};

// What the number fast path computes for a callee (an op's wrapped type and index) with a
// left operand of type lt: math (a math op) or compare (its outcomes) is set, else it is not
// for the fast path.
struct number_op {
    int32_t math = -1, compare = -1;
    explicit operator bool() const { return math >= 0 || compare >= 0; }
};

// The math op of each action the number path computes, by action number; -1 for the rest.
constexpr auto action_math_ops = [] {
    std::array<int8_t, ACT_XOR + 1> ops{};
    ops.fill(-1);
    ops[ACT_ADD] = OP_ADD;
    ops[ACT_SUBTRACT] = OP_SUBTRACT;
    ops[ACT_MULTIPLY] = OP_MULTIPLY;
    ops[ACT_DIVIDE] = OP_DIVIDE;
    ops[ACT_REMAINDER] = OP_REMAINDER;
    ops[ACT_AND] = OP_AND;
    ops[ACT_OR] = OP_OR;
    ops[ACT_XOR] = OP_XOR;
    return ops;
}();

[[gnu::always_inline]] inline number_op number_op_of(uint32_t wrapped, uint32_t index, uint32_t lt) {
    number_op o;
    if (lt != TYPE_INTEGER && lt != TYPE_FLOAT) return o;
    if (wrapped == TYPE_ACTION) {
        if (index < action_math_ops.size()) o.math = action_math_ops[index];
        // Only integers take the rest; the float and other cases keep their own rules.
        if (o.math > OP_MULTIPLY && lt != TYPE_INTEGER) o.math = -1;
    } else if (wrapped == TYPE_NATIVE && index >= NATIVE_EQUAL_Q && index < NATIVE_EQUAL_Q + 7 && lt == TYPE_INTEGER) {
        o.compare = infix_compare_outcomes[index - NATIVE_EQUAL_Q];
    }
    return o;
}

// Whether l and r compare as one of the outcomes.
[[gnu::always_inline]] inline bool integer_compare(int32_t outcomes, int32_t l, int32_t r) {
    int outcome = (l > r) - (l < r) + 1;  // 0 less, 1 equal, 2 greater
    return outcomes >> outcome & 1;
}

// o, number_op_of for left's type, applied to left and right when the right operand fits and
// nothing can fail; the result replaces left.
[[gnu::always_inline]] inline bool number_apply(number_op o, cell* left, const cell* right) {
    uint32_t lt = TYPE_OF(left), rt = TYPE_OF(right);
    if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) [[likely]] {
        auto l = static_cast<int32_t>(left->w2), r = static_cast<int32_t>(right->w2);
        // The common sums inline; an overflow (it widens to float) and the rest go through
        // the integer code.
        int32_t sum;
        if ((o.math == OP_ADD && !__builtin_add_overflow(l, r, &sum)) ||
            (o.math == OP_SUBTRACT && !__builtin_sub_overflow(l, r, &sum))) {
            left->w2 = static_cast<uint32_t>(sum);
            return true;
        }
        if (o.math < 0) {
            *left = integer_compare(o.compare, l, r) ? true_value : false_value;
            return true;
        }
        // A division or remainder that would fail is left to the action, which raises the error.
        if ((o.math == OP_DIVIDE || o.math == OP_REMAINDER) && (r == 0 || (r == -1 && l == INT32_MIN))) return false;
        integer::do_math_op(l, r, o.math, left);
        return true;
    }
    // A float on either side: add, subtract and multiply only (a float left operand's number_op
    // has no other).
    if (rt == TYPE_FLOAT ? static_cast<uint32_t>(o.math) > OP_MULTIPLY : rt != TYPE_INTEGER) return false;
    double x = lt == TYPE_FLOAT ? cell_float(left) : static_cast<int32_t>(left->w2);
    double y = rt == TYPE_FLOAT ? cell_float(right) : static_cast<int32_t>(right->w2);
    left->header = TYPE_FLOAT;
    set_cell_float(left, o.math == OP_ADD ? x + y : o.math == OP_SUBTRACT ? x - y : x * y);
    return true;
}

// o, an operator's number_op for the left operand, applied when the right one is a number or
// a word holding one; pc moves past it.
[[gnu::always_inline]] inline bool number_infix(number_op o, cell* code, uint32_t& pc, uint32_t end, cell* left) {
    if (!o) return false;
    const cell* right = at_within(code, pc, end);
    if (!right) return false;
    if (TYPE_OF(right) == TYPE_WORD) right = bound_value(right);
    if (!right || !number_apply(o, left, right)) return false;
    pc++;
    return true;
}

// A word's value: the fast path for bound words, the context module for the rest (and
// its errors).
inline cell* word_value(const cell* word) {
    cell* v = bound_value(word);
    return v ? v : _context::get(word);
}

// The word naming a frame, rebuilt from its record (the record's context node is kept
// current by the collector; a word cell held in C++ would not be).
cell frame_name(const call_frame* f) {
    cell w{TYPE_WORD, f->word_ctx, f->symbol, static_cast<uint32_t>(-1)};
    if (f->word_ctx) w = word::word_for_symbol(f->word_ctx, f->symbol);
    return w;
}

// A block's near frame, linked while its expressions run and unlinked on every way out.
// Its block and pc are set when it is linked, not before: nothing reads them until then.
struct near_scope {
    near_frame frame;
    near_scope() { frame.outer = near_position; }
    void link(const cell* block, uint32_t pc) {
        frame.block = block;
        frame.pc = pc;
        near_position = &frame;
    }
    ~near_scope() { near_position = frame.outer; }
};

// --- Compiled argument spec ----------------------------------------------------------------

// Walks the spec block and appends the compiled form to out (a block on the stack): a
// typeset per argument (kind in the header), a refinement per refinement (natives and
// actions number them from 1 in w3), then the count of locals (functions) or refinements.
void compile_spec(const cell* callee, cell* out) {
    bool function = TYPE_OF(callee) == TYPE_FUNCTION || TYPE_OF(callee) == TYPE_ROUTINE;
    const uint32_t return_name = sym(SYM_RETURN);
    const uint32_t local_name = symbol::resolve(runtime_refinements[REF_LOCAL].w2);
    root_node spec(callee->w2);
    int32_t refinements = 0, locals = 0;
    bool in_locals = false;
    uint32_t count = static_cast<uint32_t>(node_buffer(spec.node)->used_bytes() / sizeof(cell));
    for (uint32_t i = 0; i < count; i++) {
        cell item = *series_cell(spec.node, i);
        uint32_t t = TYPE_OF(&item);
        if (in_locals) {
            if (t == TYPE_SET_WORD) break;
            if (t == TYPE_WORD) locals++;
            continue;
        }
        switch (t) {
            case TYPE_WORD:
            case TYPE_GET_WORD:
            case TYPE_LIT_WORD: {
                uint32_t kind = t == TYPE_WORD ? ARG_PLAIN : t == TYPE_GET_WORD ? ARG_GET : ARG_LIT;
                cell* ts;
                if (i + 1 < count && TYPE_OF(series_cell(spec.node, i + 1)) == TYPE_BLOCK) {
                    cell* types = stack::push(series_cell(spec.node, i + 1));
                    ts = typeset::make_in_from_spec(out, types);
                    stack::pop(1);
                } else {
                    ts = typeset::make_in_default(out);
                }
                ts->header |= kind << ARG_KIND_SHIFT;
                break;
            }
            case TYPE_REFINEMENT:
                if (symbol::resolve(item.w2) == local_name) {
                    in_locals = true;
                    locals = 1;
                    break;
                }
                item = cell{TYPE_REFINEMENT, 0, item.w2, static_cast<uint32_t>(++refinements)};
                block::ks_append(out, &item);
                break;
            case TYPE_SET_WORD:
                if (symbol::resolve(item.w2) != return_name) fire(script_error::bad_func_def, &item);
                if (i + 1 < count && TYPE_OF(series_cell(spec.node, i + 1)) == TYPE_BLOCK) i++;
                break;
            default:
                break;  // doc strings, type blocks, the attribute block
        }
    }
    cell n = integer_value(function ? locals : refinements);
    block::ks_append(out, &n);
}

// The first use of a spec: compiles it and caches it. callee must not move.
[[gnu::noinline]] node_id compile_cached_spec(cell* callee) {
    cell* cached = series_cell(callee->w3, MORE_SPEC);
    node_id box = TYPE_OF(cached) == TYPE_PAREN ? series_node(cached) : 0;
    if (box && TYPE_OF(series_cell(box, 0)) == TYPE_BLOCK) {
        *cached = *series_cell(box, 0);
        return series_node(cached);
    }
    root_node keep_box(box);
    cell* out = block::push_only(8);
    compile_spec(callee, out);
    *series_cell(callee->w3, MORE_SPEC) = *out;
    if (box) *series_cell(keep_box.node, 0) = *out;
    node_id node = series_node(out);
    stack::pop(1);
    return node;
}

// The compiled spec's node, built and cached on first use. callee must not move.
inline node_id compiled_spec(cell* callee) {
    const cell* cached = series_cell(callee->w3, MORE_SPEC);
    return TYPE_OF(cached) == TYPE_BLOCK ? series_node(cached) : compile_cached_spec(callee);
}

inline uint32_t spec_length(node_id spec) {
    return static_cast<uint32_t>(node_buffer(spec)->used_bytes() / sizeof(cell)) - 1;
}

// --- Call plans -----------------------------------------------------------------------

constexpr uint32_t MAX_REFINEMENTS = 32;

// A callee's compiled spec decoded once into C++, so that a call reads its arguments'
// typesets and finds a path's refinements without walking the spec. Plans never
// change once made; the compiled spec's cell holds the plan's number in w3 (a block cell's
// w3 is otherwise unused, 0 before the plan is made), or NO_PLAN for a spec too long for one.
constexpr uint32_t PLAN_SPEC_CELLS = 24;
constexpr uint32_t NO_PLAN = 1;

struct call_plan {
    struct refinement {
        uint32_t symbol;  // resolved
        uint32_t spec_index;
        uint32_t arity;
    };
    uint32_t length;  // spec cells: arguments and refinements
    uint32_t args;    // the fixed arguments before the first refinement
    uint32_t refinement_count;
    int32_t locals;  // a function's; 0 for natives and actions
    // A function's frame after its fixed arguments: every refinement inactive (false, then
    // none per argument), then the locals (false for /local, none per word). tail cells in
    // all, false where tail_false has the cell's bit (all lie within the spec's cells), else
    // none. 32 bits: no padding in the bytes that tell plans apart.
    uint32_t tail;
    uint32_t tail_false;
    cell types[PLAN_SPEC_CELLS];  // by spec index; a refinement's cell is its own
    refinement refinements[MAX_REFINEMENTS];
    uint64_t accepts[PLAN_SPEC_CELLS];  // types[i] as a mask by type: one test per argument
    // The symbol, as written, of the last refinement a path named, and its number from 0: a
    // path in a loop names the same one call after call. A symbol's spelling never changes
    // what it resolves to.
    mutable uint32_t last_written = UINT32_MAX;  // no symbol
    mutable uint32_t last_found = 0;

    // The number from 0 of the refinement a path element's symbol names, or refinement_count.
    uint32_t refinement_named(uint32_t written) const {
        if (written == last_written) return last_found;
        uint32_t symbol = symbol::resolve(written);
        uint32_t k = 0;
        while (k < refinement_count && refinements[k].symbol != symbol) k++;
        if (k < refinement_count) {
            last_written = written;
            last_found = k;
        }
        return k;
    }
};
static_assert(TYPE_EVENT < 64, "a plan's type masks hold every type");
static_assert(PLAN_SPEC_CELLS < 32 && offsetof(call_plan, types) == 6 * sizeof(uint32_t),
              "a plan's tail bits hold its spec's cells, and its leading fields have no padding");

inline bool plan_accepts(uint64_t mask, uint32_t type) { return type < 64 && (mask >> type & 1); }

// A typeset's first 64 types as a mask, bit t for type t: its map's bytes in memory order
// with each byte's bits reversed.
uint64_t type_mask(const cell* ts) {
    static_assert(std::endian::native == std::endian::little);
    uint64_t m;
    std::memcpy(&m, &ts->w1, sizeof m);
    m = (m >> 1 & 0x5555555555555555) | (m & 0x5555555555555555) << 1;
    m = (m >> 2 & 0x3333333333333333) | (m & 0x3333333333333333) << 2;
    return (m >> 4 & 0x0F0F0F0F0F0F0F0F) | (m & 0x0F0F0F0F0F0F0F0F) << 4;
}

// Each plan on its own: a nested call may add one while an outer call reads its own.
// Equal plans are made once, by their bytes: natives made at run time in a loop would
// otherwise add one per value.
// By number: 0 (none made yet) and NO_PLAN hold no plan, so that a call reads its plan with
// no test of the number.
std::vector<std::unique_ptr<const call_plan>> call_plans(2);
std::unordered_map<std::string, uint32_t> call_plan_ids;

[[gnu::noinline]] uint32_t make_call_plan(cell* callee) {
    node_id spec = compiled_spec(callee);
    cell* cached = series_cell(callee->w3, MORE_SPEC);
    uint32_t n = spec_length(spec);
    bool function = TYPE_OF(callee) == TYPE_FUNCTION;
    // A function's spec ends with its locals, a native's with its refinements.
    int32_t last = int_of(series_cell(spec, n));
    uint32_t refinement_count = 0;
    if (!function) refinement_count = static_cast<uint32_t>(last);
    else for (uint32_t i = 0; i < n; i++) refinement_count += TYPE_OF(series_cell(spec, i)) == TYPE_REFINEMENT;
    if (n > PLAN_SPEC_CELLS || refinement_count > MAX_REFINEMENTS) return cached->w3 = NO_PLAN;
    call_plan plan{};
    plan.length = n;
    plan.refinement_count = refinement_count;
    plan.locals = function ? last : 0;
    while (plan.args < n && TYPE_OF(series_cell(spec, plan.args)) == TYPE_TYPESET) plan.args++;
    if (function) {
        plan.tail = n - plan.args + static_cast<uint32_t>(std::max(last, 0));
        for (uint32_t i = plan.args; i < n; i++)
            if (TYPE_OF(series_cell(spec, i)) == TYPE_REFINEMENT) plan.tail_false |= 1u << (i - plan.args);
        if (last > 0) plan.tail_false |= 1u << (n - plan.args);
    }
    for (uint32_t i = 0; i < n; i++) {
        const cell* e = series_cell(spec, i);
        plan.types[i] = *e;
        plan.accepts[i] = type_mask(e);
        if (TYPE_OF(e) != TYPE_REFINEMENT) continue;
        call_plan::refinement& r = plan.refinements[e->w3 - 1];
        r.symbol = symbol::resolve(e->w2);
        r.spec_index = i;
        while (i + 1 + r.arity < n && TYPE_OF(series_cell(spec, i + 1 + r.arity)) == TYPE_TYPESET) r.arity++;
    }
    // The parts in use tell plans apart; the rest is zeros.
    std::string bytes(reinterpret_cast<const char*>(&plan), offsetof(call_plan, types) + n * sizeof(cell));
    bytes.append(reinterpret_cast<const char*>(plan.refinements), refinement_count * sizeof(call_plan::refinement));
    auto [known, added] = call_plan_ids.try_emplace(bytes, static_cast<uint32_t>(call_plans.size()));
    if (added) call_plans.push_back(std::make_unique<const call_plan>(plan));
    return cached->w3 = known->second;
}

// The plan of a native, action or function callee (which must not move), or null.
inline const call_plan* plan_of(cell* callee) {
    const cell* cached = series_cell(callee->w3, MORE_SPEC);
    uint32_t id = TYPE_OF(cached) == TYPE_BLOCK && cached->w3 ? cached->w3 : make_call_plan(callee);
    return call_plans[id].get();
}

// --- The evaluator ---------------------------------------------------------------------------

// Pops the top call's record; its result takes the place of the callee, which lies just below
// the frame's base. Found there, the callee needs no register across the call.
inline void pop_call() {
    cell* callee = stack::arguments - 1;
    stack::unwind();
    callee[0] = callee[1];
    stack::top = callee + 1;
}

struct call {
    cell* callee;         // does not move
    call_frame* frame;    // the call's own record
    cell* code;
    uint32_t& pc;
    uint32_t end;
    bool infix;
    uint32_t apply;
};

// The evaluation functions, compiled twice from one body: with the trace firing points
// (traced) and without them. Each entry from outside picks the copy by the tracing flag,
// so that the firing points cost nothing while tracing is off.
template <bool traced>
struct evaluator {
    static bool firing() { return traced && trace_on(); }

    [[nodiscard]] static uint32_t eval_block(cell* block, bool chain);
    [[nodiscard]] static uint32_t eval_block_here(cell* block, bool chain);
    [[nodiscard]] static uint32_t eval_block_pushed(cell* block);
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_block_here(cell* block, bool chain);
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_here(cell* block, near_scope& near);
    template <bool sub>
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_values(cell* block, near_scope& near, uint32_t pc,
                                                                        uint32_t end);
    template <class Step>
    [[nodiscard]] static uint32_t eval_rounds(cell* block, Step& step);
    [[nodiscard]] static uint32_t eval_next(cell* code, uint32_t& pc, uint32_t end, bool sub);
    [[nodiscard]] static uint32_t eval_expression(cell* code, uint32_t& pc, uint32_t end, bool prefix, bool sub,
                                                  bool literal_functions = false);
    [[nodiscard, gnu::always_inline]] static inline uint32_t eval_call(cell* fn, cell* code, uint32_t& pc,
                                                                       uint32_t end, const cell* path,
                                                                       uint32_t path_from, const cell* name,
                                                                       bool infix, uint32_t apply = 0);
    [[nodiscard]] static uint32_t eval_word_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name);
    [[nodiscard]] static uint32_t eval_path_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                                 uint32_t path_from, const cell* name);
    [[nodiscard]] static uint32_t eval_written_path_call(cell* fn, cell* code, uint32_t& pc, uint32_t end,
                                                         const cell* written, const cell* name);
    [[nodiscard]] static uint32_t eval_any_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                                uint32_t path_from, const cell* name, bool infix, uint32_t apply);
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_call(cell* fn, cell* code, uint32_t& pc, uint32_t end,
                                                                      const cell* path, uint32_t path_from,
                                                                      const cell* name, bool infix, uint32_t apply);
    [[nodiscard]] static uint32_t exec_function(cell* fn);
    [[nodiscard]] static uint32_t eval_path(cell* code, uint32_t& pc, uint32_t end);
    [[nodiscard, gnu::noinline]] static uint32_t walk_path(cell* code, uint32_t& pc, uint32_t end);
    [[nodiscard, gnu::noinline]] static uint32_t eval_object_path(const cell* owner, cell* code, uint32_t& pc,
                                                                  uint32_t end);

    [[gnu::always_inline]] static inline uint32_t infix_ops(cell* start, cell* code, uint32_t& pc, uint32_t end);
    template <bool set_words = false>
    [[gnu::always_inline]] static inline uint32_t eval_simple(cell* value, cell* code, uint32_t& pc, uint32_t end,
                                                              bool prefix, bool sub);
    [[gnu::always_inline]] static inline uint32_t eval_set_word(cell* value, cell* code, uint32_t& pc, uint32_t end);
    [[nodiscard, gnu::noinline]] static uint32_t eval_paren(cell* value, uint32_t& pc);
    [[nodiscard, gnu::always_inline]] static inline uint32_t push_arg(const call& c, int32_t param, const cell& ts);
    [[nodiscard, gnu::always_inline]] static inline uint32_t fetch_arg(const call& c, int32_t param, const cell& ts);
    [[nodiscard, gnu::always_inline]] static inline uint32_t fetch_planned(const call& c, const call_plan& plan,
                                                                           uint32_t i);
    [[nodiscard]] static uint32_t fetch_one(const call& c, int32_t param, uint32_t spec_index);
    [[nodiscard]] static uint32_t fetch_refinements(const call& c, const cell* path, uint32_t from, int32_t* refs,
                                                    bool function);
    [[nodiscard]] static uint32_t fetch_applied_refinements(const call& c, uint32_t first, int32_t* refs,
                                                            bool function);
    [[nodiscard]] static uint32_t fetch_and_run(const call& c, const cell* path, uint32_t path_from);
    [[nodiscard, gnu::always_inline]] static inline uint32_t exec_body(cell* fn);
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_branch(bool either);
    [[nodiscard]] static uint32_t eval_number_op(cell* fn, number_op o, cell* code, uint32_t& pc, uint32_t end,
                                                 const cell* name);
    [[nodiscard, gnu::always_inline]] static inline uint32_t fetch_right_operand(const call& c, const call_plan& plan);
    [[nodiscard]] static uint32_t eval_function_call(cell* fn, cell* code, uint32_t& pc, uint32_t end,
                                                     const cell* name);
    template <bool either>
    [[nodiscard]] static uint32_t eval_branch_call(cell* fn, cell* code, uint32_t& pc, uint32_t end,
                                                   const cell* name);
    [[nodiscard, gnu::always_inline]] static inline uint32_t run_planned(const call& c, const call_plan& plan,
                                                                         const cell* path, uint32_t path_from);
    [[nodiscard, gnu::noinline]] static uint32_t run_any_all(bool all);
    [[nodiscard]] static uint32_t eval_any_all_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name,
                                                    bool all);
};

// --- Simple expressions ----------------------------------------------------------------------

// A paren at pc, its result left in place of its copy on the stack. Out of line with its
// block run inside: one C++ frame per paren, and no paren code in every caller.
template <bool traced>
uint32_t evaluator<traced>::eval_paren(cell* value, uint32_t& pc) {
    cell* paren = stack::push(value);
    pc++;
    if (uint32_t c = run_block_here(paren, false)) return c;
    // The result stood above the paren's copy.
    paren[0] = paren[1];
    stack::top = paren + 1;
    return 0;
}

// The infix operators after the value at start, applied left to right with no precedence;
// a function's local word outside its call has no values and is skipped unread.
template <bool traced>
uint32_t evaluator<traced>::infix_ops(cell* start, cell* code, uint32_t& pc, uint32_t end) {
    while (cell* next = at_within(code, pc, end)) {
        if (TYPE_OF(next) != TYPE_WORD) break;
        cell* v = bound_value(next);
        if (!v || TYPE_OF(v) != TYPE_OP) break;
        // The name is read before anything runs: traced, before the event; untraced, the
        // number path, which only reads, comes first, and a number operator's call takes the
        // word in the code.
        cell name;
        if constexpr (traced) name = *next;
        if (firing()) [[unlikely]] {
            fire_interp_event(TRACE_FETCH, code, pc, nullptr, next);
            cell* again = at_within(code, pc, end);
            v = again ? bound_value(again) : nullptr;
            if (!v || TYPE_OF(v) != TYPE_OP) break;
        }
        pc++;
        stack::top = start + 1;
        if (!firing()) {
            number_op o = number_op_of(op_wrapped_type(v), v->w1, TYPE_OF(start));
            if (number_infix(o, code, pc, end, start)) continue;
            if constexpr (!traced) {
                if (o) {
                    if (uint32_t c = eval_number_op(v, o, code, pc, end, next)) return c;
                    continue;
                }
                name = *next;
            }
        }
        if (uint32_t c = eval_call(v, code, pc, end, nullptr, 0, &name, true)) return c;
    }
    return 0;
}

// What a lone value evaluates to when that runs no code and cannot fail: a number, block or
// string, or a bound word holding a plain value; else null.
inline const cell* inert_value(const cell* value) {
    switch (TYPE_OF(value)) {
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_BLOCK:
        case TYPE_STRING:
            return value;
        case TYPE_WORD: {
            const cell* v = bound_value(value);
            if (!v) return nullptr;
            uint32_t t = TYPE_OF(v);
            return word_runs_q(t) ? nullptr : v;
        }
        default:
            return nullptr;
    }
}

// The inert value a block holds alone, or null.
inline const cell* lone_inert_value(const cell* block) {
    series_buffer* b = node_buffer(series_node(block));
    const cell* value = b->cells() + series_head(block);
    return value + 1 == b->cells_tail() ? inert_value(value) : nullptr;
}

// eval_expression's most frequent cases, inline in its callers: a number, block or string,
// a paren, a bound word holding a plain value, a call through a bound word, and with
// set_words a set-word. Anything else goes to eval_expression, which does the same for these. value:
// the cell at pc.
template <bool traced>
template <bool set_words>
uint32_t evaluator<traced>::eval_simple(cell* value, cell* code, uint32_t& pc, uint32_t end, bool prefix, bool sub) {
    // Tracing reports every step, which only the general path does.
    if (firing()) [[unlikely]] return eval_expression(code, pc, end, prefix, sub);
    cell* start = stack::top;
    // Words first, by one compare: most arguments and calls are.
    if (TYPE_OF(value) == TYPE_WORD) [[likely]] {
        cell* v = bound_value(value);
        if (!v) return eval_expression(code, pc, end, prefix, sub);
        uint32_t t = TYPE_OF(v);
        if (word_runs_q(t)) {
            // Function and branch calls name their frame from the word before anything
            // can move the code; other calls take a copy.
            if (t == TYPE_FUNCTION && !traced) {
                pc++;
                if (uint32_t c = eval_function_call(v, code, pc, end, value)) return c;
                goto operators;
            }
            // Unset's and an op's errors; the rest are calls.
            if (t == TYPE_UNSET || t == TYPE_OP) return eval_expression(code, pc, end, prefix, sub);
            pc++;
            if (t == TYPE_NATIVE && !traced) {
                if (v->w1 == NATIVE_EITHER) {
                    if (uint32_t c = eval_branch_call<true>(v, code, pc, end, value)) return c;
                    goto operators;
                }
                if (v->w1 == NATIVE_IF) {
                    if (uint32_t c = eval_branch_call<false>(v, code, pc, end, value)) return c;
                    goto operators;
                }
                if (v->w1 == NATIVE_ANY || v->w1 == NATIVE_ALL) {
                    cell name = *value;
                    if (uint32_t c = eval_any_all_call(v, code, pc, end, &name, v->w1 == NATIVE_ALL)) return c;
                    goto operators;
                }
            }
            cell name = *value;
            if (uint32_t c = eval_call(v, code, pc, end, nullptr, 0, &name, false)) return c;
            goto operators;
        }
        value = v;
        goto push;
    }
    // Then, in a block's body, set-words.
    if (set_words && TYPE_OF(value) == TYPE_SET_WORD) {
        if (uint32_t c = eval_set_word(value, code, pc, end)) return c;
        prefix = true;  // the value's expression took every operator after it
        goto operators;
    }
    switch (TYPE_OF(value)) {
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_BLOCK:
        case TYPE_STRING:
            break;
        case TYPE_PAREN:
            if (uint32_t c = eval_paren(value, pc)) return c;
            goto operators;
        case TYPE_PATH:
            if (uint32_t c = eval_path(code, pc, end)) return c;
            goto operators;
        default:
            return eval_expression(code, pc, end, prefix, sub);
    }
push:
    stack::push(value);
    pc++;
operators:
    if (!prefix)
        if (uint32_t c = infix_ops(start, code, pc, end)) return c;
    if (!sub) {
        *stack::arguments = *start;
        stack::keep();
    }
    return 0;
}

// The number operators after the number at start, as far as the fast path takes them;
// false when an operator is left for the general path (pc at it).
[[gnu::always_inline]] inline bool number_ops(cell* start, cell* code, uint32_t& pc, uint32_t end) {
    while (cell* next = at_within(code, pc, end)) {
        if (TYPE_OF(next) != TYPE_WORD) return true;
        cell* v = bound_value(next);
        if (!v || TYPE_OF(v) != TYPE_OP) return true;
        pc++;
        if (!number_infix(number_op_of(op_wrapped_type(v), v->w1, TYPE_OF(start)), code, pc, end, start)) {
            pc--;
            return false;
        }
    }
    return true;
}

inline bool number_q(const cell* value) { return TYPE_OF(value) == TYPE_INTEGER || TYPE_OF(value) == TYPE_FLOAT; }

// A set-word, whose frame names it while the expression after it gives the value; the
// value is pushed. A number value computed by the fast path, which can neither fail nor
// be seen, does without the frame until something that can needs it.
template <bool traced>
uint32_t evaluator<traced>::eval_set_word(cell* value, cell* code, uint32_t& pc, uint32_t end) {
    cell* word = stack::push(value);  // slot 0
    bool framed = false;
    auto mark_frame = [word, &framed] {
        stack::mark_native_at(word, word);
        framed = true;
    };
    pc++;
    cell* next = at_within(code, pc, end);
    const cell* number = next && TYPE_OF(next) == TYPE_WORD ? bound_value(next) : next;
    if (!firing() && number && number_q(number)) {
        cell* start = stack::push(number);
        pc++;
        if (!number_ops(start, code, pc, end)) {
            mark_frame();
            if (uint32_t c = infix_ops(start, code, pc, end)) return c;
        }
    } else {
        mark_frame();
        if (!next) fire(script_error::need_value, word);
        if (uint32_t c = eval_simple(next, code, pc, end, false, true)) return c;
    }
    cell* v = word + 1;
    if (firing()) [[unlikely]] fire_interp_event(TRACE_SET, code, pc, word, v);
    if (TYPE_OF(v) == TYPE_UNSET) fire(script_error::need_value, word);
    if (cell* slot = settable_value(word)) {
        *slot = *v;
    } else {
        if (!framed) mark_frame();
        _context::set(word, v);
    }
    *word = *v;
    if (framed) stack::unwind();
    else stack::top = word + 1;
    return 0;
}

// --- Argument fetching ---------------------------------------------------------------------

// The errors of a call's arguments, raised while its record is the top one (whatever its
// arguments ran has returned), which names the call. They take the callee, not the call,
// so that a call's fields can stay in registers.
[[noreturn, gnu::noinline, gnu::cold]] void raise_no_arg(const cell* callee, int32_t param) {
    cell name = frame_name(stack::current_frame());
    cell word = *function::param_word_at(callee, param);
    fire(script_error::no_arg, &name, &word);
}

[[noreturn, gnu::noinline, gnu::cold]] void raise_expect_arg(const cell* callee, const cell* value, int32_t param) {
    cell name = frame_name(stack::current_frame());
    cell type = datatype_of(TYPE_OF(value));
    cell word = *function::param_word_at(callee, param);
    fire(script_error::expect_arg, &name, &type, &word);
}

// element: the path's word naming no refinement of the callee.
[[noreturn, gnu::noinline, gnu::cold]] void raise_no_refine(cell element) {
    cell name = frame_name(stack::current_frame());
    set_type(&element, TYPE_REFINEMENT);
    fire(script_error::no_refine, &name, &element);
}

// ts: the argument's typeset, a copy (it holds no node, so it outlives any allocation).
inline void check_arg(const call& c, const cell* value, int32_t param, const cell& ts) {
    if (!typeset_has(&ts, TYPE_OF(value))) [[unlikely]] raise_expect_arg(c.callee, value, param);
}
// Checks the value for spec index i of a planned call by the plan's mask.
inline void check_planned(const call& c, const call_plan& plan, uint32_t i, const cell* value) {
    if (!plan_accepts(plan.accepts[i], TYPE_OF(value))) [[unlikely]]
        raise_expect_arg(c.callee, value, static_cast<int32_t>(i));
}

// Fetches one argument by its kind and pushes it unchecked; ts is the argument's typeset.
template <bool traced>
uint32_t evaluator<traced>::push_arg(const call& c, int32_t param, const cell& ts) {
    uint32_t kind = (ts.header & ARG_KIND_MASK) >> ARG_KIND_SHIFT;
    cell* value = at_within(c.code, c.pc, c.end);
    if (!value) [[unlikely]] {
        if (kind == ARG_LIT && typeset_has(&ts, TYPE_UNSET)) {
            stack::push(&unset_value);
            return 0;
        }
        raise_no_arg(c.callee, param);
    }
    if (kind == ARG_PLAIN) [[likely]] {
        uint32_t end = c.apply & APPLY_SAFER ? std::min(c.end, c.pc + 1) : c.end;
        if (uint32_t code = eval_simple(value, c.code, c.pc, end, c.infix, true)) return code;
    } else {
        uint32_t t = TYPE_OF(value);
        if (kind == ARG_LIT && (t == TYPE_PAREN || t == TYPE_GET_WORD || t == TYPE_GET_PATH)) {
            if (uint32_t code = eval_expression(c.code, c.pc, c.end, true, true)) return code;
        } else {
            stack::push(value);
            c.pc++;
        }
    }
    return 0;
}

// Fetches one argument by its kind, pushes it and checks its type; ts is its typeset.
template <bool traced>
uint32_t evaluator<traced>::fetch_arg(const call& c, int32_t param, const cell& ts) {
    if (uint32_t code = push_arg(c, param, ts)) return code;
    check_arg(c, stack::top - 1, param, ts);
    return 0;
}

// As fetch_arg, for spec index i of a planned call.
template <bool traced>
uint32_t evaluator<traced>::fetch_planned(const call& c, const call_plan& plan, uint32_t i) {
    if (uint32_t code = push_arg(c, static_cast<int32_t>(i), plan.types[i])) return code;
    check_planned(c, plan, i, stack::top - 1);
    return 0;
}

// Fetches one argument by its kind and pushes it.
template <bool traced>
uint32_t evaluator<traced>::fetch_one(const call& c, int32_t param, uint32_t spec_index) {
    node_id spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
    const cell ts = *series_cell(spec, spec_index);
    return fetch_arg(c, param, ts);
}

// The spec position and parameter number of the refinement the path element names.
struct refinement_at {
    uint32_t spec_index;
    int32_t param;
    int32_t number;  // from 1
};

refinement_at find_refinement(node_id spec, uint32_t symbol) {
    uint32_t n = spec_length(spec);
    int32_t param = 0;
    for (uint32_t i = 0; i < n; i++, param++) {
        const cell* e = series_cell(spec, i);
        if (TYPE_OF(e) == TYPE_REFINEMENT && symbol::resolve(e->w2) == symbol)
            return {i, param, static_cast<int32_t>(e->w3)};
    }
    return {0, -1, 0};
}

// The argument count of the refinement at spec index i.
uint32_t refinement_arity(node_id spec, uint32_t i) {
    uint32_t n = spec_length(spec), k = 0;
    while (i + 1 + k < n && TYPE_OF(series_cell(spec, i + 1 + k)) == TYPE_TYPESET) k++;
    return k;
}

// Activates the refinements a path call names and fetches their arguments. For
// natives and actions refs gets each active refinement's first frame index; a function's
// frame already holds false and nones for every refinement.
template <bool traced>
uint32_t evaluator<traced>::fetch_refinements(const call& c, const cell* path, uint32_t from, int32_t* refs,
                                              bool function) {
    uint32_t length = static_cast<uint32_t>(block::ks_length_q(path)) + series_head(path);
    // Refinements named so far: a mask, heap only past 64 refinements (calls are hot).
    uint64_t used_low = 0;
    std::vector<bool> used_high;
    auto already_used = [&](uint32_t number) {
        if (number < 64) {
            bool was = used_low >> number & 1;
            used_low |= uint64_t{1} << number;
            return was;
        }
        if (used_high.size() <= number - 64) used_high.resize(number - 63);
        bool was = used_high[number - 64];
        used_high[number - 64] = true;
        return was;
    };
    for (uint32_t i = from; i < length; i++) {
        cell element = *block::ks_abs_at(path, static_cast<int32_t>(i));
        uint32_t t = TYPE_OF(&element);
        if (t != TYPE_WORD && t != TYPE_GET_WORD) fire(script_error::bad_refine, &element);
        node_id spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
        refinement_at r = find_refinement(spec, symbol::resolve(element.w2));
        if (r.param < 0) raise_no_refine(element);
        if (already_used(static_cast<uint32_t>(r.number))) fire(script_error::dup_refine, path);
        if (t == TYPE_GET_WORD && !value_true_q(word_value(&element), false, &element)) continue;
        uint32_t arity = refinement_arity(spec, r.spec_index);
        if (function) {
            cell* slot = stack::arguments + r.param;
            *slot = cell{TYPE_LOGIC, 1, 0, 0};
            for (uint32_t k = 0; k < arity; k++) {
                if (uint32_t code = fetch_one(c, r.param + 1 + static_cast<int32_t>(k), r.spec_index + 1 + k))
                    return code;
                stack::arguments[r.param + 1 + k] = *--stack::top;
            }
        } else {
            refs[r.number - 1] = static_cast<int32_t>(stack::top - stack::arguments);
            for (uint32_t k = 0; k < arity; k++)
                if (uint32_t code = fetch_one(c, r.param + 1 + static_cast<int32_t>(k), r.spec_index + 1 + k))
                    return code;
        }
    }
    return 0;
}

// apply/all: each refinement of the spec takes its truth from the next value (false past
// the tail), then its arguments; an inactive one's arguments are evaluated and dropped, or
// skipped under /safer.
template <bool traced>
uint32_t evaluator<traced>::fetch_applied_refinements(const call& c, uint32_t first, int32_t* refs,
                                                      bool function) {
    node_id spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
    uint32_t n = spec_length(spec);
    for (uint32_t i = first; i < n; i++) {
        const cell e = *series_cell(spec, i);
        if (TYPE_OF(&e) != TYPE_REFINEMENT) continue;
        int32_t param = static_cast<int32_t>(i);
        uint32_t arity = refinement_arity(spec, i);
        bool active = false;
        if (c.pc < limit(c.code, c.end)) {
            if (uint32_t code = eval_expression(c.code, c.pc, c.end, false, true)) return code;
            active = value_true_q(--stack::top, false, nullptr);
        }
        if (!active) {
            for (uint32_t k = 0; k < arity && c.pc < limit(c.code, c.end); k++) {
                if (c.apply & APPLY_SAFER) {
                    c.pc++;
                    continue;
                }
                if (uint32_t code = eval_expression(c.code, c.pc, c.end, false, true)) return code;
                stack::top--;
            }
            continue;
        }
        if (!function) refs[e.w3 - 1] = static_cast<int32_t>(stack::top - stack::arguments);
        else stack::arguments[param] = cell{TYPE_LOGIC, 1, 0, 0};
        for (uint32_t k = 0; k < arity; k++) {
            int32_t at = param + 1 + static_cast<int32_t>(k);
            if (c.pc >= limit(c.code, c.end)) {
                if (!function) stack::push(&none_value);
                continue;
            }
            if (uint32_t code = fetch_one(c, at, i + 1 + k)) return code;
            if (function) stack::arguments[at] = *--stack::top;
        }
        spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
    }
    return 0;
}

// either and if, run here without the natives' own call: the branch the condition in
// slot 0 picks, or none when if's condition fails.
template <bool traced>
uint32_t evaluator<traced>::run_branch(bool either) {
    cell* base = stack::arguments;
    if (either && TYPE_OF(base) == TYPE_UNSET) fire(script_error::no_return);
    cell* branch = base + 1;
    if (TYPE_OF(base) == TYPE_LOGIC ? base->w1 != 1 : !value_true_q(base, false, nullptr)) {
        if (!either) {
            stack::set_last_keep(&none_value);
            return 0;
        }
        branch++;
    }
    // A branch holding one inert value gives it without entering the block, which only a
    // trace could tell.
    if (const cell* only = firing() ? nullptr : lone_inert_value(branch)) {
        stack::set_last_keep(only);
        return 0;
    }
    if (uint32_t code = eval_block_here(branch, true)) return code;
    stack::keep();
    return 0;
}

// The arguments from spec index first on written as blocks with no operator after them,
// pushed as fetch_arg would push them with one read of the code, up to the first that is
// not; the index of that one, which fetch_arg takes.
inline uint32_t push_branch_blocks(const call& c, const call_plan& plan, uint32_t first, uint32_t arity) {
    series_buffer* b = node_buffer(series_node(c.code));
    uint32_t last = std::min(c.end, static_cast<uint32_t>(b->cells_tail() - b->cells()));
    uint32_t pc = c.pc, i = first;
    for (; i < arity; i++, pc++) {
        cell* value = b->cells() + pc;
        if (pc >= last || TYPE_OF(value) != TYPE_BLOCK) break;
        if (pc + 1 < last && TYPE_OF(value + 1) == TYPE_WORD) {
            const cell* v = bound_value(value + 1);
            if (v && TYPE_OF(v) == TYPE_OP) break;
        }
        if (!plan_accepts(plan.accepts[i], TYPE_BLOCK)) break;
        stack::push(value);
    }
    c.pc = pc;
    return i;
}

// either and if called through a word, as eval_call calls them, without its general path
// when their plan is the plain one, all arguments (any other goes through fetch_and_run).
// name is read before anything runs: it may be the word in the code. Each has its own copy,
// its arity fixed. A condition the number path computes, which can neither fail nor be seen,
// does without the record until something that can needs it; a branch holding one inert
// value then needs none at all.
template <bool traced>
template <bool either>
uint32_t evaluator<traced>::eval_branch_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name) {
    const cell naming = *name;
    cell* callee = stack::push(fn);
    uint32_t arity = either ? 3 : 2;
    const call_plan* plan = plan_of(callee);
    cell* args = callee + 1;
    auto mark_frame = [args, &naming] { stack::mark_native_at(args, &naming); };
    if (plan && plan->length == arity && plan->args == arity) {
        call c{callee, nullptr, code, pc, end, false, 0};
        uint32_t i = 0;
        cell* value = at_within(code, pc, end);
        const cell* number = value && TYPE_OF(value) == TYPE_WORD ? bound_value(value) : value;
        if (number && number_q(number) &&
            (plan->types[0].header & ARG_KIND_MASK) == ARG_PLAIN << ARG_KIND_SHIFT) {
            stack::push(number);
            pc++;
            if (number_ops(args, code, pc, end) && plan_accepts(plan->accepts[0], TYPE_OF(args))) {
                i = push_branch_blocks(c, *plan, 1, arity);
                if (i == arity) {
                    bool truth = TYPE_OF(args) != TYPE_LOGIC || args->w1 == 1;
                    cell* branch = truth ? args + 1 : either ? args + 2 : nullptr;
                    const cell* only = branch ? lone_inert_value(branch) : &none_value;
                    if (only) {
                        *callee = *only;
                        stack::top = args;
                        return 0;
                    }
                    mark_frame();
                    if (uint32_t code_ = eval_block_here(branch, true)) return code_;
                    pop_call();
                    return 0;
                }
                mark_frame();
            } else {
                mark_frame();
                if (uint32_t code_ = infix_ops(args, code, pc, end)) return code_;
                check_planned(c, *plan, 0, args);
                i = push_branch_blocks(c, *plan, 1, arity);
            }
        } else {
            mark_frame();
            if (uint32_t code_ = fetch_planned(c, *plan, 0)) return code_;
            i = push_branch_blocks(c, *plan, 1, arity);
        }
        for (; i < arity; i++)
            if (uint32_t code_ = fetch_planned(c, *plan, i)) return code_;
        if (uint32_t code_ = run_branch(either)) return code_;
    } else {
        mark_frame();
        call c{callee, stack::current_frame(), code, pc, end, false, 0};
        if (uint32_t code_ = fetch_and_run(c, nullptr, 0)) return code_;
    }
    pop_call();
    return 0;
}


const cell false_value{TYPE_LOGIC, 0, 0, 0};

// Inline in every call: out of line, the lookup cost a call of its own per native call.
[[gnu::always_inline]] inline native_code native_entry_of(const cell* callee) {
    native_code entry = native_entries[callee->w1 - 1];
    if (!entry) [[unlikely]] fire(internal_error::not_done);
    return entry;
}
[[gnu::always_inline]] inline action_code action_entry_of(const cell* callee) {
    action_code entry = action_entries[callee->w1 - 1];
    if (!entry) [[unlikely]] fire(internal_error::not_done);
    return entry;
}

// An infix call's callee: the op, retyped to what it wraps, takes the left operand's place;
// the operand moves up to be slot 0.
inline cell* push_infix_callee(const cell* fn) {
    cell* callee = stack::top - 1;
    cell left = *callee;
    *callee = *fn;
    callee->header = (callee->header & ~(0xFFu | OP_WRAPPED_MASK)) | op_wrapped_type(fn);
    stack::push(&left);
    stack::top = callee + 1;
    return callee;
}

// The right operand of a number operator whose plan is two arguments, as fetch_planned fetches
// it; a paren, and a call of a native or action through a word, go to their own paths without
// the general evaluation of an argument.
template <bool traced>
uint32_t evaluator<traced>::fetch_right_operand(const call& c, const call_plan& plan) {
    cell* value = at_within(c.code, c.pc, c.end);
    cell* fn = value && TYPE_OF(value) == TYPE_WORD ? bound_value(value) : nullptr;
    bool plain = (plan.types[1].header & ARG_KIND_MASK) == ARG_PLAIN << ARG_KIND_SHIFT;
    uint32_t code;
    if (fn && plain && (TYPE_OF(fn) == TYPE_NATIVE || TYPE_OF(fn) == TYPE_ACTION)) {
        cell name = *value;
        c.pc++;
        bool any_all = TYPE_OF(fn) == TYPE_NATIVE && (fn->w1 == NATIVE_ANY || fn->w1 == NATIVE_ALL);
        code = any_all ? eval_any_all_call(fn, c.code, c.pc, c.end, &name, fn->w1 == NATIVE_ALL)
                       : eval_word_call(fn, c.code, c.pc, c.end, &name);
    } else if (value && plain && TYPE_OF(value) == TYPE_PAREN && !firing()) {
        // What eval_simple makes of a paren with no operator taken after it.
        code = eval_paren(value, c.pc);
    } else {
        return fetch_planned(c, plan, 1);
    }
    if (code) return code;
    check_planned(c, plan, 1, stack::top - 1);
    return 0;
}

// A number operator whose right operand the fast path could not take (a paren, a call), called
// as eval_call and fetch_and_run call it when its spec is two plain arguments: computed in
// place when both are numbers it takes, else by its action or native. Other specs go the
// general way. o: the operator's number_op for the left operand. name is read before anything
// runs: it may be the word in the code.
template <bool traced>
uint32_t evaluator<traced>::eval_number_op(cell* fn, number_op o, cell* code, uint32_t& pc, uint32_t end,
                                           const cell* name) {
    cell* callee = push_infix_callee(fn);
    stack::mark_native(name);
    stack::top++;
    const call_plan* plan = plan_of(callee);
    if (plan && plan->length == 2 && plan->args == 2) {
        call c{callee, stack::current_frame(), code, pc, end, true, 0};
        cell* args = callee + 1;  // the frame's arguments, which stay put
        check_planned(c, *plan, 0, args);
        if (uint32_t code_ = fetch_right_operand(c, *plan)) return code_;
        if (!number_apply(o, args, args + 1)) {
            int32_t refs[1] = {-1};
            uint32_t code_ = TYPE_OF(callee) == TYPE_ACTION
                                 ? static_cast<uint32_t>(action_entry_of(callee)(refs))
                                 : static_cast<uint32_t>(native_entry_of(callee)(false, refs));
            if (code_) return code_;
        }
    } else {
        call c{callee, stack::current_frame(), code, pc, end, true, 0};
        if (uint32_t code_ = fetch_and_run(c, nullptr, 0)) return code_;
    }
    stack::unwind();
    callee[0] = callee[1];
    stack::top = callee + 1;
    return 0;
}

// A function! called through a word, as eval_call and fetch_and_run call it, without their
// paths for infix, path and apply calls and for natives. name is read before anything runs:
// it may be the word in the code.
template <bool traced>
uint32_t evaluator<traced>::eval_function_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name) {
    cell* callee = stack::push(fn);
    stack::mark_function(name);
    const call_plan* plan = plan_of(callee);
    // A call of its own per way, as run_call has: the general one keeps its call in memory.
    if (!plan) [[unlikely]] {
        if (uint32_t code_ = fetch_and_run(call{callee, stack::current_frame(), code, pc, end, false, 0}, nullptr, 0))
            return code_;
    } else {
        call c{callee, stack::current_frame(), code, pc, end, false, 0};
        for (uint32_t i = 0; i < plan->args; i++)
            if (uint32_t code_ = fetch_planned(c, *plan, i)) return code_;
        if (uint32_t n = plan->tail) {
            cell* tail = stack::top;
            if (tail + n >= stack::end) stack::overflow();
            for (uint32_t i = 0; i < n; i++) tail[i] = none_value;
            for (uint32_t m = plan->tail_false; m; m &= m - 1) tail[std::countr_zero(m)] = false_value;
            stack::top = tail + n;
        }
        if (uint32_t code_ = callee->header & (FUNC_TRACE | FUNC_NO_TRACE) ? exec_function(callee) : exec_body(callee))
            return code_;
    }
    pop_call();
    return 0;
}

// any and all, run here without the natives' own call: the block in slot 0 evaluated
// expression by expression, read live, until a value decides. Out of line: inlined into
// eval_call, its loop made every native call there dearer.
template <bool traced>
uint32_t evaluator<traced>::run_any_all(bool all) {
    cell* conds = stack::arguments;
    cell* last = all ? stack::push(&none_value) : conds;  // all: the last true value
    cell* value = last + 1;
    near_scope near;
    near.link(conds, conds->w1);
    auto length = [conds] { return cells_in(conds); };
    if (conds->w1 > length()) conds->w1 = length();
    for (uint32_t pc = conds->w1, end; pc < (end = length());) {
        stack::top = value;
        near.frame.pc = pc;
        if (uint32_t code = eval_simple(at(conds, pc), conds, pc, end, false, true)) return code;
        // value_true_q's answer without its call: only none and false are false.
        uint32_t t = TYPE_OF(value);
        bool truth = t == TYPE_LOGIC ? value->w1 == 1 : t != TYPE_NONE;
        if (truth != all) {
            stack::set_last_keep(truth ? value : &none_value);
            return 0;
        }
        if (all) *last = *value;
    }
    stack::set_last_keep(all ? last : &none_value);
    return 0;
}

// The cell at i is a word holding an operator, which would take the value before it.
inline bool op_at(const cell* code, uint32_t i, uint32_t end) {
    const cell* next = at_within(code, i, end);
    const cell* v = next && TYPE_OF(next) == TYPE_WORD ? bound_value(next) : nullptr;
    return v && TYPE_OF(v) == TYPE_OP;
}

// What any (all when all) gives for the block conds when its values up to the deciding one
// are inert with no operator after them, which no call record, near or trace could see;
// else null.
[[gnu::noinline]] const cell* any_all_of_inert_values(const cell* conds, bool all) {
    const cell* answer = &none_value;  // all: the last true value
    uint32_t length = cells_in(conds);
    for (uint32_t i = series_head(conds); i < length; i++) {
        const cell* value = inert_value(at(conds, i));
        if (!value || op_at(conds, i + 1, length)) return nullptr;
        uint32_t t = TYPE_OF(value);
        bool truth = t == TYPE_LOGIC ? value->w1 == 1 : t != TYPE_NONE;
        if (truth != all) return truth ? value : &none_value;
        if (all) answer = value;
    }
    return answer;
}

// The block argument of any or all at pc when the plan is one plain block argument and no
// operator follows the block, read once for both the inert answer and the push; else null.
inline cell* written_conds(const call_plan* plan, cell* code, uint32_t pc, uint32_t end) {
    if (!plan || plan->length != 1 || plan->args != 1 ||
        (plan->types[0].header & ARG_KIND_MASK) != ARG_PLAIN << ARG_KIND_SHIFT ||
        !plan_accepts(plan->accepts[0], TYPE_BLOCK))
        return nullptr;
    cell* conds = at_within(code, pc, end);
    if (!conds || TYPE_OF(conds) != TYPE_BLOCK || op_at(code, pc + 1, end)) return nullptr;
    return conds;
}

// Whether the block's first value is inert: a call first, the common refusal, costs one
// type test before any_all_of_inert_values.
inline bool inert_first_q(const cell* conds) {
    series_buffer* b = node_buffer(series_node(conds));
    const cell* first = b->cells() + series_head(conds);
    return first >= b->cells_tail() || inert_value(first);
}

// any and all called through a word, as eval_call calls them, without its general path
// when their plan is the plain one, a block: the block taken as written, and a block of
// inert values answered without a call record.
template <bool traced>
uint32_t evaluator<traced>::eval_any_all_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name,
                                              bool all) {
    cell* callee = stack::push(fn);
    const call_plan* plan = plan_of(callee);
    if (cell* conds = written_conds(plan, code, pc, end)) {
        if (!firing() && inert_first_q(conds)) {
            if (const cell* answer = any_all_of_inert_values(conds, all)) {
                *callee = *answer;
                pc++;
                return 0;
            }
        }
        stack::mark_native(name);
        stack::push(conds);
        pc++;
        if (uint32_t code_ = run_any_all(all)) return code_;
    } else {
        stack::mark_native(name);
        call c{callee, stack::current_frame(), code, pc, end, false, 0};
        if (plan && plan->length == 1 && plan->args == 1) {
            if (uint32_t code_ = fetch_planned(c, *plan, 0)) return code_;
            if (uint32_t code_ = run_any_all(all)) return code_;
        } else if (uint32_t code_ = plan ? run_planned(c, *plan, nullptr, 0) : fetch_and_run(c, nullptr, 0)) {
            return code_;
        }
    }
    stack::unwind();
    callee[0] = callee[1];
    stack::top = callee + 1;
    return 0;
}

// A native's or action's call by its plan: the same fetches, checks and errors as the
// general path below, with the spec already decoded.
template <bool traced>
uint32_t evaluator<traced>::run_planned(const call& c, const call_plan& plan, const cell* path,
                                        uint32_t path_from) {
    // An infix call's left operand is already slot 0.
    uint32_t i = 0;
    if (c.infix && plan.args > 0) check_planned(c, plan, i++, stack::arguments);
    for (; i < plan.args; i++)
        if (uint32_t code = fetch_planned(c, plan, i)) return code;
    // Without a path none is given, which a shared table says without filling one.
    static constexpr auto none_given = [] {
        std::array<int32_t, MAX_REFINEMENTS> refs{};
        refs.fill(-1);
        return refs;
    }();
    int32_t refs[MAX_REFINEMENTS];
    const int32_t* given = none_given.data();
    if (path) {
        // All of them at once: a fixed size fills inline, a plan's count took a memset call.
        std::fill_n(refs, MAX_REFINEMENTS, -1);
        given = refs;
        uint32_t length = cells_in(path);
        uint32_t used = 0;
        for (uint32_t i = path_from; i < length; i++) {
            // Read in place: nothing runs before a refinement's arguments.
            const cell* element = block::ks_abs_at(path, static_cast<int32_t>(i));
            uint32_t t = TYPE_OF(element);
            if (t != TYPE_WORD && t != TYPE_GET_WORD) fire(script_error::bad_refine, element);
            uint32_t k = plan.refinement_named(element->w2);
            if (k == plan.refinement_count) raise_no_refine(*element);
            if (used >> k & 1) fire(script_error::dup_refine, path);
            used |= 1u << k;
            if (t == TYPE_GET_WORD && !value_true_q(word_value(element), false, element)) continue;
            const call_plan::refinement& r = plan.refinements[k];
            refs[k] = static_cast<int32_t>(stack::top - stack::arguments);
            for (uint32_t a = r.spec_index + 1, last = a + r.arity; a < last; a++)
                if (uint32_t code = fetch_planned(c, plan, a)) return code;
        }
    }
    uint32_t type = TYPE_OF(c.callee);
    if (plan.length == 2)
        if (number_op o = number_op_of(type, c.callee->w1, TYPE_OF(stack::arguments)))
            if (number_apply(o, stack::arguments, stack::arguments + 1)) return 0;
    if (type == TYPE_NATIVE) {
        native_code entry = native_entry_of(c.callee);
        if (entry == natives::either || entry == natives::if_) return run_branch(entry == natives::either);
        if (entry == natives::any || entry == natives::all) return run_any_all(entry == natives::all);
        return static_cast<uint32_t>(entry(false, given));
    }
    return static_cast<uint32_t>(action_entry_of(c.callee)(given));
}

// Fetches every argument in the current frame, then runs the callee.
template <bool traced>
uint32_t evaluator<traced>::fetch_and_run(const call& c, const cell* path, uint32_t path_from) {
    node_id spec = compiled_spec(c.callee);
    uint32_t type = TYPE_OF(c.callee);
    bool function = type == TYPE_FUNCTION;
    uint32_t n = spec_length(spec);
    uint32_t i = 0;
    int32_t param = 0;
    // Fixed arguments; an infix call's left operand is already slot 0. Typesets hold no
    // node, so copies outlive the collections that fetching may run.
    constexpr uint32_t copied = 4;
    cell fixed[copied];
    uint32_t fixed_count = 0;
    for (const cell* ts = series_cell(spec, 0); fixed_count < n && fixed_count < copied; fixed_count++) {
        if (TYPE_OF(&ts[fixed_count]) != TYPE_TYPESET) break;
        fixed[fixed_count] = ts[fixed_count];
    }
    for (; i < fixed_count; i++, param++) {
        if (c.infix && i == 0) {
            check_arg(c, stack::arguments, 0, fixed[0]);
            continue;
        }
        if (uint32_t code = fetch_arg(c, param, fixed[i])) return code;
    }
    // The spec's node may have moved meanwhile.
    spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
    for (; i < n; i++, param++) {
        const cell ts = *series_cell(spec, i);
        if (TYPE_OF(&ts) != TYPE_TYPESET) break;
        if (uint32_t code = fetch_arg(c, param, ts)) return code;
        spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
    }
    uint32_t first_refinement = i;
    int32_t refs[MAX_REFINEMENTS];
    if (function) {
        // Every refinement laid out inactive: false, then none per argument; then the locals.
        for (; i < n; i++) {
            cell* e = series_cell(spec, i);
            stack::push(TYPE_OF(e) == TYPE_REFINEMENT ? &false_value : &none_value);
            spec = series_node(series_cell(c.callee->w3, MORE_SPEC));
        }
        int32_t locals = int_of(series_cell(spec, n));
        if (locals > 0) push_unused_refinement(locals);
    } else {
        // Every slot, not just the spec's count: a native made from a built-in entry with
        // a shorter spec reads the entry's own refinements, which must read as absent.
        KEL_ASSERT(int_of(series_cell(spec, n)) <= static_cast<int32_t>(MAX_REFINEMENTS));
        std::fill_n(refs, MAX_REFINEMENTS, -1);
    }
    if (c.apply & APPLY_ALL) {
        if (uint32_t code = fetch_applied_refinements(c, first_refinement, refs, function)) return code;
    } else if (path) {
        if (uint32_t code = fetch_refinements(c, path, path_from, refs, function)) return code;
    }
    if (firing()) [[unlikely]] {
        cell name = frame_name(c.frame);
        fire_interp_event(TRACE_CALL, c.apply ? nullptr : c.code, c.pc, &name, c.callee);
    }
    if (!firing() && n == 2)
        if (number_op o = number_op_of(type, c.callee->w1, TYPE_OF(stack::arguments)))
            if (number_apply(o, stack::arguments, stack::arguments + 1)) return 0;
    switch (type) {
        case TYPE_FUNCTION:
            return exec_function(c.callee);
        case TYPE_NATIVE: {
            native_code entry = native_entry_of(c.callee);
            if (entry == natives::either || entry == natives::if_) return run_branch(entry == natives::either);
            return static_cast<uint32_t>(entry(false, refs));
        }
        case TYPE_ACTION:
            return static_cast<uint32_t>(action_entry_of(c.callee)(refs));
        default:
            exec_routine(c.callee);
            return 0;
    }
}

}  // namespace

namespace {

// For objects: a spec block run for its effects.
void evaluate_for_object(cell* block) {
    cell* saved = stack::top;
    cell* code = stack::push(block);
    exit_on_code(eval_block(code, false));
    stack::top = saved;
}

// The bit of system/state/callbacks/bits that lets a trace run follow a callback of this
// kind; 0 for kinds it never follows (its own callback among them).
uint32_t callback_kind_bit(uint32_t name) {
    constexpr struct { runtime_word word; uint32_t bit; } kinds[] = {
        {W_LEXER_CALLBACK, 1},   {W_PARSE_CALLBACK, 2}, {W_COMPARE_CALLBACK, 4},
        {W_ON_CHANGE, 8},        {W_ON_DEEP_CHANGE, 16},
    };
    for (const auto& kind : kinds)
        if (runtime_words[kind.word].w2 == name) return kind.bit;
    return 0;
}

// For objects: an event handler whose arguments are on the stack from args up.
void call_object_handler(cell* handler, uint32_t name, cell* args) {
    root_cell fn(*handler);
    tracing_scope untraced(tracing && (catalog::callback_bits() & callback_kind_bit(name)) != 0);
    cell word{TYPE_WORD, 0, name, static_cast<uint32_t>(-1)};
    cell* saved = stack::top;
    stack::top = args;
    stack::mark_function(&word);
    stack::top = saved;
    if (TYPE_OF(&fn.value) == TYPE_ROUTINE) exec_routine(&fn.value);
    else exit_on_code(exec_function(&fn.value));
    stack::unwind();
    stack::top = args;
}

// For sort/compare: the comparator function called with two values as they are.
const cell* call_sort_function(cell* fn, const cell* first, const cell* second) {
    static cell result;
    if (TYPE_OF(fn) != TYPE_FUNCTION) fire(internal_error::not_done);
    root_cell f(*fn);
    cell a = *first, b = *second;
    cell* args = stack::push(&a);
    stack::push(&b);
    // Refinements and locals start as none.
    for (uint32_t i = 2; i < ctx_slot_count(ctx_cell(f.value.w1)); i++) stack::push(&none_value);
    call_object_handler(&f.value, runtime_words[W_COMPARE_CALLBACK].w2, args);
    result = *args;
    return &result;
}

}  // namespace

void interpreter_init() {
    KEL_ASSERT(native_entries[NATIVE_IF - 1] == natives::if_ && native_entries[NATIVE_EITHER - 1] == natives::either &&
               native_entries[NATIVE_ANY - 1] == natives::any && native_entries[NATIVE_ALL - 1] == natives::all);
    near_position = nullptr;
    object::evaluate = evaluate_for_object;
    object::call_handler = call_object_handler;
    block::call_sort_function = call_sort_function;
    trace_init();
}

// --- Blocks ------------------------------------------------------------------------------

template <bool traced>
uint32_t evaluator<traced>::eval_block(cell* block, bool chain) {
    near_scope near;
    stack::mark_eval(&runtime_words[W_BODY]);
    if (firing()) [[unlikely]] fire_interp_event(TRACE_ENTER, block, series_head(block), nullptr, nullptr);
    uint32_t pc = series_head(block);
    uint32_t end = limit(block, UINT32_MAX);
    if (pc >= end) {
        *stack::arguments = unset_value;
        stack::keep();
    } else {
        if (uint32_t code = run_values<false>(block, near, pc, end)) return code;
    }
    if (firing()) [[unlikely]]
        fire_interp_event(TRACE_EXIT, block, limit(block, UINT32_MAX), nullptr, stack::arguments);
    if (chain) stack::unwind_last();
    else stack::unwind();
    return 0;
}

// eval_block without chain: the values run as a block run here runs them, under the record.
template <bool traced>
uint32_t evaluator<traced>::eval_block_pushed(cell* block) {
    if constexpr (traced) {
        return eval_block(block, false);
    } else {
        near_scope near;
        stack::mark_eval(&runtime_words[W_BODY]);
        if (uint32_t code = run_here(block, near)) return code;
        stack::unwind();
        return 0;
    }
}

// eval_block without a call record, for function bodies, either/if branches, parens and loop
// blocks. The base moves as a record would move it, so the named frames inside keep the same
// bases. An exit finds its target's slot 0 through the record above the target, which now
// may lie over such a block: the catchers of return and exit (exec_body) and of break and
// continue (the loops) take the value back to their own base. The other targets (catch,
// the tries) run their blocks with eval_block.
template <bool traced>
uint32_t evaluator<traced>::eval_block_here(cell* block, bool chain) {
    return run_block_here(block, chain);
}

// eval_block_here's body, inline in a function call and in a paren so that their blocks run
// in their own C++ frames: one frame less per call level and per paren.
template <bool traced>
uint32_t evaluator<traced>::run_block_here(cell* block, bool chain) {
    if constexpr (traced) {
        return eval_block(block, chain);
    } else {
        near_scope near;
        cell* outer = stack::arguments;
        cell* base = stack::top;
        if (uint32_t code = run_here(block, near)) return code;
        stack::arguments = outer;
        if (chain) *outer = *base;
        return 0;
    }
}

// The untraced body of eval_block_here, for it and the loops: the block's values from the
// top of the stack on, its last value left at that base with the top just above it and
// stack::arguments still at the base. near is linked while the values run.
template <bool traced>
uint32_t evaluator<traced>::run_here(cell* block, near_scope& near) {
    cell* base = stack::arguments = stack::top;
    uint32_t pc = series_head(block);
    uint32_t end = limit(block, UINT32_MAX);
    if (pc >= end) {
        *base = unset_value;
    } else if (uint32_t code = run_values<true>(block, near, pc, end)) {
        return code;
    }
    stack::top = base + 1;
    return 0;
}

// The values of a block from pc (before end) on, near following them. sub: each value is
// left where it is pushed, at the base, which is where slot 0 is; else it is put in slot 0.
template <bool traced>
template <bool sub>
uint32_t evaluator<traced>::run_values(cell* block, near_scope& near, uint32_t pc, uint32_t end) {
    near.link(block, pc);
    cell* value = at(block, pc);
    for (;;) {
        if (uint32_t code = eval_simple<true>(value, block, pc, end, false, sub)) return code;
        value = at_within(block, pc, end);
        if (!value) return 0;
        stack::reset();
        near.frame.pc = pc;
    }
}

// A loop's rounds in one C++ call: what a round of run_block and eval_block_here do, with
// the per-call setup done once. Between rounds the near is the loop's caller's, as it is
// for a step run outside the block.
template <bool traced>
template <class Step>
uint32_t evaluator<traced>::eval_rounds(cell* block, Step& step) {
    cell* frame = stack::arguments;
    near_scope near;
    for (;;) {
        near_position = near.frame.outer;
        if constexpr (std::is_same_v<Step, while_step>) {
            // Run as a round is, written out here: the compiler leaves a shared copy out of
            // line, which made both dearer.
            stack::arguments = stack::top = frame;
            cell* cond = step.cond;
            uint32_t code;
            if (trace_on()) [[unlikely]] {
                code = catch_code([cond] { return evaluator<true>::eval_block_here(cond, true); });
            } else {
                code = catch_code([cond, &near] { return run_here(cond, near); });
            }
            near_position = near.frame.outer;
            if (code == THROW_BREAK || code == THROW_CONTINUE) fire(throw_error::while_cond);
            if (code) return code;
            if (!Step::holds(frame)) return 0;
        } else if (uint32_t next = step()) {
            return next == ROUNDS_END ? 0 : next;
        }
        // The round's values start at the frame's slot 0, where its last one stays.
        stack::arguments = stack::top = frame;
        uint32_t code;
        if (trace_on()) [[unlikely]] {
            code = catch_code([block] { return evaluator<true>::eval_block_here(block, true); });
        } else {
            code = catch_code([block, &near] { return run_here(block, near); });
        }
        if (!code) continue;
        if (code == THROW_BREAK || code == THROW_CONTINUE) {
            // Break and continue left their value at the round's base: it goes to the frame's.
            if (stack::arguments != frame) {
                *frame = *stack::arguments;
                stack::arguments = frame;
                stack::top = frame + 1;
            }
            if (code == THROW_CONTINUE) continue;
        }
        return code;
    }
}

template <bool traced>
uint32_t evaluator<traced>::eval_next(cell* code, uint32_t& pc, uint32_t end, bool sub) {
    stack::mark_native(&runtime_words[W_BODY]);
    if (uint32_t c = eval_expression(code, pc, end, false, sub)) return c;
    if (sub) stack::unwind();
    else stack::unwind_last();
    return 0;
}

uint32_t do_next(cell* block) {
    uint32_t pc = series_head(block);
    uint32_t end = limit(block, UINT32_MAX);
    if (pc >= end) {
        stack::push(&unset_value);
        return 0;
    }
    if (uint32_t code = eval_next(block, pc, end, true)) return code;
    block->w1 = pc;
    return 0;
}

// --- Expressions -----------------------------------------------------------------------------

template <bool traced>
uint32_t evaluator<traced>::eval_expression(cell* code, uint32_t& pc, uint32_t end, bool prefix, bool sub,
                                            bool literal_functions) {
    cell* start = stack::top;
    if (firing()) [[unlikely]] fire_interp_event(TRACE_FETCH, code, pc, nullptr, at(code, pc));
    cell* value = at(code, pc);
    switch (TYPE_OF(value)) {
        case TYPE_PAREN:
            if (uint32_t c = eval_paren(value, pc)) return c;
            break;
        case TYPE_SET_WORD:
        case TYPE_SET_PATH: {
            if (TYPE_OF(value) == TYPE_SET_PATH) return eval_path(code, pc, end);
            if (uint32_t c = eval_set_word(value, code, pc, end)) return c;
            prefix = true;  // the value's expression took every operator after it
            break;
        }
        case TYPE_WORD: {
            cell* v = word_value(value);
            switch (TYPE_OF(v)) {
                case TYPE_UNSET:
                    fire(script_error::no_value, value);
                case TYPE_OP:
                    fire(script_error::no_op_arg, value);
                case TYPE_NATIVE:
                case TYPE_ACTION:
                case TYPE_FUNCTION:
                case TYPE_ROUTINE: {
                    cell name = *value;
                    pc++;
                    if (uint32_t c = eval_call(v, code, pc, end, nullptr, 0, &name, false)) return c;
                    break;
                }
                default:
                    stack::push(v);
                    pc++;
                    if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
            }
            break;
        }
        case TYPE_GET_WORD: {
            cell* v = bound_value(value);
            stack::push(v ? v : _context::get(value));
            pc++;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
            break;
        }
        case TYPE_LIT_WORD:
            set_type(stack::push(value), TYPE_WORD);
            pc++;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
            break;
        case TYPE_PATH:
        case TYPE_GET_PATH:
            if (uint32_t c = eval_path(code, pc, end)) return c;
            break;
        case TYPE_LIT_PATH: {
            cell* p = stack::push(value);
            set_type(p, TYPE_PATH);
            p->w3 = 0;
            pc++;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
            break;
        }
        case TYPE_OP:
            fire(internal_error::not_done);
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
            if (literal_functions) {
                stack::push(value);
                pc++;
                break;
            }
            pc++;
            if (uint32_t c = eval_call(value, code, pc, end, nullptr, 0, &runtime_words[W_ANON], false)) return c;
            break;
        case TYPE_ISSUE: {
            uint32_t name = symbol::resolve(value->w2);
            if (pc + 1 < limit(code, end) && TYPE_OF(at(code, pc + 1)) == TYPE_BLOCK &&
                (name == sym(SYM_SYSTEM) ||
                 name == sym(SYM_SYSTEM_GLOBAL)))
                fire(internal_error::kel_system);
            stack::push(value);
            pc++;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
            break;
        }
        default:
            stack::push(value);
            pc++;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_PUSH, code, pc - 1, nullptr, start);
    }
    if (!prefix)
        if (uint32_t c = infix_ops(start, code, pc, end)) return c;
    if (!sub) {
        *stack::arguments = *start;
        stack::keep();
        if (firing()) [[unlikely]] fire_interp_event(TRACE_EXPR, code, pc, nullptr, stack::arguments);
    }
    return 0;
}

// Calls through a word or a path, the commonest, go to copies of the call with no infix
// operand or apply mode to test for, a word's with no path either.
template <bool traced>
uint32_t evaluator<traced>::eval_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                      uint32_t path_from, const cell* name, bool infix, uint32_t apply) {
    if (!infix && !apply)
        return path ? eval_path_call(fn, code, pc, end, path, path_from, name)
                    : eval_word_call(fn, code, pc, end, name);
    return eval_any_call(fn, code, pc, end, path, path_from, name, infix, apply);
}

template <bool traced>
uint32_t evaluator<traced>::eval_word_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* name) {
    return run_call(fn, code, pc, end, nullptr, 0, name, false, 0);
}

template <bool traced>
uint32_t evaluator<traced>::eval_path_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                           uint32_t path_from, const cell* name) {
    return run_call(fn, code, pc, end, path, path_from, name, false, 0);
}

template <bool traced>
uint32_t evaluator<traced>::eval_any_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                          uint32_t path_from, const cell* name, bool infix, uint32_t apply) {
    return run_call(fn, code, pc, end, path, path_from, name, infix, apply);
}

template <bool traced>
uint32_t evaluator<traced>::run_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path,
                                     uint32_t path_from, const cell* name, bool infix, uint32_t apply) {
    const cell* naming = TYPE_OF(name) == TYPE_WORD ? name : &runtime_words[W_ANON];
    cell ref = *name;
    if (firing()) [[unlikely]] fire_interp_event(TRACE_OPEN, apply ? nullptr : code, pc, nullptr, &ref);
    cell* callee;
    if (infix) {
        callee = push_infix_callee(fn);
    } else {
        callee = stack::push(fn);
    }
    if (TYPE_OF(callee) == TYPE_FUNCTION) stack::mark_function(naming);
    else stack::mark_native(naming);
    if (infix) stack::top++;
    uint32_t t = TYPE_OF(callee);
    const call_plan* plan =
        !firing() && !apply && (t == TYPE_NATIVE || t == TYPE_ACTION) ? plan_of(callee) : nullptr;
    // A call of its own per way: the general one goes out of line, which keeps its call in
    // memory, while the planned one's fields stay in registers.
    uint32_t code_ = plan ? run_planned(call{callee, stack::current_frame(), code, pc, end, infix, apply}, *plan,
                                        path, path_from)
                          : fetch_and_run(call{callee, stack::current_frame(), code, pc, end, infix, apply}, path,
                                          path_from);
    if (code_) return code_;
    stack::unwind();
    callee[0] = callee[1];
    stack::top = callee + 1;
    if (firing()) [[unlikely]] fire_interp_event(TRACE_RETURN, apply ? nullptr : code, pc, &ref, callee);
    return 0;
}

template <bool traced>
uint32_t evaluator<traced>::exec_body(cell* fn) {
    call_frame* frame = stack::current_frame();
    cell* args = stack::arguments;
    stack::point_context(fn->w1);
    frame->header |= FRAME_BODY;
    cell* body = stack::push(more_at(fn, MORE_BODY));
    uint32_t code = 0;
    if (TYPE_OF(body) == TYPE_BLOCK) {
        if (firing()) [[unlikely]] {
            cell name = frame_name(frame);
            fire_interp_event(TRACE_CALL, nullptr, -1, &name, fn);
            fire_interp_event(TRACE_PROLOG, body, -1, &name, fn);
        }
        // A return raised by C++ between here and the body (PARSE, callbacks) ends here too.
        // Written inline, lambda and all: left out of line, it kept the frame it is there to save.
        code = catch_code([body]() __attribute__((always_inline)) { return run_block_here(body, true); });
        if (firing()) [[unlikely]] {
            cell name = frame_name(frame);
            fire_interp_event(TRACE_EPILOG, body, -1, &name, fn);
        }
    } else {
        *stack::arguments = unset_value;
    }
    // Other exits have already unwound past this frame (and fn with it).
    if (code && code != THROW_RETURN && code != THROW_EXIT) return code;
    // Return and exit end here: the raiser left their value in the slot 0 it found from the
    // record above this frame's, which for a body run without a record is the body's base.
    if (code && stack::arguments != args) {
        *args = *stack::arguments;
        stack::arguments = args;
        stack::top = args + 1;
    }
    stack::restore_context(frame);
    // Every caller pops the frame at once; only a trace event runs code before that.
    if (firing() && TYPE_OF(body) == TYPE_BLOCK) [[unlikely]] {
        frame->header &= ~FRAME_BODY;
        frame->ctx = 0;
        cell name = frame_name(frame);
        fire_interp_event(TRACE_RETURN, nullptr, -1, &name, stack::arguments);
    }
    return 0;
}

const routine_code* routine_entries = nullptr;
uint32_t routine_entry_count = 0;

void exec_routine(const cell* value) {
    uint32_t entry = static_cast<uint32_t>(int_of(more_at(value, MORE_CODE)));
    bool has_return = value->header & ROUTINE_HAS_RETURN;
    if (entry >= routine_entry_count) fire(internal_error::routines);
    routine_entries[entry]();
    if (!has_return) *stack::arguments = unset_value;
}

template <bool traced>
uint32_t evaluator<traced>::exec_function(cell* fn) {
    // The trace attribute turns tracing on for the body within a trace run, no-trace off.
    if (fn->header & (FUNC_TRACE | FUNC_NO_TRACE)) [[unlikely]] {
        tracing_scope attribute(fn->header & FUNC_TRACE ? trace_run : false);
        return trace_on() ? evaluator<true>::exec_body(fn) : evaluator<false>::exec_body(fn);
    }
    return exec_body(fn);
}

namespace {

// Values whose set-paths change the cell itself, not a series or context it refers to.
bool held_by_value_q(uint32_t t) {
    return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D || t == TYPE_TUPLE ||
           t == TYPE_TIME || t == TYPE_DATE;
}

// The cell a set-path's last step changes. A scalar is changed where it lives: in the head
// word's value cell, or in its container's cell as it stands after the last element ran.
// A hash! indexes its cells, so it gets its scalar back through its own set (below); a
// scalar reached through another scalar lives nowhere: its copy is changed.
cell* set_path_parent(cell* current, cell* head_word, cell* previous, cell* previous_element,
                      cell* path, int32_t i) {
    if (!held_by_value_q(TYPE_OF(current))) return current;
    if (i > 1 && (TYPE_OF(previous) == TYPE_HASH || held_by_value_q(TYPE_OF(previous)))) return current;
    const cell* holder =
        i == 1 ? word_value(head_word)
               : get_action_ptr_path(previous, previous_element, path, i - 2)(
                     previous, previous_element, nullptr, path, nullptr, nullptr, i - 1, false,
                     true, false, false);
    return std::memcmp(holder, current, sizeof(cell)) == 0 ? const_cast<cell*>(holder) : current;
}

void set_path_store_back(cell* current, cell* previous, cell* previous_element, cell* path,
                         int32_t i) {
    if (i > 1 && TYPE_OF(previous) == TYPE_HASH && held_by_value_q(TYPE_OF(current)))
        get_action_ptr_path(previous, previous_element, path, i - 2)(
            previous, previous_element, current, path, nullptr, nullptr, i - 1, false, false, false,
            false);
}

// A scalar inside a scalar (a date's time) was changed as a copy: set it back into the outer
// scalar where that one lives, so `d/time/hour: 3` changes d.
void set_path_store_outer(cell* changed, cell* head_word, cell* previous, cell* previous_element,
                          cell* outer, cell* outer_element, cell* path, int32_t i, int32_t length) {
    cell* holder = set_path_parent(previous, head_word, outer, outer_element, path, i - 1);
    bool tracked = length >= 4 && (any_block_q(TYPE_OF(outer)) || TYPE_OF(outer) == TYPE_OBJECT);
    get_action_ptr_path(previous, previous_element, path, i - 2)(
        holder, previous_element, changed, path, outer, outer_element, i - 1, false, false, true,
        tracked);
    set_path_store_back(previous, outer, outer_element, path, i - 1);
}

}  // namespace

template <bool traced>
uint32_t evaluator<traced>::eval_path(cell* code, uint32_t& pc, uint32_t end) {
    // The common paths without the general walk: a call through a head word holding a
    // native, action or function (the rest are its refinements, read by the call itself),
    // and an object's field or method by a plain word. Anything else, errors included,
    // takes the walk.
    const cell* p = at(code, pc);
    if (TYPE_OF(p) != TYPE_PATH || firing()) return walk_path(code, pc, end);
    series_buffer* b = node_buffer(series_node(p));
    const cell* head = b->cells() + series_head(p);
    cell* v = head < b->cells_tail() && TYPE_OF(head) == TYPE_WORD ? bound_value(head) : nullptr;
    if (!v) return walk_path(code, pc, end);
    if (TYPE_OF(v) == TYPE_OBJECT) return eval_object_path(v, code, pc, end);
    if (!callable_q(TYPE_OF(v))) return walk_path(code, pc, end);
    pc++;
    // The calls read their name before anything runs, so it is taken where it stands.
    // A function without refinements given: as through a word.
    if (TYPE_OF(v) == TYPE_FUNCTION && head + 1 >= b->cells_tail())
        return eval_function_call(v, code, pc, end, head);
    return eval_written_path_call(v, code, pc, end, p, head);
}

// A call through a path in the code by its element name, its refinements the elements
// after it: the path kept on the stack under the call and the result put in its place.
// Its own frame, with few enough arguments for eval_path to jump to it.
template <bool traced>
uint32_t evaluator<traced>::eval_written_path_call(cell* fn, cell* code, uint32_t& pc, uint32_t end,
                                                   const cell* written, const cell* name) {
    uint32_t from = static_cast<uint32_t>(name - node_buffer(series_node(written))->cells()) + 1;
    cell* path = stack::push(written);
    if (uint32_t c = run_call(fn, code, pc, end, path, from, name, false, 0)) return c;
    *path = *(stack::top - 1);
    stack::top = path + 1;
    return 0;
}

// eval_path's object case, on its own: a field by a plain word pushed, a method by one
// called; any other path on an object takes the walk.
template <bool traced>
uint32_t evaluator<traced>::eval_object_path(const cell* owner, cell* code, uint32_t& pc, uint32_t end) {
    const cell* p = at(code, pc);
    series_buffer* b = node_buffer(series_node(p));
    const cell* head = b->cells() + series_head(p);
    if (b->cells_tail() - head != 2 || TYPE_OF(head + 1) != TYPE_WORD) return walk_path(code, pc, end);
    cell name = head[1];
    const cell object = *owner;
    cell* v = name.w1 == object.w1 || _context::bind_word(object.w1, &name) >= 0
                  ? object::get_values(&object) + name.w3
                  : nullptr;
    if (!v || TYPE_OF(v) == TYPE_UNSET) return walk_path(code, pc, end);
    pc++;
    if (!callable_q(TYPE_OF(v))) {
        stack::push(v);
        return 0;
    }
    // A method: what follows are its arguments, no refinement.
    if (TYPE_OF(v) == TYPE_FUNCTION) return eval_function_call(v, code, pc, end, &name);
    cell* path = stack::push(p);
    if (uint32_t c = eval_call(v, code, pc, end, path, series_head(p) + 2, &name, false)) return c;
    *path = *(stack::top - 1);
    stack::top = path + 1;
    return 0;
}

// eval_path's general walk, on its own: its slots and cases made every shortcut call dearer.
template <bool traced>
uint32_t evaluator<traced>::walk_path(cell* code, uint32_t& pc, uint32_t end) {
    cell* start = stack::top;
    uint32_t kind = TYPE_OF(at(code, pc));
    bool set = kind == TYPE_SET_PATH, get = kind == TYPE_GET_PATH;
    uint32_t path_at = pc;
    // Slots: the path, the value to set, the current and previous values and elements.
    cell* path = stack::push(at(code, pc));
    pc++;
    cell* to_set = stack::push(&none_value);
    if (set) {
        if (pc >= limit(code, end)) fire(script_error::need_value, path);
        if (uint32_t c = eval_expression(code, pc, end, false, true)) return c;
        *to_set = *--stack::top;
        if (firing()) [[unlikely]] fire_interp_event(TRACE_SET, code, pc, path, to_set);
        if (TYPE_OF(to_set) == TYPE_UNSET) fire(script_error::need_value, path);
    }
    cell* current = stack::push(&none_value);
    cell* previous = stack::push(&none_value);
    cell* element = stack::push(&none_value);
    cell* previous_element = stack::push(&none_value);
    cell* outer = stack::push(&none_value);  // the value before previous, and its element
    cell* outer_element = stack::push(&none_value);
    cell* slots_top = stack::top;

    int32_t length = block::ks_length_q(path);
    if (length <= 0) fire(script_error::empty_path);
    const cell* head = block::ks_head(path);
    if (TYPE_OF(head) != TYPE_WORD) fire(script_error::word_first, path);
    cell head_word = *head;
    if (firing()) [[unlikely]] {
        fire_interp_event(TRACE_ENTER, code, path_at, nullptr, nullptr);
        fire_interp_event(TRACE_FETCH, path, series_head(path), nullptr, &head_word);
    }
    *current = *word_value(&head_word);
    if (TYPE_OF(current) == TYPE_UNSET) fire(script_error::unset_path, path, &head_word);
    if (callable_q(TYPE_OF(current))) {
        if (set) fire(script_error::invalid_path_set, path);
        if (get) fire(script_error::invalid_path_get, path);
        uint32_t from = series_head(path) + 1;
        if (uint32_t c = eval_call(current, code, pc, end, path, from, &head_word, false)) return c;
        *start = *(stack::top - 1);
        stack::top = start + 1;
        if (firing()) [[unlikely]] fire_interp_event(TRACE_EXIT, code, pc, nullptr, start);
        return 0;
    }
    for (int32_t i = 1; i < length; i++) {
        *element = *block::ks_abs_at(path, series::head_of(path) + i);
        if (firing()) [[unlikely]]
            fire_interp_event(TRACE_FETCH, path, series::head_of(path) + i, nullptr, element);
        if (TYPE_OF(element) == TYPE_GET_WORD) {
            *element = *word_value(element);
        } else if (TYPE_OF(element) == TYPE_PAREN) {
            cell* paren = stack::push(element);
            if (uint32_t c = eval_block(paren, false)) return c;
            *element = *(stack::top - 1);
            stack::top = slots_top;
        }
        if (TYPE_OF(element) == TYPE_UNSET) fire(script_error::invalid_path, path, element);
        bool last = i == length - 1;
        bool tracked = set && last && length >= 3 &&
                       (any_block_q(TYPE_OF(previous)) || TYPE_OF(previous) == TYPE_OBJECT);
        eval_path_fn action = get_action_ptr_path(current, element, path, i - 1);
        cell* parent = set && last ? set_path_parent(current, &head_word, previous, previous_element, path, i)
                                   : current;
        const cell* result = action(parent, element, set && last ? to_set : nullptr, path, previous,
                                    previous_element, i, false, get, last, tracked);
        if (set && last) {
            if (i > 1 && held_by_value_q(TYPE_OF(previous)) && held_by_value_q(TYPE_OF(current)))
                set_path_store_outer(current, &head_word, previous, previous_element, outer,
                                     outer_element, path, i, length);
            set_path_store_back(current, previous, previous_element, path, i);
        }
        cell r = *result;
        stack::top = slots_top;
        *outer = *previous;
        *outer_element = *previous_element;
        *previous = *current;
        *previous_element = *element;
        *current = r;
        if (firing()) [[unlikely]]
            fire_interp_event(TRACE_PUSH, path, series::head_of(path) + i, nullptr, current);
        if (callable_q(TYPE_OF(current)) && !set && !get) {
            uint32_t from = series_head(path) + static_cast<uint32_t>(i) + 1;
            cell name = *element;
            if (uint32_t c = eval_call(current, code, pc, end, path, from, &name, false)) return c;
            *start = *(stack::top - 1);
            stack::top = start + 1;
            if (firing()) [[unlikely]] fire_interp_event(TRACE_EXIT, code, pc, nullptr, start);
            return 0;
        }
    }
    *start = set ? *to_set : *current;
    stack::top = start + 1;
    if (firing()) [[unlikely]] fire_interp_event(TRACE_EXIT, code, pc, nullptr, start);
    return 0;
}

// --- Entries: the traced copy while tracing is on ----------------------------------------------

uint32_t eval_block(cell* block, bool chain) {
    return trace_on() ? evaluator<true>::eval_block(block, chain) : evaluator<false>::eval_block(block, chain);
}

uint32_t eval_block_pushed(cell* block) {
    return trace_on() ? evaluator<true>::eval_block_pushed(block) : evaluator<false>::eval_block_pushed(block);
}

uint32_t eval_block_here(cell* block, bool chain) {
    return trace_on() ? evaluator<true>::eval_block_here(block, chain)
                      : evaluator<false>::eval_block_here(block, chain);
}

template <class Step>
uint32_t eval_rounds(cell* block, Step& step) {
    return evaluator<false>::eval_rounds(block, step);
}
template uint32_t eval_rounds(cell*, count_step&);
template uint32_t eval_rounds(cell*, forever_step&);
template uint32_t eval_rounds(cell*, repeat_step&);
template uint32_t eval_rounds(cell*, each_step&);
template uint32_t eval_rounds(cell*, while_step&);

uint32_t eval_next(cell* code, uint32_t& pc, uint32_t end, bool sub) {
    return trace_on() ? evaluator<true>::eval_next(code, pc, end, sub) : evaluator<false>::eval_next(code, pc, end, sub);
}

uint32_t eval_expression(cell* code, uint32_t& pc, uint32_t end, bool prefix, bool sub, bool literal_functions) {
    return trace_on() ? evaluator<true>::eval_expression(code, pc, end, prefix, sub, literal_functions)
                      : evaluator<false>::eval_expression(code, pc, end, prefix, sub, literal_functions);
}

uint32_t eval_call(cell* fn, cell* code, uint32_t& pc, uint32_t end, const cell* path, uint32_t path_from,
                   const cell* name, bool infix, uint32_t apply) {
    return trace_on() ? evaluator<true>::eval_call(fn, code, pc, end, path, path_from, name, infix, apply)
                      : evaluator<false>::eval_call(fn, code, pc, end, path, path_from, name, infix, apply);
}

uint32_t exec_function(cell* fn) {
    return trace_on() ? evaluator<true>::exec_function(fn) : evaluator<false>::exec_function(fn);
}

uint32_t eval_path(cell* code, uint32_t& pc, uint32_t end) {
    return trace_on() ? evaluator<true>::eval_path(code, pc, end) : evaluator<false>::eval_path(code, pc, end);
}

// --- The interpreter's thread ------------------------------------------------------------

void run_on_interpreter_thread(const std::function<void()>& f, size_t stack_bytes) {
    struct job {
        const std::function<void()>* f;
        std::exception_ptr failure;
    } j{&f, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        job* jj = static_cast<job*>(arg);
        try {
            (*jj->f)();
        } catch (...) {
            jj->failure = std::current_exception();
        }
        return nullptr;
    };
    if (pthread_create(&thread, &attr, body, &j) != 0) {
        pthread_attr_destroy(&attr);
        f();
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
    if (j.failure) std::rethrow_exception(j.failure);
}

}  // namespace kel
