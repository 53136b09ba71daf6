#include "datatypes/object.h"

#include "datatypes/function.h"

#include <strings.h>

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kel::object {

evaluate_call evaluate = nullptr;
handler_call call_handler = nullptr;

namespace {

// Class 1 is the class of errors: the first id drawn is 2.
int32_t class_counter = 1;

// Restores the stack top on every way out.
struct stack_mark {
    cell* top = stack::top;
    ~stack_mark() { stack::top = top; }
};

inline node_id values_node(node_id ctx) { return ctx_cell(ctx)->w2; }
inline cell* values_of(node_id ctx) { return _context::values(ctx_cell(ctx)); }
inline uint32_t slot_count(node_id ctx) { return ctx_slot_count(ctx_cell(ctx)); }
inline uint32_t resolved(uint32_t symbol) { return symbol::resolve(symbol); }
inline uint32_t word_symbol(runtime_word w) { return resolved(runtime_words[w].w2); }
inline bool function_q(uint32_t type) { return type == TYPE_FUNCTION || type == TYPE_ROUTINE; }

bool handler_symbol_q(uint32_t symbol) {
    uint32_t s = resolved(symbol);
    return s == word_symbol(W_ON_CHANGE) || s == word_symbol(W_ON_DEEP_CHANGE);
}

// Values that copies of objects give fresh buffers of their own.
bool copied_series_q(uint32_t type) {
    switch (type) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
        case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return true;
        default:
            return false;
    }
}
bool field_series_q(uint32_t type) {
    return copied_series_q(type) || type == TYPE_HASH || type == TYPE_VECTOR || type == TYPE_BINARY ||
           type == TYPE_IMAGE;
}

// A deep copy of the value through its type's copy action.
cell deep_copy(const cell* value) {
    stack_mark mark;
    cell* v = stack::push(value);
    cell* result = stack::push(&none_value);
    get_action_ptr_by_type<ACT_COPY>(TYPE_OF(v))(v, result, nullptr, true, nullptr);
    return *result;
}

// Slot i of the context receives a deep copy of the value, bound to the context when it
// holds code.
void copy_into_slot(const root_node& ctx, uint32_t i, const cell* value, bool bind) {
    cell copied = deep_copy(value);
    if (bind && any_block_q(TYPE_OF(&copied))) _context::bind(&copied, ctx.node, true);
    values_of(ctx.node)[i] = copied;
}

// Rebuilds the function in slot i so that its body refers to the context.
void rebind_slot(const root_node& ctx, uint32_t i) {
    if (TYPE_OF(&values_of(ctx.node)[i]) == TYPE_FUNCTION) function::rebind_function(ctx.node, i);
}

// Literal meanings of words in a construction spec.
bool literal_meaning(cell* value) {
    const char* name = symbol::name_c_string(value->w2);
    static const struct {
        const char* name;
        int truth;  // -1 for none
    } meanings[] = {{"true", 1}, {"yes", 1}, {"on", 1}, {"false", 0}, {"no", 0}, {"off", 0}, {"none", -1}};
    for (const auto& m : meanings) {
        if (strcasecmp(name, m.name) != 0) continue;
        *value = m.truth < 0 ? none_value : m.truth ? true_value : false_value;
        return true;
    }
    return false;
}

uint32_t count_locals(node_id spec) { return static_cast<uint32_t>(function::count_locals(spec, 0, false)); }

cell* events_cell(const cell* object, uint32_t which) { return node_buffer(object->w3)->cells() + which; }
uint32_t handler_index(const cell* object, uint32_t which) {
    return object->w3 ? events_cell(object, which)->w2 >> 16 : NO_HANDLER;
}

// The locals count of the handler, taken again when its spec was replaced.
uint32_t handler_locals(const cell* object, uint32_t which, const cell* handler) {
    cell* record = events_cell(object, which);
    if (record->w3 != handler->w2) {
        record->w2 = (record->w2 & 0xFFFF0000u) | count_locals(handler->w2);
        record->w3 = handler->w2;
    }
    return record->w2 & 0xFFFF;
}

// push-unused-refinement: the locals placeholders of a call.
void push_locals(uint32_t count) {
    if (!count) return;
    stack::push(&false_value);
    for (uint32_t i = 1; i < count; i++) stack::push(&none_value);
}

void invoke(cell* handler, runtime_word name, cell* args) {
    if (!call_handler) fire(internal_error::not_done);
    call_handler(handler, runtime_words[name].w2, args);
}

cell events_record(node_id ctx, int32_t index) {
    if (index < 0) return cell{TYPE_PAIR, 0, NO_HANDLER << 16, 0};
    cell* handler = values_of(ctx) + index;
    if (!function_q(TYPE_OF(handler))) {
        cell word = _context::key_word(ctx, static_cast<uint32_t>(index));
        cell type = datatype_of(TYPE_OF(handler));
        fire(script_error::bad_field_set, &word, &type);
    }
    return cell{TYPE_PAIR, 0, (static_cast<uint32_t>(index) << 16) | count_locals(handler->w2), handler->w2};
}

// Marks every series reachable from the object's fields as owned by the object.
void mark_owner_fields(cell* object) {
    context_of(object)->header |= CTX_OWNER;
    root_node ctx(object->w1);
    for (uint32_t i = 0; i < slot_count(ctx.node); i++) {
        root_cell value(values_of(ctx.node)[i]);
        root_cell word(_context::key_word(ctx.node, i));
        ownership::mark_owned(&value.value, object, &word.value);
    }
}

// Stores into field i, marks it set and tells the on-change handler (unless the field is a
// handler itself).
void assign_field(cell* object, uint32_t i, const cell* value) {
    stack_mark mark;
    cell* new_value = stack::push(value);
    cell* old_value = stack::push(get_values(object) + i);
    mark_field_set(context_of(object), i);
    get_values(object)[i] = *new_value;
    if (!object->w3 || i == handler_index(object, 0) || i == handler_index(object, 1)) return;
    cell key = _context::key_word(object->w1, i);
    cell* word = stack::push(&key);
    fire_on_set(object, word, old_value, new_value);
}

// The text of a missing field in a path.
const cell* missing_field(cell* path, cell* element, bool get_q, bool tail_q) {
    if (get_q && tail_q) return &unset_value;
    if (tail_q) fire(script_error::invalid_path, path, element);
    fire(script_error::unset_path, path, element);
}

int32_t text(cell* buffer, const char* s, int32_t part) { return string::form_text(buffer, s, part); }

int32_t indentation(cell* buffer, int32_t level, int32_t part) {
    for (int32_t i = 0; i < level && part > 0; i++) part = text(buffer, "    ", part);
    return part;
}

bool comparable_types_q(uint32_t t1, uint32_t t2) {
    auto number_q = [](uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; };
    return t1 == t2 || (any_word_q(t1) && any_word_q(t2)) || (number_q(t1) && number_q(t2));
}

void on_set_hook(cell* owner, cell* word, cell* old_value, cell* new_value) {
    fire_on_set(owner, word, old_value, new_value);
}

void on_deep_change_hook(const cell* owner, const cell* word, const cell* series, owner_action action,
                         const cell* value, int32_t index, int32_t count) {
    static const char* const names[] = {
        "random", "randomized", "clear", "cleared", "poke", "poked", "remove", "removed",
        "reverse", "reversed", "take", "taken", "move", "moved", "append", "appended",
        "insert", "inserted", "change", "changed", "sort", "sorted", "swap", "swaped",
        "trim", "trimmed", "put", "put-ed", "uppercase", "lowercase",
    };
    stack_mark mark;
    cell* args = stack::push(owner);
    stack::push(word);
    stack::push(series);
    cell* action_word = stack::push(&none_value);
    *action_word = word::load(names[static_cast<uint32_t>(action)]);
    cell* added = stack::push(value);
    fire_on_deep_change(args, args + 1, args + 2, action_word, added, index, count);
}

}  // namespace

