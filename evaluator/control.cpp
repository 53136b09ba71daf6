#include "evaluator/control.h"

#include <algorithm>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/frames.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/transcode.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/rounds.h"
#include "evaluator/throw.h"
#include "evaluator/trace.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::natives {

namespace {

// --- Shared steps ------------------------------------------------------------------------

// The result is the value given; only slot 0 stays.
inline uint32_t result(const cell& value) {
    stack::set_last_keep(&value);
    return 0;
}

// The block's head index, clipped to its tail.
inline uint32_t head_clipped(cell* block) {
    uint32_t length = static_cast<uint32_t>(series::buffer_length(block));
    if (block->w1 > length) block->w1 = length;
    return block->w1;
}
inline uint32_t length_of(const cell* block) { return static_cast<uint32_t>(series::buffer_length(block)); }

// A loop's block, evaluated into the loop frame's slot 0 without a record of its own. Exits
// that C++ could only raise as the exception come back as codes, so every catcher sees one
// form. Break and continue left their value at the block's base: it goes back to the frame's.
[[nodiscard]] inline uint32_t run_block(cell* block) {
    cell* base = stack::arguments;
    uint32_t code = catch_code([block] { return eval_block_here(block, true); });
    if ((code == THROW_BREAK || code == THROW_CONTINUE) && stack::arguments != base) [[unlikely]] {
        *base = *stack::arguments;
        stack::arguments = base;
        stack::top = base + 1;
    }
    return code;
}

// A block evaluated in the current frame; its last value, in slot 0, is the result.
[[nodiscard]] inline uint32_t eval_kept(cell* block) {
    if (uint32_t code = eval_block(block, true)) return code;
    stack::keep();
    return 0;
}

// The loop frame, marked once per loop; its slot 0 (the result so far) starts unset.
inline void mark_loop() {
    stack::mark_loop(&runtime_words[W_BODY]);
    stack::set_last_keep(&unset_value);
}
// Pops the loop frame; its slot 0 becomes the native's result.
inline uint32_t end_loop() {
    stack::unwind_last();
    stack::keep();
    return 0;
}

// Errors raised by the interpreter for the expression at pc name it as their near.
class near_at {
public:
    void set(const cell* block, uint32_t pc) {
        frame_.block = block;
        frame_.pc = pc;
        near_position = &frame_;
    }
    ~near_at() { near_position = frame_.outer; }

private:
    near_frame frame_{nullptr, 0, near_position};
};

// The strict test of either, while, until and case: an unset value has no truth.
inline bool strict_true_q(const cell* value) {
    if (TYPE_OF(value) == TYPE_UNSET) fire(script_error::no_return);
    return value_true_q(value, false, nullptr);
}

// A loop count: a float is truncated toward zero; one outside the integer range, or NaN,
// is out of range (a cast would make it any number).
int32_t loop_count(cell* count) {
    if (TYPE_OF(count) != TYPE_FLOAT) return int_of(count);
    double d = cell_float(count);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) fire(script_error::out_of_range, count);
    *count = integer_value(static_cast<int32_t>(d));
    return int_of(count);
}

// --- Iteration ---------------------------------------------------------------------------

