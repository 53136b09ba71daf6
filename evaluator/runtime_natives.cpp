#include "evaluator/runtime_natives.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/lexer_callback.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/transcode.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/values.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::natives {

namespace {

inline cell* arg(int32_t i) { return stack::arguments + i; }

inline bool list_class_q(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || any_path_q(t); }
inline bool text_class_q(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
           t == TYPE_REF;
}

inline void mark_new_line(cell* c, bool on) {
    if (on) c->header |= CELL_NEW_LINE;
    else c->header &= ~CELL_NEW_LINE;
}

}  // namespace

int32_t unset(bool, const int32_t*) {
    cell* target = arg(0);
    if (TYPE_OF(target) == TYPE_WORD) {
        _context::set(target, &unset_value);
    } else {
        cell* word = stack::push_cell();
        for (int32_t i = series::head_of(target); i < series::buffer_length(target); i++) {
            *word = *block::ks_abs_at(target, i);
            if (TYPE_OF(word) == TYPE_WORD) _context::set(word, &unset_value);
        }
    }
    *stack::arguments = unset_value;
    return 0;
}

int32_t new_line(bool, const int32_t* refinements) {
    cell* position = arg(0);
    bool value = arg(1)->w1 != 0;
    int32_t step = 0;
    if (refinement_given(refinements, 0)) step = 1;
    if (refinement_given(refinements, 1)) {
        cell* size = arg(refinements[1]);
        step = int_of(size);
        if (step <= 0) fire(script_error::out_of_range, size);
    }
    int32_t head = series::head_of(position), tail = series::buffer_length(position);
    if (step == 0) {
        if (head < tail) mark_new_line(block::ks_abs_at(position, head), value);
        return 0;
    }
    for (int32_t i = head; i < tail; i++) {
        bool on_step = step == 1 || (i - head) % step == 0;
        mark_new_line(block::ks_abs_at(position, i), on_step == value);
    }
    return 0;
}

int32_t new_line_q(bool, const int32_t*) {
    cell* position = arg(0);
    int32_t head = series::head_of(position);
    bool marked = head < series::buffer_length(position) && (block::ks_abs_at(position, head)->header & CELL_NEW_LINE);
    *stack::arguments = cell{TYPE_LOGIC, marked, 0, 0};
    return 0;
}

int32_t context_q(bool, const int32_t*) {
    node_id ctx = arg(0)->w1;
    const cell* owner = ctx ? series_cell(ctx, 1) : &none_value;
    *stack::arguments = TYPE_OF(owner) == TYPE_UNSET ? none_value : *owner;
    return 0;
}

int32_t as(bool, const int32_t*) {
    cell* type = arg(0);
    cell* spec = arg(1);
    uint32_t to = TYPE_OF(type) == TYPE_DATATYPE ? type->w1 : TYPE_OF(type);
    uint32_t from = TYPE_OF(spec);
    if (!(list_class_q(to) && list_class_q(from)) && !(text_class_q(to) && text_class_q(from))) {
        cell type1{TYPE_DATATYPE, to, 0, 0}, type2{TYPE_DATATYPE, from, 0, 0};
        fire(script_error::not_same_class, &type1, &type2);
    }
    set_type(spec, to);
    if (any_path_q(to)) spec->w3 = 0;
    *stack::arguments = *spec;
    return 0;
}

int32_t recycle(bool, const int32_t* refinements) {
    if (refinement_given(refinements, 0) || refinement_given(refinements, 1)) {
        collector_enabled = refinement_given(refinements, 0);
        *stack::arguments = unset_value;
        return 0;
    }
    collector_collect();
    *stack::arguments = *memory_stats(1);
    return 0;
}

int32_t transcode(bool, const int32_t* refinements) {
    cell* source = arg(0);
    bool next = refinement_given(refinements, 0), one = refinement_given(refinements, 1);
    bool prescan = refinement_given(refinements, 2), scan_only = refinement_given(refinements, 3);
    int64_t length = -1;
    if (refinement_given(refinements, 4)) {
        cell* part = arg(refinements[4]);
        if (TYPE_OF(part) == TYPE_INTEGER) {
            length = std::max(int_of(part), 0);
        } else {
            if (TYPE_OF(source) != TYPE_BINARY || series_node(part) != series_node(source))
                fire(script_error::not_same_type);
            length = std::max<int64_t>(int64_t{series_head(part)} - series_head(source), 0);
        }
    }
    cell* into = refinement_given(refinements, 5) ? arg(refinements[5]) : nullptr;
    cell* callback = refinement_given(refinements, 6) ? arg(refinements[6]) : nullptr;
    uint32_t mask = callback ? lexer_callback_events(callback) : 0;
    bool make_values = !prescan && !scan_only;
    bool single = next || one || !make_values;
    cell* out = stack::push(&none_value);
    // Loaded words are the global context's, as those of any script text.
    cell* loaded = stack::push(into && !next ? into : out);
    if (into && !next) loaded->w1 = static_cast<uint32_t>(series::buffer_length(into));
    size_t consumed = 0;
    auto scan = TYPE_OF(source) == TYPE_BINARY ? transcode_binary : transcode_string;
    int32_t type = scan(out, source, length, single, !prescan, make_values, !one, &consumed, callback, mask,
                        next ? nullptr : into);
    if (!make_values) {
        *stack::arguments = lexer_type_value(type);
        return 0;
    }
    if (!(into && !next)) *loaded = *out;
    if (any_block_q(TYPE_OF(loaded))) bind_global(loaded);
    if (next) {
        // The value and the source after it, to go on from.
        cell* rest = stack::push(source);
        rest->w1 += static_cast<uint32_t>(consumed);
        block::ks_append(out, rest);
    }
    *stack::arguments = *out;
    return 0;
}

int32_t apply(bool, const int32_t* refinements) {
    cell* target = arg(0);
    cell* args = arg(1);
    cell* name = stack::push(&runtime_words[W_ANON]);
    const cell* path = nullptr;
    uint32_t path_from = 0;
    cell* fn = stack::push(target);
    if (any_word_type_q(TYPE_OF(target)) && TYPE_OF(target) != TYPE_ISSUE) {
        *name = word::retype(*target, TYPE_WORD);
        *fn = *_context::get(name);
    } else if (any_path_q(TYPE_OF(target))) {
        *name = *block::ks_head(target);
        if (TYPE_OF(name) != TYPE_WORD) fire(script_error::invalid_arg, target);
        *fn = *_context::get(name);
        path = target;
        path_from = series_head(target) + 1;
    }
    uint32_t t = TYPE_OF(fn);
    if (t == TYPE_OP) fn->header = (fn->header & ~(0xFFu | OP_WRAPPED_MASK)) | op_wrapped_type(fn);
    else if (t != TYPE_FUNCTION && t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_ROUTINE)
        fire(script_error::invalid_arg, target);
    uint32_t mode = APPLY_BLOCK | (refinement_given(refinements, 0) ? APPLY_ALL : 0) |
                    (refinement_given(refinements, 1) ? APPLY_SAFER : 0);
    uint32_t pc = series_head(args);
    uint32_t end = static_cast<uint32_t>(series::buffer_length(args));
    if (uint32_t code = eval_call(fn, args, pc, end, path, path_from, name, false, mode)) return code;
    *stack::arguments = *(stack::top - 1);
    return 0;
}

}  // namespace kel::natives