void init() {
    register_datatype(TYPE_OBJECT, 0, "object!", {
        entry<ACT_MAKE>(make), 0, entry<ACT_REFLECT>(reflect), 0, entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_COPY>(copy), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_PUT>(put), 0, 0, entry<ACT_SELECT>(select), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_MODIFY>(modify), 0, 0, 0, 0, 0, 0, 0,
    });
    _context::fire_on_set = on_set_hook;
    ownership::on_deep_change = on_deep_change_hook;
}

// --- Construction and access -------------------------------------------------------------

void refresh_owner(const cell* object) {
    cell* owner = series_cell(object->w1, 1);
    *owner = *object;
    owner->header = TYPE_OF(object);
}

cell* make_at(cell* target, uint32_t slots) {
    node_id ctx = _context::create(slots, false, true, 0, CTX_OBJECT);
    *target = cell{TYPE_OBJECT, ctx, 0, 0};
    refresh_owner(target);
    return target;
}

cell* push(node_id ctx, node_id events, int32_t class_id) {
    cell* object = stack::push_cell();
    *object = cell{TYPE_OBJECT, ctx, static_cast<uint32_t>(class_id), events};
    refresh_owner(object);
    return object;
}

cell* push_ctx(node_id ctx, int32_t class_id) {
    cell* object = push(ctx, 0, class_id);
    series_buffer* values = node_buffer(values_node(ctx));
    if (values->used_bytes() == 0) {
        for (uint32_t i = slot_count(object->w1); i > 0; i--)
            *alloc_tail_buffer(node_buffer(values_node(object->w1))) = unset_value;
    }
    return object;
}