inline bool loop_word_q(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

// How many words a round takes: 0 for a single word, else the length of the words block,
// whose elements must all be words. A map takes exactly a key and a value word.
int32_t word_count(cell* words, const cell* series) {
    bool map = TYPE_OF(series) == TYPE_MAP;
    if (TYPE_OF(words) != TYPE_BLOCK) {
        if (map) fire(script_error::invalid_arg, words);
        return 0;
    }
    int32_t n = static_cast<int32_t>(length_of(words) - head_clipped(words));
    if (n == 0 || (map && n != 2)) fire(script_error::invalid_arg, words);
    for (int32_t i = 0; i < n; i++) {
        cell* w = block::ks_abs_at(words, series::head_of(words) + i);
        if (!loop_word_q(TYPE_OF(w))) fire(script_error::invalid_arg, w);
    }
    return n;
}

// The frame of foreach and remove-each: words (slot 0), series (1), body (2). Copies of
// the series (the iterator) and of the words go above them.
struct each_frame {
    cell* iterator;
    cell* words;
    int32_t n;  // as word_count gives it
};
each_frame start_each() {
    cell* base = stack::arguments;
    int32_t n = word_count(base, base + 1);
    stack::top = base + 3;
    cell* iterator = stack::push(base + 1);
    cell* words = stack::push(base);
    return {iterator, words, n};
}

// Sets the word (a stack cell) to the element i places after the iterator's head, none
// past the tail: a block's cell as it is, another series' element through pick.
void set_from_element(cell* word, cell* iterator, int32_t i) {
    if (cell* slot = _context::settable_value(word); slot && any_block_q(TYPE_OF(iterator))) {
        // A plain word's slot takes a block's cell straight: setting the word would do no more.
        int32_t at = series::head_of(iterator) + i;
        *slot = at < series::buffer_length(iterator) ? *block::ks_abs_at(iterator, at) : none_value;
        return;
    }
    cell* value = stack::push(&none_value);
    if (i < series::buffer_length(iterator) - series::head_of(iterator)) {
        if (any_block_q(TYPE_OF(iterator))) {
            *value = *block::ks_abs_at(iterator, series::head_of(iterator) + i);
        } else {
            *value = integer_value(i + 1);
            *value = *pick_dispatch(iterator, i + 1, value);
        }
    }
    _context::set(word, value);
    stack::pop(1);
}

// One step of foreach: sets the loop word(s) from the iterator and moves it on; false at
// the tail. n as word_count gives it.
bool foreach_next(cell* iterator, cell* words, int32_t n) {
    if (TYPE_OF(iterator) == TYPE_IMAGE) return image::foreach_next(words, iterator, n);
    if (series::head_at_tail_q(iterator)) return false;
    if (TYPE_OF(iterator) == TYPE_MAP) {
        if (!map::foreach_next(words, iterator, n)) return false;
        iterator->w1 += static_cast<uint32_t>(n);
        return true;
    }
    if (n == 0) {
        set_from_element(words, iterator, 0);
        iterator->w1++;
        return true;
    }
    for (int32_t i = 0; i < n; i++) {
        cell* word = stack::push(block::ks_abs_at(words, series::head_of(words) + i));
        set_from_element(word, iterator, i);
        stack::pop(1);
    }
    iterator->w1 += static_cast<uint32_t>(n);
    return true;
}

// After a round of remove-each whose value is true: the round's elements go, and the
// iterator stays where they were.
void remove_each_next(cell* iterator, int32_t n) {
    int32_t count = std::max(n, 1);
    iterator->w1 = static_cast<uint32_t>(std::max(series::head_of(iterator) - count, 0));
    cell* part = count > 1 ? stack::push(&none_value) : nullptr;
    if (part) *part = integer_value(count);
    remove_dispatch(iterator, part, static_cast<cell*>(nullptr));
    if (part) stack::pop(1);
}

// --- Function makers -----------------------------------------------------------------------

// The function of spec and body (cells that stay put) into slot 0.
uint32_t make_function(cell* spec, cell* body) {
    uint32_t flags = function::validate_spec(spec);
    function::push(spec, body, 0, 0, 0, flags);
    return result(*(stack::top - 1));
}

// A copy of the block from its head (clipped to its tail), pushed.
cell* copy_block(cell* block) {
    head_clipped(block);
    return block::clone(block, false, false);
}

// --- switch and do -----------------------------------------------------------------------

// Pushes the first block after the first case equal to value, else none. A block value
// matches nothing.
cell* switch_find_case(cell* value, cell* cases) {
    cell* found = stack::push(&none_value);
    if (TYPE_OF(value) == TYPE_BLOCK) return found;
    uint32_t length = length_of(cases);
    for (uint32_t i = head_clipped(cases); i < length; i++) {
        cell* candidate = block::ks_abs_at(cases, static_cast<int32_t>(i));
        if (TYPE_OF(candidate) != TYPE_OF(value) || !actions::compare(value, candidate, COMP_EQUAL)) continue;
        for (uint32_t j = i + 1; j < length_of(cases); j++) {
            cell* c = block::ks_abs_at(cases, static_cast<int32_t>(j));
            if (TYPE_OF(c) == TYPE_BLOCK) {
                *found = *c;
                break;
            }
        }
        break;
    }
    return found;
}


// The block case of do. position: the /next word (a stack cell), or null.
uint32_t do_block(cell* block, cell* position) {
    head_clipped(block);
    if (!position) return eval_kept(block);
    if (uint32_t code = do_next(block)) return code;
    cell* value = stack::top - 1;
    _context::set(position, block);
    return result(*value);
}

}  // namespace

