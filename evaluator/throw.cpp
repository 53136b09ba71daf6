#include "evaluator/throw.h"

#include "datatypes/error.h"
#include "datatypes/frames.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/trace.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

void fire(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3) {
    error_create(category, id, arg1, arg2, arg3);
    if (trace_on()) [[unlikely]] fire_interp_event(TRACE_ERROR, nullptr, -1, nullptr, &last_error);
    stack::throw_error();
}

namespace stack {

namespace {

inline bool try_all_q(const call_frame* f) { return frame_type_of(f) == FRAME_TRY_ALL; }

// Keeps the target frame and makes it current with value in its slot 0. The function frames
// above it end here: their contexts point back.
void keep_target(call_frame* target, const cell& value) {
    for (call_frame* f = ctop - 1; f > target; f--) restore(f);
    cell* base = base_of(target);
    ctop = target + 1;
    arguments = base;
    *base = value;
    top = base + 1;
}

}  // namespace

void throw_error() {
    if (TYPE_OF(&last_error) == TYPE_ERROR && ctop > cbottom) {
        cell* where = error::get_field(&last_error, error::FIELD_WHERE);
        if (TYPE_OF(where) == TYPE_NONE) {
            cell name = caller_name();
            error::set_where(&last_error, &name);
        }
        cell* near = error::get_field(&last_error, error::FIELD_NEAR);
        if (TYPE_OF(near) == TYPE_NONE && near_position) *near = near_value();
        set_error_frame(&last_error);
    }
    raise_exit(THROW_ERROR);
}

uint32_t throw_break(bool has_value, bool is_continue) {
    auto fail = [is_continue]() { fire(is_continue ? throw_error::continue_ : throw_error::break_); };
    if (ctop == cbottom) fail();
    call_frame* f = ctop - 1;  // the break or continue call itself, never the loop
    for (;;) {
        if (try_all_q(f) || f == cbottom) fail();
        --f;
        if (frame_type_of(f) == FRAME_LOOP) break;
    }
    keep_target(f, has_value && !is_continue ? *arguments : unset_value);
    return is_continue ? THROW_CONTINUE : THROW_BREAK;
}

uint32_t throw_exit(bool is_return, bool caller_has_no_frame) {
    auto fail = []() { fire(throw_error::return_); };
    if (ctop == cbottom) fail();
    call_frame* f = ctop - 1;
    if (!caller_has_no_frame) {
        if (try_all_q(f) || f == cbottom) fail();
        --f;
    }
    while (!(f->header & FRAME_BODY)) {
        if (try_all_q(f) || f == cbottom) fail();
        --f;
    }
    keep_target(f, is_return ? *arguments : unset_value);
    return is_return ? THROW_RETURN : THROW_EXIT;
}

uint32_t throw_value(uint32_t code) {
    cell value = arguments[0], name = arguments[1];
    auto fail = [&value]() { fire(throw_error::throw_, &value); };
    if (ctop == cbottom) fail();
    call_frame* f = ctop - 1;
    if (!throw_origin) throw_origin = f;
    for (;;) {
        if (try_all_q(f) || f == cbottom) fail();
        --f;
        if (frame_type_of(f) == FRAME_CATCH) break;
    }
    keep_target(f, value);
    *top++ = name;
    return code;
}

}  // namespace stack

namespace natives {

namespace {

// The word naming the current frame, for a frame the native pushes in its own name.
cell own_name() {
    if (stack::ctop == stack::cbottom) return runtime_words[W_ANON];
    const call_frame* f = stack::current_frame();
    return cell{TYPE_WORD, f->word_ctx, f->symbol, static_cast<uint32_t>(-1)};
}

// A thrown name matches when the catch names it: a word, or a block of words.
bool name_matches(const cell* thrown, const cell* wanted) {
    if (TYPE_OF(thrown) != TYPE_WORD) return false;
    uint32_t symbol = symbol::resolve(thrown->w2);
    if (TYPE_OF(wanted) == TYPE_WORD) return symbol::resolve(wanted->w2) == symbol;
    series_buffer* b = series::buffer_of(wanted);
    cell* tail = b->cells_tail();
    for (cell* e = b->cells() + series_head(wanted); e < tail; e++)
        if (TYPE_OF(e) != TYPE_WORD) fire(script_error::invalid_refine_arg, &runtime_words[W_NAME], wanted);
    for (cell* e = b->cells() + series_head(wanted); e < tail; e++)
        if (symbol::resolve(e->w2) == symbol) return true;
    return false;
}

}  // namespace

int32_t try_(bool, const int32_t* refinements) {
    bool all = refinement_given(refinements, 0), keep = refinement_given(refinements, 1);
    cell* base = stack::arguments;
    call_frame* frame = stack::ctop;  // the try frame about to be pushed
    cell name = own_name();
    if (all) stack::mark_try_all(&name);
    else stack::mark_try(&name);
    uint32_t code;
    try {
        code = eval_block(base, true);
    } catch (const kel_exit& e) {
        if (e.code != THROW_ERROR) throw;
        pending_code = 0;
        stack::unwind_down_to(frame);
        stack::arguments = base;
        *base = last_error;
        stack::keep();
        if (keep) error::capture_stack(base);
        return 0;
    }
    // Break, continue, return, exit and throw pass a plain try: the raiser has unwound it.
    if (code) return code;
    stack::unwind_last();
    stack::keep();
    return 0;
}

int32_t catch_(bool, const int32_t* refinements) {
    cell* base = stack::arguments;
    stack::mark_catch(&runtime_words[W_BODY]);
    uint32_t code = catch_code([base] { return eval_block(base, true); });
    if (code && code != THROW_THROW) return code;
    // A throw left its value and name in the catch frame's slots 0 and 1.
    cell name = code ? stack::arguments[1] : unset_value;
    stack::unwind_last();
    stack::keep();
    if (!code) return 0;
    if (refinement_given(refinements, 0) && !name_matches(&name, base + refinements[0])) {
        base[1] = name;
        stack::top = base + 2;
        return stack::throw_value(THROW_THROW);
    }
    stack::throw_origin = nullptr;
    if (trace_on()) [[unlikely]] fire_interp_event(TRACE_CATCH, nullptr, -1, nullptr, stack::arguments);
    return 0;
}

int32_t throw_(bool, const int32_t* refinements) {
    if (!refinement_given(refinements, 0)) {
        stack::arguments[1] = unset_value;
        stack::top = stack::arguments + 2;
    }
    if (trace_on()) [[unlikely]] fire_interp_event(TRACE_THROW, nullptr, -1, nullptr, stack::arguments);
    return stack::throw_value(THROW_THROW);
}

int32_t break_(bool, const int32_t* refinements) {
    return stack::throw_break(refinement_given(refinements, 0), false);
}

int32_t continue_(bool, const int32_t*) { return stack::throw_break(false, true); }

int32_t exit_(bool, const int32_t*) { return stack::throw_exit(false, false); }

int32_t return_(bool, const int32_t*) { return stack::throw_exit(true, false); }

}  // namespace natives
}  // namespace kel
