#include "evaluator/stack.h"

#include "boot/error_catalog.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"

namespace kel {

node_id argument_stack = 0;

namespace {

call_frame call_records[CALL_STACK_SIZE];

inline bool anonymous_q(const call_frame* f) {
    return f->symbol == runtime_words[W_BODY].w2 || f->symbol == runtime_words[W_ANON].w2;
}

// The frame's naming word as a word of its context (the global one when it has none).
cell frame_word(const call_frame* f) {
    return word::word_for_symbol(f->word_ctx ? f->word_ctx : global_context, f->symbol);
}

}  // namespace

namespace stack {

cell* bottom = nullptr;
cell* end = nullptr;
cell* top = nullptr;
cell* arguments = nullptr;

call_frame* cbottom = call_records;
call_frame* ctop = call_records;
call_frame* cend = call_records + CALL_STACK_SIZE;
call_frame* throw_origin = nullptr;

void init() {
    collector_add_mark_callback(mark_gc);
    argument_stack = alloc_fixed_series(ARGUMENT_STACK_SIZE, sizeof(cell), 0);
    bottom = node_buffer(argument_stack)->cells();
    end = bottom + ARGUMENT_STACK_SIZE;
    top = bottom;
    arguments = bottom;
    ctop = cbottom;
    throw_origin = nullptr;
}

void overflow() {
    // Leave room for the error's own work.
    top = top - 5 > bottom ? top - 5 : bottom;
    cycles_reset();
    fire(internal_error::stack_overflow);
}

void call_overflow() {
    top = top - 5 > bottom ? top - 5 : bottom;
    cycles_reset();
    fire(internal_error::stack_overflow);
}

void set_last_top() {
    cell* t = top_cell();
    if (TYPE_OF(t) == TYPE_ERROR) *arguments = *t;
    top = arguments + 1;
}

void mark_func(const cell* word, node_id ctx) {
    mark(word, FRAME_FUNCTION << FRAME_TYPE_SHIFT);
    call_frame* f = ctop - 1;
    f->ctx = ctx;
    f->saved = ctx ? series_cell(ctx, 0)->w2 : 0;
}

void set_frame_flag(bool on) {
    call_frame* f = current_frame();
    f->header = on ? f->header | FRAME_BODY : f->header & ~FRAME_BODY;
}

call_frame* mark_return_target() {
    if (ctop - cbottom < 2) return nullptr;
    call_frame* f = ctop - 2;
    if (f->header & FRAME_BODY) return nullptr;
    f->header |= FRAME_BODY;
    return f;
}

bool eval_q(const call_frame* f, bool one_only) {
    if (!f) f = ctop - 1;
    for (; f >= cbottom; f--) {
        if (f->header & FRAME_INTERP) return true;
        if (one_only) break;
    }
    return false;
}

void unwind_any() {
    call_frame* f = --ctop;
    restore(f);
    if (ctop == cbottom) {
        arguments = top = bottom;
        return;
    }
    top = arguments;
    arguments = bottom + f->base;
}

void unwind_to(uint32_t type, bool keep) {
    call_frame* entry = ctop;
    while (ctop > cbottom) {
        call_frame* f = --ctop;
        restore(f);
        uint32_t t = frame_type_of(f);
        if (t == type || t == FRAME_TRY_ALL) break;
    }
    if (keep && ctop < entry) ctop++;
    if (ctop == entry) {
        top = arguments + 1;
    } else if (ctop == cbottom) {
        arguments = top = bottom;
    } else {
        top = arguments + 1;
        arguments = bottom + ctop->base;
    }
    if (!keep && ctop < entry) ctop++;
}

void unwind_to_last(uint32_t type) {
    cell result = *arguments;
    call_frame* entry = ctop;
    cell* entry_arguments = arguments;
    unwind_to(type, false);
    // The found frame's own base: recorded by the popped frame above it, if any.
    cell* slot = ctop < entry ? bottom + ctop->base : entry_arguments;
    *slot = result;
    arguments = slot;
    top = slot + 1;
}

void unwind_down_to(call_frame* f) {
    while (ctop > f) restore(--ctop);
}

cell caller_name() {
    call_frame* f = throw_origin ? throw_origin : ctop - 1;
    throw_origin = nullptr;
    for (; f >= cbottom; f--)
        if (!anonymous_q(f)) return frame_word(f);
    return runtime_words[W_NOT_FOUND];
}

void collect_calls(cell* block) {
    for (call_frame* f = ctop - 1; f > cbottom; f--) {
        if (anonymous_q(f)) continue;
        cell w = frame_word(f);
        block::ks_append(block, &w);
        cell base = integer_value(static_cast<int32_t>(f->base));
        block::ks_append(block, &base);
    }
}

namespace {

// Calls f with each selected frame word, bottom up to end.
template <class F>
void each_traced(int32_t level, const call_frame* end, F&& f) {
    if (!end) end = ctop - 1;
    for (const call_frame* r = cbottom; r <= end && r < ctop; r++) {
        if (anonymous_q(r)) continue;
        cell w = frame_word(r);
        if (level <= 1) {
            int32_t i = static_cast<int32_t>(w.w3);
            const cell* v = i >= 0 && w.w1 ? _context::values(ctx_cell(w.w1)) : nullptr;
            if (!v || TYPE_OF(v + i) != TYPE_FUNCTION) continue;
        }
        if (!f(w)) break;
    }
}

}  // namespace

void trace_words(int32_t level, cell* block, const call_frame* end) {
    each_traced(level, end, [block](cell& w) {
        block::ks_append(block, &w);
        return true;
    });
}

int32_t trace_form(int32_t level, cell* out, const call_frame* end, int32_t limit) {
    each_traced(level, end, [out, &limit](cell& w) {
        cell* kept = push(&w);
        limit = form_dispatch(kept, out, nullptr, limit);
        pop(1);
        limit = string::form_text(out, " ", limit);
        limit--;
        return limit > 0;
    });
    return limit;
}

void mark_gc() {
    for (call_frame* f = cbottom; f < ctop; f++) {
        if (f->word_ctx) collector_mark_context(&f->word_ctx);
        if (!f->ctx) continue;
        collector_mark_context(&f->ctx);
        if (f->saved && !(series_cell(f->ctx, 0)->header & CTX_ON_STACK)) collector_mark_series_values(&f->saved);
    }
}

void set_error_frame(cell* e) {
    cell* field = error::get_field(e, error::FIELD_STACK);
    if (TYPE_OF(field) == TYPE_BLOCK) return;
    *field = integer_value(static_cast<int32_t>(ctop - cbottom));
}

}  // namespace stack
}  // namespace kel