// --- Conditionals ------------------------------------------------------------------------

int32_t if_(bool, const int32_t*) {
    cell* base = stack::arguments;
    if (!value_true_q(base, false, nullptr)) return result(none_value);
    return eval_kept(base + 1);
}

int32_t unless(bool, const int32_t*) {
    cell* base = stack::arguments;
    if (value_true_q(base, false, nullptr)) return result(none_value);
    return eval_kept(base + 1);
}

int32_t either(bool, const int32_t*) {
    cell* base = stack::arguments;
    return eval_kept(base + (strict_true_q(base) ? 1 : 2));
}

int32_t any(bool, const int32_t*) {
    cell* conds = stack::arguments;
    cell* first = conds + 1;
    near_at near;
    for (uint32_t pc = head_clipped(conds); pc < length_of(conds);) {
        stack::top = first;
        near.set(conds, pc);
        if (uint32_t code = eval_expression(conds, pc, length_of(conds), false, true)) return code;
        if (value_true_q(first, false, nullptr)) return result(*first);
    }
    return result(none_value);
}

int32_t all(bool, const int32_t*) {
    cell* conds = stack::arguments;
    cell* last = stack::push(&none_value);
    near_at near;
    for (uint32_t pc = head_clipped(conds); pc < length_of(conds);) {
        stack::top = last + 1;
        near.set(conds, pc);
        if (uint32_t code = eval_expression(conds, pc, length_of(conds), false, true)) return code;
        if (!value_true_q(last + 1, false, nullptr)) return result(none_value);
        *last = last[1];
    }
    return result(*last);
}

// --- Loops -------------------------------------------------------------------------------

int32_t while_(bool, const int32_t*) {
    cell* cond = stack::arguments;
    cell* body = cond + 1;
    mark_loop();
    while_step step{cond};
    if (uint32_t code = eval_rounds(body, step); code && code != THROW_BREAK) return code;
    stack::unwind_last();
    return result(unset_value);
}

int32_t until(bool, const int32_t*) {
    cell* body = stack::arguments;
    mark_loop();
    for (;;) {
        stack::reset();
        uint32_t code = run_block(body);
        if (code == THROW_BREAK) break;
        if (code == THROW_CONTINUE) continue;
        if (code) return code;
        if (strict_true_q(stack::arguments)) break;
    }
    return end_loop();
}

// The end of a loop run by eval_rounds: break and running out end it, other exits go on.
inline uint32_t end_rounds(uint32_t code) {
    if (code && code != THROW_BREAK) return code;
    return end_loop();
}

int32_t loop(bool, const int32_t*) {
    cell* base = stack::arguments;
    int32_t count = loop_count(base);
    if (count < 1) return result(none_value);
    cell* body = base + 1;
    mark_loop();
    count_step step{0, count};
    return end_rounds(eval_rounds(body, step));
}

