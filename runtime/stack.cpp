#include "runtime/stack.h"

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"

namespace kel {

node_id argument_stack = 0;

namespace {

call_frame call_records[CALL_STACK_SIZE];

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

void unwind_any() {
    call_frame* f = --ctop;
    restore(f);
    if (ctop == cbottom) {
        arguments = top = bottom;
        return;
    }
    top = arguments;
    arguments = f->base;
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
        arguments = ctop->base;
    }
    if (!keep && ctop < entry) ctop++;
}

void unwind_to_last(uint32_t type) {
    cell result = *arguments;
    call_frame* entry = ctop;
    cell* entry_arguments = arguments;
    unwind_to(type, false);
    // The found frame's own base: recorded by the popped frame above it, if any.
    cell* slot = ctop < entry ? ctop->base : entry_arguments;
    *slot = result;
    arguments = slot;
    top = slot + 1;
}

void unwind_down_to(call_frame* f) {
    while (ctop > f) restore(--ctop);
}

void mark_gc() {
    for (call_frame* f = cbottom; f < ctop; f++) {
        if (f->word_ctx) collector_mark_context(&f->word_ctx);
        if (!f->ctx) continue;
        collector_mark_context(&f->ctx);
        if (f->saved && !(series_cell(f->ctx, 0)->header & CTX_ON_STACK)) collector_mark_series_values(&f->saved);
    }
}

}  // namespace stack
}  // namespace kel