cell* make_from_spec(cell* proto, cell* spec, bool only) {
    cell* result = stack::push(&none_value);
    if (TYPE_OF(proto) == TYPE_OBJECT) {
        copy_core(proto, result, true, nullptr, false);
    } else {
        make_at(result, 4);
        result->w2 = static_cast<uint32_t>(next_class_id());
        refresh_owner(result);
    }
    fill_from_spec(result, spec, only);
    return result;
}

bool fill_from_spec(cell* object, cell* spec, bool only) {
    root_node block(series_node(spec));
    uint32_t length = static_cast<uint32_t>(node_buffer(block.node)->cells_tail() - node_buffer(block.node)->cells());
    uint32_t before = field_count(object);
    for (uint32_t i = series_head(spec); i < length;) {
        if (TYPE_OF(series_cell(block.node, i)) != TYPE_SET_WORD) {
            i++;
            continue;
        }
        uint32_t end = i;
        while (end < length && TYPE_OF(series_cell(block.node, end)) == TYPE_SET_WORD) end++;
        root_cell value(end < length ? *series_cell(block.node, end) : none_value);
        if (!only && TYPE_OF(&value.value) == TYPE_WORD) literal_meaning(&value.value);
        for (; i < end; i++) {
            int32_t slot = _context::add_word(object->w1, series_cell(block.node, i)->w2);
            get_values(object)[slot] = value.value;
        }
    }
    return field_count(object) > before;
}

int32_t field_index(const cell* object, uint32_t symbol) { return _context::find_word(object->w1, symbol, true); }

cell* get_field(const cell* object, const cell* word) {
    int32_t i = field_index(object, word->w2);
    return i >= 0 ? get_values(object) + i : const_cast<cell*>(&none_value);
}

cell* first_word(const cell* object) { return ctx_key_word(context_of(object), 0); }
cell* get_values(const cell* object) { return _context::values(context_of(object)); }
uint32_t field_count(const cell* object) { return ctx_slot_count(context_of(object)); }

bool field_is_class_q(node_id ctx, uint32_t index, int32_t class_id) {
    const cell* v = values_of(ctx) + index;
    return TYPE_OF(v) == TYPE_OBJECT && static_cast<int32_t>(v->w2) == class_id;
}

bool word_refers_to_class_q(const cell* word, int32_t class_id) {
    if (!word->w1 || static_cast<int32_t>(word->w3) < 0) return false;
    cell* values = values_of(word->w1);
    if (!values) return false;
    const cell* v = values + word->w3;
    return TYPE_OF(v) == TYPE_OBJECT && static_cast<int32_t>(v->w2) == class_id;
}

int32_t next_class_id() { return ++class_counter; }