// The slot of a word bound to a running function's frame, else null. It stays put while
// the loop runs: the argument stack does not move, and between rounds the calls the body
// made have all returned, pointing the context back at this frame.
inline cell* running_frame_slot(const cell* word) {
    cell* slot = _context::settable_value(word);
    return slot && ctx_cell(word->w1)->header & CTX_ON_STACK ? slot : nullptr;
}

int32_t repeat(bool, const int32_t*) {
    cell* base = stack::arguments;
    cell* word = base;
    cell* counter = base + 1;
    int32_t count = loop_count(counter);
    if (count < 1) return result(none_value);
    cell* body = base + 2;
    mark_loop();
    repeat_step step{0, count, word, counter, running_frame_slot(word)};
    return end_rounds(eval_rounds(body, step));
}

int32_t forever(bool, const int32_t*) {
    cell* body = stack::arguments;
    mark_loop();
    forever_step step;
    return end_rounds(eval_rounds(body, step));
}

int32_t foreach(bool, const int32_t*) {
    cell* body = stack::arguments + 2;
    each_frame each = start_each();
    mark_loop();
    each_step step{each.iterator, each.words, each.n};
    return end_rounds(eval_rounds(body, step));
}

int32_t forall(bool, const int32_t*) {
    cell* word = stack::arguments;
    cell* body = word + 1;
    stack::top = word + 2;
    cell* start = stack::push(_context::get(word));
    if (!series_type_q(TYPE_OF(start))) {
        cell name = stack::caller_name();
        cell type{TYPE_DATATYPE, TYPE_OF(start), 0, 0};
        cell argument = word::load("word");
        fire(script_error::expect_arg, &name, &type, &argument);
    }
    mark_loop();
    while (!series::head_at_tail_q(_context::get(word))) {
        stack::reset();
        uint32_t code = run_block(body);
        // After a break the word keeps the position reached.
        if (code == THROW_BREAK) return end_loop();
        if (code && code != THROW_CONTINUE) return code;
        cell* at = _context::get(word);
        if (!series_type_q(TYPE_OF(at)) || series_node(at) != series_node(start))
            fire(script_error::bad_loop_series, stack::push(at));
        at->w1++;
    }
    _context::set(word, start);
    return end_loop();
}

int32_t remove_each(bool, const int32_t*) {
    cell* base = stack::arguments;
    cell* body = base + 2;
    auto [iterator, words, n] = start_each();
    mark_loop();
    while (foreach_next(iterator, words, n)) {
        stack::reset();
        uint32_t code = run_block(body);
        if (code == THROW_BREAK) break;
        if (code == THROW_CONTINUE) continue;
        if (code) return code;
        if (value_true_q(stack::arguments, false, nullptr)) remove_each_next(iterator, n);
    }
    stack::unwind_last();
    return result(base[1]);
}

// --- Function makers -----------------------------------------------------------------------

int32_t func(bool, const int32_t*) { return make_function(stack::arguments, stack::arguments + 1); }

int32_t function_(bool, const int32_t*) {
    cell* body = stack::arguments + 1;
    cell* spec = copy_block(stack::arguments);
    function::collect_locals(spec, body);
    return make_function(spec, body);
}

int32_t does(bool, const int32_t*) {
    cell* body = stack::arguments;
    return make_function(block::push_only(0), body);
}

int32_t has(bool, const int32_t*) {
    cell* body = stack::arguments + 1;
    cell* spec = copy_block(stack::arguments);
    cell* local = stack::push(&runtime_refinements[REF_LOCAL]);
    block::insert_value(spec, local, false, true);
    return make_function(spec, body);
}

// --- switch, case, do --------------------------------------------------------------------

int32_t switch_(bool, const int32_t* refinements) {
    cell* base = stack::arguments;
    cell* found = switch_find_case(base, base + 1);
    if (TYPE_OF(found) != TYPE_BLOCK) {
        if (!refinement_given(refinements, 0)) return result(none_value);
        *found = base[refinements[0]];
    }
    return eval_kept(found);
}

