#include "evaluator/trace.h"

#include <exception>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

bool tracing = false;
bool trace_run = false;

namespace {

// In event bit order.
constexpr const char* EVENT_NAMES[] = {"init",  "end",  "prolog", "epilog", "enter", "exit",
                                       "open",  "return", "fetch", "push",  "set",   "call",
                                       "error", "throw", "catch", "expr"};
constexpr uint32_t EVENT_COUNT = 16;
constexpr uint32_t DEFAULT_MASK = 0x0001FFFF;
// Events that pass the call's name as their ref.
constexpr uint32_t EVENTS_WITH_REF = TRACE_PROLOG | TRACE_EPILOG | TRACE_RETURN | TRACE_SET | TRACE_CALL;
constexpr uint32_t EVENT_ARGUMENTS = 6;

// The run's callback (none outside a run) and the event words, loaded when a run starts.
cell callback{TYPE_NONE, 0, 0, 0};
cell event_words[EVENT_COUNT];
bool event_words_loaded = false;
uint32_t event_mask = 0;
uint32_t arguments_taken = 0;  // of the six, by the callback's spec
uint32_t pad = 0;              // its /local slot and local words

void mark_trace() {
    collector_mark_values(&callback, &callback + 1);
    if (event_words_loaded) collector_mark_values(event_words, event_words + EVENT_COUNT);
}

uint32_t event_index(uint32_t event) { return static_cast<uint32_t>(__builtin_ctz(event)); }

// The events the callback's body asks for in a leading block, else every one.
uint32_t mask_of(const cell* fn) {
    cell body = *more_at(fn, MORE_BODY);
    if (TYPE_OF(&body) != TYPE_BLOCK || block::ks_tail_q(&body)) return DEFAULT_MASK;
    cell first = *block::ks_abs_at(&body, series::head_of(&body));
    if (TYPE_OF(&first) != TYPE_BLOCK || block::ks_tail_q(&first)) return DEFAULT_MASK;
    uint32_t mask = 0;
    for (int32_t i = series::head_of(&first); i < series::buffer_length(&first); i++) {
        const cell* w = block::ks_abs_at(&first, i);
        if (TYPE_OF(w) != TYPE_WORD) continue;
        for (uint32_t k = 0; k < EVENT_COUNT; k++)
            if (symbol::resolve(w->w2) == symbol::resolve(event_words[k].w2)) mask |= 1u << k;
    }
    return mask;
}

// The arguments the callback's spec takes; more than six, or a refinement other than
// /local, would read cells no event pushes.
uint32_t checked_arguments(cell* fn) {
    node_id spec = fn->w2;
    uint32_t count = static_cast<uint32_t>(node_buffer(spec)->used_bytes() / sizeof(cell));
    uint32_t local = symbol::resolve(runtime_refinements[REF_LOCAL].w2);
    uint32_t arguments = 0;
    for (uint32_t i = 0; i < count; i++) {
        const cell* item = series_cell(spec, i);
        uint32_t t = TYPE_OF(item);
        if (t == TYPE_REFINEMENT) {
            if (symbol::resolve(item->w2) != local) fire(script_error::invalid_arg, fn);
            break;
        }
        if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD) arguments++;
    }
    if (arguments > EVENT_ARGUMENTS) fire(script_error::invalid_arg, fn);
    return arguments;
}

// Puts the run's state back on every way out: flags off, no callback.
struct run_guard {
    ~run_guard() {
        tracing = false;
        trace_run = false;
        callback = none_value;
    }
};

inline cell value_or_none(const cell* value) {
    return !value || TYPE_OF(value) == TYPE_UNSET ? none_value : *value;
}

}  // namespace

void trace_init() {
    collector_add_mark_callback(mark_trace);
    callback = none_value;
    tracing = trace_run = false;
}

tracing_scope::tracing_scope(bool on) : saved_(tracing) { tracing = on; }
tracing_scope::~tracing_scope() { tracing = saved_; }

void fire_interp_event(uint32_t event, const cell* code, int64_t position, const cell* ref, const cell* value) {
    if (!(event_mask & event)) return;
    cell* saved_top = stack::top;
    call_frame* saved_ctop = stack::ctop;
    cell frame{TYPE_PAIR, 0, stack::index_of(stack::arguments), stack::index_of(stack::top)};
    int32_t offset = -1;
    if (code) {
        int64_t head = series_head(code);
        if (position >= head && position <= series::buffer_length(code)) offset = static_cast<int32_t>(position - head);
    }
    cell items[EVENT_ARGUMENTS] = {
        event_words[event_index(event)],
        code ? *code : none_value,
        cell{TYPE_INTEGER, 0, static_cast<uint32_t>(offset), 0},
        value_or_none(value),
        event & EVENTS_WITH_REF ? value_or_none(ref) : none_value,
        frame,
    };
    stack::top++;  // the top cell stays as it was
    cell* args = stack::top;
    for (uint32_t i = 0; i < arguments_taken; i++) stack::push(items + i);
    if (pad) {
        stack::push(&false_value);
        for (uint32_t i = 1; i < pad; i++) stack::push(&none_value);
    }
    cell fn = callback;
    // The callback runs untraced: the handler call switches tracing off and back.
    object::call_handler(&fn, runtime_words[W_INTERP_CALLBACK].w2, args);
    stack::top = saved_top;
    stack::ctop = saved_ctop;
}

uint32_t trace_run_with(cell* fn, uint32_t (*evaluate)(void* context), void* context) {
    if (trace_run) return evaluate(context);
    uint32_t taken = checked_arguments(fn);
    if (!event_words_loaded) {
        for (uint32_t k = 0; k < EVENT_COUNT; k++) event_words[k] = word::load(EVENT_NAMES[k]);
        event_words_loaded = true;
    }
    run_guard guard;
    callback = *fn;
    event_mask = mask_of(fn);
    arguments_taken = taken;
    uint32_t slots = ctx_slot_count(ctx_cell(fn->w1));
    pad = slots > taken ? slots - taken : 0;
    trace_run = tracing = true;
    fire_interp_event(TRACE_INIT, nullptr, -1, nullptr, nullptr);
    uint32_t code = 0;
    try {
        code = evaluate(context);
    } catch (...) {
        // The error waits in last_error while the end event runs Kel code of its own.
        cell raised = last_error;
        root_cell keep(raised);
        fire_interp_event(TRACE_END, nullptr, -1, nullptr, nullptr);
        last_error = keep.value;
        throw;
    }
    fire_interp_event(TRACE_END, nullptr, -1, nullptr, nullptr);
    return code;
}

}  // namespace kel