void clear_new_lines(node_id values) {
    series_buffer* b = node_buffer(values);
    for (cell* c = b->cells(); c < b->cells_tail(); c++) c->header &= ~CELL_NEW_LINE;
}

void clear_set_marks(node_id ctx) { _context::clear_field_marks(ctx); }

// --- Copying -------------------------------------------------------------------------------

void copy_core(cell* object, cell* result, bool deep, cell* types, bool rebuild_events) {
    root_cell source(*object);
    *result = cell{TYPE_OF(object), object->w1, object->w2, rebuild_events ? 0 : object->w3};
    root_node ctx(_context::clone_for_object(result, CTX_OBJECT));
    refresh_owner(result);
    uint32_t n = slot_count(ctx.node);
    std::copy_n(values_of(source.value.w1), n, values_of(ctx.node));
    if (deep && !types) {
        for (uint32_t i = 0; i < n; i++) {
            cell v = values_of(ctx.node)[i];
            if (copied_series_q(TYPE_OF(&v))) copy_into_slot(ctx, i, &v, false);
            else rebind_slot(ctx, i);
        }
    } else {
        for (uint32_t i = 0; i < n; i++) rebind_slot(ctx, i);
        if (types) {
            stack_mark mark;
            if (deep && cycles_find_q(source.value.w1)) fire(internal_error::no_cycle);
            cell* values = stack::push_cell();
            set_series_value(values, TYPE_BLOCK, values_node(ctx.node), 0);
            cell* copied = stack::push(&none_value);
            if (deep) cycles_push(source.value.w1);
            struct pop_cycle {
                bool on;
                ~pop_cycle() { if (on) cycles_pop(); }
            } pop{deep};
            block::copy(values, copied, nullptr, deep, types);
            ctx_cell(ctx.node)->w2 = series_node(copied);
        }
    }
    if (rebuild_events) update_events(result);
}

void copy_series_fields(node_id source, node_id target, bool copy_others) {
    root_node from(source), to(target);
    for (uint32_t i = 0; i < slot_count(from.node); i++) {
        cell v = values_of(from.node)[i];
        if (field_series_q(TYPE_OF(&v))) copy_into_slot(to, i, &v, true);
        else if (copy_others) values_of(to.node)[i] = v;
    }
}

void copy_fields_by_name(node_id source, node_id target) {
    root_node from(source), to(target);
    for (uint32_t i = 0; i < slot_count(from.node); i++) {
        int32_t j = _context::find_word(to.node, ctx_key_word(ctx_cell(from.node), i)->w2, true);
        if (j < 0) continue;
        cell v = values_of(from.node)[i];
        if (field_series_q(TYPE_OF(&v))) copy_into_slot(to, static_cast<uint32_t>(j), &v, true);
        else values_of(to.node)[j] = v;
    }
}

bool extend_from(cell* target, cell* source) {
    uint32_t before = field_count(target);
    for (uint32_t i = 0; i < field_count(source); i++) {
        root_cell value(get_values(source)[i]);
        _context::put_value(target->w1, ctx_key_word(context_of(source), i)->w2, &value.value);
    }
    root_node ctx(target->w1);
    for (uint32_t i = 0; i < slot_count(ctx.node); i++) {
        cell v = values_of(ctx.node)[i];
        if (field_series_q(TYPE_OF(&v))) copy_into_slot(ctx, i, &v, false);
        else rebind_slot(ctx, i);
    }
    refresh_owner(target);
    return field_count(target) > before;
}

// --- Events --------------------------------------------------------------------------------

node_id make_events(node_id ctx) {
    root_node keep(ctx);
    int32_t change = _context::find_word(ctx, runtime_words[W_ON_CHANGE].w2, true);
    int32_t deep = _context::find_word(ctx, runtime_words[W_ON_DEEP_CHANGE].w2, true);
    if (change < 0 && deep < 0) return 0;
    cell records[2] = {events_record(ctx, change), events_record(ctx, deep)};
    node_id events = alloc_cells(2);
    series_buffer* b = node_buffer(events);
    b->cells()[0] = records[0];
    b->cells()[1] = records[1];
    b->tail = reinterpret_cast<uint8_t*>(b->cells() + 2);
    return events;
}