int32_t case_(bool, const int32_t* refinements) {
    bool all = refinement_given(refinements, 0);
    cell* cases = stack::push(stack::arguments);
    stack::mark_native(&runtime_words[W_ANON]);
    near_at near;
    bool taken = false;
    for (uint32_t pc = head_clipped(cases); pc < length_of(cases);) {
        stack::reset();
        near.set(cases, pc);
        if (uint32_t code = eval_expression(cases, pc, length_of(cases), false, true)) return code;
        if (pc >= length_of(cases)) {
            cell name = stack::caller_name();
            fire(script_error::need_value, &name);
        }
        taken = false;
        if (!strict_true_q(stack::top - 1)) {
            pc++;
            continue;
        }
        stack::reset();
        near.set(cases, pc);
        if (TYPE_OF(block::ks_abs_at(cases, static_cast<int32_t>(pc))) == TYPE_BLOCK) {
            cell* branch = stack::push(block::ks_abs_at(cases, static_cast<int32_t>(pc++)));
            if (uint32_t code = eval_block(branch, true)) return code;
        } else if (uint32_t code = eval_expression(cases, pc, length_of(cases), false, false)) {
            return code;
        }
        taken = true;
        if (!all) break;
    }
    if (!taken) *stack::arguments = none_value;
    stack::unwind_last();
    stack::keep();
    return 0;
}

namespace {

// Scripts run through the library's do-file: `do-file file none pick [args] 1`, so that the
// arguments reach it unevaluated.
uint32_t do_script(cell* file, const cell* args) {
    cell* code = block::push_only(6);
    cell name = word::load("do-file");
    block::ks_append(code, &name);
    block::ks_append(code, file);
    block::ks_append(code, &none_value);
    name = word::load("pick");
    block::ks_append(code, &name);
    cell* quoted = block::push_only(1);
    block::ks_append(quoted, args);
    block::ks_append(code, quoted);
    cell one = integer_value(1);
    block::ks_append(code, &one);
    uint32_t pc = 0;
    if (uint32_t c = eval_expression(code, pc, 6, false, true)) return c;
    return result(*(stack::top - 1));
}

uint32_t do_value(const int32_t* refinements) {
    cell* base = stack::arguments;
    cell* position = refinement_given(refinements, 2) ? base + refinements[2] : nullptr;
    switch (TYPE_OF(base)) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            return do_block(base, position);
        case TYPE_STRING: {
            cell* block = stack::push(&none_value);
            transcode_string(block, base, -1, false, true, true, true, nullptr);
            bind_global(block);
            return do_block(block, position);
        }
        case TYPE_FILE:
        case TYPE_URL:
            return do_script(base, refinement_given(refinements, 1) ? base + refinements[1] : &none_value);
        case TYPE_ERROR:
            last_error = *base;
            stack::throw_error();
        default: {
            cell* code = block::push_only(1);
            block::ks_append(code, base);
            uint32_t pc = 0;
            if (uint32_t c = eval_expression(code, pc, 1, false, true, true)) return c;
            return result(*(stack::top - 1));
        }
    }
}

}  // namespace

int32_t do_(bool, const int32_t* refinements) {
    // The preprocessor is not part of this build.
    if (refinement_given(refinements, 0)) fire(internal_error::not_done);
    if (!refinement_given(refinements, 3)) return static_cast<int32_t>(do_value(refinements));
    auto evaluate = [](void* r) { return do_value(static_cast<const int32_t*>(r)); };
    return static_cast<int32_t>(trace_run_with(stack::arguments + refinements[3], evaluate,
                                               const_cast<int32_t*>(refinements)));
}

}  // namespace kel::natives

namespace kel {

bool while_step::holds(const cell* value) { return natives::strict_true_q(value); }

uint32_t each_step::operator()() { return natives::foreach_next(iterator, words, n) ? ROUND_GO : ROUNDS_END; }

}  // namespace kel