void update_events(cell* object) {
    object->w3 = make_events(object->w1);
    refresh_owner(object);
    if (has_deep_handler_q(object)) mark_owner_fields(object);
}

bool has_deep_handler_q(const cell* object) { return handler_index(object, 1) != NO_HANDLER; }

void fire_on_set(cell* object, cell* word, cell* old_value, cell* new_value) {
    uint32_t index = handler_index(object, 0);
    if (index == NO_HANDLER) return;
    stack_mark mark;
    cell* handler = stack::push(get_values(object) + index);
    if (!function_q(TYPE_OF(handler))) fire(script_error::invalid_obj_evt, handler);
    uint32_t locals = handler_locals(object, 0, handler);
    cell* args = stack::push(word);
    if (word->w1 != object->w1) _context::bind_word(object->w1, args);
    stack::push(old_value);
    stack::push(new_value);
    push_locals(locals);
    invoke(handler, W_ON_CHANGE, args);
}

void fire_on_deep_change(const cell* owner, const cell* word, const cell* target, const cell* action,
                         const cell* new_value, int32_t index, int32_t part) {
    if (!owner->w3) fire(script_error::invalid_obj_evt, owner);
    uint32_t slot = handler_index(owner, 1);
    if (slot == NO_HANDLER) return;
    stack_mark mark;
    cell* handler = stack::push(get_values(owner) + slot);
    if (TYPE_OF(handler) != TYPE_FUNCTION) return;
    uint32_t locals = handler_locals(owner, 1, handler);
    cell* args = stack::push(owner);
    stack::push(word);
    stack::push(target);
    stack::push(action);
    stack::push(new_value ? new_value : &none_value);
    cell n = integer_value(index), p = integer_value(part);
    stack::push(&n);
    stack::push(&p);
    push_locals(locals);
    invoke(handler, W_ON_DEEP_CHANGE, args);
}

void set_many(cell* object, cell* value, bool any, bool only, bool some) {
    uint32_t type = TYPE_OF(value);
    uint32_t n = field_count(object);
    if ((type != TYPE_BLOCK && type != TYPE_OBJECT) || only) {
        for (uint32_t i = 0; i < n; i++) assign_field(object, i, value);
        return;
    }
    auto source_length = [&] {
        return type == TYPE_OBJECT ? field_count(value) : static_cast<uint32_t>(std::max(block::ks_length_q(value), 0));
    };
    auto source_at = [&](uint32_t i) {
        return type == TYPE_OBJECT ? get_values(value) + i : block::ks_abs_at(value, series_head(value) + i);
    };
    if (!some && !any) {
        uint32_t pairs = std::min(n, source_length());
        for (uint32_t i = 0; i < pairs; i++) {
            if (TYPE_OF(source_at(i)) != TYPE_UNSET) continue;
            cell word = _context::key_word(object->w1, i);
            fire(script_error::need_value, &word);
        }
    }
    for (uint32_t i = 0; i < n; i++) {
        cell v;
        if (type == TYPE_OBJECT) {
            int32_t j = field_index(value, ctx_key_word(context_of(object), i)->w2);
            if (j < 0) continue;
            v = get_values(value)[j];
        } else {
            v = i < source_length() ? *source_at(i) : none_value;
        }
        if (some && TYPE_OF(&v) == TYPE_NONE) continue;
        assign_field(object, i, &v);
    }
}

// --- Actions -------------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t) {
    bool from_object = TYPE_OF(proto) == TYPE_OBJECT;
    cell* result = stack::push(&none_value);
    // Shallow: the series fields are copied below, bound to the new object.
    if (from_object) copy_core(proto, result, false, nullptr, false);
    else make_at(result, 4);
    bool grew = false;
    if (TYPE_OF(spec) == TYPE_OBJECT) {
        grew = extend_from(result, spec);
    } else if (TYPE_OF(spec) != TYPE_BLOCK) {
        fire(syntax_error::malconstruct, spec);
    } else {
        grew = _context::collect_set_words(result->w1, spec);
        _context::bind(spec, result->w1, true);
        if (from_object) copy_series_fields(proto->w1, result->w1, false);
        if (!evaluate) fire(internal_error::not_done);
        evaluate(spec);
        clear_set_marks(result->w1);
        clear_new_lines(values_node(result->w1));
    }
    result->w2 = grew || !from_object ? static_cast<uint32_t>(next_class_id()) : proto->w2;
    update_events(result);
    return result;
}

const cell* reflect(cell* value, uint32_t field_symbol) {
    uint32_t field = resolved(field_symbol);
    auto is = [&](runtime_symbol s) { return field == resolved(runtime_symbols[s]); };
    uint32_t n = field_count(value);
    if (field == word_symbol(W_CHANGED)) {
        cell* result = block::push_only(static_cast<int32_t>(n));
        for (uint32_t i = 0; i < n; i++) {
            if (!field_set_q(context_of(value), i)) continue;
            cell word = _context::key_word(value->w1, i);
            block::ks_append(result, &word);
        }
        return result;
    }
    if (is(SYM_CLASS)) {
        cell c = integer_value(static_cast<int32_t>(value->w2));
        return stack::push(&c);
    }
    if (is(SYM_WORDS) || is(SYM_VALUES) || is(SYM_BODY)) {
        cell* result = block::push_only(static_cast<int32_t>(is(SYM_BODY) ? 2 * n : n));
        for (uint32_t i = 0; i < n; i++) {
            cell word = _context::key_word(value->w1, i);
            cell v = get_values(value)[i];
            if (is(SYM_WORDS)) {
                block::ks_append(result, &word);
                continue;
            }
            if (is(SYM_BODY)) {
                word.header = TYPE_SET_WORD | CELL_NEW_LINE;
                block::ks_append(result, &word);
                if (TYPE_OF(&v) == TYPE_WORD) set_type(&v, TYPE_LIT_WORD);
                else if (TYPE_OF(&v) == TYPE_PATH) set_type(&v, TYPE_LIT_PATH);
            }
            block::ks_append(result, &v);
        }
        return result;
    }
    if (is(SYM_OWNER)) return stack::push((context_of(value)->header & CTX_OWNER) ? &true_value : &false_value);
    if (is(SYM_EVENTS_Q)) return stack::push(value->w3 ? &true_value : &false_value);
    fire(internal_error::not_done);
}

int32_t mold_fields(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
                    int32_t indent, bool form) {
    bool nested = !form && !only && !flat;
    bool first = true;
    for (uint32_t i = 0; i < field_count(value) && part > 0; i++) {
        stack_mark mark;
        cell key = _context::key_word(value->w1, i);
        cell* word = stack::push(&key);
        if (!all && handler_symbol_q(word->w2)) continue;
        cell* v = stack::push(get_values(value) + i);
        if (TYPE_OF(v) == TYPE_NONE_ID) *v = unset_value;
        if (nested) part = indentation(buffer, indent + 1, part);
        else if (!first) part = text(buffer, flat ? " " : "\n", part);
        first = false;
        part = mold_dispatch(word, buffer, false, all, flat, arg, part, 0);
        part = text(buffer, TYPE_OF(v) == TYPE_WORD ? ": '" : ": ", part);
        part = mold_dispatch(v, buffer, false, all, flat, arg, part, indent + 1);
        if (nested) part = text(buffer, "\n", part);
    }
    return part;
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    if (cycles_detect_q(value, buffer, &part, false)) return part;
    cycles_guard walk(value->w1);
    return mold_fields(value, buffer, true, false, false, arg, part, 0, true);
}

int32_t mold_as(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
                int32_t indent, const char* opening) {
    if (cycles_detect_q(value, buffer, &part, true)) return part;
    cycles_guard walk(value->w1);
    if (!only) {
        part = text(buffer, opening, part);
        if (!flat) part = text(buffer, "\n", part);
    }
    part = mold_fields(value, buffer, only, all, flat, arg, part, indent, false);
    if (only) return part;
    if (!flat) part = indentation(buffer, indent, part);
    return text(buffer, "]", part);
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    return mold_as(value, buffer, only, all, flat, arg, part, indent, "make object! [");
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell*, cell*, int32_t, bool,
                      bool get_q, bool tail_q, bool) {
    if (!any_word_q(TYPE_OF(element))) fire(script_error::invalid_path, path, element);
    if (element->w1 != parent->w1 && _context::bind_word(parent->w1, element) < 0)
        return missing_field(path, element, get_q, tail_q);
    if (value) {
        if (!parent->w3) {
            _context::set_in(element, value, parent->w1, false);
            return value;
        }
        stack_mark mark;
        cell* old_value = stack::push(get_values(parent) + element->w3);
        _context::set_in(element, value, parent->w1, false);
        fire_on_set(parent, element, old_value, value);
        return value;
    }
    cell* v = get_values(parent) + element->w3;
    if (TYPE_OF(v) == TYPE_UNSET) return missing_field(path, element, get_q, tail_q);
    return v;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    // Errors compare as objects, but only with errors.
    if (TYPE_OF(value2) != (TYPE_OF(value1) == TYPE_ERROR ? TYPE_ERROR : TYPE_OBJECT)) return INCOMPARABLE;
    if (value1->w1 == value2->w1) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles_find_q(value1->w1)) return cycles_find_q(value2->w1) ? 0 : -1;
    uint32_t n1 = field_count(value1), n2 = field_count(value2);
    if (n1 != n2) return n2 > n1 ? -1 : 1;
    cycles_guard walk1(value1->w1);
    cycles_guard walk2(value2->w1);
    for (uint32_t i = 0; i < n1; i++) {
        uint32_t s1 = resolved(ctx_key_word(context_of(value1), i)->w2);
        uint32_t s2 = resolved(ctx_key_word(context_of(value2), i)->w2);
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        stack_mark mark;
        cell* a = stack::push(get_values(value1) + i);
        cell* b = stack::push(get_values(value2) + i);
        uint32_t t1 = TYPE_OF(a), t2 = TYPE_OF(b);
        if (!comparable_types_q(t1, t2)) return t1 < t2 ? -1 : 1;
        if (int32_t r = compare_dispatch(a, b, op)) return r;
    }
    return 0;
}

const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types) {
    if (refinement_q(part)) {
        cell word = runtime_refinements[REF_PART];
        word.header = TYPE_WORD;
        fire(script_error::invalid_refine_arg, &word, part);
    }
    copy_core(value, result, deep, refinement_q(types) ? types : nullptr, true);
    return result;
}

const cell* put(cell* object, cell* key, cell* value, bool) {
    if (TYPE_OF(key) != TYPE_WORD) {
        cell type = datatype_of(TYPE_OF(key));
        fire(script_error::invalid_key_type, &type);
    }
    return eval_path(object, key, value, key, nullptr, nullptr, 0, false, false, false, false);
}

const cell* select(cell* object, cell* value, cell*, bool, bool, bool, bool, cell*, cell*, bool, bool) {
    if (!any_word_q(TYPE_OF(value))) raise_invalid_type(TYPE_OF(value));
    return get_field(object, value);
}

const cell* modify(cell* object, cell* field, cell* value, bool) {
    uint32_t name = resolved(field->w2);
    if (name == word_symbol(W_CHANGED)) {
        if (TYPE_OF(value) != TYPE_NONE) fire(script_error::invalid_arg, value);
        clear_set_marks(object->w1);
    } else if (name == resolved(runtime_symbols[SYM_OWNER])) {
        mark_owner_fields(object);
    } else if (name == resolved(runtime_symbols[SYM_OWNED])) {
        if (TYPE_OF(value) == TYPE_NONE) {
            ownership::unbind(object);
        } else {
            // The owner must be an object: its context is flagged.
            if (TYPE_OF(value) != TYPE_BLOCK || block::ks_length_q(value) < 2 ||
                TYPE_OF(block::ks_head(value)) != TYPE_OBJECT)
                fire(script_error::invalid_arg, value);
            root_cell owner(*block::ks_head(value)), word(block::ks_head(value)[1]);
            ownership::mark_owner(object, &owner.value, &word.value);
        }
    }
    return value;
}

}  // namespace kel::object
